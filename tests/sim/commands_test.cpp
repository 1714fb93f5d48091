// The register, information, data-block and interrupt commands of the camera.
#include <gtest/gtest.h>

#include "platform/kernel/clock.h"
#include "tests/sim/sim_test_util.h"
#include "tests/support/kernel_test.h"

using namespace simtest;

namespace {

TEST(SimCommands, InformationBlockCarriesReleaseLevelEraseTimeAndWords) {
    sim::Scenario s = quickScenario();
    s.chipRelease[0] = 1;
    s.chipRelease[1] = 2;
    s.firmwareLevel = 0x0105;
    s.eraseTime = 0x1234;
    s.infoWords[0] = 0xABCD;
    s.infoWords[1] = 0x0102;
    Host host(s);
    ControlResult r = host.vendorIn(0x84, 0, 22);
    ASSERT_EQ(r.status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(r.data.size(), 22u);
    EXPECT_EQ(r.data[0], 1);
    EXPECT_EQ(r.data[1], 2);
    EXPECT_EQ(r.data[2], 0x01);
    EXPECT_EQ(r.data[3], 0x05);
    EXPECT_EQ(r.data[12], 0x12);
    EXPECT_EQ(r.data[13], 0x34);
    EXPECT_EQ((std::vector<std::uint8_t>(r.data.begin() + 16, r.data.begin() + 20)),
              (std::vector<std::uint8_t>{0xAB, 0xCD, 0x01, 0x02}));
    // wLength is honoured; an index other than 0 is refused.
    EXPECT_EQ(host.vendorIn(0x84, 0, 4).data.size(), 4u);
    EXPECT_EQ(host.vendorIn(0x84, 1, 22).status, USBD_STATUS_STALL_PID);
}

TEST(SimCommands, BootStateAndSensorReadinessFollowTheClock) {
    kclock::setScale(10);  // long delays, so that slow reads cannot outrun them (put back after the test)
    sim::Scenario s = quickScenario();
    s.timing.bootDelayMs = 3000;
    s.timing.sensorReadyDelayMs = 1000;
    s.sensorType = 2;
    s.sensorRevision = 5;
    Host host(s);
    // The camera powered on before this moment: what comes no sooner than a
    // delay after it came no sooner than that delay after power-on, less the
    // few milliseconds the camera took to come up.
    const LONGLONG created = kclock::now();
    auto msSince = [](LONGLONG t) { return (kclock::now() - t) / 10000; };
    EXPECT_NE(host.readRegister(0, 0), sim::kBootedState);
    EXPECT_FALSE(host.readRegister(2, 2) & sim::kSensorReadyBit)
        << "the sensor waits for the firmware to boot";
    ASSERT_TRUE(pavtest::waitFor([&] { return host.readRegister(0, 0) == sim::kBootedState; }));
    EXPECT_GE(msSince(created), 2900);
    const LONGLONG booted = kclock::now();
    ASSERT_TRUE(pavtest::waitFor([&] { return host.readRegister(2, 2) & sim::kSensorReadyBit; }));
    EXPECT_GE(msSince(booted), 900) << "the sensor settles after the boot";
    EXPECT_EQ(host.readRegister(2, 6), 2);
    EXPECT_EQ(host.readRegister(2, 7) & 0x0F, 5);
    // A power-mode change makes the sensor settle again.
    ASSERT_EQ(host.writeRegister(3, 1, sim::kPowerVideo), USBD_STATUS_SUCCESS);
    const LONGLONG changed = kclock::now();
    EXPECT_FALSE(host.readRegister(2, 2) & sim::kSensorReadyBit);
    ASSERT_TRUE(pavtest::waitFor([&] { return host.readRegister(2, 2) & sim::kSensorReadyBit; }));
    EXPECT_GE(msSince(changed), 900);

    // A camera without firmware has nothing to boot and never reports 4.
    sim::Scenario rom = quickScenario();
    rom.firmwareLevel = 0;
    Host romHost(rom);
    ASSERT_TRUE(
        pavtest::waitFor([&] { return romHost.readRegister(2, 2) & sim::kSensorReadyBit; }));
    EXPECT_EQ(romHost.readRegister(0, 0), 0);
}

TEST(SimCommands, RegistersOfEverySpaceAreWrittenReadAndRecorded) {
    Host host(quickScenario());
    for (int space = 0; space < 5; ++space) {
        std::vector<std::uint8_t> values = {static_cast<std::uint8_t>(0x10 + space), 0x22, 0x33};
        ASSERT_EQ(
            host.vendorOut(0x01, static_cast<std::uint16_t>((0x40 << 8) | space), values).status,
            USBD_STATUS_SUCCESS);
        EXPECT_EQ(host.readRegisters(space, 0x40, 3), values) << "space " << space;
    }
    auto writes = host.camera().registerWrites();
    ASSERT_EQ(writes.size(), 15u);
    EXPECT_EQ(writes[3], (sim::RegisterWrite{1, 0x40, 0x11}));
    EXPECT_EQ(writes[14], (sim::RegisterWrite{4, 0x42, 0x33}));

    // Tables: value space | 8 and (register, value) pairs, kept in order.
    ASSERT_EQ(host.writeTable(1, {{0xE4, 160}, {0xD9, 0}, {0xE5, 120}}), USBD_STATUS_SUCCESS);
    auto tables = host.camera().tables();
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables[0].space, 1);
    EXPECT_EQ(tables[0].pairs, (std::vector<std::pair<std::uint8_t, std::uint8_t>>{
                                   {0xE4, 160}, {0xD9, 0}, {0xE5, 120}}));
    EXPECT_EQ(host.camera().registerValue(1, 0xE5), 120);
}

TEST(SimCommands, MalformedRegisterRequestsStall) {
    Host host(quickScenario());
    EXPECT_EQ(host.vendorIn(0x81, 5, 1).status, USBD_STATUS_STALL_PID) << "no space 5";
    EXPECT_EQ(host.vendorIn(0x81, 0xFF02, 2).status, USBD_STATUS_STALL_PID) << "past register 255";
    EXPECT_EQ(host.vendorOut(0x01, 0xFF02, {1, 2}).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(host.vendorOut(0x01, 0x0009, {0xE4}).status, USBD_STATUS_STALL_PID)
        << "odd-length table";
    EXPECT_EQ(host.control(0x40, 0x81, 0x0002, 0, {0}, 1).status, USBD_STATUS_STALL_PID)
        << "read sent out";
    EXPECT_EQ(host.vendorIn(0x01, 0x0002, 1).status, USBD_STATUS_STALL_PID) << "write sent in";
    EXPECT_EQ(host.vendorIn(0x77, 0, 1).status, USBD_STATUS_STALL_PID) << "unknown request";
    EXPECT_TRUE(host.camera().registerWrites().empty());
}

TEST(SimCommands, FirmwareTextComesOneCharacterPerRead) {
    sim::Scenario s = quickScenario();
    s.firmwareText = "FW 2";
    Host host(s);
    std::string text;
    for (int i = 0; i < 6; ++i) text.push_back(static_cast<char>(host.readRegister(2, 0x0F)));
    EXPECT_EQ(text, std::string("FW 2\0F", 6)) << "a 0 ends the text, then it starts again";
}

TEST(SimCommands, DataBlocksAreKeptAndTheVersionBlockIsThere) {
    Host host(quickScenario());
    ASSERT_EQ(host.vendorOut(0x0B, 0, {1}).status, USBD_STATUS_SUCCESS);
    auto blocks = host.camera().dataBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].item, 0);
    EXPECT_EQ(blocks[0].data, std::vector<std::uint8_t>{1});
    EXPECT_EQ(host.vendorIn(0x8B, 0, 1).data, std::vector<std::uint8_t>{1});
    ControlResult version = host.vendorIn(0x8B, 0x100, 7);
    ASSERT_EQ(version.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(std::string(version.data.begin(), version.data.end()), "V1.03  ");
    EXPECT_EQ(host.vendorIn(0x8B, 0x55, 4).status, USBD_STATUS_STALL_PID);
}

TEST(SimCommands, DataBlocksAndTheLogsOfBlocksAndTablesAreBoundedInBytes) {
    sim::Scenario s = quickScenario();
    s.timing.throttled = false;
    Host host(s);
    std::vector<std::uint8_t> block(65535, 0x11);
    std::size_t taken = 0;
    USBD_STATUS last = USBD_STATUS_SUCCESS;
    for (std::uint16_t item = 0x200; item < 0x300 && last == USBD_STATUS_SUCCESS; ++item) {
        last = host.vendorOut(0x0B, item, block).status;
        if (last == USBD_STATUS_SUCCESS) ++taken;
    }
    EXPECT_EQ(last, USBD_STATUS_STALL_PID) << "a full block area refuses more";
    EXPECT_LE(taken * block.size(), sim::kMaxDataBlockBytes);
    EXPECT_GE((taken + 1) * block.size() + 7, sim::kMaxDataBlockBytes) << "it was really full";
    EXPECT_EQ(host.vendorIn(0x8B, static_cast<std::uint16_t>(0x200 + taken), 1).status,
              USBD_STATUS_STALL_PID)
        << "the refused block was not kept";
    // A block written again in its place, or smaller, still fits.
    block.assign(65535, 0x22);
    EXPECT_EQ(host.vendorOut(0x0B, 0x200, block).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.vendorIn(0x8B, 0x200, 1).data, std::vector<std::uint8_t>{0x22});

    std::size_t logged = 0;
    for (const auto& b : host.camera().dataBlocks()) logged += b.data.size();
    EXPECT_LE(logged, sim::kMaxLoggedBytes);
    EXPECT_EQ(host.camera().dataBlocks().back().data[0], 0x22) << "the latest is kept";

    std::vector<std::pair<std::uint8_t, std::uint8_t>> pairs(32000, {0x30, 0x01});
    for (int i = 0; i < 40; ++i) ASSERT_EQ(host.writeTable(4, pairs), USBD_STATUS_SUCCESS);
    std::size_t tableBytes = 0;
    for (const auto& t : host.camera().tables()) tableBytes += t.pairs.size() * 2;
    EXPECT_LE(tableBytes, sim::kMaxLoggedBytes);
    EXPECT_GT(tableBytes, 0u);
}

TEST(SimCommands, InterruptMessagesReportBootReportInputsAndButtons) {
    sim::Scenario s = quickScenario();
    Host host(s);
    EXPECT_EQ(host.interrupt().status, USBD_STATUS_INVALID_PIPE_HANDLE)
        << "no interrupt pipe at setting 0";
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.writeRegister(0, 2, 1), USBD_STATUS_SUCCESS);
    ControlResult m = host.interrupt();
    ASSERT_EQ(m.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(m.data, (std::vector<std::uint8_t>{5, 0, 1, 0, 0, 0, 0, 0}));

    host.camera().injectInputs(0x0201, 0x0001);
    host.camera().injectButton(4);
    EXPECT_EQ(host.interrupt().data,
              (std::vector<std::uint8_t>{2, 0, 0x01, 0x02, 0x01, 0x00, 0, 0}));
    EXPECT_EQ(host.interrupt().data, (std::vector<std::uint8_t>{3, 0, 4, 0, 0, 0, 0, 0}));

    // Firmware at level 0x0100 or below has no report to give.
    s.firmwareLevel = 0x0100;
    Host old(s);
    ASSERT_EQ(old.select(1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(old.writeRegister(0, 2, 1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(old.interrupt(std::chrono::milliseconds(150)).status, USBD_STATUS_CANCELED);
}

}  // namespace
