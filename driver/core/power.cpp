#include "driver/core/device_context.h"
#include "driver/core/pnp.h"
#include "driver/core/support.h"

namespace {

// The device property set of the camera and its wake-enable item.
const GUID kDevicePropertySet = {
    0x2BBD8342, 0x6AA2, 0x11D3, {0xA0, 0x76, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
constexpr ULONG kWakeEnableProperty = 34;

NTSTATUS passDownPower(DeviceContext* device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    return PoCallDriver(device->lowerDevice, irp);
}

NTSTATUS failPower(PIRP irp, NTSTATUS status) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class WaitWakeLock {
  public:
    explicit WaitWakeLock(DeviceContext* d) : lock_(d->waitWakeLock), irql_(KfAcquireSpinLock(&lock_)) {}
    ~WaitWakeLock() { KfReleaseSpinLock(&lock_, irql_); }
    WaitWakeLock(const WaitWakeLock&) = delete;
    WaitWakeLock& operator=(const WaitWakeLock&) = delete;

  private:
    KSPIN_LOCK& lock_;
    KIRQL irql_;
};

// A wait-wake request leaving the slot, however it ends, so the slot never
// names a request that is gone. One that a canceller has taken out of the
// slot stays alive until that canceller is done with it.
NTSTATUS waitWakeFinished(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID) {
    DeviceContext* device = deviceContextOf(DeviceObject);
    {
        WaitWakeLock g(device);
        if (device->waitWakeIrp == Irp) {
            InterlockedExchangePointer(&device->waitWakeIrp, nullptr);
        } else if (device->waitWakeCancelling == Irp) {
            device->waitWakeParked = Irp;
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    }
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    InterlockedDecrement(&device->waitWakeBelow);  // last touch of the record
    return STATUS_SUCCESS;
}

// Puts `replacement` (may be null) into the slot and cancels what was there.
// The request taken out cannot be freed under the cancel: its completion
// parks it, and it is finished here once the cancel has returned.
void replaceWaitWake(DeviceContext* device, PIRP replacement) {
    KeWaitForSingleObject(&device->waitWakeCancelMutex, Executive, KernelMode, FALSE, nullptr);
    PIRP taken;
    {
        WaitWakeLock g(device);
        taken = static_cast<PIRP>(InterlockedExchangePointer(&device->waitWakeIrp, replacement));
        device->waitWakeCancelling = taken;
        device->waitWakeParked = nullptr;
    }
    bool parked = false;
    if (taken) {
        if (WaitWakeTakenHook hook = waitWakeTakenHook.load()) hook(device);
        IoCancelIrp(taken);
        WaitWakeLock g(device);
        parked = device->waitWakeParked == taken;
        device->waitWakeCancelling = nullptr;
        device->waitWakeParked = nullptr;
    }
    KeSetEvent(&device->waitWakeCancelMutex, IO_NO_INCREMENT, FALSE);
    // Finished outside the mutex: whoever asked for the request may ask for
    // the next one from its completion.
    if (parked) {
        IoCompleteRequest(taken, IO_NO_INCREMENT);
        InterlockedDecrement(&device->waitWakeBelow);
    }
}

NTSTATUS waitWake(DeviceContext* device, PIRP irp) {
    InterlockedIncrement(&device->waitWakeBelow);
    if (InterlockedCompareExchange(&device->pnpState, 0, 0) == kPnpRemoved) {
        InterlockedDecrement(&device->waitWakeBelow);
        return failPower(irp, STATUS_DELETE_PENDING);
    }
    replaceWaitWake(device, irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, waitWakeFinished, nullptr, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(irp);
    return PoCallDriver(device->lowerDevice, irp);
}

bool wakeEnableReadable(DeviceContext* device, bool* enabled) {
    PropertyRequestHook read = device->propertyRequest.load();
    *enabled = false;
    if (read == nullptr) return false;
    UCHAR value = 0;
    ULONG actual = 0;
    NTSTATUS status = read(device, &kDevicePropertySet, kWakeEnableProperty, false, &value,
                           sizeof(value), sizeof(value), &actual);
    if (!NT_SUCCESS(status)) return false;
    *enabled = value != 0;
    return true;
}

void waitWakeJob(DeviceContext* device, PVOID, PVOID) {
    requestWaitWake(device);
}

void waitWakeRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {
    // The slot was cleared when the request passed back through this driver;
    // the device may be gone by now, so nothing of it is touched here.
}

NTSTATUS systemPower(DeviceContext* device, PIRP irp, bool query) {
    SYSTEM_POWER_STATE state =
        IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    InterlockedExchange(&device->systemPowerState, 0);
    if (state == PowerSystemWorking) {
        cancelWaitWake(device);
    } else if (query) {
        bool enabled = false;
        if (wakeEnableReadable(device, &enabled)) {
            if (enabled) {
                if (device->capabilities.SystemWake >= state)
                    workerQueue(device, waitWakeJob, nullptr, nullptr);
                else if (state < PowerSystemHibernate)
                    return failPower(irp, STATUS_INVALID_DEVICE_STATE);
            }
            InterlockedExchange(&device->systemPowerState, state);
        }
    }
    return passDownPower(device, irp);
}

NTSTATUS devicePower(DeviceContext* device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
    LONG recorded = InterlockedCompareExchange(&device->devicePowerState, 0, 0);
    if (state != recorded && !(state == PowerDeviceD0 && recorded == PowerDeviceUnspecified)) {
        InterlockedExchange(&device->devicePowerState, state);
        const DEVICE_CAPABILITIES& caps = device->capabilities;
        bool waitWakePending =
            InterlockedCompareExchangePointer(&device->waitWakeIrp, nullptr, nullptr) != nullptr;
        // A device that should wake the system must not go deeper than the
        // state it can wake from.
        if (state != PowerDeviceD0 && waitWakePending &&
            caps.SystemWake >= InterlockedCompareExchange(&device->systemPowerState, 0, 0) &&
            caps.DeviceWake < state) {
            InterlockedExchange(&device->devicePowerState, caps.DeviceWake);
            sp->Parameters.Power.State.DeviceState = caps.DeviceWake;
        }
    }
    return passDownPower(device, irp);
}

}  // namespace

std::atomic<WaitWakeTakenHook> waitWakeTakenHook{nullptr};

void cancelWaitWake(DeviceContext* device) {
    replaceWaitWake(device, nullptr);
}

NTSTATUS requestWaitWake(DeviceContext* device) {
    if (InterlockedCompareExchangePointer(&device->waitWakeIrp, nullptr, nullptr) != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    SYSTEM_POWER_STATE wake = device->capabilities.SystemWake;
    if (wake < PowerSystemSleeping1) return STATUS_INVALID_DEVICE_STATE;
    POWER_STATE state;
    state.SystemState = wake;
    return PoRequestPowerIrp(device->physicalDevice, IRP_MN_WAIT_WAKE, state, waitWakeRequestDone,
                             nullptr, nullptr);
}

NTSTATUS PAV512_DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceContext* device = deviceContextOf(DeviceObject);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    switch (sp->MinorFunction) {
        case IRP_MN_WAIT_WAKE:
            return waitWake(device, Irp);
        case IRP_MN_SET_POWER:
        case IRP_MN_QUERY_POWER:
            if (sp->Parameters.Power.Type == SystemPowerState)
                return systemPower(device, Irp, sp->MinorFunction == IRP_MN_QUERY_POWER);
            if (sp->Parameters.Power.Type == DevicePowerState &&
                sp->MinorFunction == IRP_MN_SET_POWER)
                return devicePower(device, Irp);
            return passDownPower(device, Irp);
        default:
            return passDownPower(device, Irp);
    }
}
