#include "platform/qt/event_waiter.hpp"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

namespace quillon {

EventWaiter::EventWaiter() = default;
EventWaiter::~EventWaiter() = default;

void EventWaiter::wake() {
    // Called from the handlers that run inside the wait; the wait looks at
    // the flag as soon as they return.
    woken_ = true;
}

bool EventWaiter::anything_pending() const {
    for (const auto& check : checks_) {
        if (check()) return true;
    }
    return false;
}

bool EventWaiter::wait(int timeout_ms) {
    // Qt's own objects may have asked to be deleted (the TLS server lets a
    // failed handshake's socket go that way); Qt's event loop, which would
    // do it, never runs here.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (woken_ || anything_pending()) {
        // What arrived is taken in before the pass looks at it.
        QCoreApplication::processEvents();
        woken_ = false;
        return true;
    }
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (timeout_ms <= 0 || dispatcher == nullptr) {
        QCoreApplication::processEvents();
        const bool woken = woken_ || anything_pending();
        woken_ = false;
        return woken;
    }
    if (!timer_) {
        timer_ = std::make_unique<QTimer>();
        timer_->setSingleShot(true);
        timer_->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer_.get(), &QTimer::timeout, [this] { timed_out_ = true; });
    }
    // One pass of Qt's event processing per event that comes, sleeping in
    // between, until something for the loop has come or the time is up.
    timed_out_ = false;
    timer_->start(timeout_ms);
    while (!woken_ && !timed_out_ && !anything_pending())
        dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
    timer_->stop();
    const bool woken = woken_ || anything_pending();
    woken_ = false;
    return woken;
}

}  // namespace quillon
