#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "tests/fakes/fake_clock.hpp"
#include "ui/operator_view.hpp"

namespace quillon::testing {

// An operator view that records everything shown and plays back the
// operator's actions. Waiting moves the fake clock by the time-out.
class FakeView : public OperatorView {
  public:
    struct Message {
        std::string title;
        std::string text;
        MessageIcon icon;
    };

    explicit FakeView(FakeClock& clock) : clock_(clock) {}

    // What is shown.
    bool window_created = false;
    std::string title;
    std::deque<TrafficRow> traffic;  // top row first
    std::vector<ClientRow> clients;
    int client_list_rebuilds = 0;
    std::map<int, std::string> status;
    std::map<int, std::string> rates;
    std::map<int, RgbImage> graphs;
    std::vector<Message> messages;
    std::vector<std::string> questions;
    int user_guide_opened = 0;
    int first_configuration_closed = 0;
    std::vector<std::int32_t> wait_timeouts;

    // What the operator does.
    bool filter_down = false;
    bool invert_down = false;
    std::string filter;
    bool delay = true;
    bool debug = false;
    int selected_row = -1;
    std::deque<bool> answers;  // for yes/no questions; No when empty
    std::deque<WindowEvent> events;
    std::deque<FirstConfigurationAnswer> configuration_answers;  // quit when empty

    void click(int control) { events.push_back({13100, control}); }
    void close_window() { events.push_back({13116, 0}); }

    void create_main_window() override { window_created = true; }
    void set_title(std::string_view t) override { title = t; }
    void traffic_insert_top(const TrafficRow& row) override { traffic.push_front(row); }
    void traffic_remove(int row) override {
        if (row >= 0 && static_cast<std::size_t>(row) < traffic.size())
            traffic.erase(traffic.begin() + row);
    }
    void traffic_clear() override { traffic.clear(); }
    void show_clients(const std::vector<ClientRow>& rows) override {
        clients = rows;
        ++client_list_rebuilds;
    }
    int selected_client_row() override { return selected_row; }
    void set_status_field(int field, std::string_view text) override { status[field] = text; }
    void set_rate_field(int control, std::string_view text) override { rates[control] = text; }
    void show_graph(int control, const RgbImage& image) override { graphs[control] = image; }
    bool filter_on() override { return filter_down; }
    bool filter_inverted() override { return invert_down; }
    std::string filter_text() override { return filter; }
    bool delay_ticked() override { return delay; }
    bool debug_ticked() override { return debug; }
    void message_box(std::string_view t, std::string_view text, MessageIcon icon) override {
        messages.push_back({std::string(t), std::string(text), icon});
    }
    bool ask_yes_no(std::string_view t, std::string_view text) override {
        questions.push_back(std::string(t) + "|" + std::string(text));
        if (answers.empty()) return false;
        const bool yes = answers.front();
        answers.pop_front();
        return yes;
    }
    void open_user_guide() override { ++user_guide_opened; }
    WindowEvent wait_event(std::int32_t timeout_ms) override {
        wait_timeouts.push_back(timeout_ms);
        if (!events.empty()) {
            const WindowEvent e = events.front();
            events.pop_front();
            return e;
        }
        clock_.advance(timeout_ms);
        return {};
    }
    FirstConfigurationAnswer wait_first_configuration() override {
        if (configuration_answers.empty()) return {};
        FirstConfigurationAnswer a = configuration_answers.front();
        configuration_answers.pop_front();
        return a;
    }
    void close_first_configuration() override { ++first_configuration_closed; }

  private:
    FakeClock& clock_;
};

}  // namespace quillon::testing
