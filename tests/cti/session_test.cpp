// Command sessions and the transport lock, through the driver's gate and
// dispatch switch over the simulated camera.
#include <gtest/gtest.h>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "host/pnp_manager.h"
#include "sim/sim_camera.h"
#include "tests/cti/cti_client.h"
#include "tests/support/camera_harness.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace ctitest;
using namespace pav512;

// A transaction of one control block that reads register 6 of space 3.
Bytes readRegister(ULONG session, ULONG thread, ULONG task = 1) {
    return transaction(session, thread, task, {controlIn(0x81, (6 << 8) | 3, 1)});
}

bool cameraFree(DeviceContext* d) {
    if (!NT_SUCCESS(Camera_Acquire(d, 0))) return false;
    Camera_Release(d);
    return true;
}

TEST(Sessions, OpenClaimsTheCameraAtSettingOneUntilTheLastClose) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    Client client(h.fdo());
    ULONG first = 0, second = 0;
    ASSERT_EQ(client.open(false, &first), kModuleStatusSuccess);
    EXPECT_EQ(first, 2u) << "the first session of a device object is 2";
    EXPECT_EQ(h.camera().alternateSetting(), 1);
    EXPECT_FALSE(cameraFree(d));
    EXPECT_EQ(d->openSessions, 1);
    ASSERT_EQ(client.open(false, &second), kModuleStatusSuccess);
    EXPECT_EQ(second, 3u);
    EXPECT_EQ(d->openSessions, 2);
    // A stop is refused while a session is open.
    EXPECT_EQ(h.pnp().queryStop(h.pdo()), STATUS_UNSUCCESSFUL);

    EXPECT_EQ(client.close(first), kModuleStatusSuccess);
    EXPECT_EQ(h.camera().alternateSetting(), 1);
    EXPECT_FALSE(cameraFree(d));
    EXPECT_EQ(client.close(second), kModuleStatusSuccess);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_TRUE(cameraFree(d));
    EXPECT_EQ(d->openSessions, 0);
    ULONG third = 0;
    ASSERT_EQ(client.open(false, &third), kModuleStatusSuccess);
    EXPECT_EQ(third, 4u) << "identifiers are not reused";
    EXPECT_EQ(client.close(third), kModuleStatusSuccess);
}

TEST(Sessions, ExclusiveSessionsStandAlone) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Client client(h.fdo());
    ULONG exclusive = 0, other = 0;
    ASSERT_EQ(client.open(true, &exclusive), kModuleStatusSuccess);
    EXPECT_EQ(client.open(false, &other), kModuleStatusInUse);
    EXPECT_EQ(client.open(true, &other), kModuleStatusInUse);
    EXPECT_EQ(client.close(exclusive), kModuleStatusSuccess);

    ASSERT_EQ(client.open(false, &other), kModuleStatusSuccess);
    EXPECT_EQ(client.open(true, &exclusive), kModuleStatusInUse) << "sessions are open";
    EXPECT_EQ(client.close(other), kModuleStatusSuccess);
    ASSERT_EQ(client.open(true, &exclusive), kModuleStatusSuccess);
    EXPECT_EQ(client.close(exclusive), kModuleStatusSuccess);
}

TEST(Sessions, ACameraHeldByAnotherUserOrWithoutItsSettingCannotBeOpened) {
    sim::Scenario s = sim::defaultScenario();
    pavtest::CameraHarness h(s);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    Client client(h.fdo());
    ULONG session = 0;
    ASSERT_EQ(Camera_Acquire(d, 1), STATUS_SUCCESS);  // video has it
    EXPECT_EQ(client.open(false, &session), kModuleStatusInUse);
    Camera_Release(d);

    h.camera().changeFaults([](sim::Faults& f) { f.refusedAlternates = {1, 2, 3, 4, 5, 6, 7}; });
    EXPECT_EQ(client.open(false, &session), kModuleStatusClaimFailed);
    EXPECT_TRUE(cameraFree(d)) << "the camera was given back";
    EXPECT_EQ(d->openSessions, 0);

    h.camera().changeFaults([](sim::Faults& f) { f.refusedAlternates.clear(); });
    ASSERT_EQ(client.open(false, &session), kModuleStatusSuccess);
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
}

TEST(Sessions, ClosingASessionThatIsNotOpenTakesNothingFromTheOthers) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Client client(h.fdo());
    ULONG session = 0;
    ASSERT_EQ(client.open(false, &session), kModuleStatusSuccess);
    EXPECT_EQ(client.close(session + 100), kModuleStatusSuccess);
    EXPECT_EQ(client.close(0), kModuleStatusSuccess);
    EXPECT_EQ(h.camera().alternateSetting(), 1);
    EXPECT_FALSE(cameraFree(h.device()));
    auto r = client.call(IOCTL_CTI_TRANSACTION, readRegister(session, 1));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
    EXPECT_TRUE(cameraFree(h.device()));
}

