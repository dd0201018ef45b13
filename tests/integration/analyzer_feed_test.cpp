// The analyzer text feed on the UDP port above the TCP port.

#include <fstream>
#include <optional>
#include <regex>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

class AnalyzerFeed : public GatewayTest {
  protected:
    // The next line that matches, skipping others; nothing when none comes in time.
    std::optional<std::string> wait_line(UdpClient& analyzer, const std::regex& wanted) {
        const auto deadline = SteadyClock::now() + patience;
        while (SteadyClock::now() < deadline) {
            const auto line = analyzer.receive(200ms);
            if (!line) continue;
            seen_ += *line + "\n";
            if (std::regex_match(*line, wanted)) return line;
        }
        return std::nullopt;
    }

    std::string seen_;  // every line received, for failure messages
};

const std::string date = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
const std::string time_cell = R"(\d\d:\d\d:\d\d\.\d\d)";

TEST_F(AnalyzerFeed, AnnouncesClientsAndCarriesFramesOfBothDirections) {
    start_gateway();
    UdpClient analyzer;
    ASSERT_NE(analyzer.local_port(), 0);

    // The first datagram makes the sender an analyzer, which hears of its own arrival.
    const std::regex own_add("ADD IP,127\\.0\\.0\\.1:" + std::to_string(analyzer.local_port()) +
                             "," + date + ",1970-01-01 00:00:00");
    std::optional<std::string> line;
    const auto deadline = SteadyClock::now() + patience;
    while (!line && SteadyClock::now() < deadline) {
        ASSERT_TRUE(analyzer.send_to(static_cast<std::uint16_t>(port_ + 1), "hello"));
        if (auto got = analyzer.receive(300ms)) {
            seen_ += *got + "\n";
            if (std::regex_match(*got, own_add)) line = got;
        }
    }
    ASSERT_TRUE(line) << "lines so far:\n" << seen_;

    auto client = connect_client();
    ASSERT_TRUE(client);
    const std::string client_id = "127\\.0\\.0\\.1:" + std::to_string(client->local_port());
    EXPECT_TRUE(wait_line(analyzer,
                          std::regex("ADD IP," + client_id + "," + date + ",1970-01-01 00:00:00")))
        << seen_;

    const Bytes from_bus = make_frame(0xFB, 0x11, {0xFB, 0x01, 0x00});
    write_bus(from_bus);
    EXPECT_TRUE(wait_line(analyzer, std::regex("V->N," + time_cell + "," + hex_text(from_bus) +
                                               "," + std::to_string(from_bus.size()) + "," +
                                               hex_text({&from_bus[from_bus.size() - 2], 1}) +
                                               ",\\$11 .* from VelBUS")))
        << seen_;

    const Bytes from_client = make_frame(0xF8, 0x12, {0x02, 0x01});
    ASSERT_TRUE(client->send(from_client));
    EXPECT_TRUE(wait_line(analyzer, std::regex("V->N," + time_cell + "," + hex_text(from_client) +
                                               "," + std::to_string(from_client.size()) + "," +
                                               hex_text({&from_client[from_client.size() - 2], 1}) +
                                               ",.* from " + client_id)))
        << seen_;
    ASSERT_TRUE(bus_->wait_frames(1, patience));

    client->close();
    const auto del =
        wait_line(analyzer, std::regex("DEL IP," + client_id + "," + date + "," + date));
    ASSERT_TRUE(del) << seen_;
    EXPECT_FALSE(del->ends_with(",1970-01-01 00:00:00")) << *del;
}

TEST_F(AnalyzerFeed, ItsPortCanBeMovedOrTurnedOff) {
    const std::uint16_t moved = pick_free_port_pair();
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary)
        << "IPPort = " << port_ << "\r\nSerialPort = " << bus_->slave_path()
        << ",38400,0,8,1,0\r\nAnalyzerPort = " << moved << "\r\n";
    start_gateway();
    UdpClient analyzer;
    std::optional<std::string> line;
    for (const auto until = SteadyClock::now() + patience; !line && SteadyClock::now() < until;) {
        ASSERT_TRUE(analyzer.send_to(moved, "hello"));
        line = analyzer.receive(300ms);
    }
    EXPECT_TRUE(line) << "nothing on the port set";
    // Nothing above the client port any more: the port is free to take.
    PortHolder above(PortHolder::Kind::udp, static_cast<std::uint16_t>(port_ + 1));
    EXPECT_TRUE(above.holding());

    gateway_.reset();
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary | std::ios::trunc)
        << "IPPort = " << port_ << "\r\nSerialPort = " << bus_->slave_path()
        << ",38400,0,8,1,0\r\nAnalyzerPort = 0\r\n";
    start_gateway();
    PortHolder moved_free(PortHolder::Kind::udp, moved);
    EXPECT_TRUE(moved_free.holding());
    EXPECT_TRUE(connect_client());
    EXPECT_EQ(gateway_->errors().find("Analyzer UDP"), std::string::npos) << gateway_->errors();
}

}  // namespace
}  // namespace quillon::integration
