// The log of vendor requests the camera received, as tests of the layers
// above read it back.
#include <gtest/gtest.h>

#include "tests/sim/sim_test_util.h"

using namespace simtest;

namespace {

TEST(SimRequestLog, RecordsEveryVendorRequestInOrderWithWhatWritesCarried) {
    Host host(quickScenario(), smallStore());
    host.camera().clearRequestLog();
    ASSERT_EQ(host.writeRegister(3, 0x10, 0x5A), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.vendorIn(0x84, 0, 22).status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18).status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.control(0x40, 0x0B, 0x0123, 0x0456, {1, 2, 3, 4}, 4).status,
              USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.vendorIn(0x84, 1, 22).status, USBD_STATUS_STALL_PID);

    std::vector<sim::VendorRequestRecord> log = host.camera().requestLog();
    ASSERT_EQ(log.size(), 4u) << "standard requests are not vendor requests";
    EXPECT_EQ(log[0].request, 0x01);
    EXPECT_EQ(log[0].value, 0x1003);
    EXPECT_FALSE(log[0].in);
    EXPECT_EQ(log[0].length, 1);
    EXPECT_EQ(log[0].data, std::vector<std::uint8_t>{0x5A});
    EXPECT_EQ(log[0].status, USBD_STATUS_SUCCESS);

    EXPECT_EQ(log[1].request, 0x84);
    EXPECT_EQ(log[1].requestType, 0xC0);
    EXPECT_TRUE(log[1].in);
    EXPECT_EQ(log[1].length, 22);
    EXPECT_TRUE(log[1].data.empty()) << "reads carry nothing to the camera";

    EXPECT_EQ(log[2].request, 0x0B);
    EXPECT_EQ(log[2].value, 0x0123);
    EXPECT_EQ(log[2].index, 0x0456);
    EXPECT_EQ(log[2].data, (std::vector<std::uint8_t>{1, 2, 3, 4}));

    EXPECT_EQ(log[3].value, 1);
    EXPECT_EQ(log[3].status, USBD_STATUS_STALL_PID) << "refused requests are logged too";

    host.camera().clearRequestLog();
    EXPECT_TRUE(host.camera().requestLog().empty());
    ASSERT_EQ(host.vendorIn(0x80, 0, 1).status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.camera().requestLog().size(), 1u);
    EXPECT_EQ(host.camera().requestLog()[0].request, 0x80);
}

TEST(SimRequestLog, KeepsTheLatestEntriesWithinItsBounds) {
    sim::Scenario s = quickScenario();
    s.timing.throttled = false;
    Host host(s, smallStore());

    // Bytes: 64 KiB data blocks overflow the byte bound long before the
    // entry bound; the newest block is always kept whole.
    const std::size_t blocks = sim::kMaxRequestLogBytes / 65535 + 4;
    std::vector<std::uint8_t> block(65535);
    for (std::size_t i = 0; i < blocks; ++i) {
        block[0] = static_cast<std::uint8_t>(i);
        ASSERT_EQ(host.vendorOut(0x0B, static_cast<std::uint16_t>(0x200 + i), block).status,
                  USBD_STATUS_SUCCESS);
    }
    std::vector<sim::VendorRequestRecord> log = host.camera().requestLog();
    std::size_t bytes = 0;
    for (const auto& r : log) bytes += r.data.size();
    EXPECT_LE(bytes, sim::kMaxRequestLogBytes);
    ASSERT_GE(log.size(), 2u);
    EXPECT_LT(log.size(), blocks);
    EXPECT_EQ(log.back().value, 0x200 + blocks - 1);
    EXPECT_EQ(log.back().data.size(), 65535u);
    EXPECT_EQ(log.back().data[0], static_cast<std::uint8_t>(blocks - 1));

    // Entries: the oldest go first.
    host.camera().clearRequestLog();
    const std::size_t reads = sim::kMaxRequestLogEntries + 10;
    for (std::size_t i = 0; i < reads; ++i)
        ASSERT_EQ(host.vendorIn(0x86, 0, 2).status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.vendorIn(0x84, 0, 22).status, USBD_STATUS_SUCCESS);
    log = host.camera().requestLog();
    ASSERT_EQ(log.size(), sim::kMaxRequestLogEntries);
    EXPECT_EQ(log.back().request, 0x84);
    EXPECT_EQ(log.front().request, 0x86);
}

}  // namespace
