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
    int control;
    ControlUse use;
    // The filter is each page's own; only the operator may end the gateway.
    bool from_browsers;
};

inline constexpr ControlWord control_words[] = {
    {"clear", control::clear, ControlUse::press, true},
    {"save", control::save, ControlUse::press, true},
    {"filter", control::filter_toggle, ControlUse::text, false},
    {"invert", control::invert_toggle, ControlUse::check, false},
    {"debug", control::debug_check, ControlUse::check, true},
    {"delay", control::delay_check, ControlUse::check, true},
    {"disconnect", control::disconnect, ControlUse::press, true},
    {"disconnect-all", control::disconnect_all, ControlUse::press, true},
    {"quit", control::quit, ControlUse::press, false},
};

// The control a word names; nullptr for none.
inline const ControlWord* control_word(std::string_view word) {
    const auto* found = std::find_if(std::begin(control_words), std::end(control_words),
                                     [word](const ControlWord& c) { return c.word == word; });
    return found == std::end(control_words) ? nullptr : found;
}

}  // namespace quillon
