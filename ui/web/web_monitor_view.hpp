#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "base/code_page.hpp"
#include "ui/view_watcher.hpp"

namespace quillon {

// Where the browsers' messages go: each one a JSON text for every browser
// that may see it, in order.
class BrowserSink {
  public:
    virtual ~BrowserSink() = default;
    virtual void send_to_browsers(const std::vector<std::string>& messages) = 0;
    // One message for one browser (its number), if it is still there.
    virtual void send_to_browser(std::int32_t browser, const std::string& message) = 0;
};

// The operator's view as the browsers get it: the last rows (all of them,
// each browser filters for itself), the clients, the status fields, the
// rates and their history, the check boxes. Each change becomes one JSON
// message; they leave together when the loop's pass is done, after the
// clients were served. A browser that comes (or falls behind) gets the
// whole state in one message.
class WebMonitorView final : public ViewWatcher {
  public:
    WebMonitorView();

    void set_sink(BrowserSink* sink) { sink_ = sink; }
    std::string state_message(bool authorised) const;

    void title_changed(std::string_view title) override;
    void traffic_cleared() override;
    void clients_changed(const std::vector<ClientRow>& rows) override;
    void status_field_changed(StatusField field, std::string_view text) override;
    void rate_field_changed(Control field, std::string_view text) override;
    void control_checked(Control control, bool checked) override;
    void message_shown(std::string_view title, std::string_view text, MessageIcon icon) override;
    void traffic_arrived(const TrafficRow& row) override;
    void add_bandwidth_sample(std::int64_t rx, std::int64_t tx) override;
    void answer(std::int32_t requester, std::string_view title, std::string_view text,
                MessageIcon icon) override;
    void pass_done() override;

  private:
    // Only while browsers may come: without, the view just keeps the state.
    bool watched() const { return sink_ != nullptr; }
    void queue(std::string message) {
        if (watched()) pending_.push_back(std::move(message));
    }

    BrowserSink* sink_ = nullptr;
    std::string title_;
    std::deque<TrafficRow> rows_;  // newest first
    std::vector<ClientRow> clients_;
    std::array<std::string, status_field_count> status_;
    std::string rx_rate_ = "0";
    std::string tx_rate_ = "0";
    std::deque<std::array<std::int64_t, 2>> history_;  // rx, tx; oldest first
    bool delay_ = true;
    bool debug_ = false;
    std::vector<std::string> pending_;
};

}  // namespace quillon
