// The capture minidriver's connection: the connect record, its validation,
// the routines exchanged through the routine table, watches, and disconnect.
#include "host/minidriver.h"

#include <gtest/gtest.h>

#include "pav512/guids.h"
#include "tests/control/driver_fixture.h"

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
    // No stream interface answers blocks in this driver yet.
    EXPECT_EQ(done[0].status, STATUS_NOT_IMPLEMENTED);

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
