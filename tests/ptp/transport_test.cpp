// The PTP transport through the driver's gate and dispatch switch over the
// simulated camera: sessions, the lock and the camera setting it holds, the
// request queue, and the bulk receive with its length and time-out rules.
#include <gtest/gtest.h>

#include <thread>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "driver/core/ptpif.h"
#include "sim/sim_camera.h"
#include "tests/ptp/ptp_client.h"
#include "tests/support/camera_harness.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace ptptest;
using namespace pav512;

bool cameraFree(DeviceContext* d) {
    if (!NT_SUCCESS(Camera_Acquire(d, 0))) return false;
    Camera_Release(d);
    return true;
}

pavtest::CameraHarnessOptions scaled(const sim::Scenario& s, double scale) {
    pavtest::CameraHarnessOptions o;
    o.scenario = s;
    o.clockScale = scale;
    return o;
}

TEST(PtpSessions, TheLockGivesOneSessionTheCameraInItsCommandSetting) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    PtpClient client(h.fdo());
    std::uint32_t a = 0, b = 0;
    ASSERT_EQ(client.open(&a), kModuleStatusSuccess);
    ASSERT_EQ(client.open(&b), kModuleStatusSuccess);
    EXPECT_NE(a, b);
    EXPECT_EQ(d->openSessions, 2);
    EXPECT_EQ(h.camera().alternateSetting(), 0) << "an open session does not claim the camera";

    EXPECT_EQ(client.transfer(a, 1, 0x1001).moduleStatus, kModuleStatusPtpNotLocked);
    ASSERT_EQ(client.lock(a), kModuleStatusSuccess);
    EXPECT_EQ(h.camera().alternateSetting(), 1);
    EXPECT_FALSE(cameraFree(d));
    EXPECT_EQ(client.transfer(b, 1, 0x1001).moduleStatus, kModuleStatusNotLockOwner);
    EXPECT_EQ(client.lock(b), kModuleStatusAlreadyLocked);
    EXPECT_EQ(client.unlock(b), kModuleStatusNotLockOwner);
    EXPECT_EQ(client.transfer(a, 1, 0x1001).moduleStatus, kModuleStatusSuccess);

    // Closing the lock session gives the camera back.
    EXPECT_EQ(client.close(a), kModuleStatusSuccess);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_TRUE(cameraFree(d));
    EXPECT_EQ(d->ptp.lockSession, 0u);
    ASSERT_EQ(client.lock(b), kModuleStatusSuccess);
    EXPECT_EQ(client.unlock(b), kModuleStatusSuccess);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_EQ(client.unlock(b), kModuleStatusNotLockOwner);

    // Identifiers that name no open session change nothing.
    EXPECT_EQ(client.close(a), kModuleStatusSuccess);
    EXPECT_EQ(client.close(0x7777), kModuleStatusSuccess);
    EXPECT_EQ(d->openSessions, 1);
    EXPECT_EQ(client.lock(0x7777), kModuleStatusNotLockOwner);
    EXPECT_TRUE(cameraFree(d));
    EXPECT_EQ(client.close(b), kModuleStatusSuccess);
    EXPECT_EQ(d->openSessions, 0);
}

TEST(PtpSessions, OnePictureServiceSessionAtATime) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    std::uint32_t first = 0, second = 0, plain = 0;
    ASSERT_EQ(client.openPictureService(&first), kModuleStatusSuccess);
    EXPECT_EQ(client.openPictureService(&second), kModuleStatusInUse);
    EXPECT_EQ(client.openPictureService(&second), kModuleStatusInUse);
    ASSERT_EQ(client.open(&plain), kModuleStatusSuccess) << "plain sessions are not limited";
    EXPECT_EQ(client.close(plain), kModuleStatusSuccess);
    EXPECT_EQ(client.openPictureService(&second), kModuleStatusInUse);
    EXPECT_EQ(client.close(first), kModuleStatusSuccess);
    ASSERT_EQ(client.openPictureService(&second), kModuleStatusSuccess);
    EXPECT_NE(second, first);
    EXPECT_EQ(client.close(second), kModuleStatusSuccess);
}

