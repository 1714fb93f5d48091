#include "driver/camera/usbif.h"

#include <cstring>

#include "driver/core/device_context.h"

namespace {

// Takes the interface lock for a scope. It is an event used as a mutex, held
// across synchronous submissions, so it is never a spin lock.
class InterfaceLock {
  public:
    explicit InterfaceLock(DeviceContext* d) : event_(&d->usbif.interfaceLock) {
        KeWaitForSingleObject(event_, Executive, KernelMode, FALSE, nullptr);
    }
    ~InterfaceLock() { KeSetEvent(event_, IO_NO_INCREMENT, FALSE); }
    InterfaceLock(const InterfaceLock&) = delete;
    InterfaceLock& operator=(const InterfaceLock&) = delete;

  private:
    PKEVENT event_;
};

PURB allocateUrb(size_t size) {
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbifTag));
    if (urb) std::memset(urb, 0, size);
    return urb;
}

// One synchronous submission. When both waits run out the record is left to
// the completion routine, which frees it, the request and the URB (with the
// data area that shares its block) whenever the bus finally lets go: nothing
// is leaked and nothing is freed under the bus's feet.
struct SyncSubmission {
    KEVENT done;
    volatile LONG state;  // kWaiting, kCompleted, kOrphaned
    PIRP irp;
    PURB urb;
};
constexpr LONG kWaiting = 0;
constexpr LONG kCompleted = 1;
constexpr LONG kOrphaned = 2;

NTSTATUS syncComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* s = static_cast<SyncSubmission*>(context);
    if (InterlockedExchange(&s->state, kCompleted) == kOrphaned) {
        IoFreeIrp(s->irp);
        ExFreePool(s->urb);
        ExFreePool(s);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void setUrbStackLocation(PIRP irp, PURB urb) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
}

// Submits `urb` (a pool block) and waits for it: 10 s, then a cancel of a
// request the bus still holds and another 10 s. STATUS_TIMEOUT hands the URB
// block to the completion routine; any other result leaves it with the caller.
NTSTATUS submitSync(DeviceContext* d, PURB urb) {
    auto* s = static_cast<SyncSubmission*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(SyncSubmission), kUsbifTag));
    if (!s) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT lower = d->lowerDevice;
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (!irp) {
        ExFreePool(s);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeEvent(&s->done, NotificationEvent, FALSE);
    s->state = kWaiting;
    s->irp = irp;
    s->urb = urb;
    setUrbStackLocation(irp, urb);
    IoSetCompletionRoutine(irp, syncComplete, s, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kUsbifSubmitTimeout100ns;
        if (KeWaitForSingleObject(&s->done, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT) {
            // Still with the bus: ask it to let go. Completed meanwhile: the
            // second wait returns at once.
            if (irp->CancelRoutine != nullptr) IoCancelIrp(irp);
            if (KeWaitForSingleObject(&s->done, Executive, KernelMode, FALSE, &timeout) ==
                STATUS_TIMEOUT) {
                if (InterlockedExchange(&s->state, kOrphaned) == kWaiting) return STATUS_TIMEOUT;
                // It completed just now: let its routine finish signalling.
                KeWaitForSingleObject(&s->done, Executive, KernelMode, FALSE, nullptr);
            }
        }
    }
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ExFreePool(s);
    return status;
}

// A URB of `urbSize` bytes and, behind it in the same block, a zeroed data
// area of `dataSize` bytes. The bus only ever sees this area, never the
// caller's buffer: a request that times out may still be written by the bus
// long after its caller has gone, and a short read leaves zeroes, not stale
// bytes, behind what came.
PURB allocateUrbWithData(size_t urbSize, ULONG dataSize, PUCHAR* data) {
    size_t head = (urbSize + 15) & ~size_t{15};
    auto* block =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, head + dataSize, kUsbifTag));
    if (!block) return nullptr;
    std::memset(block, 0, head + dataSize);
    *data = block + head;
    return reinterpret_cast<PURB>(block);
}

// Frees a URB the layer built, unless a time-out left it with the bus.
void releaseUrb(PURB urb, NTSTATUS status) {
    if (status != STATUS_TIMEOUT) ExFreePool(urb);
}

