#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/fakes/fake_clock.hpp"
#include "ui/operator_input.hpp"
#include "ui/operator_log.hpp"
#include "ui/operator_view.hpp"

namespace quillon::testing {

// The operator: records everything shown, plays back what the operator does
// and answers the questions. Waiting moves the fake clock by the time-out.
class FakeView : public OperatorView, public LoopWait, public OperatorDialogs, public OperatorLog {
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
    std::map<StatusField, std::string> status;
    std::map<Control, std::string> rates;
    std::map<Control, RgbImage> graphs;
    std::map<Control, bool> boxes_checked;  // as the check boxes show them
    std::vector<Message> messages;
    std::vector<std::string> log;            // lines on standard error
    std::vector<std::string> journal_lines;  // the operator's log
    std::vector<std::string> questions;
    int user_guide_opened = 0;
    int first_configuration_closed = 0;
    std::vector<std::int32_t> wait_timeouts;

    // What the operator does.
    std::deque<bool> answers;  // for yes/no questions; No when empty
    std::deque<OperatorEvent> events;
    std::deque<FirstConfigurationAnswer> configuration_answers;  // quit when empty

    void click(Control control) { events.push_back(OperatorEvent::used(control)); }
    void set_checked(Control control, bool checked) {
        OperatorEvent e = OperatorEvent::used(control);
        e.checked = checked;
        events.push_back(e);
    }
    void type_filter(const std::string& text) {
        OperatorEvent e = OperatorEvent::used(Control::filter_text);
        e.text = text;
        events.push_back(e);
    }
    // "Disconnect" with the row of this client selected (0: none).
    void disconnect(std::int32_t client) {
        OperatorEvent e = OperatorEvent::used(Control::disconnect);
        e.client = client;
        events.push_back(e);
    }
    void close_window() { events.push_back(OperatorEvent::close_requested()); }

    // The client row of an address, as the list shows it; nullptr when none.
    const ClientRow* client_row(const std::string& address) const {
        for (const ClientRow& r : clients) {
            if (r.address == address) return &r;
        }
        return nullptr;
    }

    // --- OperatorView ---
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
    void set_status_field(StatusField field, std::string_view text) override {
        status[field] = text;
    }
    void set_rate_field(Control field, std::string_view text) override { rates[field] = text; }
    void show_graph(Control graph, const RgbImage& image) override { graphs[graph] = image; }
    void set_control_checked(Control control, bool on) override { boxes_checked[control] = on; }
    void open_user_guide() override { ++user_guide_opened; }

    // --- OperatorLog ---
    void log_line(std::string_view text) override { log.emplace_back(text); }
    void journal(std::string_view text) override { journal_lines.emplace_back(text); }

    // Whether the serial port or the network has something: the wait then
    // ends at once, as the real one does.
    std::function<bool()> input_pending;

    // --- LoopWait ---
    OperatorEvent wait_event(std::int32_t timeout_ms) override {
        wait_timeouts.push_back(timeout_ms);
        if (!events.empty()) {
            OperatorEvent e = events.front();
            events.pop_front();
            return e;
        }
        OperatorEvent none;
        if (input_pending && input_pending()) {
            none.input_ready = true;
            return none;
        }
        clock_.advance(timeout_ms);
        return none;
    }

    // --- OperatorDialogs ---
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
    FirstConfigurationAnswer ask_first_configuration() override {
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
