// "SerialPort = auto": the interface module looked for among the USB devices,
// and looked for again every 2 seconds while none opens.
#include <string>
#include <vector>

#include "bus/serial_device_finder.hpp"
#include "tests/fakes/fake_serial_device_finder.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

using Texts = std::vector<std::string>;

const Bytes kBusFrame = make_frame(0xFB, 0x01, {0xFB, 0x00});

TEST(InterfaceModule, TheVelbusUsbInterfacesAreKnownByTheirVendorAndProduct) {
    for (const std::uint16_t product : {std::uint16_t{0x0B1B}, std::uint16_t{0x0516},
                                        std::uint16_t{0x0517}, std::uint16_t{0x0518}})
        EXPECT_TRUE(is_interface_module(0x10CF, product)) << product;
    EXPECT_FALSE(is_interface_module(0x10CF, 0x0519));
    EXPECT_FALSE(is_interface_module(0x10CF, 0x0000));
    EXPECT_FALSE(is_interface_module(0x0403, 0x0B1B));  // the same product number elsewhere
}

class SerialSearch : public GatewayHarness {
  protected:
    FakeSerialDeviceFinder finder;

    void SetUp() override {
        GatewayHarness::SetUp();
        gw.setup.serial_devices = &finder;
    }
    StartOutcome start_searching() { return start("IPPort = 8080\r\nSerialPort = auto\r\n"); }

    Texts devices_opened() const {
        Texts names;
        for (const SerialLineSettings& s : serial.opened)
            names.push_back(s.name);
        return names;
    }
    // The serial link's rows, oldest first.
    Texts serial_rows() const {
        Texts texts;
        for (auto r = view.traffic.rbegin(); r != view.traffic.rend(); ++r)
            if (r->cell(TrafficColumn::hex) == "- serial -")
                texts.push_back(r->cell(TrafficColumn::source));
        return texts;
    }
};

TEST_F(SerialSearch, TheOneModuleFoundIsOpenedAndNamed) {
    finder.devices = {"/dev/ttyACM0"};
    ASSERT_EQ(start_searching(), StartOutcome::running);
    EXPECT_EQ(devices_opened(), Texts{"/dev/ttyACM0"});
    const Texts found{"Velbus interface module found on /dev/ttyACM0"};
    EXPECT_EQ(serial_rows(), found);
    EXPECT_EQ(view.log, found);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.status[StatusField::serial], "Velbus serial /dev/ttyACM0");

    serial.deliver(kBusFrame);
    run_pass(gw);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::hex), hex_dump(kBusFrame));
}

TEST_F(SerialSearch, OfSeveralModulesTheFirstListedIsUsed) {
    finder.devices = {"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyUSB0"};
    ASSERT_EQ(start_searching(), StartOutcome::running);
    EXPECT_EQ(devices_opened(), Texts{"/dev/ttyACM0"});
    EXPECT_EQ(serial_rows(), Texts{"Velbus interface module found on /dev/ttyACM0"});
}

TEST_F(SerialSearch, AModuleThatCannotBeOpenedIsPassedOver) {
    finder.devices = {"/dev/ttyACM0", "/dev/ttyACM1"};
    serial.missing = {"/dev/ttyACM0"};
    ASSERT_EQ(start_searching(), StartOutcome::running);
    EXPECT_EQ(devices_opened(), (Texts{"/dev/ttyACM0", "/dev/ttyACM1"}));
    EXPECT_EQ(serial_rows(), Texts{"Velbus interface module found on /dev/ttyACM1"});
    EXPECT_EQ(view.status[StatusField::serial], "Velbus serial /dev/ttyACM1");
}

TEST_F(SerialSearch, WhenNoModuleOpensItSaysWhichOnceAndTriesAgain) {
    finder.devices = {"/dev/ttyACM0"};
    serial.missing = {"/dev/ttyACM0"};
    ASSERT_EQ(start_searching(), StartOutcome::running);
    const Texts unopened{
        "No Velbus interface module could be opened (tried /dev/ttyACM0), trying again every 2 "
        "seconds"};
    EXPECT_EQ(serial_rows(), unopened);
    EXPECT_EQ(view.log, unopened);
    EXPECT_TRUE(view.messages.empty());

    run_for(5000);
    EXPECT_EQ(devices_opened(), (Texts{"/dev/ttyACM0", "/dev/ttyACM0", "/dev/ttyACM0"}));
    EXPECT_EQ(serial_rows(), unopened);

    serial.missing.clear();  // its permissions put right
    run_for(2100);
    EXPECT_EQ(serial_rows().back(), "Velbus interface module found on /dev/ttyACM0");
    EXPECT_TRUE(serial.open_now);
}

TEST_F(SerialSearch, WithNoModuleTheGatewayServesAndTakesTheOnePluggedInLater) {
    ASSERT_EQ(start_searching(), StartOutcome::running);
    const Texts none{"No Velbus interface module found, looking again every 2 seconds"};
    EXPECT_EQ(serial_rows(), none);
    EXPECT_EQ(view.log, none);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.status[StatusField::serial], "Velbus serial auto");
    const ConnectionHandle client = net.connect("192.168.1.20", 888);

    run_for(5000);  // two more searches, said nothing more
    EXPECT_EQ(serial_rows(), none);
    EXPECT_EQ(view.log, none);

    finder.devices = {"/dev/ttyUSB0"};
    run_for(2100);
    const std::string found = "Velbus interface module found on /dev/ttyUSB0";
    EXPECT_EQ(serial_rows(), (Texts{none[0], found}));
    EXPECT_EQ(view.log, (Texts{none[0], found}));
    EXPECT_EQ(view.status[StatusField::serial], "Velbus serial /dev/ttyUSB0");

    serial.deliver(kBusFrame);
    run_pass(gw);
    EXPECT_EQ(net.peer(client).received_bytes(), kBusFrame);
}

TEST_F(SerialSearch, AModuleUnpluggedIsLookedForAgainAndMayComeBackElsewhere) {
    finder.devices = {"/dev/ttyACM0"};
    ASSERT_EQ(start_searching(), StartOutcome::running);
    serial.failed = true;
    run_pass(gw);
    serial.failed = false;
    finder.devices = {"/dev/ttyACM1"};
    run_for(2100);
    EXPECT_EQ(serial_rows(), (Texts{"Velbus interface module found on /dev/ttyACM0",
                                    "Serial port /dev/ttyACM0 lost, trying again every 2 seconds",
                                    "Velbus interface module found on /dev/ttyACM1"}));
    EXPECT_EQ(devices_opened().back(), "/dev/ttyACM1");
    EXPECT_EQ(view.status[StatusField::serial], "Velbus serial /dev/ttyACM1");
}

}  // namespace
}  // namespace quillon::testing
