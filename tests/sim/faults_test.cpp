// Fault switches of the bulk, interrupt and control paths, of booting and of
// removal (isochronous ones are with the video tests).
#include <gtest/gtest.h>

#include <atomic>

#include "platform/kernel/clock.h"
#include "tests/sim/sim_test_util.h"
#include "tests/support/kernel_test.h"

using namespace simtest;

namespace {

class SimFaults : public ::testing::Test {
  protected:
    std::unique_ptr<Host> camera(const sim::Faults& faults, sim::Scenario s = quickScenario()) {
        s.faults = faults;
        auto host = std::make_unique<Host>(s, smallStore());
        EXPECT_EQ(host->select(1), USBD_STATUS_SUCCESS);
        return host;
    }

    // Opens object 1 (a picture) and asks for `length` bytes of it.
    static void askPicture(Host& host, std::uint32_t length) {
        ASSERT_EQ(host.memoryCommand(0x03, 0, 0, be32(1)).status, USBD_STATUS_SUCCESS);
        auto cmd = be32(1);
        auto l = be32(length);
        cmd.insert(cmd.end(), l.begin(), l.end());
        ASSERT_EQ(host.memoryCommand(0x05, 0, sim::kItemPicture, cmd).status, USBD_STATUS_SUCCESS);
    }

