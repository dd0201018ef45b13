#include "app/bussim/modules.hpp"

#include <algorithm>

namespace quillon::bussim {
namespace {

std::uint8_t hi(int v) {
    return static_cast<std::uint8_t>((v >> 8) & 0xFF);
}
std::uint8_t lo(int v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}
std::uint8_t bit(int channel) {
    return static_cast<std::uint8_t>(1u << channel);
}

// The E6 reading carries 1/16 degree in the top 11 bits of a signed 16-bit value.
int raw_temperature(int sixteenths) {
    return sixteenths * 32;
}

// The EA status carries whole half degrees.
std::uint8_t half_degrees(int sixteenths) {
    return static_cast<std::uint8_t>(sixteenths / 8);
}

}  // namespace

std::vector<Module> default_bus() {
    return {
        {.kind = ModuleKind::relays,
         .address = 0x01,
         .type = 0x11,
         .reports_serial = true,
         .serial = 0x2A17,
         .map_version = 0x03,
         .build_year = 18,
         .build_week = 36,
         .name = "Kitchen relays",
         .name_address = 0x00F0,
         .channel_names = {"Ceiling", "Worktop", "Extractor hood", "Sockets"}},
        {.kind = ModuleKind::inputs,
         .address = 0x02,
         .type = 0x05,
         .reports_serial = false,
         .serial = 0,
         .map_version = 0,
         .build_year = 11,
         .build_week = 20,
         .name = "Hall buttons",
         .name_address = 0x00F0,
         .channel_names = {"Front door", "Hall light", "Stairs", "Kitchen", "All off", "Panic"}},
        {.kind = ModuleKind::temperature,
         .address = 0x03,
         .type = 0x0C,
         .reports_serial = false,
         .serial = 0,
         .map_version = 0,
         .build_year = 10,
         .build_week = 45,
         .name = "Living temp",
         .name_address = 0x00F0,
         .channel_names = {"Living room"}},
        {.kind = ModuleKind::dimmer,
         .address = 0x04,
         .type = 0x07,
         .reports_serial = false,
         .serial = 0,
         .map_version = 0,
         .build_year = 12,
         .build_week = 7,
         .name = "Bedroom dimmer",
         .name_address = 0x00F0,
         .channel_names = {"Bed lamp"}},
    };
}

Frame module_type_frame(const Module& m) {
    if (m.reports_serial) {
        return build_frame(priority_low, m.address,
                           {command::module_type, m.type, hi(m.serial), lo(m.serial), m.map_version,
                            m.build_year, m.build_week});
    }
    return build_frame(priority_low, m.address,
                       {command::module_type, m.type, m.build_year, m.build_week});
}

std::uint8_t memory_byte(const Module& m, std::uint16_t memory_address) {
    const int offset = memory_address - m.name_address;
    if (offset < 0 || offset >= 16) return 0xFF;  // unused memory reads as erased
    const auto i = static_cast<std::size_t>(offset);
    return i < m.name.size() ? static_cast<std::uint8_t>(m.name[i]) : 0xFF;
}

std::vector<Frame> channel_name_frames(const Module& m, std::uint8_t channel_mask) {
    // Three pieces of 6, 6 and 4 characters, padded with FF; the channel goes as its bit.
    static constexpr std::uint8_t parts[] = {
        command::channel_name_part1, command::channel_name_part2, command::channel_name_part3};
    std::vector<Frame> frames;
    for (int ch = 0; ch < m.channels(); ++ch) {
        if ((channel_mask & bit(ch)) == 0) continue;
        const auto& name = m.channel_names[static_cast<std::size_t>(ch)];
        for (std::size_t part = 0; part < 3; ++part) {
            std::vector<std::uint8_t> data{parts[part], bit(ch)};
            for (std::size_t i = part * 6; i < std::min<std::size_t>(part * 6 + 6, 16); ++i) {
                data.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0xFF);
            }
            frames.push_back(build_frame(priority_low, m.address, false, data));
        }
    }
    return frames;
}

