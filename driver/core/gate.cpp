// The request gate. The flags are written by the PnP path only, but they are
// read by every caller's thread; the gate lock makes "check the flags, count
// the request, maybe hold it" one step against "change the flags, drain the
// queue", so no request slips past a removal uncounted or is held after the
// last drain of the queue. The count and the idle event change together
// under the same lock, so the event is signalled exactly when nothing
// admitted is still out.
#include "driver/core/gate.h"

#include "driver/core/control.h"
#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"

namespace {

class GateLock {
  public:
    explicit GateLock(DeviceContext* device) : lock_(device->gateLock) {
        irql_ = KfAcquireSpinLock(&lock_);
    }
    ~GateLock() { KfReleaseSpinLock(&lock_, irql_); }
    GateLock(const GateLock&) = delete;
    GateLock& operator=(const GateLock&) = delete;

  private:
    KSPIN_LOCK& lock_;
    KIRQL irql_;
};

void countIn(DeviceContext* device) {
    if (InterlockedIncrement(&device->outstanding) == 1) KeResetEvent(&device->idleEvent);
}

void countOut(DeviceContext* device) {
    GateLock g(device);
    if (InterlockedDecrement(&device->outstanding) == 0)
        KeSetEvent(&device->idleEvent, IO_NO_INCREMENT, FALSE);
}

void refuse(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// The switch behind the gate. Held requests come here later, from the PnP
// path, so the return value only matters on the caller's own pass.
NTSTATUS dispatchAdmitted(DeviceContext* device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
            completeRequest(device, irp, STATUS_SUCCESS, 0);
            return STATUS_SUCCESS;
        case IRP_MJ_DEVICE_CONTROL: {
            PDRIVER_DISPATCH route = device->driver->deviceControlRoute;
            if (route) return route(device->self, irp);
            break;
        }
        default:
            break;
    }
    completeRequest(device, irp, STATUS_NOT_SUPPORTED, 0);
    return STATUS_NOT_SUPPORTED;
}

}  // namespace

NTSTATUS PAV512_DispatchGate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceContext* device = deviceContextOf(DeviceObject);
    bool admitted = false;
    {
        GateLock g(device);
        if (device->running.load() && !device->stopped.load()) {
            countIn(device);
            admitted = true;
            if (device->holding.load()) {
                IoMarkIrpPending(Irp);
                device->heldQueue.append(Irp);
                return STATUS_PENDING;
            }
        }
    }
    if (!admitted) {
        refuse(Irp, STATUS_DELETE_PENDING);
        return STATUS_DELETE_PENDING;
    }
    return dispatchAdmitted(device, Irp);
}

NTSTATUS PAV512_DispatchInternal(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceContext* device = deviceContextOf(DeviceObject);
    {
        GateLock g(device);
        countIn(device);
    }
    PDRIVER_DISPATCH route = device->driver->internalControlRoute;
    if (route) return route(DeviceObject, Irp);
    completeRequest(device, Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void completeRequest(DeviceContext* device, PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    countOut(device);
}

void completeWithModuleStatus(DeviceContext* device, PIRP irp, NTSTATUS status,
                              UCHAR moduleStatus) {
    if (irp->Cancel || status == STATUS_CANCELLED) {
        completeRequest(device, irp, STATUS_CANCELLED, 0);
        return;
    }
    ULONG outputLength =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (buffer && outputLength > 0) buffer[0] = moduleStatus;
    completeRequest(device, irp, status, outputLength);
}

void gateInitialise(DeviceContext* device) {
    GateLock g(device);
    device->running.store(true);
    device->holding.store(true);
    device->stopped.store(true);
    if (device->outstanding == 0)
        KeSetEvent(&device->idleEvent, IO_NO_INCREMENT, FALSE);
    else
        KeResetEvent(&device->idleEvent);
}

void gateSetHolding(DeviceContext* device) {
    GateLock g(device);
    device->holding.store(true);
}

void gateSetStopped(DeviceContext* device, bool stopped) {
    GateLock g(device);
    device->stopped.store(stopped);
}

void gateClose(DeviceContext* device) {
    GateLock g(device);
    device->running.store(false);
}

void gateReleaseHeld(DeviceContext* device) {
    for (;;) {
        PIRP irp;
        {
            GateLock g(device);
            irp = device->heldQueue.popFirst();
            if (irp == nullptr) {
                device->holding.store(false);
                return;
            }
        }
        dispatchAdmitted(device, irp);
    }
}

void gateCancelHeld(DeviceContext* device) {
    for (;;) {
        PIRP irp;
        {
            GateLock g(device);
            irp = device->heldQueue.popFirst();
        }
        if (irp == nullptr) return;
        completeRequest(device, irp, STATUS_CANCELLED, 0);
    }
}

void gateWaitIdle(DeviceContext* device) {
    KeWaitForSingleObject(&device->idleEvent, Executive, KernelMode, FALSE, nullptr);
    // The last completion signals the event while it holds the gate lock;
    // taking the lock once more waits until it has let go of the record.
    GateLock g(device);
}
