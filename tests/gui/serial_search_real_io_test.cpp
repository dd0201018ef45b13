// "SerialPort = auto" on real parts: a pseudo-terminal is the interface module
// the search lists, opened by the Qt serial adapter, with the headless
// console's standard output and error as memory.
#include <unistd.h>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bus/bus_frame.hpp"
#include "core/gateway.hpp"
#include "core/gateway_loop.hpp"
#include "core/servers.hpp"
#include "gui_test_support.hpp"
#include "platform/console/console_view.hpp"
#include "platform/posix/posix_files.hpp"
#include "platform/qt/event_waiter.hpp"
#include "platform/qt/operator_events.hpp"
#include "platform/qt/qt_network.hpp"
#include "platform/qt/qt_serial_port.hpp"
#include "platform/qt/system_clock.hpp"
#include "real_io_support.hpp"
#include "tests/fakes/fake_serial_device_finder.hpp"

namespace quillon::testing {
namespace {

class SerialSearchOnRealIo : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = open_pseudo_terminal();
        ASSERT_GE(master_, 0);
        const std::uint16_t port = free_port_pair();
        ASSERT_NE(port, 0);
        ConsoleView::Options o;
        o.out = out_.file();
        o.err = err_.file();
        o.input_fd = -1;
        view_ = std::make_unique<ConsoleView>(events_, o);
        gw_ = std::make_unique<Gateway>(
            Ports{clock_, serial_, network_, *view_, watcher_, events_, *view_, *view_, files_});
        gw_->setup.settings_text = "IPPort = " + std::to_string(port) + "\r\nSerialPort = auto\r\n";
        gw_->setup.listen_override = std::vector<std::string>{"127.0.0.1"};
        gw_->setup.serial_devices = &finder_;
    }
    void TearDown() override {
        if (gw_) shutdown(*gw_);
        gw_.reset();
        view_.reset();
        ::close(master_);
    }
    std::string out() { return out_.text(); }
    std::string err() { return err_.text(); }
    // Runs passes until `done` holds, at most 5 s.
    bool passes_until(const std::function<bool()>& done) {
        return testing::passes_until(*gw_, done);
    }

    EventWaiter waiter_;
    SystemClock clock_;
    PosixFiles files_;
    QtSerialPort serial_{waiter_};
    QtNetwork network_{waiter_};
    OperatorEventQueue events_{waiter_};
    FakeSerialDeviceFinder finder_;
    // Declared before the view, which writes to them until it goes.
    quillon::testing::CapturedStream out_;
    quillon::testing::CapturedStream err_;
    std::unique_ptr<ConsoleView> view_;
    NoViewWatcher watcher_;
    std::unique_ptr<Gateway> gw_;
    int master_ = -1;
};

TEST_F(SerialSearchOnRealIo, TheListedModuleIsNamedOnStandardErrorAndItsFramesArrive) {
    const std::string device = ::ptsname(master_);
    finder_.devices = {device};
    ASSERT_EQ(start_gateway(*gw_), StartOutcome::running);
    EXPECT_NE(err().find("Velbus interface module found on " + device + "\n"), std::string::npos)
        << err();

    const std::uint8_t frame[] = {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
    ASSERT_EQ(::write(master_, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    const std::string shown = hex_dump(frame, sizeof frame);
    EXPECT_TRUE(passes_until([&] { return out().find(shown) != std::string::npos; })) << out();
}

}  // namespace
}  // namespace quillon::testing
