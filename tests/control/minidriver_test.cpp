// The capture minidriver's connection: the connect record, its validation,
// the routines exchanged through the routine table, watches, and disconnect.
#include "host/minidriver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pav512/guids.h"
#include "tests/control/driver_fixture.h"
#include "tests/support/kernel_test.h"

namespace pavtest {
namespace {

using namespace pav512;

class MinidriverTest : public ::testing::Test {
  protected:
    DriverUnderTest driver_;
};

TEST_F(MinidriverTest, ConnectReturnsDriverRoutinesThatResolve) {
    host::CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(driver_.fdo()), STATUS_SUCCESS);
    const ConnectRecord& r = mini.driverRecord();
    EXPECT_NE(kroutine::resolve<SrbDriverReceive>(r.receiveRequestBlock), nullptr);
    EXPECT_NE(kroutine::resolve<SrbDriverCancel>(r.cancelRequestBlock), nullptr);
    EXPECT_NE(kroutine::resolve<SrbDriverTimeout>(r.requestBlockTimeout), nullptr);
    EXPECT_NE(kroutine::resolve<SrbDriverWatch>(r.propertyWatch), nullptr);
    EXPECT_EQ(kroutine::resolveObject<DeviceContext>(r.deviceRecord), driver_.device());
    // A token resolves only to the kind of routine it was registered as.
    EXPECT_EQ(kroutine::resolve<SrbDriverWatch>(r.receiveRequestBlock), nullptr);
    // The inbound half came back as it was sent.
    EXPECT_EQ(r.minidriverContext, mini.ownRecord().minidriverContext);
    EXPECT_EQ(r.interfaceVersion, kInterfaceVersion);
    EXPECT_TRUE(driver_.device()->srbif.connected());
}

TEST_F(MinidriverTest, BadRecordsAreRefusedAndLeaveTheConnectionIntact) {
    host::CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(driver_.fdo()), STATUS_SUCCESS);

    host::CaptureMinidriver intruder;
    auto refused = [&](ConnectRecord record, ULONG in, ULONG out) {
        ULONG_PTR info = 99;
        NTSTATUS st = intruder.sendConnect(driver_.fdo(), &record, in, out, &info);
        EXPECT_EQ(info, 0u);
        return st == STATUS_INVALID_PARAMETER;
    };
    ConnectRecord oldVersion = intruder.ownRecord();
    oldVersion.interfaceVersion = 514;
    EXPECT_TRUE(refused(oldVersion, 60, 60));
    EXPECT_TRUE(refused(intruder.ownRecord(), 56, 56));
    EXPECT_TRUE(refused(intruder.ownRecord(), 60, 56));
    EXPECT_TRUE(refused(intruder.ownRecord(), 64, 64));
    ConnectRecord foreign = intruder.ownRecord();
    foreign.streamRequestCompletion = foreign.deviceRequestCompletion;  // a routine of another kind
    EXPECT_TRUE(refused(foreign, 60, 60));
    ConnectRecord dangling = intruder.ownRecord();
    dangling.propertyChange = 0xFFFFFFF0;  // names nothing
    EXPECT_TRUE(refused(dangling, 60, 60));
    ULONG_PTR info = 0;
    EXPECT_EQ(intruder.sendConnect(driver_.fdo(), &oldVersion, 0, 0, &info),
              STATUS_INVALID_PARAMETER);

    // The first minidriver is still the one the driver completes to.
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_GET_DEVICE_PROPERTY;
    ASSERT_TRUE(mini.submit(&srb));
    ASSERT_TRUE(mini.waitCompletions(1));
    EXPECT_TRUE(intruder.completions().empty());
}

TEST_F(MinidriverTest, BlocksCompleteThroughTheRoutineTheirCommandCallsFor) {
    host::CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(driver_.fdo()), STATUS_SUCCESS);
    HW_STREAM_REQUEST_BLOCK read{}, info{};
    read.Command = SRB_READ_DATA;
    info.Command = SRB_GET_STREAM_INFO;
    ASSERT_TRUE(mini.submit(&read));
    ASSERT_TRUE(mini.submit(&info));
    ASSERT_TRUE(mini.waitCompletions(2));
    auto done = mini.completions();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].srb, &read);
    EXPECT_TRUE(done[0].viaStreamRoutine);
    EXPECT_EQ(done[1].srb, &info);
    EXPECT_FALSE(done[1].viaStreamRoutine);
    // A read names no open stream; stream information needs its room.
    EXPECT_EQ(done[0].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(done[1].status, STATUS_IO_DEVICE_ERROR);

    HW_STREAM_REQUEST_BLOCK timed{};
    timed.TimeoutOriginal = 15;
    timed.TimeoutCounter = 2;
    ASSERT_TRUE(mini.resetTimeout(&timed));
    EXPECT_EQ(timed.TimeoutCounter, 15u);
}

