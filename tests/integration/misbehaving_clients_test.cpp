// Clients that send nothing, send garbage or leave in the middle of a frame.

#include <random>
#include <thread>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

using MisbehavingClients = GatewayTest;

TEST_F(MisbehavingClients, ChangeNothingForTheOthers) {
    start_gateway();
    auto good = connect_client();
    auto listener = connect_client();
    auto silent = connect_client();
    auto noisy = connect_client();
    auto quitter = connect_client();
    ASSERT_TRUE(good && listener && silent && noisy && quitter);

    // Garbage: bytes without a start byte, a candidate with a wrong end byte,
    // and the start of a frame that never ends.
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> byte(0x10, 0xFF);
    Bytes garbage;
    for (int i = 0; i < 300; ++i)
        garbage.push_back(static_cast<std::uint8_t>(byte(rng)));
    const Bytes wrong_end{0x0F, 0xFB, 0x01, 0x02, 0xAA, 0xBB, 0xCC, 0x05};
    garbage.insert(garbage.end(), wrong_end.begin(), wrong_end.end());
    garbage.insert(garbage.end(), {0x0F, 0xFB, 0x09, 0x08});
    ASSERT_TRUE(noisy->send(garbage));

    const Bytes half = make_frame(0xFB, 0x02, {0xFA, 0x01, 0x02});
    ASSERT_TRUE(quitter->send(Bytes(half.begin(), half.begin() + 5)));
    std::this_thread::sleep_for(50ms);
    quitter->close();

    ASSERT_TRUE(wait_row_count("->! ", 1)) << gateway_->output();
    wait_clients_listed({quitter->local_port()}, "ended");

    std::vector<Bytes> from_bus;
    for (int i = 0; i < 10; ++i)
        from_bus.push_back(make_frame(0xFB, static_cast<std::uint8_t>(0x40 + i), {0xFB, 0x00}));
    write_bus(joined(from_bus));
    const Bytes bus_bytes = joined(from_bus);
    for (TcpClient* c : {good.get(), listener.get(), silent.get()}) {
        EXPECT_TRUE(c->wait_bytes(bus_bytes.size(), patience)) << "client " << c->local_port();
        EXPECT_EQ(hex_text(c->received()), hex_text(bus_bytes)) << "client " << c->local_port();
    }

    std::vector<Bytes> from_good;
    for (int i = 0; i < 8; ++i)
        from_good.push_back(make_frame(0xF8, static_cast<std::uint8_t>(0x50 + i), {0x02, 0x01}));
    ASSERT_TRUE(good->send(joined(from_good)));
    ASSERT_TRUE(bus_->wait_frames(from_good.size(), patience))
        << "the bus got " << bus_->received_frames().size() << " frames";
    std::vector<Bytes> on_bus;
    for (const auto& f : bus_->received_frames())
        on_bus.push_back(f.bytes);
    EXPECT_EQ(on_bus, from_good);

    Bytes expected = bus_bytes;
    const Bytes good_bytes = joined(from_good);
    expected.insert(expected.end(), good_bytes.begin(), good_bytes.end());
    EXPECT_TRUE(listener->wait_bytes(expected.size(), patience));
    EXPECT_EQ(hex_text(listener->received()), hex_text(expected));
    for (TcpClient* c : {good.get(), listener.get(), silent.get()})
        EXPECT_FALSE(c->closed_by_peer()) << "client " << c->local_port();
}

}  // namespace
}  // namespace quillon::integration
