#pragma once

#include <sys/types.h>

#include <string>

namespace quillon {

// The bus simulator as a child process, for the demo.
class SimulatorProcess {
  public:
    SimulatorProcess() = default;
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;
    ~SimulatorProcess() { stop(); }

    // Starts `program` and returns the path of its pseudo-terminal, or an
    // empty text (with `error` set) when it could not be started.
    std::string start(const std::string& program, std::string& error);
    void stop();

  private:
    pid_t pid_ = -1;
};

}  // namespace quillon
