// Patch download: header, bulk-out bytes, the checksum as the host computes
// it, the "ready" message, and the port cycle that brings the camera back
// patched.
#include <gtest/gtest.h>

#include "tests/sim/sim_test_util.h"

using namespace simtest;

namespace {

// A patch image of length L: "52" marks a regular image; offsets 99-100 hold
// L; offset 5 the checksum over offsets 6 to L-1 (plus one when unmarked).
std::vector<std::uint8_t> image(std::size_t length, bool marked) {
    std::vector<std::uint8_t> img(length);
    for (std::size_t i = 0; i < length; ++i) img[i] = static_cast<std::uint8_t>(i * 31 + 7);
    img[2] = marked ? '5' : 'X';
    img[3] = marked ? '2' : 'Y';
    img[99] = static_cast<std::uint8_t>(length >> 8);
    img[100] = static_cast<std::uint8_t>(length);
    std::uint8_t sum = 0xFF;
    for (std::size_t i = 6; i < length; ++i) sum ^= img[i];
    if (!marked) ++sum;
    img[4] = 0;
    img[5] = sum;
    return img;
}

std::vector<std::uint8_t> header(std::size_t total, std::uint8_t major, std::uint8_t minor,
                                 std::uint8_t sum) {
    return {0,
            0,
            static_cast<std::uint8_t>(total >> 8),
            static_cast<std::uint8_t>(total),
            major,
            minor,
            0,
            0,
            sum,
            0};
}

// Header, then the bytes in transfers of up to 4096, the last rounded up to
// whole packets as a bulk stream sends it.
void download(Host& host, const std::vector<std::uint8_t>& head, std::vector<std::uint8_t> bytes) {
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.vendorOut(0x06, 0, head).status, USBD_STATUS_SUCCESS);
    bytes.resize((bytes.size() + 63) / 64 * 64, 0xEE);
    for (std::size_t off = 0; off < bytes.size(); off += 4096) {
        std::size_t n = std::min<std::size_t>(4096, bytes.size() - off);
        ASSERT_EQ(
            host.bulkOut(std::vector<std::uint8_t>(bytes.begin() + off, bytes.begin() + off + n)),
            USBD_STATUS_SUCCESS);
    }
}

void cycle(Host& host) {
    ASSERT_EQ(host.camera().cyclePort(), USBD_STATUS_SUCCESS);
    ASSERT_TRUE(host.camera().reenumerate());
}

TEST(SimPatch, AcceptedPatchReportsReadyAndRunsAfterThePortCycle) {
    Host host(quickScenario());
    auto img = image(1769, true);
    download(host, header(img.size(), 0x01, 0x05, img[5]), img);
    EXPECT_EQ(host.camera().patchState(), sim::PatchState::Accepted)
        << host.camera().patchProblem();
    EXPECT_EQ(host.camera().patchBytes(), img)
        << "the padding of the last packet is not part of the patch";
    ControlResult ready = host.interrupt();
    ASSERT_EQ(ready.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(ready.data[0], 1);
    EXPECT_EQ(ready.data[2], 1);
    EXPECT_EQ(host.camera().firmwareLevel(), 0x0103) << "the patch runs only after the reboot";

    cycle(host);
    EXPECT_EQ(host.camera().firmwareLevel(), 0x0105);
    auto info = host.vendorIn(0x84, 0, 22).data;
    EXPECT_EQ(info[2], 0x01);
    EXPECT_EQ(info[3], 0x05);
    auto dev = host.descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18).data;
    EXPECT_EQ(dev[12] | (dev[13] << 8), 0x0105);
    host.waitBooted();
    cycle(host);
    EXPECT_EQ(host.camera().firmwareLevel(), 0x0105) << "still patched after another cycle";
}

TEST(SimPatch, ChecksumIsCheckedAsTheHostComputesIt) {
    // An unmarked image adds one to its checksum; more bytes than the image
    // (a total from the registry) are allowed.
    Host host(quickScenario());
    auto img = image(600, false);
    auto sent = img;
    sent.resize(1000, 0x11);
    download(host, header(sent.size(), 0x02, 0x00, img[5]), sent);
    EXPECT_EQ(host.camera().patchState(), sim::PatchState::Accepted)
        << host.camera().patchProblem();

    Host wrong(quickScenario());
    auto bad = image(600, true);
    download(wrong, header(bad.size(), 0x02, 0x00, static_cast<std::uint8_t>(bad[5] + 1)), bad);
    EXPECT_EQ(wrong.camera().patchState(), sim::PatchState::Rejected);
    EXPECT_NE(wrong.camera().patchProblem().find("checksum"), std::string::npos);
    EXPECT_EQ(wrong.interrupt(std::chrono::milliseconds(150)).status, USBD_STATUS_CANCELED)
        << "no ready message";
    cycle(wrong);
    EXPECT_EQ(wrong.camera().firmwareLevel(), 0x0103)
        << "a rejected patch leaves the camera unpatched";
}

TEST(SimPatch, LengthsAreChecked) {
    Host host(quickScenario());
    auto img = image(800, true);
    auto shortSend = std::vector<std::uint8_t>(img.begin(), img.begin() + 700);
    download(host, header(shortSend.size(), 0x01, 0x07, img[5]), shortSend);
    EXPECT_EQ(host.camera().patchState(), sim::PatchState::Rejected)
        << "the image is longer than what was sent";
    cycle(host);
    EXPECT_EQ(host.camera().firmwareLevel(), 0x0103);

    Host headers(quickScenario());
    EXPECT_EQ(headers.vendorOut(0x06, 0, header(0, 1, 1, 0)).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(headers.vendorOut(0x06, 0, {0, 0, 0x03, 0x00, 1, 1, 0, 0, 0}).status,
              USBD_STATUS_STALL_PID);
    auto huge = header(0, 1, 1, 0);
    huge[2] = 0xFF;
    huge[3] = 0xFF;
    huge[0] = 0;
    EXPECT_EQ(headers.vendorOut(0x06, 0, huge).status, USBD_STATUS_SUCCESS)
        << "65535 bytes fit the patch memory";
    ASSERT_EQ(headers.select(1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(headers.bulkOut(std::vector<std::uint8_t>(128, 1)), USBD_STATUS_SUCCESS);
    EXPECT_EQ(headers.camera().patchState(), sim::PatchState::Receiving);

    Host noHeader(quickScenario());
    ASSERT_EQ(noHeader.select(1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(noHeader.bulkOut(img), USBD_STATUS_SUCCESS);
    EXPECT_EQ(noHeader.camera().patchState(), sim::PatchState::None)
        << "bytes without a header are ignored";
}

}  // namespace
