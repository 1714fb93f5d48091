// Reading a picture on: once a data phase of a GetObject has been answered,
// the responder asks the camera for the next piece while the answer travels,
// and the next data phase takes it from there. What must hold: the slices are
// the picture byte for byte, nothing past the object is read, a piece the
// camera fails fails the slice that needs it (never a slice of wrong bytes),
// requests that come meanwhile wait behind it, and a stop ends it.
#include <gtest/gtest.h>

#include <thread>

#include "driver/camera/ptp_responder.h"
#include "driver/core/device_context.h"
#include "driver/core/ptpif.h"
#include "platform/kernel/clock.h"
#include "sim/object_store.h"
#include "sim/sim_camera.h"
#include "tests/ptp/ptp_client.h"
#include "tests/support/camera_harness.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace ptptest;
using namespace pav512;

constexpr std::size_t kPiece = 65536;
constexpr std::size_t kPicture = 3 * kPiece + 1000;

pavtest::CameraHarnessOptions cameraWith(const std::vector<sim::BulkAnswerFault>& faults,
                                         double clockScale = 0) {
    pavtest::CameraHarnessOptions o;
    o.scenario = sim::defaultScenario();
    o.scenario.defaultContent = false;
    o.scenario.faults.bulkAnswers = faults;
    if (clockScale > 0) o.clockScale = clockScale;
    return o;
}

// Places a picture of kPicture bytes; returns its handle.
std::uint32_t placePicture(pavtest::CameraHarness& h, Bytes* picture) {
    std::uint32_t number = 0;
    h.camera().withStore([&](sim::ObjectStore& st) {
        sim::ObjectSpec recipe;
        sim::StoredObject o = sim::generateObject(recipe, 1);
        o.picture = sim::syntheticFrame(kPicture, 23);
        sim::fillDirectoryEntry(o, recipe);
        *picture = o.picture;
        number = st.memory(0).add(std::move(o)).number;
    });
    return 0x10000000u | number;
}

// The lengths of the picture item reads the camera was asked for.
std::vector<std::uint32_t> pictureReads(pavtest::CameraHarness& h) {
    std::vector<std::uint32_t> lengths;
    for (const sim::VendorRequestRecord& r : h.camera().requestLog())
        if (r.request == 0x05 && r.value == 8 && r.data.size() == 8)
            lengths.push_back((std::uint32_t{r.data[4]} << 24) | (r.data[5] << 16) |
                              (r.data[6] << 8) | r.data[7]);
    return lengths;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), from + n)));
}

Bytes dataPhase(std::uint32_t session, std::size_t room = kPiece) {
    return transferRequest(session, 2, 0x1009, {}, room);
}

TEST(PtpReadAhead, EachAnsweredSliceHasTheNextPieceAskedForAndNothingPastTheObject) {
    pavtest::CameraHarness h(cameraWith({}));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Bytes picture;
    const std::uint32_t handle = placePicture(h, &picture);
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    DeviceContext* d = h.device();

    Bytes param(4);
    std::memcpy(param.data(), &handle, 4);
    ASSERT_EQ(client.transfer(s.id(), 1, 0x1009, param).moduleStatus, 0);
    const std::size_t before = pictureReads(h).size();
    Bytes got;
    std::vector<std::size_t> readsAfterSlice;
    while (got.size() < picture.size()) {
        Phase p = client.transfer(s.id(), 2, 0x1009, {}, kPiece);
        ASSERT_EQ(p.moduleStatus, 0) << "slice at " << got.size();
        ASSERT_EQ(p.offset, got.size());
        got.insert(got.end(), p.data.begin(), p.data.end());
        ASSERT_TRUE(pavtest::waitFor([&] { return !d->ptp.readingAhead.load(); }));
        readsAfterSlice.push_back(pictureReads(h).size() - before);
    }
    // Slices of 64 KiB, 64 KiB, 64 KiB and 1000 bytes. Once a slice is
    // answered the camera has been asked for the piece after it (the last
    // whole block before the 1000 bytes' end, after the third); the fourth
    // reads its last block itself, and after the last slice nothing is read.
    EXPECT_EQ(readsAfterSlice, (std::vector<std::size_t>{2, 3, 4, 5}));
    EXPECT_EQ(got, picture);
    EXPECT_EQ(client.transfer(s.id(), 3, 0x1009, {}, 64).code, 0x2001);
    std::uint32_t asked = 0;
    for (std::uint32_t n : pictureReads(h)) asked += n;
    EXPECT_EQ(asked, (kPicture + 511) / 512 * 512) << "no byte past the object is read";
}

