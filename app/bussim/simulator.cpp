#include "app/bussim/simulator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace quillon::bussim {
namespace {

constexpr std::int64_t catch_up_limit_ms = 2000;  // beyond that, missed ticks are skipped
constexpr int temperature_floor_16ths = 15 * 16;
constexpr int temperature_ceiling_16ths = 28 * 16;

}  // namespace

Simulator::Simulator(Settings settings, std::int64_t now_ms)
    : settings_(settings),
      last_due_ms_(now_ms - frame_gap_ms),
      rng_(settings.seed),
      ticks_from_ms_(now_ms) {}

const Module* Simulator::module_at(std::uint8_t address) const {
    const auto it = std::find_if(modules_.begin(), modules_.end(),
                                 [address](const Module& m) { return m.address == address; });
    return it == modules_.end() ? nullptr : &*it;
}

Module* Simulator::module_for(std::uint8_t address) {
    return const_cast<Module*>(std::as_const(*this).module_at(address));
}

Module& Simulator::first_of(ModuleKind kind) {
    return *std::find_if(modules_.begin(), modules_.end(),
                         [kind](const Module& m) { return m.kind == kind; });
}

std::vector<Cut> Simulator::on_bytes(std::int64_t now_ms, std::span<const std::uint8_t> bytes) {
    auto cuts = cutter_.feed(bytes);
    for (const auto& cut : cuts) {
        if (cut.status != FrameStatus::valid) continue;
        auto* m = module_for(frame_address(cut.bytes));
        if (m == nullptr) continue;
        auto earliest = now_ms + first_reply_delay_ms;
        for (auto& reply : answer(*m, cut.bytes)) {
            send(earliest, std::move(reply));
            earliest = now_ms;  // the rest follow at the frame gap
        }
    }
    return cuts;
}

void Simulator::report(std::int64_t now_ms, std::uint8_t interface_report) {
    send(now_ms, interface_frame(interface_report));
}

void Simulator::send(std::int64_t earliest_ms, Frame frame) {
    last_due_ms_ = std::max(earliest_ms, last_due_ms_ + frame_gap_ms);
    outgoing_.push_back({last_due_ms_, std::move(frame)});
}

std::int64_t Simulator::tick_ms(std::int64_t k) const {
    return ticks_from_ms_ + static_cast<std::int64_t>(std::llround(static_cast<double>(k) * 1000.0 /
                                                                   settings_.frames_per_s));
}

std::int64_t Simulator::next_event_ms() const {
    auto next = std::numeric_limits<std::int64_t>::max();
    if (!outgoing_.empty()) next = outgoing_.front().due_ms;
    if (release_ms_) next = std::min(next, *release_ms_);
    if (settings_.frames_per_s > 0) next = std::min(next, tick_ms(tick_));
    return next;
}

// One frame per tick: a button press (its release takes the next tick's slot, but comes
// after a short hold) or a change of temperature.
void Simulator::spontaneous(std::int64_t at_ms) {
    if (release_took_slot_) {
        release_took_slot_ = false;
        return;
    }
    if (rng_() % 3 != 2) {
        auto& buttons = first_of(ModuleKind::inputs);
        const auto mask = static_cast<std::uint8_t>(1u << (rng_() % buttons.channel_names.size()));
        buttons.inputs_closed |= mask;
        send(at_ms, button_frame(buttons, mask, 0x00));
        release_ms_ = at_ms + std::min(button_hold_ms, tick_ms(tick_ + 1) - tick_ms(tick_));
        release_took_slot_ = true;
        return;
    }
    auto& sensor = first_of(ModuleKind::temperature);
    int step = static_cast<int>(rng_() % 16) - 8;  // up to half a degree either way, never 0
    if (step >= 0) ++step;
    auto& t = sensor.temperature_16ths;
    t = std::clamp(t + step, temperature_floor_16ths, temperature_ceiling_16ths);
    sensor.temperature_min_16ths = std::min(sensor.temperature_min_16ths, t);
    sensor.temperature_max_16ths = std::max(sensor.temperature_max_16ths, t);
    send(at_ms, temperature_frame(sensor));
}

void Simulator::release_button(std::int64_t by_ms) {
    if (!release_ms_ || *release_ms_ > by_ms) return;
    auto& buttons = first_of(ModuleKind::inputs);
    send(*release_ms_, button_frame(buttons, 0x00, buttons.inputs_closed));
    buttons.inputs_closed = 0;
    release_ms_.reset();
}

std::vector<Frame> Simulator::poll(std::int64_t now_ms) {
    while (settings_.frames_per_s > 0 && tick_ms(tick_) <= now_ms) {
        if (now_ms - tick_ms(tick_) > catch_up_limit_ms) {
            ticks_from_ms_ = now_ms;  // after a stall, start afresh rather than flood
            tick_ = 1;
            break;
        }
        release_button(tick_ms(tick_));
        spontaneous(tick_ms(tick_));
        ++tick_;
    }
    release_button(now_ms);
    std::vector<Frame> due;
    while (!outgoing_.empty() && outgoing_.front().due_ms <= now_ms) {
        due.push_back(std::move(outgoing_.front().frame));
        outgoing_.pop_front();
    }
    return due;
}

}  // namespace quillon::bussim