TEST_F(MinidriverTest, WatchesReportChangesUntilRemovedOrDisconnected) {
    host::CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(driver_.fdo()), STATUS_SUCCESS);
    DeviceContext* device = driver_.device();
    SRB_WATCH_RECORD started{1, kEventSetCamera, kEventVideoStarted, nullptr};
    ASSERT_TRUE(mini.watch(&started));
    EXPECT_EQ(device->watches.count(), 1u);

    device->watches.signal(kEventSetCamera, kEventVideoStopped);
    device->watches.signal(kEventSetCamera, kEventVideoStarted);
    auto changes = mini.propertyChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].reason, 2u);
    EXPECT_EQ(changes[0].context, &mini);
    EXPECT_TRUE(changes[0].set == kEventSetCamera);
    EXPECT_EQ(changes[0].identifier, kEventVideoStarted);

    started.Enable = 0;
    ASSERT_TRUE(mini.watch(&started));
    EXPECT_EQ(device->watches.count(), 0u);

    // After disconnect the driver calls none of the minidriver's routines.
    started.Enable = 1;
    ASSERT_TRUE(mini.watch(&started));
    ASSERT_EQ(mini.disconnect(), STATUS_SUCCESS);
    EXPECT_FALSE(device->srbif.connected());
    device->watches.signal(kEventSetCamera, kEventVideoStarted);
    EXPECT_EQ(mini.propertyChanges().size(), 1u);
    HW_STREAM_REQUEST_BLOCK srb{};
    EXPECT_FALSE(mini.submit(&srb));
    device->watches.clear();
}

// A routine of the minidriver that is still running when the disconnect
// comes: it stays inside until the disconnect has been sent and then either
// sees the disconnect return (which must not happen while it is inside) or
// gives up waiting for that.
struct InsideCall {
    std::atomic<int> calls{0};
    std::atomic<int> inside{0};
    std::atomic<bool> disconnectSent{false};
    std::atomic<bool> disconnectReturned{false};
    std::atomic<int> sequence{0};
    int leftAt = 0;
    int returnedAt = 0;

    void run() {
        ++calls;
        ++inside;
        waitFor([&] { return disconnectSent.load(); });
        waitFor([&] { return disconnectReturned.load(); }, std::chrono::milliseconds(300));
        leftAt = ++sequence;
        --inside;
    }
};
InsideCall* insideCall = nullptr;

void blockingPropertyChange(ULONG, PVOID, ULONG_PTR, const GUID*, ULONG) {
    insideCall->run();
}
void blockingDeviceCompletion(PVOID, HW_STREAM_REQUEST_BLOCK*) {
    insideCall->run();
}

NTSTATUS sendDisconnect(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_DISCONNECT, top, nullptr, 0, nullptr,
                                             0, TRUE, &done, &iosb);
    if (IoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}

TEST_F(MinidriverTest, DisconnectWaitsForTheCallsInProgressAndNoneFollows) {
    host::CaptureMinidriver mini;  // only its routine table entries are used
    kroutine::Token change = kroutine::add<SrbPropertyChange>(blockingPropertyChange);
    kroutine::Token completion = kroutine::add<SrbDeviceRequestComplete>(blockingDeviceCompletion);
    ConnectRecord record = mini.ownRecord();
    record.propertyChange = change;
    record.deviceRequestCompletion = completion;
    ULONG_PTR info = 0;
    DeviceContext* device = driver_.device();
    SRB_WATCH_RECORD watched{1, kEventSetCamera, kEventVideoStarted, nullptr};
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_GET_DEVICE_PROPERTY;

    // The same for both routines: a watched change, and a completed block.
    for (int kind = 0; kind < 2; ++kind) {
        SCOPED_TRACE(kind == 0 ? "property change" : "device request completion");
        InsideCall call;
        insideCall = &call;
        ConnectRecord r = record;
        ASSERT_EQ(mini.sendConnect(driver_.fdo(), &r, 60, 60, &info), STATUS_SUCCESS);
        auto* watch = kroutine::resolve<SrbDriverWatch>(r.propertyWatch);
        auto* receive = kroutine::resolve<SrbDriverReceive>(r.receiveRequestBlock);
        ASSERT_TRUE(watch && receive);
        watch(r.deviceRecord, &watched);

        std::thread caller([&] {
            if (kind == 0)
                device->watches.signal(kEventSetCamera, kEventVideoStarted);
            else
                receive(r.deviceRecord, &srb);
        });
        ASSERT_TRUE(waitFor([&] { return call.inside.load() == 1; }));
        std::thread disconnector([&] {
            call.disconnectSent = true;
            EXPECT_EQ(sendDisconnect(driver_.fdo()), STATUS_SUCCESS);
            call.returnedAt = ++call.sequence;
            call.disconnectReturned = true;
        });
        disconnector.join();
        caller.join();
        EXPECT_LT(call.leftAt, call.returnedAt) << "the disconnect returned under a call";

        // Disconnected: neither routine is called again.
        device->watches.signal(kEventSetCamera, kEventVideoStarted);
        receive(r.deviceRecord, &srb);
        EXPECT_EQ(call.calls.load(), 1);
        watched.Enable = 0;
        watch(r.deviceRecord, &watched);
        watched.Enable = 1;
    }
    insideCall = nullptr;
    kroutine::remove(change);
    kroutine::remove(completion);
    EXPECT_EQ(device->watches.count(), 0u);
}

TEST_F(MinidriverTest, TokensOfARemovedDeviceNoLongerResolve) {
    host::CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(driver_.fdo()), STATUS_SUCCESS);
    ConnectRecord r = mini.driverRecord();
    driver_.pnp.removeAll();
    mini.deviceGone();
    EXPECT_EQ(kroutine::resolveObject<DeviceContext>(r.deviceRecord), nullptr);
    EXPECT_EQ(kroutine::resolve<SrbDriverReceive>(r.receiveRequestBlock), nullptr);
}

}  // namespace
}  // namespace pavtest
