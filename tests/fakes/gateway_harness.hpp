#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bus/bus_frame.hpp"
#include "core/gateway.hpp"
#include "core/gateway_loop.hpp"
#include "core/servers.hpp"
#include "platform/posix/posix_files.hpp"
#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/fake_network.hpp"
#include "tests/fakes/fake_serial_port.hpp"
#include "tests/fakes/fake_view.hpp"
#include "tests/support/velbus_frame.hpp"

namespace quillon::testing {

// A gateway on in-memory ports, its files in a fresh temporary directory.
class GatewayHarness : public ::testing::Test {
  protected:
    FakeClock clock;
    FakeSerialPort serial{clock};
    FakeNetwork net;
    FakeView view{clock};
    NoViewWatcher watcher;
    PosixFiles files;
    Gateway gw{{clock, serial, net, view, watcher, view, view, view, files}};
    std::filesystem::path dir;

    void SetUp() override {
        net.clock = &clock;
        view.input_pending = [this] {
            return (serial.open_now && (!serial.incoming.empty() || serial.failed)) ||
                   net.has_pending();
        };
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("quillon-test-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" +
               std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        gw.setup.settings_file = dir / "Quillon.ini";
        gw.setup.data_directory = dir;
    }
    void TearDown() override {
        shutdown(gw);
        std::filesystem::remove_all(dir);
    }

    // Passes of the loop until `ms` of its clock have gone by.
    void run_for(std::int64_t ms) {
        const std::int64_t until = clock.now + ms;
        for (int guard = 0; guard < 1000000 && clock.now < until; ++guard)
            run_pass(gw);
    }

    void write_settings(const std::string& text) {
        std::ofstream(dir / "Quillon.ini", std::ios::binary) << text;
    }

    // Starts with a settings file on the serial port "COM1" and TCP port 8080.
    StartOutcome start(
        const std::string& settings = "IPPort = 8080\r\nSerialPort = COM1,38400,0,8,1,0\r\n") {
        write_settings(settings);
        return start_gateway(gw);
    }

    std::string file_text(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

}  // namespace quillon::testing
