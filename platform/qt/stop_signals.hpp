#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace quillon {

// SIGINT and SIGTERM end the gateway the way the window's close button does;
// SIGHUP has the settings read again. The handler only writes a byte to a
// pipe; the loop reads it and calls `on_stop` or `on_reload`. One instance per
// process.
class StopSignals {
  public:
    explicit StopSignals(std::function<void()> on_stop, std::function<void()> on_reload = {});
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    std::function<void()> on_stop_;
    std::function<void()> on_reload_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quillon
