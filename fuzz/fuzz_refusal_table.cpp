// The one refusal table of every door, fed refusals from a few addresses at
// any door, for any reason, with time passing and ticks in between. It must
// block an address exactly when it has had five refusals within a minute
// while not blocked, say so once and say so again when the block ends, agree
// with what it said whenever it is asked after a tick, count every refusal
// at its door, and write no more than its rows a minute (and the summaries).
//
// Input: a program of one-byte operations with their operands.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "clients/refusal_table.hpp"
#include "fuzz/fuzz_input.hpp"

namespace {

using namespace quillon;
using namespace quillon::fuzzing;

struct Address {
    std::deque<std::int64_t> refusals;  // while not blocked, within the window
    bool announced = false;             // blocked, as the table said
    std::int64_t until_ms = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RefusalTable table;
    std::map<std::string, Address> model;
    std::array<std::uint64_t, door_count> totals{};
    std::deque<std::int64_t> row_times;
    std::int64_t now = 0;
    Input in{data, size};

    const auto take = [&](const RefusalTable::Outcome& out) {
        for (const std::string& a : out.unblocked) {
            check(model[a].announced && now >= model[a].until_ms);
            model[a].announced = false;
        }
        for (std::size_t k = 0; k < out.rows.size(); ++k)
            row_times.push_back(now);
        while (!row_times.empty() && now - row_times.front() >= refusal_row_window_ms)
            row_times.pop_front();
        // A minute's rows and its summary, and the next minute's, at the most.
        check(row_times.size() <= 2 * (max_refusal_rows_per_minute + 1));
    };

    while (!in.empty()) {
        const std::uint8_t op = in.next();
        if (op % 4 == 3) {
            // Time passes, from a few milliseconds to over a minute.
            now += (op & 0x80) != 0 ? in.next() * 1000 : in.next() * 7;
            if ((op & 0x40) != 0) {
                RefusalTable::Outcome out;
                table.tick(now, out);
                check(out.blocked.empty());
                take(out);
                for (const auto& [a, m] : model)
                    check(table.blocked(a, now) == m.announced);
            }
            continue;
        }
        Refusal r;
        r.door = static_cast<Door>(in.next() % door_count);
        r.reason = static_cast<RefusalReason>(in.next() % 4);
        r.address = "192.168.0." + std::to_string(op % 5);
        r.port = static_cast<std::uint16_t>(in.next());
        ++totals[static_cast<std::size_t>(r.door)];
        Address& m = model[r.address];
        const bool was_blocked = m.announced && now < m.until_ms;
        bool blocks = false;
        if (!was_blocked && r.reason != RefusalReason::blocked) {
            m.refusals.push_back(now);
            while (now - m.refusals.front() > refusal_window_ms)
                m.refusals.pop_front();
            blocks = m.refusals.size() >= static_cast<std::size_t>(refusals_before_block);
        }
        RefusalTable::Outcome out;
        table.refuse(r, now, out);
        take(out);
        check(out.blocked.size() == (blocks ? 1u : 0u));
        if (blocks) {
            check(out.blocked.front() == r.address && !m.announced);
            m.announced = true;
            m.until_ms = now + block_length_ms;
            m.refusals.clear();
        }
        check(table.blocked(r.address, now) == (m.announced && now < m.until_ms));
        for (const auto& [a, am] : model) {
            if (am.announced) check(table.next_due_ms() <= am.until_ms);
        }
        for (std::size_t d = 0; d < door_count; ++d)
            check(table.refused_total(static_cast<Door>(d)) == totals[d]);
    }
    return 0;
}
