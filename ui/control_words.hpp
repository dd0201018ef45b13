#pragma once

#include <algorithm>
#include <iterator>
#include <string_view>

#include "ui/view_types.hpp"

namespace quillon {

// How a control is used from a word: pressed; checked or unchecked ("on",
// "off"); or given a text.
enum class ControlUse { press, check, text };

// The window's controls by the words that the console's commands and the
// browsers' messages name them with.
struct ControlWord {
    std::string_view word;
    Control control;
    ControlUse use;
    // The filter is each page's own; only the operator may end the gateway.
    bool from_browsers;
};

inline constexpr ControlWord control_words[] = {
    {"clear", Control::clear, ControlUse::press, true},
    {"save", Control::save, ControlUse::press, true},
    {"filter", Control::filter_toggle, ControlUse::text, false},
    {"invert", Control::invert_toggle, ControlUse::check, false},
    {"debug", Control::debug_check, ControlUse::check, true},
    {"delay", Control::delay_check, ControlUse::check, true},
    {"disconnect", Control::disconnect, ControlUse::press, true},
    {"disconnect-all", Control::disconnect_all, ControlUse::press, true},
    {"clock", Control::set_clock, ControlUse::press, true},
    {"quit", Control::quit, ControlUse::press, false},
};

// The control a word names; nullptr for none.
inline const ControlWord* control_word(std::string_view word) {
    const auto* found = std::find_if(std::begin(control_words), std::end(control_words),
                                     [word](const ControlWord& c) { return c.word == word; });
    return found == std::end(control_words) ? nullptr : found;
}

// The word that names a control; empty for one that no word names.
inline std::string_view control_word(Control control) {
    for (const ControlWord& c : control_words)
        if (c.control == control) return c.word;
    return {};
}

}  // namespace quillon
