#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/bussim/frame.hpp"

namespace quillon::bussim {

// Command bytes of the public Velbus protocol (first data byte).
namespace command {
constexpr std::uint8_t push_button_status = 0x00;
constexpr std::uint8_t switch_relay_off = 0x01;
constexpr std::uint8_t switch_relay_on = 0x02;
constexpr std::uint8_t set_dim_value = 0x07;
constexpr std::uint8_t bus_off = 0x09;
constexpr std::uint8_t bus_active = 0x0A;
constexpr std::uint8_t rx_buffer_full = 0x0B;
constexpr std::uint8_t rx_ready = 0x0C;
constexpr std::uint8_t temperature_request = 0xE5;
constexpr std::uint8_t temperature = 0xE6;
constexpr std::uint8_t temperature_sensor_status = 0xEA;
constexpr std::uint8_t input_status = 0xED;
constexpr std::uint8_t dimmer_status = 0xEE;
constexpr std::uint8_t channel_name_request = 0xEF;
constexpr std::uint8_t channel_name_part1 = 0xF0;
constexpr std::uint8_t channel_name_part2 = 0xF1;
constexpr std::uint8_t channel_name_part3 = 0xF2;
constexpr std::uint8_t status_request = 0xFA;
constexpr std::uint8_t relay_status = 0xFB;
constexpr std::uint8_t read_memory = 0xFD;
constexpr std::uint8_t memory_data = 0xFE;
constexpr std::uint8_t module_type = 0xFF;
}  // namespace command

enum class ModuleKind { relays, inputs, temperature, dimmer };

struct Module {
    ModuleKind kind;
    std::uint8_t address;
    std::uint8_t type;  // module type code sent in the FF reply
    // Newer types put serial number and memory-map version before the build date.
    bool reports_serial;
    std::uint16_t serial;
    std::uint8_t map_version;
    std::uint8_t build_year;  // years since 2000
    std::uint8_t build_week;
    std::string name;  // up to 16 characters, in memory from name_address on
    std::uint16_t name_address;
    std::vector<std::string> channel_names;  // one per channel, up to 16 characters

    std::uint8_t relays_on = 0;      // channel bit mask
    std::uint8_t inputs_closed = 0;  // channel bit mask
    int dim_percent = 0;
    int temperature_16ths = 21 * 16;  // the sensor resolves 1/16 degree Celsius
    int temperature_min_16ths = 21 * 16;
    int temperature_max_16ths = 21 * 16;

    int channels() const { return static_cast<int>(channel_names.size()); }
    std::uint8_t channel_mask() const {
        return static_cast<std::uint8_t>((1u << channel_names.size()) - 1);
    }
};

// Relays at 01 (VMB4RYNO), push buttons at 02 (VMB6IN), temperature at 03 (VMB1TS),
// dimmer at 04 (VMB1DM). The interface module itself has address 00.
std::vector<Module> default_bus();

Frame module_type_frame(const Module& m);
std::uint8_t memory_byte(const Module& m, std::uint16_t memory_address);
std::vector<Frame> channel_name_frames(const Module& m, std::uint8_t channel_mask);
std::vector<Frame> status_frames(const Module& m, std::uint8_t channel_mask);
Frame relay_status_frame(const Module& m, int channel);
Frame temperature_frame(const Module& m);
Frame button_frame(const Module& m, std::uint8_t pressed, std::uint8_t released);
Frame interface_frame(std::uint8_t report);  // bus off, bus active, buffer full, rx ready

// Carries out a frame addressed to `m` and returns the replies a real module sends, in
// order; empty when the module ignores the frame.
std::vector<Frame> answer(Module& m, const Frame& request);

}  // namespace quillon::bussim
