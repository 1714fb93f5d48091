// The request gate. The flags are written by the PnP path only, but they are
// read by every caller's thread; the gate lock makes "check the flags, count
// the request, maybe hold it" one step against "change the flags, drain the
// queue", so no request slips past a removal uncounted or is held after the
// last drain of the queue. The count and the idle event change together
// under the same lock, so the event is signalled exactly when nothing
// admitted is still out.
#include "driver/core/gate.h"

#include <new>

#include "driver/core/control.h"
#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"

// The held requests of one channel that are released onto a thread of their
// own: the first was one that blocks its caller, and the channel's later ones
// follow it in order, as they would have had nothing been held.
struct HeldLane {
    HeldLane* next = nullptr;
    DeviceContext* device = nullptr;
    PFILE_OBJECT file = nullptr;
    RequestFifo queue;
};

namespace {

constexpr ULONG kGateTag = PoolTag("gate");
// How long a stop lets the calls in the modules finish on their own before
// it tells those that block to give up.
constexpr ULONG kStopGraceMs = 1000;

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

// Runs a released request as its caller's own dispatch would have run: in
// the caller's process, so that the handles in its buffer are the caller's,
// and counted among the calls a stop waits for. A stop that came first
// cancels it instead.
void dispatchReleased(DeviceContext* device, PIRP irp) {
    bool admitted;
    {
        GateLock g(device);
        admitted = device->running.load() && !device->stopped.load() &&
                   device->moduleCalls.enter();
    }
    if (!admitted) {
        completeRequest(device, irp, STATUS_CANCELLED, 0);
        return;
    }
    KAPC_STATE apc;
    KeStackAttachProcess(IoGetRequestorProcess(irp), &apc);
    dispatchAdmitted(device, irp);
    KeUnstackDetachProcess(&apc);
    device->moduleCalls.leave();
}

bool blocksCaller(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    return sp->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
           Control_BlocksCaller(sp->Parameters.DeviceIoControl.IoControlCode);
}

// Gate lock held.
HeldLane* findLane(DeviceContext* device, PFILE_OBJECT file) {
    for (HeldLane* lane = device->lanes; lane; lane = lane->next)
        if (lane->file == file) return lane;
    return nullptr;
}

// Gate lock held. A lane counts as outstanding until its thread has let go
// of the device, so a removal waits for it.
HeldLane* openLane(DeviceContext* device, PFILE_OBJECT file) {
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(HeldLane), kGateTag);
    if (memory == nullptr) return nullptr;
    auto* lane = new (memory) HeldLane();
    lane->device = device;
    lane->file = file;
    lane->next = device->lanes;
    device->lanes = lane;
    countIn(device);
    return lane;
}

void runLane(PVOID context) {
    auto* lane = static_cast<HeldLane*>(context);
    DeviceContext* device = lane->device;
    for (;;) {
        PIRP irp;
        {
            GateLock g(device);
            irp = lane->queue.popFirst();
            if (irp == nullptr) {
                for (HeldLane** link = &device->lanes; *link; link = &(*link)->next) {
                    if (*link == lane) {
                        *link = lane->next;
                        break;
                    }
                }
            }
        }
        if (irp == nullptr) break;
        dispatchReleased(device, irp);
    }
    lane->~HeldLane();
    ExFreePool(lane);
    countOut(device);  // the last touch of the device
}

void startLane(HeldLane* lane) {
    HANDLE thread = nullptr;
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                        runLane, lane))) {
        ZwClose(thread);
        return;
    }
    // No thread to be had: the lane runs here, late but in order.
    runLane(lane);
}

}  // namespace

bool callsCancelled(const DeviceContext* device) {
    return device->callsCancelled.load();
}

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
            // Cannot fail: the door closes only together with "stopped".
            device->moduleCalls.enter();
        }
    }
    if (!admitted) {
        refuse(Irp, STATUS_DELETE_PENDING);
        return STATUS_DELETE_PENDING;
    }
    NTSTATUS status = dispatchAdmitted(device, Irp);
    device->moduleCalls.leave();
    return status;
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
    if (stopped) {
        device->moduleCalls.close();
    } else {
        device->callsCancelled.store(false);
        device->moduleCalls.reopen();
    }
}

void gateWaitCalls(DeviceContext* device) {
    if (device->moduleCalls.waitEmpty(kStopGraceMs)) return;
    device->callsCancelled.store(true);
    // What is still inside is bounded by its own time-outs (bus requests,
    // module lock waits); a diagnostic transfer ends at once now.
    device->moduleCalls.waitEmpty(0);
}

void gateClose(DeviceContext* device) {
    GateLock g(device);
    device->running.store(false);
}

void gateReleaseHeld(DeviceContext* device) {
    for (;;) {
        PIRP irp;
        HeldLane* lane = nullptr;
        bool laneIsNew = false;
        {
            GateLock g(device);
            irp = device->heldQueue.popFirst();
            if (irp == nullptr) {
                device->holding.store(false);
                return;
            }
            // A channel whose earlier request went to a lane sends the rest
            // after it; a request that would block this thread starts one.
            PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
            lane = findLane(device, file);
            if (lane == nullptr && blocksCaller(irp)) {
                lane = openLane(device, file);
                laneIsNew = lane != nullptr;
            }
            if (lane) lane->queue.append(irp);
        }
        if (laneIsNew) startLane(lane);
        if (lane == nullptr) dispatchReleased(device, irp);
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
