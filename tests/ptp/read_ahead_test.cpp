// Reading a picture on: once a data phase of a GetObject has been answered,
// the responder asks the camera for the next piece while the answer travels,
// and the next data phase takes it from there. What must hold: the slices are
// the picture byte for byte, nothing past the object is read, a piece the
// camera fails fails the slice that needs it (never a slice of wrong bytes),
// requests that come meanwhile wait behind it, and a stop ends it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
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

Bytes dataPhase(std::uint32_t session, std::size_t room = kPiece) {
    return transferRequest(session, 2, 0x1009, {}, room);
}

// A camera holding one picture of kPicture bytes, a locked PTP session on it
// and the GetObject command phase of that picture.
struct PictureDownload {
    explicit PictureDownload(const pavtest::CameraHarnessOptions& options) : h(options) {
        if (!h.started()) return;
        handle = 0x10000000u | placePicture(h.camera(), kPicture, 23, &picture);
        client = std::make_unique<PtpClient>(h.fdo());
        session = std::make_unique<LockedSession>(*client);
    }
    ~PictureDownload() {
        if (sender.joinable()) sender.join();
    }
    bool ready() const { return session && session->ok(); }
    std::uint32_t id() const { return session->id(); }
    std::uint8_t command() {
        Bytes param(4);
        std::memcpy(param.data(), &handle, 4);
        return client->transfer(id(), 1, 0x1009, param).moduleStatus;
    }
    Phase data(std::size_t room = kPiece) { return client->transfer(id(), 2, 0x1009, {}, room); }
    std::size_t pictureReads() const { return itemReads(h.camera(), 8).size(); }
    // Sends a data phase from a thread of its own (its reply lands in
    // `first`) and, once that is answered and the next piece is being read,
    // a second data phase; null when the read ahead never began.
    std::shared_ptr<pavtest::Reply> secondWhileReadingAhead() {
        sender = std::thread(
            [this] { first = client->sendRequest(IOCTL_PTP_TRANSFER, dataPhase(id())); });
        if (!pavtest::waitFor([&] { return h.device()->ptp.readingAhead.load(); })) return nullptr;
        return client->sendRequest(IOCTL_PTP_TRANSFER, dataPhase(id()));
    }

    pavtest::CameraHarness h;
    Bytes picture;
    std::uint32_t handle = 0;
    std::unique_ptr<PtpClient> client;
    std::unique_ptr<LockedSession> session;
    std::thread sender;
    std::shared_ptr<pavtest::Reply> first;
};

Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), from + n)));
}

TEST(PtpReadAhead, EachAnsweredSliceHasTheNextPieceAskedForAndNothingPastTheObject) {
    PictureDownload p(cameraWith({}));
    ASSERT_TRUE(p.ready()) << p.h.arrivalText();
    DeviceContext* d = p.h.device();
    ASSERT_EQ(p.command(), 0);
    const std::size_t before = p.pictureReads();
    Bytes got;
    std::vector<std::size_t> readsAfterSlice;
    while (got.size() < p.picture.size()) {
        Phase part = p.data();
        ASSERT_EQ(part.moduleStatus, 0) << "slice at " << got.size();
        ASSERT_EQ(part.offset, got.size());
        got.insert(got.end(), part.data.begin(), part.data.end());
        ASSERT_TRUE(pavtest::waitFor([&] { return !d->ptp.readingAhead.load(); }));
        readsAfterSlice.push_back(p.pictureReads() - before);
    }
    // Slices of 64 KiB, 64 KiB, 64 KiB and 1000 bytes. Once a slice is
    // answered the camera has been asked for the piece after it (the last
    // whole block before the 1000 bytes' end, after the third); the fourth
    // reads its last block itself, and after the last slice nothing is read.
    EXPECT_EQ(readsAfterSlice, (std::vector<std::size_t>{2, 3, 4, 5}));
    EXPECT_EQ(got, p.picture);
    EXPECT_EQ(p.client->transfer(p.id(), 3, 0x1009, {}, 64).code, 0x2001);
    std::uint32_t asked = 0;
    for (std::uint32_t n : itemReads(p.h.camera(), 8)) asked += n;
    EXPECT_EQ(asked, (kPicture + 511) / 512 * 512) << "no byte past the object is read";
}

