// The serial link survives an unplugged module.

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

using SerialLinkRecovery = GatewayTest;

// Points the link at a new target in one step.
void point_link(const std::filesystem::path& link, const std::string& target) {
    const auto fresh = link.string() + ".new";
    std::filesystem::remove(fresh);
    std::filesystem::create_symlink(target, fresh);
    std::filesystem::rename(fresh, link);
}

TEST_F(SerialLinkRecovery, FramesFlowAgainOnANewModuleWhileTheClientStays) {
    const auto link = dir_.path() / "velbus-module";
    point_link(link, bus_->slave_path());
    write_settings(link.string());
    start_gateway();
    auto client = connect_client();
    ASSERT_TRUE(client);

    const Bytes before = make_frame(0xFB, 0x01, {0xFB, 0x00});
    write_bus(before);
    ASSERT_TRUE(client->wait_bytes(before.size(), patience));

    bus_->close();  // the module is unplugged
    const std::string lost_text = "Serial port " + link.string() + " lost";
    ASSERT_TRUE(wait_rows([&](const std::vector<ShownRow>& shown) {
        for (const ShownRow& r : shown)
            if (r.hex == "- serial -" && r.source.starts_with(lost_text)) return true;
        return false;
    })) << gateway_->output();

    PseudoTerminal replacement;
    ASSERT_TRUE(replacement.is_open());
    point_link(link, replacement.slave_path());
    ASSERT_TRUE(wait_rows([&](const std::vector<ShownRow>& shown) {
        return rows_with_marker(shown, "--  ").size() >= 2;
    })) << gateway_->output();
    EXPECT_EQ(rows_with_marker(rows(), "--  ").back().hex, "- serial -");

    const Bytes after = make_frame(0xFB, 0x02, {0xFB, 0x01});
    ASSERT_TRUE(replacement.write(after));
    EXPECT_TRUE(client->wait_bytes(before.size() + after.size(), patience));
    Bytes expected = before;
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(hex_text(client->received()), hex_text(expected));
    EXPECT_FALSE(client->closed_by_peer());

    const Bytes to_bus = make_frame(0xF8, 0x03, {0x02, 0x01});
    ASSERT_TRUE(client->send(to_bus));
    ASSERT_TRUE(replacement.wait_frames(1, patience));
    EXPECT_EQ(replacement.received_frames().front().bytes, to_bus);
}

}  // namespace
}  // namespace quillon::integration
