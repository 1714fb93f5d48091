#include "driver/camera/diagnostics.h"

#include <cstring>

#include "driver/camera/camera.h"
#include "driver/camera/usbif.h"
#include "driver/camera/usbstrm.h"
#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "pav512/buffers.h"
#include "pav512/ioctl.h"

namespace {

using pav512::kDiagnosticDataOffset;
constexpr UCHAR kDebugStatusSuccess = pav512::kModuleStatusSuccess;
constexpr UCHAR kDebugStatusFailed = pav512::kModuleStatusFailed;
constexpr UCHAR kDebugStatusShortTransfer = pav512::kModuleStatusShortControlTransfer;
// How long a diagnostic transfer's wait sleeps between looks at its
// time-out and at a stop that cancels the calls.
constexpr ULONG kDebugWaitSliceMs = 50;

ULONG getU32(const UCHAR* b, ULONG offset) {
    ULONG v;
    std::memcpy(&v, b + offset, sizeof v);
    return v;
}
USHORT getU16(const UCHAR* b, ULONG offset) {
    USHORT v;
    std::memcpy(&v, b + offset, sizeof v);
    return v;
}
void putU32(UCHAR* b, ULONG offset, ULONG v) {
    std::memcpy(b + offset, &v, sizeof v);
}

NTSTATUS answer(DeviceContext* device, PIRP irp, UCHAR moduleStatus) {
    completeWithModuleStatus(device, irp, STATUS_SUCCESS, moduleStatus);
    return STATUS_SUCCESS;
}

// Byte 8 interface number, byte 9 the setting wanted.
UCHAR setInterface(DeviceContext* device, PUCHAR b) {
    LONG wanted = b[9];
    LONG selected = -1;
    NTSTATUS status = USBIF_SetCameraAlternate(device, b[8], wanted, &selected);
    return (!NT_SUCCESS(status) || selected != wanted) ? kDebugStatusFailed : kDebugStatusSuccess;
}

// 32-bit direction at 8 (nonzero: from the camera), request at 12, value at
// 14, length at 16, index at 18, data from 20. The camera's own command set
// always runs at index 0, but a diagnostic client asks for what it wants.
UCHAR usbCommand(DeviceContext* device, PUCHAR b, ULONG size) {
    bool in = getU32(b, 8) != 0;
    UCHAR request = b[12];
    USHORT value = getU16(b, 14);
    ULONG length = getU16(b, 16);
    USHORT index = getU16(b, 18);
    if (length > size - kDiagnosticDataOffset) return kDebugStatusFailed;
    ULONG moved = length;
    NTSTATUS status = USBIF_VendorRequest(device, in, request, value, b + kDiagnosticDataOffset,
                                          &moved, nullptr, nullptr, nullptr, index);
    if (status == STATUS_TIMEOUT) moved = 0;
    if (moved < length) return kDebugStatusShortTransfer;
    return NT_SUCCESS(status) ? kDebugStatusSuccess : kDebugStatusFailed;
}

// Completion context: what arrived on the stream goes into the client's area
// (or, for an outgoing stream, counts as sent).
void debugReceive(DeviceContext* device, PUCHAR data, ULONG length) {
    DebugTransfer& d = device->streams.debug;
    KIRQL irql = KfAcquireSpinLock(&d.lock);
    if (d.data && !KeReadStateEvent(&d.done) && !d.overrun) {
        ULONG left = d.length - static_cast<ULONG>(d.arrived);
        if (length > left) {
            // More than was asked: the count ends, the transfer never completes.
            d.overrun = 1;
        } else {
            if (!d.outgoing) std::memcpy(d.data + d.arrived, data, length);
            InterlockedExchangeAdd(&d.arrived, static_cast<LONG>(length));
            if (static_cast<ULONG>(d.arrived) == d.length)
                KeSetEvent(&d.done, IO_NO_INCREMENT, FALSE);
        }
    }
    KfReleaseSpinLock(&d.lock, irql);
}

ULONG debugSend(DeviceContext* device, PUCHAR buffer, ULONG length) {
    DebugTransfer& d = device->streams.debug;
    ULONG supplied = 0;
    KIRQL irql = KfAcquireSpinLock(&d.lock);
    if (d.data) {
        ULONG left = d.length - static_cast<ULONG>(d.supplied);
        supplied = length < left ? length : left;
        std::memcpy(buffer, d.data + d.supplied, supplied);
        InterlockedExchangeAdd(&d.supplied, static_cast<LONG>(supplied));
    }
    KfReleaseSpinLock(&d.lock, irql);
    return supplied;
}

// Byte 8 endpoint, 32-bit length at 12, 32-bit time-out in ms at 16, data
// from 20. Done in the caller's thread.
UCHAR usbTransfer(DeviceContext* device, PUCHAR b, ULONG size) {
    UCHAR endpoint = b[8];
    ULONG length = getU32(b, 12);
    ULONG timeoutMs = getU32(b, 16);
    if (length == 0 || length > size - kDiagnosticDataOffset) return kDebugStatusFailed;
    if (timeoutMs == 0 || timeoutMs > kDebugTransferMaxTimeoutMs) return kDebugStatusFailed;
    UsbStream* stream = USBSTRM_Find(device, endpoint);
    // Isochronous data is not a transfer of a given length, and a stream
    // that runs for its owner is not taken from it (a finite one that has
    // delivered all its bytes is free again).
    if (!stream || stream->isochronous) return kDebugStatusFailed;
    // The bulk pipes belong to one user at a time: the camera is taken the
    // way the command transport and the PTP transport take it, and the
    // camera object's bulk transfer is claimed, each in one step, so no
    // command block or camera transfer can have its routines swapped for
    // these while it runs.
    if (!NT_SUCCESS(Camera_Acquire(device, 0))) return kDebugStatusFailed;
    if (!Camera_ClaimBulkPipes(device)) {
        Camera_Release(device);
        return kDebugStatusFailed;
    }
    struct Give {
        DeviceContext* device;
        ~Give() {
            Camera_ReleaseBulkPipes(device);
            Camera_Release(device);
        }
    } give{device};
    if (ReadAcquire(&stream->active) &&
        (ReadAcquire(&stream->outstanding) > 0 || ReadAcquire(&stream->transfersLeft) > 0))
        return kDebugStatusFailed;
    DebugTransfer& d = device->streams.debug;
    if (InterlockedCompareExchange(&d.busy, 1, 0) != 0) return kDebugStatusFailed;
    KIRQL irql = KfAcquireSpinLock(&d.lock);
    d.data = b + kDiagnosticDataOffset;
    d.length = length;
    d.outgoing = stream->out;
    d.supplied = 0;
    d.arrived = 0;
    d.overrun = 0;
    KeClearEvent(&d.done);
    KfReleaseSpinLock(&d.lock, irql);
    bool done = false;
    if (NT_SUCCESS(USBSTRM_Start(stream, length, debugReceive, debugSend, nullptr))) {
        LONGLONG until = deadline(timeoutMs);
        while (!(done = KeReadStateEvent(&d.done) != 0)) {
            // A stop that is waiting for this call has let it run its grace.
            if (callsCancelled(device) || reached(until)) {
                done = KeReadStateEvent(&d.done) != 0;
                break;
            }
            // The bytes arrive on the completion threads, which set the
            // event with the last of them; the wait wakes now and then to
            // see the time-out and a stop.
            LARGE_INTEGER slice;
            slice.QuadPart = -static_cast<LONGLONG>(kDebugWaitSliceMs) * 10000;
            KeWaitForSingleObject(&d.done, Executive, KernelMode, FALSE, &slice);
        }
    }
    USBSTRM_Stop(stream, false);
    irql = KfAcquireSpinLock(&d.lock);
    d.data = nullptr;
    d.length = 0;
    KfReleaseSpinLock(&d.lock, irql);
    InterlockedExchange(&d.busy, 0);
    return done ? kDebugStatusSuccess : kDebugStatusFailed;
}

// Out: 32-bit vendor identifier at 8, product identifier at 12, read from
// the device descriptor now.
UCHAR deviceId(DeviceContext* device, PUCHAR b) {
    USHORT vendor = 0, product = 0;
    if (!NT_SUCCESS(USBIF_GetDeviceIds(device, &vendor, &product))) return kDebugStatusFailed;
    putU32(b, 8, vendor);
    putU32(b, 12, product);
    return kDebugStatusSuccess;
}

}  // namespace

bool USBIF_IsDebugCode(ULONG code) {
    return code == pav512::IOCTL_DEBUG_SET_INTERFACE || code == pav512::IOCTL_DEBUG_USB_COMMAND ||
           code == pav512::IOCTL_DEBUG_USB_TRANSFER || code == pav512::IOCTL_DEBUG_DEVICE_ID;
}

NTSTATUS USBIF_DebugRequest(DeviceContext* device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    // The buffer is used in place for both directions: only what both
    // lengths cover may be read or written.
    ULONG size = in < out ? in : out;
    auto* b = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    if (!USBIF_IsDebugCode(code)) {
        completeRequest(device, irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!b || size < kDiagnosticDataOffset) {
        completeRequest(device, irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    switch (code) {
        case pav512::IOCTL_DEBUG_SET_INTERFACE:
            return answer(device, irp, setInterface(device, b));
        case pav512::IOCTL_DEBUG_USB_COMMAND:
            return answer(device, irp, usbCommand(device, b, size));
        case pav512::IOCTL_DEBUG_USB_TRANSFER:
            return answer(device, irp, usbTransfer(device, b, size));
        default:
            return answer(device, irp, deviceId(device, b));
    }
}
