// A module that breaks the rules of completion is caught by the kernel
// model's verifier, so such a fault in a later module fails its tests.
#include <gtest/gtest.h>

#include "driver/core/dispatch.h"
#include "driver/core/pnp.h"
#include "tests/driver_core/harness.h"
#include "tests/support/kernel_test.h"

namespace {

using drvtest::Client;
using drvtest::Harness;

const std::string kCamera = "USB\\VID_F1A5&PID_0B2D\\verifier";

NTSTATUS completesTwice(PDEVICE_OBJECT device, PIRP irp) {
    completeRequest(deviceContextOf(device), irp, STATUS_SUCCESS, 0);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void neverCalled(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ADD_FAILURE() << "cancel routine ran";
}

NTSTATUS leavesCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoSetCancelRoutine(irp, neverCalled);
    completeRequest(deviceContextOf(device), irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

TEST(Verifier, CatchesAModuleCompletingARequestTwice) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    h.driver()->deviceControlRoute = completesTwice;
    Client client(h.fdo(pdo));
    {
        pavtest::ExpectViolation expect("irp-double-complete");
        auto reply = client.send(1);
        ASSERT_TRUE(Client::wait(reply));
        EXPECT_EQ(expect.count(), 1);
    }
}

TEST(Verifier, CatchesAModuleCompletingWithItsCancelRoutineSet) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    h.driver()->deviceControlRoute = leavesCancelRoutine;
    Client client(h.fdo(pdo));
    {
        pavtest::ExpectViolation expect("irp-cancel-routine-set");
        auto reply = client.send(1);
        ASSERT_TRUE(Client::wait(reply));
    }
}

TEST(Verifier, CatchesADeviceDeletedWithARequestStillInAModule) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    DeviceContext* device = h.device(pdo);
    Client client(h.fdo(pdo));
    drvtest::StandInModule::hold(true);
    auto reply = client.send(1);
    ASSERT_TRUE(pavtest::waitFor([] { return drvtest::StandInModule::heldCount() == 1; }));
    {
        pavtest::ExpectViolation expect("irp-pending-at-delete");
        // What a removal that did not wait for its requests would do.
        IoSetDeviceInterfaceState(&device->interfaceName, FALSE);
        IoDetachDevice(device->lowerDevice);
        deleteDevice(device);
    }
    // The request stays with nobody to complete it; that is the finding.
    drvtest::StandInModule::reset();
    EXPECT_FALSE(reply->done.load());
}

}  // namespace
