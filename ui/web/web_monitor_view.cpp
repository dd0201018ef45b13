#include "ui/web/web_monitor_view.hpp"

#include <cstdio>

#include "base/code_page.hpp"
#include "ui/control_words.hpp"
#include "ui/statistics.hpp"
#include "ui/traffic_list.hpp"

namespace quillon {
namespace {

const char* icon_name(int icon) {
    switch (icon) {
        case icon_bus_frame:
            return "bus";
        case icon_bus_frame_bad:
            return "bus_bad";
        case icon_client_frame:
            return "client";
        case icon_client_frame_bad:
            return "client_bad";
        default:
            return "none";
    }
}

std::string colour_text(const Rgb& c) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", c.r, c.g, c.b);
    return text;
}

std::string row_json(const TrafficRow& r) {
    return std::string("{\"icon\":\"") + icon_name(r.icon) +
           "\",\"time\":" + json_string(r.cell(TrafficColumn::time)) +
           ",\"hex\":" + json_string(r.cell(TrafficColumn::hex)) +
           ",\"ln\":" + json_string(r.cell(TrafficColumn::length)) +
           ",\"cs\":" + json_string(r.cell(TrafficColumn::checksum)) +
           ",\"source\":" + json_string(r.cell(TrafficColumn::source)) + ",\"colour\":\"" +
           colour_text(r.colour) +
           "\",\"background\":" + (r.colour_is_background ? "true" : "false") + "}";
}

std::string clients_json(const std::vector<ClientRow>& rows) {
    std::string out = "[";
    for (const ClientRow& c : rows) {
        if (out.size() > 1) out += ',';
        out += "{\"id\":" + std::to_string(c.client) + ",\"icon\":\"" +
               (c.icon == icon_client_live ? "live" : "ended") +
               "\",\"address\":" + json_string(c.cell(ClientColumn::address)) +
               ",\"start\":" + json_string(c.cell(ClientColumn::start)) +
               ",\"end\":" + json_string(c.cell(ClientColumn::end)) +
               ",\"errors\":" + json_string(c.cell(ClientColumn::errors)) + "}";
    }
    return out + "]";
}

}  // namespace

WebMonitorView::WebMonitorView() {
    history_.assign(bandwidth_history_samples, {0, 0});
}

std::string WebMonitorView::state_message(bool authorised) const {
    std::string out = "{\"type\":\"state\",\"title\":" + json_string(title_) +
                      ",\"authorised\":" + (authorised ? "true" : "false") + ",\"rows\":[";
    for (std::size_t k = 0; k < rows_.size(); ++k) {
        if (k != 0) out += ',';
        out += row_json(rows_[k]);
    }
    out += "],\"clients\":" + clients_json(clients_) + ",\"status\":[";
    for (std::size_t k = 0; k < status_.size(); ++k) {
        if (k != 0) out += ',';
        out += json_string(status_[k]);
    }
    out += "],\"rates\":{\"rx\":" + json_string(rx_rate_) + ",\"tx\":" + json_string(tx_rate_) +
           "},\"history\":[";
    for (std::size_t k = 0; k < history_.size(); ++k) {
        if (k != 0) out += ',';
        out += "[" + std::to_string(history_[k][0]) + "," + std::to_string(history_[k][1]) + "]";
    }
    out += std::string("],\"controls\":{\"delay\":") + (delay_ ? "true" : "false") +
           ",\"debug\":" + (debug_ ? "true" : "false") + "}}";
    return out;
}

void WebMonitorView::title_changed(std::string_view title) {
    title_ = title;
    queue("{\"type\":\"title\",\"text\":" + json_string(title) + "}");
}

void WebMonitorView::traffic_cleared() {
    rows_.clear();
    queue(R"({"type":"clear"})");
}

void WebMonitorView::traffic_arrived(const TrafficRow& row) {
    rows_.push_front(row);
    if (rows_.size() > traffic_list_max_rows) rows_.pop_back();
    if (watched()) queue("{\"type\":\"row\",\"row\":" + row_json(row) + "}");
}

void WebMonitorView::clients_changed(const std::vector<ClientRow>& rows) {
    clients_ = rows;
    if (watched()) queue("{\"type\":\"clients\",\"clients\":" + clients_json(rows) + "}");
}

void WebMonitorView::status_field_changed(StatusField field, std::string_view text) {
    const int number = number_of(field);
    if (number < 0 || number >= status_field_count) return;
    auto& kept = status_[static_cast<std::size_t>(number)];
    if (kept == text) return;
    kept = text;
    queue("{\"type\":\"status\",\"field\":" + std::to_string(number) +
          ",\"text\":" + json_string(text) + "}");
}

void WebMonitorView::rate_field_changed(Control field, std::string_view text) {
    (field == Control::rx_rate ? rx_rate_ : tx_rate_) = text;
    // Both rates come together; one message once the second has come.
    if (field == Control::tx_rate)
        queue("{\"type\":\"rates\",\"rx\":" + json_string(rx_rate_) +
              ",\"tx\":" + json_string(tx_rate_) + "}");
}

void WebMonitorView::add_bandwidth_sample(std::int64_t rx, std::int64_t tx) {
    history_.push_back({rx, tx});
    history_.pop_front();
    if (watched())
        queue("{\"type\":\"sample\",\"rx\":" + std::to_string(rx) +
              ",\"tx\":" + std::to_string(tx) + "}");
}

void WebMonitorView::control_checked(Control control, bool checked) {
    // The browsers keep the two check boxes, by the words that name them.
    if (control != Control::delay_check && control != Control::debug_check) return;
    (control == Control::delay_check ? delay_ : debug_) = checked;
    queue("{\"type\":\"control\",\"name\":" + json_string(control_word(control)) +
          ",\"checked\":" + (checked ? "true" : "false") + "}");
}

namespace {

std::string message_json(std::string_view title, std::string_view text, MessageIcon icon) {
    const char* kind = icon == MessageIcon::error         ? "error"
                       : icon == MessageIcon::information ? "information"
                                                          : "none";
    return "{\"type\":\"message\",\"title\":" + json_string(title) +
           ",\"text\":" + json_string(text) + ",\"icon\":\"" + kind + "\"}";
}

}  // namespace

void WebMonitorView::message_shown(std::string_view title, std::string_view text,
                                   MessageIcon icon) {
    queue(message_json(title, text, icon));
    // The front view may halt the loop on it: the browsers hear of it now.
    pass_done();
}

void WebMonitorView::answer(std::int32_t requester, std::string_view title, std::string_view text,
                            MessageIcon icon) {
    // After what the pass has shown so far, so that the answer follows its cause.
    pass_done();
    if (sink_ != nullptr) sink_->send_to_browser(requester, message_json(title, text, icon));
}

void WebMonitorView::pass_done() {
    if (pending_.empty()) return;
    if (sink_ != nullptr) sink_->send_to_browsers(pending_);
    pending_.clear();
}

}  // namespace quillon