    static ControlResult askEntry(Host& host, std::size_t readLength) {
        auto cmd = be32(1);
        cmd.insert(cmd.end(), {0x00, 0x56});
        EXPECT_EQ(host.memoryCommand(0x0A, 0, 0, cmd).status, USBD_STATUS_SUCCESS);
        return host.bulkIn(readLength, std::chrono::milliseconds(150));
    }
};

TEST_F(SimFaults, BulkAnswersThatNeverComeComeLongOrCarryTheMarker) {
    sim::Faults f;
    f.bulkInNeverArrives = true;
    EXPECT_EQ(askEntry(*camera(f), 86).status, USBD_STATUS_CANCELED)
        << "the read waits until cancelled";

    f = {};
    f.longerAnswers = true;
    ControlResult longer = askEntry(*camera(f), 128);
    ASSERT_EQ(longer.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(longer.data.size(), 128u) << "86 bytes asked, the whole buffer filled";

    f = {};
    f.edMarker = true;
    auto marked = camera(f);
    askPicture(*marked, 512);
    ControlResult block = marked->bulkIn(512);
    ASSERT_EQ(block.data.size(), 512u);
    EXPECT_EQ(
        (std::vector<std::uint8_t>{block.data[0], block.data[1], block.data[62], block.data[63]}),
        (std::vector<std::uint8_t>{0xED, 0x15, 0xED, 0x15}));

    // Switched off at run time, answers are clean again.
    marked->camera().changeFaults([](sim::Faults& x) { x.edMarker = false; });
    askPicture(*marked, 512);
    EXPECT_EQ(marked->bulkIn(512).data[0], 0xFF) << "a JPEG starts with 0xFF 0xD8";
}

TEST_F(SimFaults, ABulkPacketLargerThanTheRoomLeftOverflowsTheTransfer) {
    // An 86-byte entry goes out as 64 + 22 bytes.
    auto host = camera({});
    ControlResult whole = askEntry(*host, 100);
    EXPECT_EQ(whole.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(whole.data.size(), 86u);
    ControlResult cut = askEntry(*host, 50);
    EXPECT_EQ(cut.status, USBD_STATUS_BUFFER_OVERRUN);
    EXPECT_TRUE(cut.data.empty()) << "no part of the packet is taken";
    // Room for the first packet but not the whole second one.
    ControlResult second = askEntry(*host, 80);
    EXPECT_EQ(second.status, USBD_STATUS_BUFFER_OVERRUN);
    EXPECT_EQ(second.data.size(), 64u) << "the packets that fitted are there";
}

TEST_F(SimFaults, FailedTransfersAndStalledPipes) {
    sim::Faults f;
    f.failedTransfers = 2;
    f.failedTransfersEndpoint = sim::kBulkInEndpoint;
    f.stalledEndpoints = {sim::kBulkOutEndpoint};
    auto host = camera(f);
    EXPECT_EQ(host->bulkIn(64).status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(host->bulkIn(64).status, USBD_STATUS_DEV_NOT_RESPONDING);
    askPicture(*host, 512);
    EXPECT_EQ(host->bulkIn(512).status, USBD_STATUS_SUCCESS) << "the burst is over";
    host->camera().injectButton(1);
    EXPECT_EQ(host->interrupt().status, USBD_STATUS_SUCCESS) << "other pipes were not hit";

    EXPECT_EQ(host->bulkOut({1, 2, 3}), USBD_STATUS_STALL_PID);
    ASSERT_EQ(host->camera().clearHalt(sim::kBulkOutEndpoint), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->bulkOut({1, 2, 3}), USBD_STATUS_SUCCESS);
}

TEST_F(SimFaults, BootSensorAndSlowErase) {
    sim::Faults f;
    f.neverBoot = true;
    auto stuck = camera(f);
    kclock::sleepMs(60);
    EXPECT_NE(stuck->readRegister(0, 0), sim::kBootedState);
    EXPECT_FALSE(stuck->readRegister(2, 2) & sim::kSensorReadyBit);

    f = {};
    f.sensorNeverReady = true;
    auto blind = camera(f);
    blind->waitBooted();
    kclock::sleepMs(40);
    EXPECT_FALSE(blind->readRegister(2, 2) & sim::kSensorReadyBit);

    // Erase time word 2: the host waits at most 2 x 65536 / 1048576 s = 125 ms.
    f = {};
    f.slowErase = true;
    sim::Scenario s = quickScenario();
    s.eraseTime = 2;
    auto slow = camera(f, s);
    ASSERT_EQ(slow->memoryCommand(0x02, 0, 0, be32(1)).status, USBD_STATUS_SUCCESS);
    kclock::sleepMs(300);
    EXPECT_EQ(slow->memoryResult()[1], 0xFF) << "still running well past the announced time";
}

TEST_F(SimFaults, ShortControlReads) {
    sim::Faults f;
    f.shortControlReads = {{0x84, 10}, {6, 0}};
    auto host = camera(f);
    EXPECT_EQ(host->vendorIn(0x84, 0, 22).data.size(), 10u);
    ControlResult empty = host->descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18);
    EXPECT_EQ(empty.status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(empty.data.empty());
    EXPECT_EQ(host->vendorIn(0x83, 0, 4).data.size(), 4u) << "other requests answer in full";
}

TEST_F(SimFaults, FailedRequestsStallTheirNextOccurrencesAndAreNotCarriedOut) {
    sim::Faults f;
    // Writes of register 0x10 of space 3 fail twice; any information read once.
    f.failedRequests = {{0x01, 0x1003, -1, 2}, {0x84, -1, -1, 1}};
    auto host = camera(f);
    EXPECT_EQ(host->writeRegister(3, 0x10, 0x55), USBD_STATUS_STALL_PID);
    EXPECT_EQ(host->readRegister(3, 0x10), 0) << "a refused write changes nothing";
    EXPECT_EQ(host->writeRegister(3, 0x11, 0x66), USBD_STATUS_SUCCESS) << "another value";
    EXPECT_EQ(host->writeRegister(3, 0x10, 0x55), USBD_STATUS_STALL_PID);
    EXPECT_EQ(host->writeRegister(3, 0x10, 0x55), USBD_STATUS_SUCCESS) << "two occurrences only";
    EXPECT_EQ(host->readRegister(3, 0x10), 0x55);

    ControlResult info = host->vendorIn(0x84, 0, 22);
    EXPECT_EQ(info.status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(info.data.empty());
    EXPECT_EQ(host->vendorIn(0x84, 0, 22).data.size(), 22u);
    EXPECT_EQ(host->camera().faults().failedRequests[1].count, 0);

    // The index narrows the match; a standard request of the same number
    // (GET_DESCRIPTOR is 6, as is the patch header) is never hit.
    host->camera().changeFaults([](sim::Faults& x) {
        x.failedRequests = {{0x83, -1, 7, 1}, {0x06, -1, -1, 5}};
    });
    EXPECT_EQ(host->control(0xC0, 0x83, 0, 0, {}, 4).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->control(0xC0, 0x83, 0, 7, {}, 4).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(host->descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18).status, USBD_STATUS_SUCCESS);
}

TEST_F(SimFaults, RemovalInTheMiddleOfATransferAndNoReturnFromACycle) {
    struct Sink : usbbus::DeviceBackend::Sink {
        void deviceGone() override { ++gone; }
        std::atomic<int> gone{0};
    } sink;
    sim::Faults f;
    f.removeDuringTransfer = 1;
    auto host = camera(f);
    host->camera().attach(&sink);
    askPicture(*host, 4096);
    AsyncTransfer x;
    x.bulk(sim::kBulkInEndpoint, 4096);
    ASSERT_EQ(x.submit(host->camera()), USBD_STATUS_PENDING);
    ASSERT_TRUE(x.wait());
    EXPECT_EQ(x.t().status, USBD_STATUS_DEVICE_GONE);
    EXPECT_GT(x.t().actualLength, 0u);
    EXPECT_LT(x.t().actualLength, 4096u);
    EXPECT_TRUE(pavtest::waitFor([&] { return sink.gone.load() == 1; }));
    EXPECT_FALSE(host->camera().present());
    host->camera().attach(nullptr);

    f = {};
    f.noReturnAfterCycle = true;
    auto gone = camera(f);
    ASSERT_EQ(gone->camera().cyclePort(), USBD_STATUS_SUCCESS);
    EXPECT_FALSE(gone->camera().reenumerate());
    EXPECT_FALSE(gone->camera().present());
}

}  // namespace
