#pragma once

#include "ui/operator_input.hpp"
#include "ui/operator_view.hpp"
#include "ui/view_watcher.hpp"

namespace quillon {

// The operator's view and dialogs in front (the window or the console) with
// a watcher beside them (the browsers): what the front shows, the watcher
// keeps a copy of; a message box halts the loop in front and reaches the
// watcher as news. What only the watcher is told passes straight on, to
// nobody once stop_watching() has said that no browser will come.
class ViewFanOut final : public OperatorView, public OperatorDialogs, public ViewWatcher {
  public:
    ViewFanOut(OperatorView& front, OperatorDialogs& dialogs, ViewWatcher& watcher)
        : front_(front), dialogs_(dialogs), watcher_(&watcher) {}
    // Without browsers to come, nobody keeps a copy of the view for them.
    void stop_watching() { watcher_ = &nobody_; }

    // --- OperatorView ---
    void create_main_window() override { front_.create_main_window(); }
    void set_title(std::string_view title) override {
        front_.set_title(title);
        watcher_->title_changed(title);
    }
    void traffic_insert_top(const TrafficRow& row) override { front_.traffic_insert_top(row); }
    void traffic_remove(int row) override { front_.traffic_remove(row); }
    void traffic_clear() override {
        front_.traffic_clear();
        watcher_->traffic_cleared();
    }
    void show_clients(const std::vector<ClientRow>& rows) override {
        front_.show_clients(rows);
        watcher_->clients_changed(rows);
    }
    void set_status_field(StatusField field, std::string_view text) override {
        front_.set_status_field(field, text);
        watcher_->status_field_changed(field, text);
    }
    void set_rate_field(Control field, std::string_view text) override {
        front_.set_rate_field(field, text);
        watcher_->rate_field_changed(field, text);
    }
    void show_graph(Control graph, const RgbImage& image) override {
        front_.show_graph(graph, image);
    }
    bool shows_graphs() const override { return front_.shows_graphs(); }
    void set_control_checked(Control control, bool checked) override {
        front_.set_control_checked(control, checked);
        watcher_->control_checked(control, checked);
    }
    void open_user_guide() override { front_.open_user_guide(); }

    // --- OperatorDialogs ---
    void message_box(std::string_view title, std::string_view text, MessageIcon icon) override {
        // Before the front may halt the loop on it.
        watcher_->message_shown(title, text, icon);
        dialogs_.message_box(title, text, icon);
    }
    bool ask_yes_no(std::string_view title, std::string_view text) override {
        return dialogs_.ask_yes_no(title, text);
    }
    FirstConfigurationAnswer ask_first_configuration() override {
        return dialogs_.ask_first_configuration();
    }
    void close_first_configuration() override { dialogs_.close_first_configuration(); }

    // --- ViewWatcher ---
    void title_changed(std::string_view title) override { watcher_->title_changed(title); }
    void traffic_cleared() override { watcher_->traffic_cleared(); }
    void clients_changed(const std::vector<ClientRow>& rows) override {
        watcher_->clients_changed(rows);
    }
    void status_field_changed(StatusField field, std::string_view text) override {
        watcher_->status_field_changed(field, text);
    }
    void rate_field_changed(Control field, std::string_view text) override {
        watcher_->rate_field_changed(field, text);
    }
    void control_checked(Control control, bool checked) override {
        watcher_->control_checked(control, checked);
    }
    void message_shown(std::string_view title, std::string_view text, MessageIcon icon) override {
        watcher_->message_shown(title, text, icon);
    }
    void traffic_arrived(const TrafficRow& row) override { watcher_->traffic_arrived(row); }
    void add_bandwidth_sample(std::int64_t rx, std::int64_t tx) override {
        watcher_->add_bandwidth_sample(rx, tx);
    }
    void answer(std::int32_t requester, std::string_view title, std::string_view text,
                MessageIcon icon) override {
        watcher_->answer(requester, title, text, icon);
    }
    void pass_done() override { watcher_->pass_done(); }

  private:
    OperatorView& front_;
    OperatorDialogs& dialogs_;
    ViewWatcher* watcher_;
    NoViewWatcher nobody_;
};

}  // namespace quillon
