// The whole gateway in one process on its real parts: the window, the serial
// port on a pseudo-terminal, the network on loopback and the system clock.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "bus/bus_frame.hpp"
#include "core/gateway.hpp"
#include "core/gateway_loop.hpp"
#include "core/servers.hpp"
#include "gui_test_support.hpp"
#include "platform/posix/posix_files.hpp"
#include "platform/qt/event_waiter.hpp"
#include "platform/qt/operator_events.hpp"
#include "platform/qt/qt_network.hpp"
#include "platform/qt/qt_serial_port.hpp"
#include "platform/qt/system_clock.hpp"
#include "platform/window/qt_window_view.hpp"
#include "real_io_support.hpp"
#include "tests/support/velbus_frame.hpp"

namespace quillon::testing {
namespace {

class WindowOnRealIo : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = open_pseudo_terminal();
        ASSERT_GE(master_, 0);
        port_ = free_port_pair();
        ASSERT_NE(port_, 0);
        dir_ = std::filesystem::temp_directory_path() /
               ("quillon-window-io-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "Quillon.ini", std::ios::binary)
            << "IPPort = " << port_ << "\r\nSerialPort = " << ::ptsname(master_)
            << ",38400,0,8,1,0\r\n";
        gw_.setup.settings_file = dir_ / "Quillon.ini";
        gw_.setup.data_directory = dir_;
        gw_.setup.listen_override = std::vector<std::string>{"127.0.0.1"};
    }
    void TearDown() override {
        shutdown(gw_);
        if (client_ >= 0) ::close(client_);
        ::close(master_);
        std::filesystem::remove_all(dir_);
    }

    // Runs passes until `done` holds, at most 5 s.
    bool passes_until(const std::function<bool()>& done) {
        return testing::passes_until(gw_, done);
    }
    void connect_client() {
        client_ = connect_loopback(port_);
        ASSERT_GE(client_, 0);
        ::fcntl(client_, F_SETFL, ::fcntl(client_, F_GETFL) | O_NONBLOCK);
        ASSERT_TRUE(passes_until([&] {
            return control_of<QTreeWidget>(view_.main_window(), Control::client_list)
                       ->topLevelItemCount() > 0;
        }));
    }
    // Appends what is there to `into` without waiting.
    static void drain(int fd, Bytes& into) {
        std::uint8_t chunk[512];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
            into.insert(into.end(), chunk, chunk + n);
    }
    QTreeWidget* traffic_list() {
        return control_of<QTreeWidget>(view_.main_window(), Control::traffic_list);
    }

    EventWaiter waiter_;
    SystemClock clock_;
    QtSerialPort serial_{waiter_};
    QtNetwork network_{waiter_};
    OperatorEventQueue events_{waiter_};
    QtWindowView view_{events_, ""};
    NoViewWatcher watcher_;
    PosixFiles files_;
    Gateway gw_{{clock_, serial_, network_, view_, watcher_, events_, view_, view_, files_}};
    int master_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
    std::filesystem::path dir_;
};

TEST_F(WindowOnRealIo, FramesFromTheBusAndFromAClientShowInTheWindowAndGoTheirWays) {
    ASSERT_EQ(start_gateway(gw_), StartOutcome::running);
    connect_client();

    const Bytes from_bus = make_frame(0xFB, 0x03, {0xE6, 43});
    ASSERT_EQ(::write(master_, from_bus.data(), from_bus.size()),
              static_cast<ssize_t>(from_bus.size()));
    Bytes at_client;
    ASSERT_TRUE(passes_until([&] {
        drain(client_, at_client);
        return at_client.size() >= from_bus.size();
    }));
    EXPECT_EQ(at_client, from_bus);
    ASSERT_GE(traffic_list()->topLevelItemCount(), 1);
    QTreeWidgetItem* top = traffic_list()->topLevelItem(0);
    EXPECT_EQ(text_of(top->text(2)), hex_dump(from_bus));
    EXPECT_EQ(text_of(top->text(5)), "$03 (Temp: 21.5°C) from VelBUS");
    EXPECT_EQ(top->foreground(5).color(), QColor(20, 150, 20));
    EXPECT_FALSE(top->icon(0).isNull());

    const Bytes from_client = make_frame(0xF8, 0x01, {0x02, 0x01});
    ASSERT_EQ(::write(client_, from_client.data(), from_client.size()),
              static_cast<ssize_t>(from_client.size()));
    Bytes at_bus;
    ASSERT_TRUE(passes_until([&] {
        drain(master_, at_bus);
        return at_bus.size() >= from_client.size();
    }));
    EXPECT_EQ(at_bus, from_client);
    top = traffic_list()->topLevelItem(0);
    EXPECT_EQ(text_of(top->text(2)), hex_dump(from_client));
    EXPECT_EQ(text_of(top->text(5)).rfind("$01 (RelOn N°1 (%00000001)) from 127.0.0.1:", 0), 0u);
    EXPECT_EQ(top->foreground(5).color(), QColor(50, 50, 200));
}

}  // namespace
}  // namespace quillon::testing
