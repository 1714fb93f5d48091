#include "driver/core/driver.h"

#include <cstdio>
#include <new>

#include "driver/core/control.h"
#include "driver/core/device_context.h"
#include "driver/core/gate.h"
#include "driver/core/pnp.h"

const GUID kPav512InterfaceClass = {
    0x1867C0EE, 0xBE92, 0x4214, {0xA7, 0x91, 0x51, 0x71, 0x03, 0xBE, 0xE9, 0xD5}};

USBD_VERSION_INFORMATION usbdVersionInformation{};

namespace {

// The bits a function driver takes over from the device below it: buffered
// and direct I/O, power pagable, power in-rush.
constexpr ULONG kInheritedFlags =
    DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH;
static_assert(kInheritedFlags == 0x6014);
constexpr ULONG kOwnFlags = DO_BUFFERED_IO | DO_POWER_PAGABLE;

NTSTATUS passDownUntouched(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(deviceContextOf(DeviceObject)->lowerDevice, Irp);
}

void unload(PDRIVER_OBJECT) {}

}  // namespace

DriverContext* driverContextOf(PDRIVER_OBJECT driver) {
    return static_cast<DriverContext*>(IoGetDriverObjectExtension(driver, kDriverContextId));
}

NTSTATUS PAV512_DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (UCHAR major :
         {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL})
        DriverObject->MajorFunction[major] = PAV512_DispatchGate;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PAV512_DispatchInternal;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PAV512_DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PAV512_DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = passDownUntouched;
    DriverObject->DriverUnload = unload;
    DriverObject->DriverExtension->AddDevice = PAV512_AddDevice;

    // Without the record every AddDevice fails, which is all the driver can
    // do about it here.
    PVOID extension = nullptr;
    if (NT_SUCCESS(IoAllocateDriverObjectExtension(DriverObject, kDriverContextId,
                                                   sizeof(DriverContext), &extension))) {
        auto* context = new (extension) DriverContext{};
        KeInitializeEvent(&context->driverEvent, SynchronizationEvent, TRUE);
        context->deviceCounter = 0;
        context->deviceControlRoute = Control_DeviceControl;
        context->internalControlRoute = Control_InternalDeviceControl;
        defaultModuleOps(context->modules);
    }
    USBD_GetUSBDIVersion(&usbdVersionInformation);
    return STATUS_SUCCESS;
}

void deleteDevice(DeviceContext* device) {
    PDEVICE_OBJECT self = device->self;
    tickTimerStop(device);
    // Watches normally go with the stream interface; any left would hold
    // nodes of the pool freed below.
    device->watches.clear();
    workerShutdown(device);
    if (device->interfaceName.Buffer) RtlFreeUnicodeString(&device->interfaceName);
    device->~DeviceContext();
    IoDeleteDevice(self);
}

NTSTATUS PAV512_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    DriverContext* driver = driverContextOf(DriverObject);
    if (driver == nullptr) return STATUS_UNSUCCESSFUL;

    LONG number = InterlockedIncrement(&driver->deviceCounter);
    char name[32];
    std::snprintf(name, sizeof name, "\\Device\\PAV512_%03X",
                  static_cast<unsigned>(number) & 0xFFFu);
    ANSI_STRING ansiName;
    RtlInitAnsiString(&ansiName, name);
    UNICODE_STRING deviceName;
    NTSTATUS status = RtlAnsiStringToUnicodeString(&deviceName, &ansiName, TRUE);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT self = nullptr;
    status = IoCreateDevice(DriverObject, sizeof(DeviceContext), &deviceName, FILE_DEVICE_UNKNOWN,
                            0, FALSE, &self);
    RtlFreeUnicodeString(&deviceName);
    if (!NT_SUCCESS(status)) return status;

    // The record holds C++ members; it is built in the zeroed extension and
    // destroyed before the device object goes.
    auto* device = new (self->DeviceExtension) DeviceContext();
    device->self = self;
    device->driver = driver;
    device->physicalDevice = PhysicalDeviceObject;
    KeInitializeSpinLock(&device->gateLock);
    KeInitializeEvent(&device->idleEvent, NotificationEvent, TRUE);
    KeInitializeSpinLock(&device->waitWakeLock);
    KeInitializeEvent(&device->waitWakeCancelMutex, SynchronizationEvent, TRUE);
    status = workerStart(device);
    if (!NT_SUCCESS(status)) {
        deleteDevice(device);
        return status;
    }
    device->watches.initialise(&device->worker.nodes);
    tickTimerStart(device);

    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(self, PhysicalDeviceObject);
    if (lower == nullptr) {
        deleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->lowerDevice = lower;
    self->Flags = (self->Flags & ~kInheritedFlags) | (lower->Flags & kInheritedFlags);
    self->DeviceType = lower->DeviceType;
    self->Characteristics = lower->Characteristics;
    self->AlignmentRequirement = lower->AlignmentRequirement;
    self->Flags |= kOwnFlags;

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &kPav512InterfaceClass, nullptr,
                                       &device->interfaceName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(lower);
        deleteDevice(device);
        return status;
    }
    self->Flags &= ~DO_DEVICE_INITIALIZING;
    InterlockedExchange(&device->pnpState, kPnpAdded);
    gateInitialise(device);
    return status;
}

bool setStreamPowerState(DeviceContext* device, LONG state) {
    if (state != kPnpStreamPoweredDown && state != kPnpStreamPoweredUp) return false;
    LONG current = InterlockedCompareExchange(&device->pnpState, 0, 0);
    for (;;) {
        if (current == kPnpAdded || current == kPnpStopped || current == kPnpRemoved) return false;
        LONG seen = InterlockedCompareExchange(&device->pnpState, state, current);
        if (seen == current) return true;
        current = seen;
    }
}
