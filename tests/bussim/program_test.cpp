// Drives the real quillon-bussim over its pseudo-terminal.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "app/bussim/frame.hpp"
#include "app/bussim/modules.hpp"

extern char** environ;

namespace quillon::bussim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto patience = std::chrono::seconds(5);  // generous: the machine is shared

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

class BussimProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/bussim-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {pty_, in_, out_, err_})
            if (fd >= 0) close(fd);
        std::filesystem::remove_all(dir_);
    }

    void start(const std::vector<std::string>& args) {
        int in[2], out[2], err[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(QUILLON_BUSSIM_PROGRAM)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        ASSERT_EQ(rc, 0);
    }

    // Standard output (or error) up to and including the next line end, or what came
    // before the deadline.
    std::string read_line(Clock::time_point deadline, bool from_stderr = false) {
        const int from = from_stderr ? err_ : out_;
        std::string line;
        char c = 0;
        while (c != '\n') {
            pollfd fd{from, POLLIN, 0};
            if (poll(&fd, 1, remaining_ms(deadline)) <= 0 || read(from, &c, 1) != 1) break;
            line += c;
        }
        return line;
    }

    void type(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // Exactly `count` bytes from the terminal, or fewer if they don't come in time.
    Frame read_bytes(std::size_t count) {
        const auto deadline = Clock::now() + patience;
        Frame bytes(count);
        std::size_t got = 0;
        while (got < count) {
            pollfd fd{pty_, POLLIN, 0};
            if (poll(&fd, 1, remaining_ms(deadline)) <= 0) break;
            const auto n = read(pty_, bytes.data() + got, count - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }

    void open_pty(const std::string& path) {
        pty_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(pty_, 0) << path;
        termios t{};
        ASSERT_EQ(tcgetattr(pty_, &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(pty_, TCSANOW, &t), 0);
    }

    // The next valid frame from `address` with command `cmd`, skipping other traffic.
    std::optional<Frame> await(std::uint8_t address, std::uint8_t cmd) {
        const auto deadline = Clock::now() + patience;
        while (true) {
            for (auto& cut : pending_) {
                if (cut.status == FrameStatus::valid && frame_address(cut.bytes) == address &&
                    !frame_data(cut.bytes).empty() && frame_data(cut.bytes)[0] == cmd) {
                    Frame found = std::move(cut.bytes);
                    pending_.clear();
                    return found;
                }
            }
            pending_.clear();
            pollfd fd{pty_, POLLIN, 0};
            if (poll(&fd, 1, remaining_ms(deadline)) <= 0) return std::nullopt;
            std::uint8_t buf[256];
            const auto n = read(pty_, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            pending_ = cutter_.feed(std::span(buf, static_cast<std::size_t>(n)));
        }
    }

    std::optional<int> stop() {
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + patience;
        int status = 0;
        while (Clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                if (!WIFEXITED(status)) return std::nullopt;
                return WEXITSTATUS(status);
            }
            usleep(10000);
        }
        return std::nullopt;
    }

    std::string dir_;
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    int pty_ = -1;
    FrameCutter cutter_;
    std::vector<Cut> pending_;
};

TEST_F(BussimProgram, AnswersScansOnItsTerminalLogsThemAndEndsOnSigterm) {
    const std::string link = dir_ + "/velbus";
    ASSERT_NO_FATAL_FAILURE(start({"--rate", "2", "--seed", "9", "--link", link}));
    const auto path = read_line(Clock::now() + patience);
    ASSERT_TRUE(path.starts_with("/dev/pts/") && path.ends_with("\n")) << path;
    const auto pty_path = path.substr(0, path.size() - 1);
    EXPECT_EQ(std::filesystem::read_symlink(link), pty_path);
    ASSERT_NO_FATAL_FAILURE(open_pty(link));

    const std::pair<std::uint8_t, std::uint8_t> modules[] = {
        {0x01, 0x11}, {0x02, 0x05}, {0x03, 0x0C}, {0x04, 0x07}};
    for (const auto& [address, type] : modules) {
        const auto scan = build_frame(priority_low, address, true, {});
        ASSERT_EQ(write(pty_, scan.data(), scan.size()), static_cast<ssize_t>(scan.size()));
        const auto reply = await(address, 0xFF);
        ASSERT_TRUE(reply.has_value()) << "no module type from " << int{address};
        EXPECT_EQ(frame_data(*reply)[1], type);
    }

    EXPECT_EQ(stop(), std::optional<int>(0));
    EXPECT_FALSE(std::filesystem::is_symlink(link)) << "link left behind";
    std::string log;
    for (std::string line; !(line = read_line(Clock::now() + patience)).empty();)
        log += line;
    for (const auto& [address, type] : modules) {
        EXPECT_NE(log.find(hex_dump(build_frame(priority_low, address, true, {})) + "\n"),
                  std::string::npos)
            << log;
    }
}

TEST_F(BussimProgram, SendsEachFlowControlReportTypedOnItsInputAndCarriesOnAfterItsEnd) {
    ASSERT_NO_FATAL_FAILURE(start({"--rate", "0"}));
    const auto path = read_line(Clock::now() + patience);
    ASSERT_TRUE(path.ends_with("\n")) << path;
    ASSERT_NO_FATAL_FAILURE(open_pty(path.substr(0, path.size() - 1)));
    ASSERT_TRUE(await(0x00, command::bus_active).has_value()) << "no greeting";

    ASSERT_NO_FATAL_FAILURE(type("buffer-empty"));
    EXPECT_NE(read_line(Clock::now() + patience, true).find("unknown command: buffer-empty"),
              std::string::npos);
    const std::pair<std::string, Frame> reports[] = {
        {"buffer-full", {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04}},
        {"buffer-ready", {0x0F, 0xF8, 0x00, 0x01, 0x0C, 0xEC, 0x04}},
        {"bus-off", {0x0F, 0xF8, 0x00, 0x01, 0x09, 0xEF, 0x04}},
        {"bus-active", {0x0F, 0xF8, 0x00, 0x01, 0x0A, 0xEE, 0x04}},
    };
    for (const auto& [line, frame] : reports) {
        ASSERT_NO_FATAL_FAILURE(type(line));
        EXPECT_EQ(hex_dump(read_bytes(frame.size())), hex_dump(frame)) << line;
    }

    close(in_);
    in_ = -1;
    const auto scan = build_frame(priority_low, 0x01, true, {});
    ASSERT_EQ(write(pty_, scan.data(), scan.size()), static_cast<ssize_t>(scan.size()));
    EXPECT_TRUE(await(0x01, command::module_type).has_value()) << "no answer after end of input";
}

}  // namespace
}  // namespace quillon::bussim