// What the layer's own operations report for a submission that timed out.
// STATUS_TIMEOUT is a success code: handed on, every caller that tests
// NT_SUCCESS would take a request the bus never answered for one that
// worked. Past the URB's owner it is the failure it is.
NTSTATUS failureOf(NTSTATUS status) {
    return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}

// Reads descriptor `type` (index 0, language 0) into `buffer`; bytes past
// the `*got` that came are zero.
NTSTATUS readDescriptor(DeviceContext* d, UCHAR type, PVOID buffer, ULONG length, ULONG* got) {
    *got = 0;
    std::memset(buffer, 0, length);
    PUCHAR data = nullptr;
    PURB urb = allocateUrbWithData(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), length, &data);
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, data,
                                 length);
    NTSTATUS status = submitSync(d, urb);
    if (status == STATUS_TIMEOUT) return failureOf(status);  // the URB is the bus's now
    ULONG moved = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (moved > length) moved = length;
    if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        std::memcpy(buffer, data, moved);
        *got = moved;
    }
    ExFreePool(urb);
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------

NTSTATUS USBIF_Initialise(DeviceContext* device) {
    UsbInterfaceState& u = device->usbif;
    InterfaceLock lock(device);
    if (u.config) {
        ExFreePool(u.config);
        u.config = nullptr;
    }
    u.interfaceNumber = -1;
    USB_CONFIGURATION_DESCRIPTOR head;
    ULONG got = 0;
    NTSTATUS status =
        readDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, sizeof head, &got);
    if (!NT_SUCCESS(status)) return status;
    // A descriptor that is short, of another type, or announces less than its
    // own header is refused rather than trusted.
    if (got < sizeof head || head.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        head.wTotalLength < sizeof head || head.wTotalLength > kUsbifMaxConfigLength) {
        return STATUS_UNSUCCESSFUL;
    }
    USHORT total = head.wTotalLength;
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, total, kUsbifTag));
    if (!config) return STATUS_INSUFFICIENT_RESOURCES;
    if (total == sizeof head) {
        // The header is the whole descriptor: nothing more to read.
        std::memcpy(config, &head, sizeof head);
    } else {
        status = readDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, total, &got);
        if (!NT_SUCCESS(status) || got < sizeof head ||
            config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            ExFreePool(config);
            return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
        }
        // The copy's wTotalLength is what every later parse walks: never more
        // than came, nor than the block holds, whatever the device said the
        // second time.
        USHORT usable = static_cast<USHORT>(got < total ? got : total);
        if (config->wTotalLength > usable) config->wTotalLength = usable;
        if (config->wTotalLength < sizeof head) {
            ExFreePool(config);
            return STATUS_UNSUCCESSFUL;
        }
    }
    u.config = config;
    for (LONG number = 0; number <= 3; ++number) {
        if (USBD_ParseConfigurationDescriptorEx(config, config, number, -1, -1, -1, -1)) {
            u.interfaceNumber = number;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS USBIF_GetDeviceIds(DeviceContext* device, USHORT* vendorId, USHORT* productId) {
    USB_DEVICE_DESCRIPTOR dd;
    ULONG got = 0;
    NTSTATUS status = readDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, &dd, sizeof dd, &got);
    if (!NT_SUCCESS(status)) return status;
    if (got < offsetof(USB_DEVICE_DESCRIPTOR, idProduct) + sizeof(USHORT))
        return STATUS_UNSUCCESSFUL;
    *vendorId = dd.idVendor;
    *productId = dd.idProduct;
    return STATUS_SUCCESS;
}

NTSTATUS USBIF_StartupQuery(DeviceContext* device) {
    UsbInterfaceState& u = device->usbif;
    USHORT vid = 0, pid = 0;
    NTSTATUS status = USBIF_GetDeviceIds(device, &vid, &pid);
    u.idsValid = NT_SUCCESS(status);
    u.vendorId = u.idsValid ? vid : 0;
    u.productId = u.idsValid ? pid : 0;
    return status;
}

NTSTATUS USBIF_SetCameraAlternate(DeviceContext* device, LONG interfaceNumber, LONG wanted,
                                  LONG* selected) {
    UsbInterfaceState& u = device->usbif;
    InterfaceLock lock(device);
    if (!u.config) return STATUS_UNSUCCESSFUL;
    // -1 would match any interface in the parse below.
    if (interfaceNumber < 0 || interfaceNumber > 255) return STATUS_UNSUCCESSFUL;
    if (wanted < 0) wanted = 0;
    if (wanted > 255) wanted = 255;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (LONG alt = wanted; alt >= 0; --alt) {
        PUSB_INTERFACE_DESCRIPTOR ifd = USBD_ParseConfigurationDescriptorEx(
            u.config, u.config, interfaceNumber, alt, -1, -1, -1);
        if (!ifd) continue;
        USBD_INTERFACE_LIST_ENTRY list[2] = {{ifd, nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(u.config, list);
        if (!urb || !list[0].Interface) {
            if (urb) ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        PUSBD_INTERFACE_INFORMATION iface = list[0].Interface;
        for (ULONG i = 0; i < iface->NumberOfPipes; ++i)
            iface->Pipes[i].MaximumTransferSize = kUsbifMaxTransferSize;
        status = submitSync(device, urb);
        if (status == STATUS_TIMEOUT) {
            // The bus still holds the URB and the interface block inside it:
            // nothing of it is read, and it is the layer's no more. Which
            // setting the device is at is not known now, so no pipe of the
            // old one is handed out; a lower setting would only wait as long
            // again on a bus that does not answer.
            if (u.info) {
                ExFreePool(u.info);
                u.info = nullptr;
            }
            u.currentAlternate = 0;
            if (selected) *selected = -1;
            return failureOf(status);
        }
        if (!NT_SUCCESS(status)) {
            ExFreePool(urb);
            continue;
        }
        auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPool, iface->Length, kUsbifTag));
        if (!copy) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memcpy(copy, iface, iface->Length);
        if (u.info) ExFreePool(u.info);
        u.info = copy;
        u.currentAlternate = alt;
        u.configHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        ExFreePool(urb);
        if (selected) *selected = alt;
        return (wanted != 0 && alt == 0) ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
    }
    if (u.info) {
        ExFreePool(u.info);
        u.info = nullptr;
    }
    if (selected) *selected = -1;
    return status;
}

bool USBIF_GetPipeInfo(DeviceContext* device, UCHAR endpoint, USBD_PIPE_INFORMATION* pipe) {
    UsbInterfaceState& u = device->usbif;
    InterfaceLock lock(device);
    PUSBD_INTERFACE_INFORMATION info = u.info;
    if (!info || info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) return false;
    // Never walk past the copy, whatever the pipe count claims.
    ULONG room = (info->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                 sizeof(USBD_PIPE_INFORMATION);
    ULONG n = info->NumberOfPipes < room ? info->NumberOfPipes : room;
    for (ULONG i = 0; i < n; ++i) {
        if (info->Pipes[i].EndpointAddress == endpoint) {
            *pipe = info->Pipes[i];
            return true;
        }
    }
    return false;
}

NTSTATUS USBIF_PipeRequest(DeviceContext* device, USHORT function, UCHAR endpoint) {
    USBD_PIPE_INFORMATION pipe;
    if (!USBIF_GetPipeInfo(device, endpoint, &pipe)) return STATUS_INSUFFICIENT_RESOURCES;
    PURB urb = allocateUrb(sizeof(_URB_PIPE_REQUEST));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe.PipeHandle;
    NTSTATUS status = submitSync(device, urb);
    releaseUrb(urb, status);
    return failureOf(status);
}

NTSTATUS USBIF_SubmitUrb(DeviceContext* device, PURB urb) {
    return submitSync(device, urb);
}

// ---------------------------------------------------------------------------
// Asynchronous submissions

namespace {

NTSTATUS recordComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<UsbCompletionRecord*>(context);
    NTSTATUS result = r->routine(r->device, irp, r->urb, r->context);
    if (result == STATUS_PENDING && irp->PendingReturned) IoMarkIrpPending(irp);
    return result;
}

struct AsyncSubmission {
    UsbCompletionRecord record;
    UsbCompletionRoutine callerRoutine;
    PVOID callerContext;
};

NTSTATUS asyncComplete(DeviceContext* d, PIRP irp, PURB urb, PVOID context) {
    auto* a = static_cast<AsyncSubmission*>(context);
    NTSTATUS result = a->callerRoutine(d, irp, urb, a->callerContext);
    ExFreePool(a);
    if (result != STATUS_MORE_PROCESSING_REQUIRED) {
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return result;
}

}  // namespace

void USBIF_PrepareAsync(DeviceContext* device, PIRP irp, PURB urb, UsbCompletionRecord* record) {
    CCHAR stack = device->lowerDevice->StackSize;
    IoInitializeIrp(irp, IoSizeOfIrp(stack), stack);
    record->device = device;
    record->urb = urb;
    setUrbStackLocation(irp, urb);
    IoSetCompletionRoutine(irp, recordComplete, record, TRUE, TRUE, TRUE);
}

NTSTATUS USBIF_CallLower(DeviceContext* device, PIRP irp) {
    return IoCallDriver(device->lowerDevice, irp);
}

NTSTATUS USBIF_SubmitUrbAsync(DeviceContext* device, PURB urb, UsbCompletionRoutine routine,
                              PVOID context, PIRP* irpUsed) {
    auto* a = static_cast<AsyncSubmission*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(AsyncSubmission), kUsbifTag));
    if (!a) return STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoAllocateIrp(device->lowerDevice->StackSize, FALSE);
    if (!irp) {
        ExFreePool(a);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    a->callerRoutine = routine;
    a->callerContext = context;
    a->record.routine = asyncComplete;
    a->record.context = a;
    USBIF_PrepareAsync(device, irp, urb, &a->record);
    if (irpUsed) *irpUsed = irp;
    return USBIF_CallLower(device, irp);
}

// ---------------------------------------------------------------------------
// Vendor requests

struct UsbVendorRequest {
    volatile LONG refs;  // the completion's, and the slot's while it points here
    UsbCompletionRecord record;
    PIRP irp;
    UsbVendorRequest* volatile* slot;
    UsbVendorDone done;
    PVOID context;
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb;
};

namespace {

void releaseVendor(DeviceContext* d, UsbVendorRequest* r) {
    if (InterlockedDecrement(&r->refs) != 0) return;
    IoFreeIrp(r->irp);
    ExFreePool(r);
    if (InterlockedDecrement(&d->usbif.asyncOutstanding) == 0)
        KeSetEvent(&d->usbif.asyncIdle, IO_NO_INCREMENT, FALSE);
}

NTSTATUS vendorComplete(DeviceContext* d, PIRP irp, PURB urb, PVOID context) {
    auto* r = static_cast<UsbVendorRequest*>(context);
    if (r->slot && InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(r->slot),
                                                     nullptr, r) == r) {
        InterlockedDecrement(&r->refs);  // the slot's reference; the completion still holds one
    }
    if (r->done) {
        r->done(d, irp->IoStatus.Status, urb->UrbHeader.Status,
                urb->UrbControlVendorClassRequest.TransferBufferLength, r->context);
    }
    releaseVendor(d, r);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS USBIF_VendorRequest(DeviceContext* device, bool in, UCHAR request, USHORT value,
                             PVOID buffer, ULONG* length, UsbVendorDone done, PVOID context,
                             UsbVendorRequest* volatile* inFlight, USHORT index) {
    ULONG len = length ? *length : 0;
    if (len && !buffer) return STATUS_INVALID_PARAMETER;
    if (!done) {
        PUCHAR data = nullptr;
        PURB urb = allocateUrbWithData(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), len, &data);
        if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
        if (!in && len) std::memcpy(data, buffer, len);
        UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0, 0,
                              request, value, index, len ? data : nullptr, len);
        NTSTATUS status = submitSync(device, urb);
        if (status == STATUS_TIMEOUT) {
            // Nothing was moved that anyone knows of: a read hands back
            // nothing, a write is not reported as done, and the URB with its
            // data area is left to the bus.
            if (length) *length = 0;
            return failureOf(status);
        }
        ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
        if (moved > len) moved = len;
        if (!NT_SUCCESS(status)) moved = 0;
        // The whole area goes back: what came, then zeroes, never bytes the
        // camera did not report sending. A failed request hands back nothing.
        if (in && len && NT_SUCCESS(status)) {
            std::memcpy(buffer, data, moved);
            std::memset(static_cast<PUCHAR>(buffer) + moved, 0, len - moved);
        }
        if (length) *length = moved;
        if (!NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status))
            status = urb->UrbHeader.Status;
        ExFreePool(urb);
        return status;
    }
    auto* r = static_cast<UsbVendorRequest*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(UsbVendorRequest), kUsbifTag));
    if (!r) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(r, 0, sizeof *r);
    r->irp = IoAllocateIrp(device->lowerDevice->StackSize, FALSE);
    if (!r->irp) {
        ExFreePool(r);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* urb = reinterpret_cast<PURB>(&r->urb);
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0, 0,
                          request, value, index, len ? buffer : nullptr, len);
    r->done = done;
    r->context = context;
    r->refs = 1;
    if (inFlight) {
        r->slot = inFlight;
        r->refs = 2;
        *inFlight = r;
    }
    if (InterlockedIncrement(&device->usbif.asyncOutstanding) == 1)
        KeResetEvent(&device->usbif.asyncIdle);
    r->record.routine = vendorComplete;
    r->record.context = r;
    USBIF_PrepareAsync(device, r->irp, urb, &r->record);
    USBIF_CallLower(device, r->irp);
    return STATUS_SUCCESS;
}

