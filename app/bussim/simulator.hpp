#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "app/bussim/frame.hpp"
#include "app/bussim/modules.hpp"

namespace quillon::bussim {

constexpr std::int64_t first_reply_delay_ms = 20;  // a real module needs a moment to answer
constexpr std::int64_t frame_gap_ms = 15;          // between frames leaving the simulator
constexpr std::int64_t button_hold_ms = 250;       // press to release, at most

struct Settings {
    double frames_per_s = 1.0;  // spontaneous traffic; 0 = none
    std::uint32_t seed = 1;
};

// The bus behind the interface module. No I/O and no clock of its own: the caller passes
// the time in milliseconds (monotonic) and writes what poll() hands back.
class Simulator {
  public:
    Simulator(Settings settings, std::int64_t now_ms);

    // Bytes the gateway wrote; returns every candidate cut from them, bad ones included.
    std::vector<Cut> on_bytes(std::int64_t now_ms, std::span<const std::uint8_t> bytes);

    // Frames due by now_ms, in order, to be written one at a time.
    std::vector<Frame> poll(std::int64_t now_ms);

    // When poll() next has something to do.
    std::int64_t next_event_ms() const;

    // The interface module's own report (bus active, bus off, ...), at priority F8.
    void report(std::int64_t now_ms, std::uint8_t interface_report);

    const Module* module_at(std::uint8_t address) const;

  private:
    void send(std::int64_t earliest_ms, Frame frame);
    void spontaneous(std::int64_t at_ms);
    std::int64_t tick_ms(std::int64_t k) const;
    void release_button(std::int64_t by_ms);
    Module* module_for(std::uint8_t address);
    Module& first_of(ModuleKind kind);

    struct Outgoing {
        std::int64_t due_ms;
        Frame frame;
    };

    Settings settings_;
    std::vector<Module> modules_ = default_bus();
    FrameCutter cutter_;
    std::deque<Outgoing> outgoing_;
    std::int64_t last_due_ms_;
    std::mt19937 rng_;
    std::int64_t ticks_from_ms_;  // spontaneous frame k is due ticks_from_ms_ + k / rate
    std::int64_t tick_ = 1;
    std::optional<std::int64_t> release_ms_;  // a held button lets go then
    bool release_took_slot_ = false;
};

}  // namespace quillon::bussim
