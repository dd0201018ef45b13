#pragma once

#include <deque>

#include "platform/qt/event_waiter.hpp"
#include "ui/operator_input.hpp"

namespace quillon {

// The operator's events from whichever controls there are (the window's, the
// console's commands, a signal), in order, and the loop's wait for them. Each
// event ends the wait at once.
class OperatorEventQueue final : public LoopWait {
  public:
    explicit OperatorEventQueue(EventWaiter& waiter) : waiter_(waiter) {}

    void post(OperatorEvent event);
    // The close button's event (SIGINT, SIGTERM too).
    void post_close() { post(OperatorEvent::close_requested()); }
    void post_reload() { post(OperatorEvent::reload_requested()); }
    // A control's use without a state.
    void post_control(Control control) { post(OperatorEvent::used(control)); }

    OperatorEvent wait_event(std::int32_t timeout_ms) override;

  private:
    EventWaiter& waiter_;
    std::deque<OperatorEvent> events_;
};

}  // namespace quillon