Frame relay_status_frame(const Module& m, int channel) {
    const bool on = (m.relays_on & bit(channel)) != 0;
    // channel, mode (normal), relay on/off, LED (on follows the relay), delay time
    return build_frame(priority_low, m.address,
                       {command::relay_status, bit(channel), 0x00, static_cast<std::uint8_t>(on),
                        static_cast<std::uint8_t>(on ? 0x80 : 0x00), 0x00, 0x00, 0x00});
}

Frame temperature_frame(const Module& m) {
    const int cur = raw_temperature(m.temperature_16ths);
    const int min = raw_temperature(m.temperature_min_16ths);
    const int max = raw_temperature(m.temperature_max_16ths);
    return build_frame(
        priority_low, m.address,
        {command::temperature, hi(cur), lo(cur), hi(min), lo(min), hi(max), lo(max)});
}

Frame button_frame(const Module& m, std::uint8_t pressed, std::uint8_t released) {
    return build_frame(priority_high, m.address,
                       {command::push_button_status, pressed, released, 0x00});
}

Frame interface_frame(std::uint8_t report) {
    return build_frame(priority_high, 0x00, {report});
}

std::vector<Frame> status_frames(const Module& m, std::uint8_t channel_mask) {
    if ((channel_mask & m.channel_mask()) == 0) return {};
    switch (m.kind) {
        case ModuleKind::relays: {
            std::vector<Frame> frames;
            for (int ch = 0; ch < m.channels(); ++ch) {
                if (channel_mask & bit(ch)) frames.push_back(relay_status_frame(m, ch));
            }
            return frames;
        }
        case ModuleKind::inputs:
            // closed inputs, enabled, not inverted, locked, program disabled
            return {build_frame(priority_low, m.address,
                                {command::input_status, m.inputs_closed, m.channel_mask(),
                                 m.channel_mask(), 0x00, 0x00})};
        case ModuleKind::temperature:
            // mode flags, program, alarms, current and target temperature, sleep timer
            return {build_frame(priority_low, m.address,
                                {command::temperature_sensor_status, 0x00, 0x00, 0x00,
                                 half_degrees(m.temperature_16ths), 42, 0x00, 0x00})};
        case ModuleKind::dimmer:
            // mode (dimmer), value in percent, LED, delay time
            return {build_frame(
                priority_low, m.address,
                {command::dimmer_status, 0x02, static_cast<std::uint8_t>(m.dim_percent),
                 static_cast<std::uint8_t>(m.dim_percent > 0 ? 0x80 : 0x00), 0x00, 0x00, 0x00})};
    }
    return {};
}

std::vector<Frame> answer(Module& m, const Frame& request) {
    const auto data = frame_data(request);
    if (frame_rtr(request)) {
        if (data.empty()) return {module_type_frame(m)};
        return {};
    }
    if (data.empty()) return {};
    const std::uint8_t arg = data.size() > 1 ? data[1] : 0;
    switch (data[0]) {
        case command::read_memory: {
            if (data.size() < 3) return {};
            const auto at = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
            return {build_frame(priority_low, m.address,
                                {command::memory_data, data[1], data[2], memory_byte(m, at)})};
        }
        case command::channel_name_request:
            return channel_name_frames(m, arg);
        case command::status_request:
            return status_frames(m, arg);
        case command::temperature_request:
            if (m.kind != ModuleKind::temperature) return {};
            return {temperature_frame(m)};
        case command::switch_relay_on:
        case command::switch_relay_off: {
            if (m.kind != ModuleKind::relays) return {};
            const auto mask = static_cast<std::uint8_t>(arg & m.channel_mask());
            if (data[0] == command::switch_relay_on) {
                m.relays_on |= mask;
            } else {
                m.relays_on &= static_cast<std::uint8_t>(~mask);
            }
            return status_frames(m, mask);
        }
        case command::set_dim_value:
            if (m.kind != ModuleKind::dimmer || data.size() < 3 || (arg & 0x01) == 0) return {};
            m.dim_percent = std::min<int>(data[2], 100);
            return status_frames(m, arg);
        default:
            return {};
    }
}

}  // namespace quillon::bussim
