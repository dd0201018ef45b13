#pragma once

#include <vector>

#include "ui/operator_view.hpp"

namespace quillon {

// Several views at once: the window or the console in front, and others that
// only watch (the browsers). Each call reaches every view; what halts the
// loop or answers a person (message boxes, the user guide) is the front
// view's alone, the watchers get the message as news.
class ViewFanOut : public OperatorView {
  public:
    ViewFanOut(OperatorView& front, std::vector<OperatorView*> watchers)
        : front_(front), watchers_(std::move(watchers)) {}
    void set_watchers(std::vector<OperatorView*> watchers) { watchers_ = std::move(watchers); }

    void create_main_window() override {
        each([](OperatorView& v) { v.create_main_window(); });
    }
    void set_title(std::string_view title) override {
        each([&](OperatorView& v) { v.set_title(title); });
    }
    void traffic_insert_top(const TrafficRow& row) override {
        each([&](OperatorView& v) { v.traffic_insert_top(row); });
    }
    void traffic_remove(int row) override {
        each([&](OperatorView& v) { v.traffic_remove(row); });
    }
    void traffic_clear() override {
        each([](OperatorView& v) { v.traffic_clear(); });
    }
    void show_clients(const std::vector<ClientRow>& rows) override {
        each([&](OperatorView& v) { v.show_clients(rows); });
    }
    void set_status_field(StatusField field, std::string_view text) override {
        each([&](OperatorView& v) { v.set_status_field(field, text); });
    }
    void set_rate_field(Control field, std::string_view text) override {
        each([&](OperatorView& v) { v.set_rate_field(field, text); });
    }
    void show_graph(Control graph, const RgbImage& image) override {
        each([&](OperatorView& v) {
            if (v.shows_graphs()) v.show_graph(graph, image);
        });
    }
    bool shows_graphs() const override {
        if (front_.shows_graphs()) return true;
        for (const OperatorView* v : watchers_)
            if (v->shows_graphs()) return true;
        return false;
    }
    void message_box(std::string_view title, std::string_view text, MessageIcon icon) override {
        for (OperatorView* v : watchers_)
            v->message_box(title, text, icon);
        front_.message_box(title, text, icon);
    }
    // Only the watchers know who asked from afar.
    void answer(std::int32_t requester, std::string_view title, std::string_view text,
                MessageIcon icon) override {
        for (OperatorView* v : watchers_)
            v->answer(requester, title, text, icon);
    }
    void log_line(std::string_view text) override { front_.log_line(text); }
    void journal(std::string_view text) override { front_.journal(text); }
    void open_user_guide() override { front_.open_user_guide(); }
    void traffic_arrived(const TrafficRow& row) override {
        each([&](OperatorView& v) { v.traffic_arrived(row); });
    }
    void add_bandwidth_sample(std::int64_t rx, std::int64_t tx) override {
        each([&](OperatorView& v) { v.add_bandwidth_sample(rx, tx); });
    }
    void set_control_checked(Control control, bool checked) override {
        each([&](OperatorView& v) { v.set_control_checked(control, checked); });
    }
    void pass_done() override {
        each([](OperatorView& v) { v.pass_done(); });
    }

  private:
    template <typename Call>
    void each(const Call& call) {
        call(front_);
        for (OperatorView* v : watchers_)
            call(*v);
    }

    OperatorView& front_;
    std::vector<OperatorView*> watchers_;
};

}  // namespace quillon
