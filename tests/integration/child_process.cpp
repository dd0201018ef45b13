#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace quillon::integration {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::filesystem::path& working_directory,
                           const std::vector<std::string>& environment) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            if (fd >= 0) ::close(fd);
        return;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, working_directory.c_str());
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const std::string& e : environment)
        env.push_back(const_cast<char*>(e.c_str()));
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(
            environment.begin(), environment.end(),
            [&](const std::string& given) { return given.starts_with(std::string(name) + "="); });
        if (!replaced) env.push_back(*e);
    }
    env.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_fd_ = in[1];
    out_.fd = out[0];
    err_.fd = err[0];
    if (rc == 0) pid_ = pid;
    out_.reader = std::thread([this] { read_stream(out_); });
    err_.reader = std::thread([this] { read_stream(err_); });
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    if (input_fd_ >= 0) ::close(input_fd_);
    stopping_ = true;
    for (Stream* s : {&out_, &err_}) {
        if (s->reader.joinable()) s->reader.join();
        if (s->fd >= 0) ::close(s->fd);
    }
}

void ChildProcess::read_stream(Stream& stream) {
    char chunk[4096];
    while (!stopping_) {
        pollfd p{stream.fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 50);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t n = ::read(stream.fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        std::lock_guard lock(mutex_);
        if (n <= 0) break;
        stream.text.append(chunk, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    stream.closed = true;
    changed_.notify_all();
}

bool ChildProcess::write_input(std::string_view text) {
    if (input_fd_ < 0) return false;
    while (!text.empty()) {
        const ssize_t n = ::write(input_fd_, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void ChildProcess::send_signal(int signal_number) {
    if (pid_ > 0 && !status_) ::kill(pid_, signal_number);
}

std::string ChildProcess::output() const {
    std::lock_guard lock(mutex_);
    return out_.text;
}

std::string ChildProcess::errors() const {
    std::lock_guard lock(mutex_);
    return err_.text;
}

bool ChildProcess::wait_stream(const Stream& stream, const TextCheck& done, Milliseconds patience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [&] { return done(stream.text); });
}

bool ChildProcess::wait_output(const TextCheck& done, Milliseconds patience) {
    return wait_stream(out_, done, patience);
}

bool ChildProcess::wait_errors(const TextCheck& done, Milliseconds patience) {
    return wait_stream(err_, done, patience);
}

bool ChildProcess::reap(bool block) {
    if (pid_ <= 0) return false;
    if (status_) return true;
    int raw = 0;
    pid_t got;
    do {
        got = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got != pid_) return false;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

std::optional<int> ChildProcess::wait_exit(Milliseconds patience) {
    const auto deadline = SteadyClock::now() + patience;
    while (!reap(false)) {
        if (SteadyClock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(Milliseconds(10));
    }
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return out_.closed && err_.closed; });
    return status_;
}

}  // namespace quillon::integration
