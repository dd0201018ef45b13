#pragma once

#include <string_view>

namespace quillon {

// The operator's log: lines that halt nothing, on standard error (a
// service's journal) whatever else shows them.
class OperatorLog {
  public:
    virtual ~OperatorLog() = default;
    // A line for what a service's log should keep, where the view does not
    // say it already.
    virtual void log_line(std::string_view text) = 0;
    // A line for the journal in any case: the start-up summary, clients that
    // come and go, settings that are not understood.
    virtual void journal(std::string_view text) = 0;
};

}  // namespace quillon
