#include "platform/posix/simulator_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillon {

std::string SimulatorProcess::start(const std::string& program, std::string& error) {
    int out[2];
    if (::pipe(out) != 0) {
        error = std::strerror(errno);
        return {};
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        error = std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return {};
    }
    if (pid_ == 0) {
        // The simulator ends with the gateway, however the gateway ends.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // Standard input carries the operator's commands to the gateway, not to the simulator.
        const int nothing = ::open("/dev/null", O_RDONLY);
        if (nothing > STDIN_FILENO) {
            ::dup2(nothing, STDIN_FILENO);
            ::close(nothing);
        }
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        // Its log of received frames would mix with the traffic rows.
        ::execl(program.c_str(), program.c_str(), "--log", "/dev/null",
                static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(out[1]);

    // The first line is the pseudo-terminal's path.
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 5000) > 0) {
        char chunk[256];
        const ssize_t n = ::read(out[0], chunk, sizeof chunk);
        if (n <= 0) break;
        line.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    const auto end = line.find('\n');
    if (end == std::string::npos || line.rfind("/dev/", 0) != 0) {
        error = "the bus simulator " + program + " did not start";
        stop();
        return {};
    }
    return line.substr(0, end);
}

void SimulatorProcess::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

}  // namespace quillon