// Session A locks without tying the lock to a thread: B is refused, A runs
// from any thread.
TEST(Lock, ASessionLockRefusesOtherSessionsAndServesEveryThreadOfItsOwner) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Client client(h.fdo());
    ULONG a = 0, b = 0;
    ASSERT_EQ(client.open(false, &a), kModuleStatusSuccess);
    ASSERT_EQ(client.open(false, &b), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(a, 101, false), kModuleStatusSuccess);

    auto refused = client.call(IOCTL_CTI_TRANSACTION, readRegister(b, 201));
    EXPECT_EQ(refused->status, STATUS_SUCCESS);
    EXPECT_EQ(refused->moduleStatus(), kModuleStatusNotLockOwner);
    for (ULONG thread : {101u, 102u, 0u}) {
        auto ran = client.call(IOCTL_CTI_TRANSACTION, readRegister(a, thread));
        EXPECT_EQ(ran->moduleStatus(), kModuleStatusSuccess) << "thread " << thread;
        EXPECT_EQ(ran->data[20 + 24], 0x26) << "register 6 of space 3 as the start-up wrote it";
    }
    EXPECT_EQ(client.lock(b, 201, false), kModuleStatusAlreadyLocked);
    EXPECT_EQ(client.lock(a, 101, false), kModuleStatusAlreadyLocked);
    EXPECT_EQ(client.unlock(b, 201), kModuleStatusNotLockOwner);
    EXPECT_EQ(client.unlock(a, 999), kModuleStatusSuccess) << "any thread of the owner";
    EXPECT_EQ(client.unlock(a, 101), kModuleStatusNotLockOwner) << "no longer locked";
    EXPECT_EQ(client.call(IOCTL_CTI_TRANSACTION, readRegister(b, 201))->moduleStatus(),
              kModuleStatusSuccess);

    // Closing the owner's session lets go of its lock.
    ASSERT_EQ(client.lock(a, 101, false), kModuleStatusSuccess);
    EXPECT_EQ(client.close(a), kModuleStatusSuccess);
    EXPECT_EQ(client.lock(b, 201, false), kModuleStatusSuccess);
    EXPECT_EQ(client.close(b), kModuleStatusSuccess);
}

TEST(Lock, AThreadTiedLockRefusesTheSameSessionOnAnotherThread) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Client client(h.fdo());
    ULONG a = 0;
    ASSERT_EQ(client.open(false, &a), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(a, 101, true), kModuleStatusSuccess);
    EXPECT_EQ(client.call(IOCTL_CTI_TRANSACTION, readRegister(a, 102))->moduleStatus(),
              kModuleStatusNotLockOwner);
    EXPECT_EQ(client.call(IOCTL_CTI_TRANSACTION, readRegister(a, 101))->moduleStatus(),
              kModuleStatusSuccess);
    EXPECT_EQ(client.unlock(a, 102), kModuleStatusNotLockOwner);
    EXPECT_EQ(client.unlock(a, 101), kModuleStatusSuccess);
    EXPECT_EQ(client.call(IOCTL_CTI_TRANSACTION, readRegister(a, 102))->moduleStatus(),
              kModuleStatusSuccess);
    EXPECT_EQ(client.close(a), kModuleStatusSuccess);
}

// An open refused (camera taken) or failing (no command setting) uses up
// no identifier: the first session the device object gives is still 2.
TEST(Sessions, RefusedOpensTakeNoIdentifier) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    Client client(h.fdo());
    ULONG session = 0;
    ASSERT_EQ(Camera_Acquire(d, 1), STATUS_SUCCESS);
    EXPECT_EQ(client.open(false, &session), kModuleStatusInUse);
    Camera_Release(d);
    h.camera().changeFaults([](sim::Faults& f) { f.refusedAlternates = {1, 2, 3, 4, 5, 6, 7}; });
    EXPECT_EQ(client.open(false, &session), kModuleStatusClaimFailed);
    h.camera().changeFaults([](sim::Faults& f) { f.refusedAlternates.clear(); });
    ASSERT_EQ(client.open(false, &session), kModuleStatusSuccess);
    EXPECT_EQ(session, 2u);
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
}

// A close that cannot get the module lock closes nothing and says so; the
// session is still open and a later close works.
TEST(Sessions, CloseThatCannotGetTheLockFailsAndClosesNothing) {
    pavtest::CameraHarnessOptions o;
    o.clockScale = 100;  // the lock's 5-second wait
    pavtest::CameraHarness h(o);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    Client client(h.fdo());
    ULONG session = 0;
    ASSERT_EQ(client.open(false, &session), kModuleStatusSuccess);
    ASSERT_TRUE(d->cti.lock.acquire("test"));
    EXPECT_EQ(client.close(session), kModuleStatusNotLockOwner);
    d->cti.lock.release();
    EXPECT_EQ(d->openSessions, 1);
    EXPECT_FALSE(cameraFree(d));
    EXPECT_EQ(h.camera().alternateSetting(), 1);
    EXPECT_EQ(client.call(IOCTL_CTI_TRANSACTION, readRegister(session, 1))->moduleStatus(),
              kModuleStatusSuccess);
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
    EXPECT_EQ(d->openSessions, 0);
    EXPECT_TRUE(cameraFree(d));
}

}  // namespace
