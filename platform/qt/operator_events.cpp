#include "platform/qt/operator_events.hpp"

namespace quillon {

void OperatorEventQueue::post(OperatorEvent event) {
    events_.push_back(std::move(event));
    waiter_.wake();
}

OperatorEvent OperatorEventQueue::wait_event(std::int32_t timeout_ms) {
    bool input_ready = false;
    if (events_.empty()) input_ready = waiter_.wait(timeout_ms);
    if (events_.empty()) {
        OperatorEvent none;
        none.input_ready = input_ready;
        return none;
    }
    OperatorEvent event = std::move(events_.front());
    events_.pop_front();
    return event;
}

}  // namespace quillon