// The camera cuts the third piece short (the item reads' answers: the
// object's first block, then piece after piece); the receive of the rest
// gives up after its six seconds, on a fast clock.
TEST(PtpReadAhead, APieceTheCameraFailsFailsTheSliceThatNeedsItAndTheNextDownloadIsWhole) {
    PictureDownload p(cameraWith({{sim::BulkAnswerFault::Kind::Short, 0x05, 4, 1000, 0}}, 20));
    ASSERT_TRUE(p.ready()) << p.h.arrivalText();
    ASSERT_EQ(p.command(), 0);
    Phase first = p.data();
    ASSERT_EQ(first.moduleStatus, 0);
    EXPECT_EQ(first.data, slice(p.picture, 0, kPiece));
    Phase second = p.data();
    ASSERT_EQ(second.moduleStatus, 0);
    EXPECT_EQ(second.data, slice(p.picture, kPiece, kPiece));
    // The third piece was read ahead after the second slice and came short.
    Phase third = p.data();
    EXPECT_NE(third.moduleStatus, 0) << "the slice of the failed piece is not delivered";
    EXPECT_EQ(third.length, 0u);
    EXPECT_NE(p.data().moduleStatus, 0) << "nothing more of the object comes";
    p.client->transfer(p.id(), 3, 0x1009, {}, 64);

    Transaction again = p.client->run(p.id(), 0x1009, {p.handle}, kPiece);
    EXPECT_EQ(again.response, 0x2001);
    EXPECT_EQ(again.data, p.picture);
}

// The second piece's answer comes late: the first slice is answered, and the
// data phase sent then waits in the queue until the piece is there.
TEST(PtpReadAhead, ARequestThatComesWhileAPieceIsReadAheadWaitsForItAndGetsIt) {
    PictureDownload p(cameraWith({{sim::BulkAnswerFault::Kind::Late, 0x05, 3, 0, 1000}}));
    ASSERT_TRUE(p.ready()) << p.h.arrivalText();
    DeviceContext* d = p.h.device();
    ASSERT_EQ(p.command(), 0);
    auto second = p.secondWhileReadingAhead();
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(second->done.load());
    EXPECT_EQ(d->ptp.queue.count(), 1u);
    p.sender.join();
    ASSERT_TRUE(PtpClient::wait(p.first));
    ASSERT_TRUE(PtpClient::wait(second));
    EXPECT_EQ(p.first->moduleStatus(), 0);
    EXPECT_EQ(second->moduleStatus(), 0);
    EXPECT_EQ(slice(second->data, kPtpDataOffset, kPiece), slice(p.picture, kPiece, kPiece));
    EXPECT_EQ(u32(second->data, 24), kPiece) << "the slice's offset";

    Bytes rest;
    for (;;) {
        Phase part = p.data();
        if (part.moduleStatus != 0 || part.length == 0) break;
        rest.insert(rest.end(), part.data.begin(), part.data.end());
        if (part.offset + part.length >= part.total) break;
    }
    EXPECT_EQ(rest, slice(p.picture, 2 * kPiece, p.picture.size()));
    EXPECT_EQ(p.client->transfer(p.id(), 3, 0x1009, {}, 64).code, 0x2001);
}

// A piece whose answer never comes in the test's time: the camera is pulled
// while it is read ahead. The transport's stop waits for it and the request
// behind it ends.
TEST(PtpReadAhead, AStopWhileAPieceIsReadAheadEndsItAndWhatWaitsBehindIt) {
    // The clock runs slow, so that the held read's six seconds outlast
    // everything the test does meanwhile.
    PictureDownload p(cameraWith({{sim::BulkAnswerFault::Kind::Late, 0x05, 3, 0, 600000}}, 0.2));
    ASSERT_TRUE(p.ready()) << p.h.arrivalText();
    ASSERT_EQ(p.command(), 0);
    auto second = p.secondWhileReadingAhead();
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(second->done.load());

    p.h.unplug();
    p.session->forget();
    p.sender.join();
    ASSERT_TRUE(PtpClient::wait(p.first));
    EXPECT_EQ(p.first->moduleStatus(), 0);
    EXPECT_EQ(slice(p.first->data, kPtpDataOffset, kPiece), slice(p.picture, 0, kPiece));
    // The request behind it ends: aborted by the stop, or failed when it
    // started before the stop came and found its piece lost with the camera.
    ASSERT_TRUE(PtpClient::wait(second));
    EXPECT_EQ(second->status, STATUS_SUCCESS);
    EXPECT_TRUE(second->moduleStatus() == kModuleStatusTaskAborted ||
                second->moduleStatus() == kPhaseNotSupported)
        << int{second->moduleStatus()};
}

}  // namespace
