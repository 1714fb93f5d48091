#include "driver/core/pnp.h"

#include "driver/core/device_context.h"
#include "driver/core/gate.h"
#include "driver/core/modules.h"
#include "driver/core/support.h"

const WCHAR kCameraChangeKey[] =
    u"\\Registry\\Machine\\Software\\Veltra\\USB Camera (PAV512)\\CameraChange";
const WCHAR kCameraChangeValue[] = u"CameraChange";

namespace {

NTSTATUS signalForwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the lower drivers are done with it;
// the request is ours again afterwards and must still be completed.
NTSTATUS forwardAndWait(DeviceContext* device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signalForwarded, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(device->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS passDown(DeviceContext* device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->lowerDevice, irp);
}

NTSTATUS finish(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void setPnpState(DeviceContext* device, LONG state) {
    InterlockedExchange(&device->pnpState, state);
}

// Stop and query-stop alike: the modules stop, and the request goes down
// succeeded.
NTSTATUS stopAndPassDown(DeviceContext* device, PIRP irp) {
    setPnpState(device, kPnpStopped);
    stopSequence(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return passDown(device, irp);
}

NTSTATUS queryCapabilities(DeviceContext* device, PIRP irp) {
    NTSTATUS status = forwardAndWait(device, irp);
    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (NT_SUCCESS(status) && caps) {
        // The camera must look usable in the working state and may be pulled
        // at any moment without the system complaining.
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->Flags |= DEVICE_CAP_REMOVABLE | DEVICE_CAP_SURPRISE_REMOVAL_OK;
        device->capabilities = *caps;
    }
    return finish(irp, status);
}

// How long a removal waits for the bus to give back the wait-wake requests
// it was asked to cancel.
constexpr ULONG kWaitWakeDrainMs = 5000;

// Waits until no wait-wake request of this device is left below it: a
// request still pending there would outlive the device object. A bus that
// keeps a cancelled request beyond the bound does not hold up the removal.
void drainWaitWake(DeviceContext* device) {
    LONGLONG until = deadline(kWaitWakeDrainMs);
    while (InterlockedCompareExchange(&device->waitWakeBelow, 0, 0) != 0) {
        cancelWaitWake(device);
        if (reached(until)) break;
    }
}

NTSTATUS removeDevice(DeviceContext* device, PIRP irp) {
    setPnpState(device, kPnpRemoved);
    removalSequence(device);
    drainWaitWake(device);
    PDEVICE_OBJECT lower = device->lowerDevice;
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = passDown(device, irp);
    IoDetachDevice(lower);
    if (NT_SUCCESS(status)) {
        IoSetDeviceInterfaceState(&device->interfaceName, FALSE);
        deleteDevice(device);
    }
    return status;
}

}  // namespace

void incrementCameraChange() {
    if (!NT_SUCCESS(regEnsureKey(kCameraChangeKey))) return;
    ULONG count = 0;
    if (!NT_SUCCESS(regReadDword(kCameraChangeKey, kCameraChangeValue, &count))) count = 0;
    regWriteDword(kCameraChangeKey, kCameraChangeValue, count + 1);
}

void stopSequence(DeviceContext* device) {
    gateSetHolding(device);
    if (!device->running.load() || device->stopped.load()) return;
    gateSetStopped(device, true);
    incrementCameraChange();
    gateCancelHeld(device);
    // No module goes while a call is still inside it.
    gateWaitCalls(device);
    modulesTerminate(device);
}

void removalSequence(DeviceContext* device) {
    if (!device->running.load()) return;
    if (!device->stopped.load()) stopSequence(device);
    gateClose(device);
    gateCancelHeld(device);
    gateWaitIdle(device);
}

NTSTATUS startSequence(DeviceContext* device) {
    if (!device->running.load()) {
        stopSequence(device);
        removalSequence(device);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (device->stopped.load()) {
        status = modulesInitialise(device);
        incrementCameraChange();
        gateSetStopped(device, false);
        if (!NT_SUCCESS(status)) {
            // The start itself still succeeds; the device stays unusable and
            // refuses every request until it is removed.
            stopSequence(device);
            removalSequence(device);
            return STATUS_SUCCESS;
        }
    }
    gateReleaseHeld(device);
    return status;
}

NTSTATUS stopVeto(DeviceContext* device) {
    gateSetHolding(device);
    if (InterlockedCompareExchange(&device->openSessions, 0, 0) == 0) return STATUS_SUCCESS;
    gateReleaseHeld(device);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS PAV512_DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceContext* device = deviceContextOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = forwardAndWait(device, Irp);
            if (NT_SUCCESS(status)) {
                setPnpState(device, kPnpStarted);
                status = startSequence(device);
                if (NT_SUCCESS(status)) IoSetDeviceInterfaceState(&device->interfaceName, TRUE);
            }
            return finish(Irp, status);
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (!NT_SUCCESS(stopVeto(device))) return finish(Irp, STATUS_UNSUCCESSFUL);
            Irp->IoStatus.Status = STATUS_SUCCESS;
            return passDown(device, Irp);
        case IRP_MN_REMOVE_DEVICE:
            return removeDevice(device, Irp);
        case IRP_MN_CANCEL_REMOVE_DEVICE: {
            NTSTATUS status = forwardAndWait(device, Irp);
            if (NT_SUCCESS(status)) {
                setPnpState(device, kPnpAdded);
                // Requests held since the query are cancelled rather than
                // dropped, and the modules are stopped so that "stopped" is
                // true of them while the device waits for its next start.
                stopSequence(device);
                gateCancelHeld(device);
                gateInitialise(device);
            }
            return finish(Irp, STATUS_SUCCESS);
        }
        case IRP_MN_STOP_DEVICE:
            return stopAndPassDown(device, Irp);
        case IRP_MN_QUERY_STOP_DEVICE:
            if (!NT_SUCCESS(stopVeto(device))) return finish(Irp, STATUS_UNSUCCESSFUL);
            return stopAndPassDown(device, Irp);
        case IRP_MN_CANCEL_STOP_DEVICE: {
            NTSTATUS status = forwardAndWait(device, Irp);
            if (NT_SUCCESS(status)) {
                setPnpState(device, kPnpStarted);
                startSequence(device);
            }
            return finish(Irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_CAPABILITIES:
            return queryCapabilities(device, Irp);
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = 0;
            return passDown(device, Irp);
        case IRP_MN_SURPRISE_REMOVAL:
            setPnpState(device, kPnpRemoved);
            removalSequence(device);
            Irp->IoStatus.Status = STATUS_SUCCESS;
            return passDown(device, Irp);
        default:
            return passDown(device, Irp);
    }
}
