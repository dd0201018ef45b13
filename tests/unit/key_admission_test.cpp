// Connections give the key before they are clients; an address that keeps
// getting it wrong is shut out for a minute, at every door, and the rows
// about it cannot flood the list.
#include "base/time_limit_scale.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

class KeyAdmission : public GatewayHarness {
  protected:
    StartOutcome start_with_key() {
        return start("IPPort = 8080\r\nSerialPort = COM1,38400,0,8,1,0\r\nAuthKey = s3cret\r\n");
    }
    ConnectionHandle connect_with(const std::string& address, const std::string& sent) {
        const ConnectionHandle h = net.connect(address, next_port_++);
        net.client_sends(h, Bytes(sent.begin(), sent.end()));
        run_pass(gw);
        run_pass(gw);
        return h;
    }
    std::vector<std::string> access_rows() const {
        std::vector<std::string> rows;
        for (auto it = view.traffic.rbegin(); it != view.traffic.rend(); ++it)
            if (it->cell(TrafficColumn::hex) == "- access -")
                rows.push_back(it->cell(TrafficColumn::source));
        return rows;
    }
    std::uint16_t next_port_ = 40000;
};

TEST_F(KeyAdmission, FiveRefusalsShutAnAddressOutForAMinuteAndNoOtherAddress) {
    ASSERT_EQ(start_with_key(), StartOutcome::running);
    for (int k = 0; k < 5; ++k)
        EXPECT_TRUE(net.peer(connect_with("10.0.0.9", "s3cre!")).closed_by_gateway);
    const ConnectionHandle shut_out = connect_with("10.0.0.9", "s3cret");
    const ConnectionHandle other = connect_with("10.0.0.10", "s3cret\n");
    EXPECT_TRUE(net.peer(shut_out).closed_by_gateway);
    EXPECT_FALSE(net.peer(other).closed_by_gateway);
    ASSERT_EQ(view.clients.size(), 1u);
    EXPECT_EQ(view.clients[0].address, "10.0.0.10");

    std::vector<std::string> expected;
    for (std::uint16_t port = 40000; port < 40005; ++port)
        expected.push_back("refused 10.0.0.9 (" + std::to_string(port) + "): wrong key");
    expected.push_back("blocked 10.0.0.9 for a minute: 5 refusals within a minute");
    EXPECT_EQ(access_rows(), expected);

    // Its datagrams are no better than its connections, and only counted now.
    const ConnectionHandle datagram = net.datagram("10.0.0.9", 7000, "s3cret");
    run_pass(gw);
    EXPECT_TRUE(net.peer(datagram).closed_by_gateway);
    EXPECT_EQ(view.status[StatusField::analyzers], "A:0");
    EXPECT_EQ(access_rows(), expected);

    run_for(60000);
    expected.push_back("unblocked 10.0.0.9: 2 attempts refused while it was blocked");
    EXPECT_EQ(access_rows(), expected);
    const ConnectionHandle back = connect_with("10.0.0.9", "s3cret");
    EXPECT_FALSE(net.peer(back).closed_by_gateway);
    EXPECT_EQ(view.clients.size(), 2u);
    EXPECT_EQ(access_rows(), expected);
}

// The program's own limit; the tests of the real program run with a shorter one.
TEST(KeyWait, ASilentConnectionHasFiveSecondsForTheKeyUnlessATestRunShortensIt) {
    Admission admission;
    admission.set_key("s3cret");
    const auto refused_at = [&](ConnectionHandle h, std::int64_t since) -> std::int64_t {
        admission.begin(h, Door::tcp, "10.0.3.1", 40000, since);
        const std::int64_t due = admission.next_due_ms();
        if (!admission.expire(due - 1).empty()) return -1;
        const std::vector<Admission::Outcome> refused = admission.expire(due);
        if (refused.size() != 1 || refused[0].refusal.reason != RefusalReason::no_key) return -1;
        return due - since;
    };
    // Refused in the first millisecond past its time.
    EXPECT_EQ(refused_at(1, 1000), 5001);
    admission.set_key_wait_limit_ms(scaled_limit_ms(key_wait_limit_ms, 0.2));
    EXPECT_EQ(refused_at(2, 20000), 1001);
}

TEST(TimeLimitScale, OnlyANumberAboveZeroAndAtMostOneShortensTheLimits) {
    for (const char* keeps : {static_cast<const char*>(nullptr), "", "1", "2", "0", "-0.5", "0.5s",
                              " 0.5", "nan", "inf", "half"})
        EXPECT_EQ(time_limit_scale(keeps), 1.0) << (keeps ? keeps : "no variable");
    EXPECT_EQ(time_limit_scale("0.25"), 0.25);
    EXPECT_EQ(scaled_limit_ms(key_wait_limit_ms, 1.0), 5000);
    EXPECT_EQ(scaled_limit_ms(10000, 0.25), 2500);
    EXPECT_EQ(scaled_limit_ms(5000, 1e-9), 1);
}

TEST_F(KeyAdmission, PastThirtyRefusalRowsAMinuteOneSummaryRowSaysTheRest) {
    ASSERT_EQ(start_with_key(), StartOutcome::running);
    for (int k = 0; k < 100; ++k) {
        const ConnectionHandle h = net.connect("10.0.2." + std::to_string(k), next_port_++);
        net.client_sends(h, Bytes{'w', 'r', 'o', 'n', 'g', '!'});
    }
    for (int pass = 0; pass < 6; ++pass)
        run_pass(gw);
    EXPECT_EQ(access_rows().size(), 30u);
    run_for(61000);
    const std::vector<std::string> rows = access_rows();
    ASSERT_EQ(rows.size(), 31u);
    EXPECT_EQ(rows.back(), "refused 100 attempts from 100 addresses in the last minute");
    // A fresh minute has its rows again.
    connect_with("10.0.2.200", "wrong!");
    EXPECT_EQ(access_rows().back(), "refused 10.0.2.200 (40100): wrong key");
}

}  // namespace
}  // namespace quillon::testing
