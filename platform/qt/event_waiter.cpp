#include "platform/qt/event_waiter.hpp"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace quillon {

void EventWaiter::wake() {
    woken_ = true;
    if (loop_ != nullptr) loop_->quit();
}

bool EventWaiter::anything_pending() const {
    for (const auto& check : checks_) {
        if (check()) return true;
    }
    return false;
}

bool EventWaiter::wait(int timeout_ms) {
    QCoreApplication::processEvents();
    if (woken_ || anything_pending()) {
        woken_ = false;
        return true;
    }
    if (timeout_ms <= 0) return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeout_ms);
    loop_ = &loop;
    loop.exec();
    loop_ = nullptr;
    const bool woken = woken_;
    woken_ = false;
    return woken;
}

}  // namespace quillon