TEST(PtpSessions, ALockNeedsTheCameraFreeAndItsCommandSetting) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.refusedAlternates = {1};
    pavtest::CameraHarness h(s);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    PtpClient client(h.fdo());
    std::uint32_t session = 0;
    ASSERT_EQ(client.open(&session), kModuleStatusSuccess);
    EXPECT_EQ(client.lock(session), kModuleStatusClaimFailed);
    EXPECT_TRUE(cameraFree(d)) << "a failed claim releases the camera";
    h.camera().changeFaults([](sim::Faults& f) { f.refusedAlternates.clear(); });
    ASSERT_EQ(Camera_Acquire(d, 0), STATUS_SUCCESS);
    EXPECT_EQ(client.lock(session), kModuleStatusAlreadyLocked) << "another user has the camera";
    Camera_Release(d);
    EXPECT_EQ(client.lock(session), kModuleStatusSuccess);
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
    EXPECT_TRUE(cameraFree(d));
}

TEST(PtpRequests, UnknownKindsAndTheEventWaitAnswerAtOnce) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    std::uint32_t session = 0;
    ASSERT_EQ(client.open(&session), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(session), kModuleStatusSuccess);
    for (std::uint16_t kind : {0, 4, 0xFFFF}) {
        Phase p = client.transfer(session, kind, 0x1001);
        EXPECT_EQ(p.status, STATUS_SUCCESS);
        EXPECT_EQ(p.moduleStatus, kModuleStatusUnknownTransferKind) << kind;
    }
    auto wait = client.call(IOCTL_PTP_WAIT_EVENT, ptpHeader(session));
    EXPECT_EQ(wait->moduleStatus(), kModuleStatusSuccess);
    // A command whose bytes to send lie outside its data area is refused
    // before anything reads them.
    Bytes bad = ptpHeader(session, 8);
    bad[8] = 8;    // data area
    bad[12] = 40;  // bytes to send
    EXPECT_EQ(client.call(IOCTL_PTP_COMMAND, bad)->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
}

// The receive reads an answer the camera prepared for a directory entry.
struct Receive {
    NTSTATUS status = STATUS_PENDING;
    ULONG received = 0;
    ULONG receiveStatus = 0xFF;
    Bytes buffer;
};

Receive receiveEntry(DeviceContext* d, ULONG room) {
    Receive r;
    r.buffer.assign(room + 10, 0xEE);
    CameraMemoryResult result;
    EXPECT_EQ(Camera_PrepareDirectoryEntry(d, 0, 1, &result), STATUS_SUCCESS);
    r.status = mPTPIF_USBBulkTransfer(d, r.buffer.data(), room, &r.received, &r.receiveStatus);
    return r;
}

TEST(PtpReceive, TakesExactlyTheLengthAskedAndReportsWhatTheCameraDid) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.bulkAnswers = {{sim::BulkAnswerFault::Kind::Longer, 0x0A, 2, 10, 0}};
    pavtest::CameraHarness h(scaled(s, 20));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    PtpClient client(h.fdo());
    std::uint32_t session = 0;
    ASSERT_EQ(client.open(&session), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(session), kModuleStatusSuccess);
    Bytes entry;
    h.camera().withStore([&](sim::ObjectStore& st) {
        const auto& e = st.memory(0).find(1)->directoryEntry;
        entry.assign(e.begin(), e.end());
    });

    Receive exact = receiveEntry(d, 86);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.receiveStatus, kPtpReceiveOk);
    EXPECT_EQ(Bytes(exact.buffer.begin(), exact.buffer.begin() + 86), entry);

    // Ten bytes more than asked: the asked length is stored, nothing past it.
    Receive longer = receiveEntry(d, 86);
    EXPECT_EQ(longer.status, STATUS_SUCCESS);
    EXPECT_EQ(longer.receiveStatus, kPtpReceiveTooLong);
    EXPECT_EQ(longer.received, 86u);
    EXPECT_EQ(Bytes(longer.buffer.begin(), longer.buffer.begin() + 86), entry);
    EXPECT_EQ(Bytes(longer.buffer.begin() + 86, longer.buffer.end()), Bytes(10, 0xEE));
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
}

TEST(PtpReceive, AnAnswerThatStopsReturnsWhatCameAfterSixSecondsAsATimeOut) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.bulkAnswers = {{sim::BulkAnswerFault::Kind::Partial, 0x0A, 1, 40, 0}};
    pavtest::CameraHarness h(scaled(s, 20));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    PtpClient client(h.fdo());
    std::uint32_t session = 0;
    ASSERT_EQ(client.open(&session), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(session), kModuleStatusSuccess);
    Bytes entry;
    h.camera().withStore([&](sim::ObjectStore& st) {
        const auto& e = st.memory(0).find(1)->directoryEntry;
        entry.assign(e.begin(), e.end());
    });
    const LONGLONG before = kclock::now();
    Receive r = receiveEntry(d, 86);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_TRUE(NT_SUCCESS(r.status)) << "a time-out is a success value";
    EXPECT_GE(kclock::now() - before, LONGLONG{kPtpReceiveWaitMs} * 10000);
    EXPECT_EQ(r.received, 40u);
    EXPECT_EQ(Bytes(r.buffer.begin(), r.buffer.begin() + 40),
              Bytes(entry.begin(), entry.begin() + 40));
    // The next answer comes whole again.
    Receive next = receiveEntry(d, 86);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(next.receiveStatus, kPtpReceiveOk);
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
}

