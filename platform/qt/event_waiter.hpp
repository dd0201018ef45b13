#pragma once

#include <functional>
#include <memory>
#include <vector>

class QTimer;

namespace quillon {

// How the single loop sleeps between passes: Qt's events are processed while
// it waits, and the wait ends as soon as the serial port, a socket or the
// operator has something, or when the time-out passes.
class EventWaiter {
  public:
    using PendingCheck = std::function<bool()>;

    EventWaiter();
    ~EventWaiter();
    EventWaiter(const EventWaiter&) = delete;
    EventWaiter& operator=(const EventWaiter&) = delete;

    // A source that can hold unread input without raising a new signal.
    void add_pending_check(PendingCheck check) { checks_.push_back(std::move(check)); }

    // Something arrived: ends the current wait, or the next one at once.
    void wake();

    // Processes events for at most timeout_ms milliseconds. True when it ended
    // because something arrived rather than by the time-out.
    bool wait(int timeout_ms);

  private:
    bool anything_pending() const;

    std::vector<PendingCheck> checks_;
    // Made on the first wait: a QTimer needs the application to exist.
    std::unique_ptr<QTimer> timer_;
    bool woken_ = false;
    bool timed_out_ = false;
};

}  // namespace quillon
