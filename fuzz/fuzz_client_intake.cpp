// Clients send anything, in any pieces, from several connections at once, and
// leave in the middle of a frame. The gateway must neither crash nor grow
// without bound, and what it writes to the bus must be what clients sent:
// whole frames, and runs that begin with a start byte.
//
// Input: a program of one-byte operations with their operands.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bus/bus_frame.hpp"
#include "core/gateway.hpp"
#include "core/gateway_loop.hpp"
#include "core/servers.hpp"
#include "fuzz/fuzz_input.hpp"
#include "platform/posix/posix_files.hpp"
#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/fake_network.hpp"
#include "tests/fakes/fake_serial_port.hpp"
#include "tests/fakes/fake_view.hpp"

namespace {

using namespace quillon;
using namespace quillon::testing;
using namespace quillon::fuzzing;

constexpr std::size_t max_clients = 4;

void check_state(const Gateway& gw, const FakeSerialPort& serial) {
    for (const ClientRecord& c : gw.clients.records()) {
        check(c.cutter.held_size() < BusFrame::max_size);
        check(c.frames_waiting >= 0);
    }
    for (const auto& w : serial.writes)
        check(!w.bytes.empty() && w.bytes.front() == BusFrame::start_byte);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FakeClock clock;
    FakeSerialPort serial{clock};
    FakeNetwork net;
    FakeView view{clock};
    NoViewWatcher watcher;
    PosixFiles files;
    Gateway gw{{clock, serial, net, view, watcher, view, view, view, files}};
    gw.setup.settings_text = "IPPort = 8080\r\nSerialPort = COM1,38400,0,8,1,0\r\n";
    if (start_gateway(gw) != StartOutcome::running) std::abort();
    view.set_checked(Control::delay_check, false);

    std::vector<ConnectionHandle> clients;
    const auto pass = [&] {
        run_pass(gw);
        check_state(gw, serial);
        clock.pauses.clear();
        serial.writes.clear();
    };
    Input in{data, size};
    while (!in.empty()) {
        const std::uint8_t op = in.next();
        switch (op % 6) {
            case 0:
                if (clients.size() < max_clients)
                    clients.push_back(
                        net.connect("192.168.1.2", static_cast<std::uint16_t>(900 + op)));
                break;
            case 1:
            case 2: {
                if (clients.empty()) break;
                const ConnectionHandle c = clients[in.next() % clients.size()];
                std::vector<std::uint8_t> chunk(in.next() % 48 + 1);
                for (auto& b : chunk) {
                    // Mostly frame-like bytes, so that frames and pieces of them are common.
                    const std::uint8_t r = in.next();
                    b = r < 0x30 ? BusFrame::start_byte : r < 0x50 ? BusFrame::end_byte : r;
                }
                if (net.peer(c).open) net.client_sends(c, chunk);
                break;
            }
            case 3: {
                if (clients.empty()) break;
                const std::size_t k = in.next() % clients.size();
                const ConnectionHandle c = clients[k];
                // As the real network does: what came before the close is read first.
                for (int guard = 0; guard < 64 && !net.peer(c).incoming.empty(); ++guard)
                    pass();
                if (net.peer(c).open) net.client_closes(c);
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(k));
                break;
            }
            case 4:
                clock.advance(in.next() * 10);
                break;
            default:
                break;
        }
        pass();
    }
    // Everyone leaves; then every frame and every piece they left reaches the bus.
    for (const ConnectionHandle c : clients) {
        for (int guard = 0; guard < 4000 && !net.peer(c).incoming.empty(); ++guard)
            pass();
        net.client_closes(c);
        pass();
    }
    for (int guard = 0; guard < 4000 && !gw.bus_bound.empty(); ++guard)
        pass();
    check(gw.bus_bound.empty());
    for (const ClientRecord& c : gw.clients.records())
        check(!c.live() && !c.cutter.holding() && c.frames_waiting == 0);
    shutdown(gw);
    return 0;
}
