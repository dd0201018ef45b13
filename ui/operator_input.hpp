#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/view_types.hpp"

namespace quillon {

enum class OperatorEventKind {
    none,     // the wait ended without the operator doing anything
    control,  // a control was used
    close,    // the window's close button (or SIGINT, SIGTERM)
    reload,   // read the settings file again (SIGHUP)
    request,  // a visitor from afar asks for what the gateway holds
};

// What a request from afar asks for.
enum class Asked : std::uint8_t {
    figures,     // the Prometheus text
    saved_list,  // the bytes "Save" writes, and the file's name
    health,      // why the gateway cannot carry frames, if it cannot
};

// One use of a control, with the state it left the control in.
struct OperatorEvent {
    OperatorEventKind kind = OperatorEventKind::none;
    Control control{};  // for a control's use
    // The wait ended early because the serial port or the network has something.
    bool input_ready = false;
    // A toggle button's or check box's state after the use.
    bool checked = false;
    // The filter text after an edit.
    std::string text;
    // "Disconnect": the client of the selected row; 0 when no row is selected.
    std::int32_t client = 0;
    // Who used the control from afar (a browser's number); 0, the operator
    // here. An answer to a remote use goes back to it and halts nothing.
    std::int32_t requester = 0;
    // A request: what it asks for, and (the figures) how many browsers the
    // outlet has let in. Its number is `requester`.
    Asked asked = Asked::health;
    std::size_t browsers = 0;

    static OperatorEvent used(Control used_control) {
        OperatorEvent e;
        e.kind = OperatorEventKind::control;
        e.control = used_control;
        return e;
    }
    static OperatorEvent close_requested() {
        OperatorEvent e;
        e.kind = OperatorEventKind::close;
        return e;
    }
    static OperatorEvent reload_requested() {
        OperatorEvent e;
        e.kind = OperatorEventKind::reload;
        return e;
    }
};

// The loop's wait: for the next thing the operator does, for the serial port
// or the network to have something, or for a time-out.
class LoopWait {
  public:
    virtual ~LoopWait() = default;
    // Waits at most timeout_ms for an event; returns sooner, with no event,
    // when the serial port or the network has something.
    virtual OperatorEvent wait_event(std::int32_t timeout_ms) = 0;
};

// What the first-configuration dialog (or its console questions) hands back.
struct FirstConfigurationAnswer {
    enum class Action { ok, quit, unavailable };
    Action action = Action::quit;
    std::string serial_port_name;
    std::string port_text;   // digits only
    bool rs_module = false;  // the RS-232 module chosen instead of the USB one
};

// Questions and messages that halt the loop until the operator answers or
// has read them.
class OperatorDialogs {
  public:
    virtual ~OperatorDialogs() = default;
    virtual void message_box(std::string_view title, std::string_view text, MessageIcon icon) = 0;
    [[nodiscard]] virtual bool ask_yes_no(std::string_view title, std::string_view text) = 0;
    // The first-configuration dialog: shown, then asked until it ends.
    virtual FirstConfigurationAnswer ask_first_configuration() = 0;
    virtual void close_first_configuration() = 0;
};

}  // namespace quillon