// Requests that arrive while one executes run after it, in order, without
// the client doing anything more.
TEST(PtpRequests, RequestsBehindTheCurrentOneRunInOrderOnceItEnds) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.bulkAnswers = {{sim::BulkAnswerFault::Kind::Late, 0x0A, 1, 0, 300}};
    pavtest::CameraHarness h(s);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    PtpClient client(h.fdo());
    std::uint32_t session = 0;
    ASSERT_EQ(client.open(&session), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(session), kModuleStatusSuccess);
    ASSERT_EQ(client.run(session, 0x1002, {1}).response, 0x2001);

    std::shared_ptr<Reply> command;
    std::thread sender([&] {
        command = client.sendRequest(IOCTL_PTP_TRANSFER,
                                     transferRequest(session, 1, 0x1008, Bytes{1, 0, 0, 0x10}, 4));
    });
    ASSERT_TRUE(pavtest::waitFor([&] { return d->ptp.receiveBuffer != nullptr; }));
    auto data =
        client.sendRequest(IOCTL_PTP_TRANSFER, transferRequest(session, 2, 0x1008, {}, 200));
    auto response =
        client.sendRequest(IOCTL_PTP_TRANSFER, transferRequest(session, 3, 0x1008, {}, 64));
    sender.join();
    ASSERT_TRUE(PtpClient::wait(data));
    ASSERT_TRUE(PtpClient::wait(response));
    EXPECT_EQ(command->moduleStatus(), 0);
    EXPECT_EQ(data->moduleStatus(), 0);
    EXPECT_EQ(u32(data->data, 16), 146u) << "the object information of the command before it";
    EXPECT_EQ(response->moduleStatus(), 0);
    EXPECT_EQ(u16(response->data, 10), 0x2001);
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
}

// A transfer whose entry read waits for an answer that is very late holds
// the transport; the ones behind it wait in the queue.
TEST(PtpRequests, QueuedRequestsAreCancelledOrAbortedWhenTheTransportStops) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.bulkAnswers = {{sim::BulkAnswerFault::Kind::Late, 0x0A, 1, 0, 600000}};
    // The clock runs slow, so that the held read's six seconds outlast
    // everything the test does meanwhile, however loaded the machine.
    pavtest::CameraHarness h(scaled(s, 0.2));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    PtpClient client(h.fdo());
    std::uint32_t session = 0;
    ASSERT_EQ(client.open(&session), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(session), kModuleStatusSuccess);
    ASSERT_EQ(client.run(session, 0x1002, {1}).response, 0x2001);

    std::shared_ptr<Reply> first;
    std::thread sender([&] {
        Bytes info(4);
        info[0] = 1;
        info[3] = 0x10;  // handle 0x10000001
        first =
            client.sendRequest(IOCTL_PTP_TRANSFER, transferRequest(session, 1, 0x1008, info, 4));
    });
    ASSERT_TRUE(pavtest::waitFor([&] { return d->ptp.receiveBuffer != nullptr; }));
    auto second =
        client.sendRequest(IOCTL_PTP_TRANSFER, transferRequest(session, 2, 0x1008, {}, 64));
    auto third =
        client.sendRequest(IOCTL_PTP_TRANSFER, transferRequest(session, 3, 0x1008, {}, 64));
    EXPECT_FALSE(second->done.load());
    EXPECT_EQ(d->ptp.queue.count(), 2u);
    client.cancel(second);
    ASSERT_TRUE(PtpClient::wait(second));
    EXPECT_EQ(second->status, STATUS_CANCELLED);
    EXPECT_EQ(second->information, 0u);

    h.unplug();
    sender.join();
    ASSERT_TRUE(PtpClient::wait(third));
    EXPECT_EQ(third->status, STATUS_SUCCESS);
    EXPECT_EQ(third->moduleStatus(), kModuleStatusTaskAborted);
    ASSERT_TRUE(PtpClient::wait(first)) << "the current request finishes once its read is given up";
}

}  // namespace
