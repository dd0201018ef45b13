// The web monitor's admission under a crowd: connections from a few or many
// addresses open, ask for a WebSocket, give the key and leave in any order,
// with time passing. No address may hold more than its share, no kind more
// than its places, a place given up for a newcomer is really left, and once
// all have gone nothing is held. Pings are answered at most ten within any
// second.
//
// Input: a program of one-byte operations with their operands.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "fuzz/fuzz_input.hpp"
#include "platform/web/browser_admission.hpp"

namespace {

using namespace quillon;
using namespace quillon::fuzzing;

enum class State { http, unadmitted, browser };

// What is open, by what the fuzzer did: each connection's address and state.
using Model = std::map<BrowserAdmission::Id, std::pair<std::string, State>>;

void check_against(const BrowserAdmission& a, const Model& m) {
    std::map<State, std::size_t> totals;
    std::map<std::string, std::size_t> http;
    std::map<std::string, std::size_t> websockets;
    for (const auto& [id, entry] : m) {
        ++totals[entry.second];
        ++(entry.second == State::http ? http : websockets)[entry.first];
        check(a.admitted(id) == (entry.second == State::browser));
    }
    check(a.http_connections() == totals[State::http]);
    check(a.unadmitted() == totals[State::unadmitted]);
    check(a.browsers() == totals[State::browser]);
    check(a.http_connections() <= max_http_connections);
    check(a.unadmitted() <= max_unadmitted);
    check(a.browsers() <= max_browsers);
    for (const auto& [address, n] : http)
        check(n <= max_http_per_address);
    for (const auto& [address, n] : websockets)
        check(a.websockets_of(address) == n && n <= max_websockets_per_address);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BrowserAdmission admission;
    Model model;
    PingBudget pings;
    std::deque<std::int64_t> answered;
    std::int64_t now = 0;
    BrowserAdmission::Id next = 1;
    Input in{data, size};
    const auto pick = [&]() -> BrowserAdmission::Id {
        if (model.empty()) return 0;
        auto it = model.begin();
        std::advance(it, in.next() % model.size());
        return it->first;
    };
    while (!in.empty()) {
        const std::uint8_t op = in.next();
        switch (op % 6) {
            case 0: {
                // One connection, or a burst from one address; a crowd of up to
                // 32 addresses, or a few.
                const std::string address =
                    "10.0.0." + std::to_string(op & 0x80 ? in.next() % 32 : in.next() % 3);
                for (int n = (op & 0x40) != 0 ? 20 : 1; n > 0; --n) {
                    const BrowserAdmission::Id id = next++;
                    const Places::Taken taken = admission.connection_opens(id, address, now);
                    if (taken.evicted) {
                        check(model.count(*taken.evicted) != 0 &&
                              model[*taken.evicted].second == State::http);
                        model.erase(*taken.evicted);
                    }
                    if (taken.ok) model[id] = {address, State::http};
                }
                break;
            }
            case 1: {
                const BrowserAdmission::Id id = pick();
                if (id == 0 || model[id].second != State::http) break;
                const bool key = (op & 0x20) == 0;
                std::optional<BrowserAdmission::Id> evicted;
                const auto upgrade =
                    admission.websocket_opens(id, model[id].first, key, now, evicted);
                if (evicted) {
                    check(key && model.count(*evicted) != 0 &&
                          model[*evicted].second == State::unadmitted);
                    model.erase(*evicted);
                }
                if (upgrade == BrowserAdmission::Upgrade::ok)
                    model[id].second = key ? State::unadmitted : State::browser;
                break;
            }
            case 2: {
                const BrowserAdmission::Id id = pick();
                if (id == 0 || model[id].second != State::unadmitted) break;
                const std::size_t before = admission.browsers();
                if (admission.admit(id)) {
                    model[id].second = State::browser;
                } else {
                    check(before == max_browsers);
                }
                break;
            }
            case 3: {
                const BrowserAdmission::Id id = pick();
                if (id == 0) break;
                admission.closes(id);
                model.erase(id);
                break;
            }
            case 4: {
                if (pings.answer(now)) answered.push_back(now);
                while (!answered.empty() && now - answered.front() >= 1000)
                    answered.pop_front();
                check(answered.size() <= static_cast<std::size_t>(max_pongs_per_second));
                break;
            }
            default:
                now += in.next() * (op & 0x80 ? 100 : 3);
                break;
        }
        check_against(admission, model);
    }
    for (const auto& [id, entry] : model)
        admission.closes(id);
    check(admission.http_connections() == 0 && admission.websockets() == 0 &&
          admission.unadmitted() == 0 && admission.browsers() == 0);
    return 0;
}