// The camera cuts the third piece short (the item reads' answers: the
// object's first block, then piece after piece); the receive of the rest
// gives up after its six seconds, on a fast clock.
TEST(PtpReadAhead, APieceTheCameraFailsFailsTheSliceThatNeedsItAndTheNextDownloadIsWhole) {
    pavtest::CameraHarness h(
        cameraWith({{sim::BulkAnswerFault::Kind::Short, 0x05, 4, 1000, 0}}, 20));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Bytes picture;
    const std::uint32_t handle = placePicture(h, &picture);
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());

    Bytes param(4);
    std::memcpy(param.data(), &handle, 4);
    ASSERT_EQ(client.transfer(s.id(), 1, 0x1009, param).moduleStatus, 0);
    Phase first = client.transfer(s.id(), 2, 0x1009, {}, kPiece);
    ASSERT_EQ(first.moduleStatus, 0);
    EXPECT_EQ(first.data, slice(picture, 0, kPiece));
    Phase second = client.transfer(s.id(), 2, 0x1009, {}, kPiece);
    ASSERT_EQ(second.moduleStatus, 0);
    EXPECT_EQ(second.data, slice(picture, kPiece, kPiece));
    // The third piece was read ahead after the second slice and came short.
    Phase third = client.transfer(s.id(), 2, 0x1009, {}, kPiece);
    EXPECT_NE(third.moduleStatus, 0) << "the slice of the failed piece is not delivered";
    EXPECT_EQ(third.length, 0u);
    EXPECT_NE(client.transfer(s.id(), 2, 0x1009, {}, kPiece).moduleStatus, 0)
        << "nothing more of the object comes";
    client.transfer(s.id(), 3, 0x1009, {}, 64);

    Transaction again = client.run(s.id(), 0x1009, {handle}, kPiece);
    EXPECT_EQ(again.response, 0x2001);
    EXPECT_EQ(again.data, picture);
}

// The second piece's answer comes late: the first slice is answered, and the
// data phase sent then waits in the queue until the piece is there.
TEST(PtpReadAhead, ARequestThatComesWhileAPieceIsReadAheadWaitsForItAndGetsIt) {
    pavtest::CameraHarness h(cameraWith({{sim::BulkAnswerFault::Kind::Late, 0x05, 3, 0, 1000}}));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Bytes picture;
    const std::uint32_t handle = placePicture(h, &picture);
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    DeviceContext* d = h.device();

    Bytes param(4);
    std::memcpy(param.data(), &handle, 4);
    ASSERT_EQ(client.transfer(s.id(), 1, 0x1009, param).moduleStatus, 0);
    std::shared_ptr<pavtest::Reply> first;
    std::thread sender([&] { first = client.sendRequest(IOCTL_PTP_TRANSFER, dataPhase(s.id())); });
    ASSERT_TRUE(pavtest::waitFor([&] { return d->ptp.readingAhead.load(); }));
    auto second = client.sendRequest(IOCTL_PTP_TRANSFER, dataPhase(s.id()));
    EXPECT_FALSE(second->done.load());
    EXPECT_EQ(d->ptp.queue.count(), 1u);
    sender.join();
    ASSERT_TRUE(PtpClient::wait(first));
    ASSERT_TRUE(PtpClient::wait(second));
    EXPECT_EQ(first->moduleStatus(), 0);
    EXPECT_EQ(second->moduleStatus(), 0);
    EXPECT_EQ(slice(second->data, kPtpDataOffset, kPiece), slice(picture, kPiece, kPiece));
    EXPECT_EQ(u32(second->data, 24), kPiece) << "the slice's offset";

    Transaction rest;
    for (;;) {
        Phase p = client.transfer(s.id(), 2, 0x1009, {}, kPiece);
        if (p.moduleStatus != 0 || p.length == 0) break;
        rest.data.insert(rest.data.end(), p.data.begin(), p.data.end());
        if (p.offset + p.length >= p.total) break;
    }
    EXPECT_EQ(rest.data, slice(picture, 2 * kPiece, picture.size()));
    EXPECT_EQ(client.transfer(s.id(), 3, 0x1009, {}, 64).code, 0x2001);
}

// A piece whose answer never comes in the test's time: the camera is pulled
// while it is read ahead. The transport's stop waits for it and the request
// behind it ends.
TEST(PtpReadAhead, AStopWhileAPieceIsReadAheadEndsItAndAbortsWhatWaits) {
    // The clock runs slow, so that the held read's six seconds outlast
    // everything the test does meanwhile.
    pavtest::CameraHarness h(
        cameraWith({{sim::BulkAnswerFault::Kind::Late, 0x05, 3, 0, 600000}}, 0.2));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Bytes picture;
    const std::uint32_t handle = placePicture(h, &picture);
    DeviceContext* d = h.device();
    PtpClient client(h.fdo());
    std::uint32_t session = 0;
    ASSERT_EQ(client.open(&session), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(session), kModuleStatusSuccess);
    ASSERT_EQ(client.run(session, 0x1002, {1}).response, 0x2001);

    Bytes param(4);
    std::memcpy(param.data(), &handle, 4);
    ASSERT_EQ(client.transfer(session, 1, 0x1009, param).moduleStatus, 0);
    std::shared_ptr<pavtest::Reply> first;
    std::thread sender([&] { first = client.sendRequest(IOCTL_PTP_TRANSFER, dataPhase(session)); });
    // The first slice is answered (nothing is current) and its next piece is
    // being read.
    ASSERT_TRUE(pavtest::waitFor([&] { return d->ptp.readingAhead.load(); }));
    auto second = client.sendRequest(IOCTL_PTP_TRANSFER, dataPhase(session));
    EXPECT_FALSE(second->done.load());

    h.unplug();
    sender.join();
    ASSERT_TRUE(PtpClient::wait(first));
    EXPECT_EQ(first->moduleStatus(), 0);
    EXPECT_EQ(slice(first->data, kPtpDataOffset, kPiece), slice(picture, 0, kPiece));
    // The request behind it ends: aborted by the stop, or failed when it
    // started before the stop came and found its piece lost with the camera.
    ASSERT_TRUE(PtpClient::wait(second));
    EXPECT_EQ(second->status, STATUS_SUCCESS);
    EXPECT_TRUE(second->moduleStatus() == kModuleStatusTaskAborted ||
                second->moduleStatus() == kPhaseNotSupported)
        << int{second->moduleStatus()};
}

}  // namespace