void USBIF_CancelVendorRequest(UsbVendorRequest* volatile* inFlight) {
    auto* r = static_cast<UsbVendorRequest*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(inFlight), nullptr));
    if (!r) return;
    // The slot's reference keeps the request alive while it is cancelled.
    IoCancelIrp(r->irp);
    releaseVendor(r->record.device, r);
}

// ---------------------------------------------------------------------------
// Bufferless internal requests and the port cycle

namespace {

NTSTATUS internalRequest(PDEVICE_OBJECT target, ULONG code, PVOID argument1) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, target, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    } else {
        // The request may complete before IoCallDriver returns; its status
        // block is filled either way.
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

}  // namespace

NTSTATUS USBIF_USBDRequest(DeviceContext* device, ULONG ioControlCode) {
    InterfaceLock lock(device);
    PDEVICE_OBJECT target = device->lowerDevice ? device->lowerDevice->NextDevice : nullptr;
    if (target && !IoIsWdmVersionAvailable(1, 0x20)) target = target->NextDevice;
    if (!target) return STATUS_UNSUCCESSFUL;
    return internalRequest(target, ioControlCode, nullptr);
}

NTSTATUS USBIF_CyclePort(DeviceContext* device) {
    ULONG portStatus = 0;
    internalRequest(device->lowerDevice, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    return USBIF_USBDRequest(device, IOCTL_INTERNAL_USB_CYCLE_PORT);
}

void USBIF_Terminate(DeviceContext* device) {
    UsbInterfaceState& u = device->usbif;
    // Asynchronous vendor requests still with the bus would complete into a
    // freed record otherwise; the bus always completes what it holds.
    KeWaitForSingleObject(&u.asyncIdle, Executive, KernelMode, FALSE, nullptr);
    InterfaceLock lock(device);
    PURB urb = allocateUrb(sizeof(_URB_SELECT_CONFIGURATION));
    if (urb) {
        UsbBuildSelectConfigurationRequest(urb, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
        NTSTATUS status = submitSync(device, urb);
        releaseUrb(urb, status);
    }
    if (u.config) ExFreePool(u.config);
    if (u.info) ExFreePool(u.info);
    u.config = nullptr;
    u.info = nullptr;
    u.interfaceNumber = -1;
    u.currentAlternate = 0;
    u.configHandle = nullptr;
}
