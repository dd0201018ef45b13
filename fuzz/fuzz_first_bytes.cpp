// The first bytes of TCP connections and the datagrams of would-be analyzers,
// with a key required: anything, in any pieces, closing at any moment, with
// time passing. A connection becomes a client only when it began with the
// key, nothing reaches the bus from any other, an analyzer is fed only when
// its datagram was the key, and no refusal row shows the key.
//
// Input: a program of one-byte operations with their operands.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

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

const std::string key = "k3y\x0F\x04";
constexpr std::size_t max_connections = 6;

bool begins_with_key(const std::string& sent) {
    return sent.size() >= key.size() && sent.compare(0, key.size(), key) == 0;
}

bool is_key_datagram(std::string d) {
    if (d.ends_with("\r\n")) {
        d.resize(d.size() - 2);
    } else if (d.ends_with('\n') || d.ends_with('\r')) {
        d.pop_back();
    }
    return d == key;
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
    gw.setup.settings_text =
        "IPPort = 8080\r\nSerialPort = COM1,38400,0,8,1,0\r\nAuthKey = " + key + "\r\n";
    if (start_gateway(gw) != StartOutcome::running) std::abort();

    std::map<ConnectionHandle, std::string> sent;  // everything each connection sent
    std::map<ConnectionHandle, bool> fed_key;      // each analyzer peer: was a datagram the key
    std::vector<ConnectionHandle> open;
    const auto pass = [&] {
        run_pass(gw);
        bool any_admitted = false;
        for (const ClientRecord& c : gw.clients.records()) {
            if (c.is_analyzer()) {
                check(fed_key[c.handle]);
            } else {
                check(begins_with_key(sent[c.handle]));
                any_admitted = true;
            }
        }
        if (!any_admitted) check(serial.writes.empty());
        for (const auto& [h, p] : net.peers) {
            // The analyzers that were not let in are forgotten at once.
            if (p.server == Server::analyzer && !fed_key[h]) check(!p.open);
        }
        for (const TrafficRow& row : view.traffic)
            check(row.cell(TrafficColumn::hex) != "- access -" ||
                  row.cell(TrafficColumn::source).find(key) == std::string::npos);
    };

    Input in{data, size};
    while (!in.empty()) {
        const std::uint8_t op = in.next();
        switch (op % 6) {
            case 0:
                if (open.size() < max_connections)
                    open.push_back(net.connect("192.168.1." + std::to_string(op % 3),
                                               static_cast<std::uint16_t>(900 + op)));
                break;
            case 1:
            case 2: {
                if (open.empty()) break;
                const ConnectionHandle c = open[in.next() % open.size()];
                std::string chunk(in.next() % 12 + 1, '\0');
                for (char& b : chunk) {
                    // Mostly the key's own bytes, so that keys and near misses are common.
                    const std::uint8_t r = in.next();
                    b = r < 0xC0 ? key[r % key.size()] : static_cast<char>(r);
                }
                if (net.peer(c).open) {
                    sent[c] += chunk;
                    net.client_sends(c, std::vector<std::uint8_t>(chunk.begin(), chunk.end()));
                }
                break;
            }
            case 3: {
                if (open.empty()) break;
                const std::size_t k = in.next() % open.size();
                if (net.peer(open[k]).open) net.client_closes(open[k]);
                open.erase(open.begin() + static_cast<std::ptrdiff_t>(k));
                break;
            }
            case 4: {
                std::string d(in.next() % 8, '\0');
                for (char& b : d) {
                    const std::uint8_t r = in.next();
                    b = r < 0x80 ? key[r % key.size()] : r < 0xC0 ? '\n' : static_cast<char>(r);
                }
                const ConnectionHandle h =
                    net.datagram("192.168.1.50", static_cast<std::uint16_t>(5000 + op % 4), d);
                // Fed only while it keeps sending the key; what it sent before does not count.
                if (is_key_datagram(d)) fed_key[h] = true;
                break;
            }
            default:
                clock.advance(in.next() * 40);
                break;
        }
        pass();
    }
    shutdown(gw);
    return 0;
}
