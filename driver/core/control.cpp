// The dispatch switch behind the gate. Every user code is checked against the
// length its layout needs before anything reads the buffer, then routed to its
// family. The version answers, the diagnostic flag and descriptor codes and the
// event registrations are answered here; the rest of each family goes to that
// family's module entry below, which refuses the code as unrecognised until
// the module is built into the driver.
#include "driver/core/control.h"

#include <algorithm>
#include <cstring>

#include "driver/camera/diagnostics.h"
#include "driver/core/cti.h"
#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "driver/core/propman.h"
#include "driver/core/ptpif.h"
#include "driver/core/srbif.h"
#include "pav512/buffers.h"

namespace {

struct ControlRequest {
    DeviceContext* device;
    PIRP irp;
    ULONG code;
    UCHAR* buffer;
    ULONG length;  // both the input and the output length are at least this
};

NTSTATUS answer(const ControlRequest& r, UCHAR moduleStatus) {
    completeWithModuleStatus(r.device, r.irp, STATUS_SUCCESS, moduleStatus);
    return STATUS_SUCCESS;
}

NTSTATUS finish(DeviceContext* device, PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    completeRequest(device, irp, status, information);
    return status;
}

NTSTATUS unrecognised(const ControlRequest& r) {
    return finish(r.device, r.irp, STATUS_INVALID_DEVICE_REQUEST);
}

void putU16(UCHAR* buffer, std::size_t offset, USHORT value) {
    std::memcpy(buffer + offset, &value, sizeof value);
}
void putU32(UCHAR* buffer, std::size_t offset, ULONG value) {
    std::memcpy(buffer + offset, &value, sizeof value);
}
ULONG getU32(const UCHAR* buffer, std::size_t offset) {
    ULONG v;
    std::memcpy(&v, buffer + offset, sizeof v);
    return v;
}

NTSTATUS answerVersion(const ControlRequest& r) {
    putU16(r.buffer, pav512::versionOffset(r.code), pav512::kInterfaceVersion);
    return answer(r, pav512::kModuleStatusSuccess);
}

// Module entries of the families. Each owns the codes of its family that are
// not answered in this file.
NTSTATUS mControl_CommandTransport(const ControlRequest& r) {
    return CTIIF_DeviceControl(r.device, r.irp, r.code, r.buffer, r.length);
}
// Set interface, vendor command, bulk transfer and device identifiers.
NTSTATUS mControl_CameraDiagnostics(const ControlRequest& r) {
    if (!USBIF_IsDebugCode(r.code)) return unrecognised(r);
    return USBIF_DebugRequest(r.device, r.irp);
}
// Everything of the stream family but the version and the identifiers: the
// format information, and the requests that become stream requests.
NTSTATUS mControl_StreamRequests(const ControlRequest& r) {
    return SRBIF_StreamControl(r.device, r.irp, r.code, r.buffer, r.length);
}
// Property get, set and default restore become device-property requests of
// the stream interface, the path the capture minidriver's requests take too;
// the abort closes every stream the library opened.
NTSTATUS mControl_VideoProperties(const ControlRequest& r) {
    using namespace pav512;
    switch (r.code) {
        case IOCTL_VPI_PROPERTY_GET:
        case IOCTL_VPI_PROPERTY_SET:
        case IOCTL_VPI_PROPERTY_DEFAULT:
            return SRBIF_PropertyControl(r.device, r.irp, r.code, r.buffer, r.length);
        case IOCTL_VPI_ABORT_VFW:
            return SRBIF_AbortLibraryStreams(r.device, r.irp);
        default:
            return unrecognised(r);
    }
}
NTSTATUS mControl_PtpTransport(const ControlRequest& r) {
    return PTPIF_DeviceControl(r.device, r.irp, r.code, r.buffer, r.length);
}

NTSTATUS commandFamily(const ControlRequest& r) {
    if (r.code == pav512::IOCTL_CTI_VERSION) return answerVersion(r);
    return mControl_CommandTransport(r);
}

NTSTATUS diagnosticFamily(const ControlRequest& r) {
    using namespace pav512;
    switch (r.code) {
        case IOCTL_DEBUG_VERSION:
            putU32(r.buffer, offsetof(DiagnosticVersionReply, zero), 0);
            return answerVersion(r);
        // This build keeps no trace flags.
        case IOCTL_DEBUG_GET_FLAG:
        case IOCTL_DEBUG_SET_FLAG:
        case IOCTL_DEBUG_FLAG_NAME:
        case IOCTL_DEBUG_FLAG_BLOCK_NAME:
            return answer(r, kModuleStatusNotInThisBuild);
        // Nor any property or notification descriptors.
        case IOCTL_DEBUG_PROPERTY_DESCRIPTOR:
        case IOCTL_DEBUG_PROPERTY_INFORMATION:
        case IOCTL_DEBUG_NOTIFICATION_DESCRIPTOR:
            return answer(r, kModuleStatusFailed);
        default:
            return mControl_CameraDiagnostics(r);
    }
}

// The identifiers the start-up read from the device descriptor; a device
// whose descriptor could not be read has none to give.
NTSTATUS answerDeviceIds(const ControlRequest& r, std::size_t vendorAt, std::size_t productAt) {
    const UsbInterfaceState& u = r.device->usbif;
    if (!u.idsValid) return answer(r, pav512::kModuleStatusFailed);
    putU32(r.buffer, vendorAt, u.vendorId);
    putU32(r.buffer, productAt, u.productId);
    return answer(r, pav512::kModuleStatusSuccess);
}

NTSTATUS streamFamily(const ControlRequest& r) {
    using pav512::StreamDeviceId;
    if (r.code == pav512::IOCTL_STREAM_VERSION) return answerVersion(r);
    if (r.code == pav512::IOCTL_STREAM_DEVICE_ID)
        return answerDeviceIds(r, offsetof(StreamDeviceId, vendorId),
                               offsetof(StreamDeviceId, productId));
    return mControl_StreamRequests(r);
}

NTSTATUS videoPropertyFamily(const ControlRequest& r) {
    using namespace pav512;
    switch (r.code) {
        case IOCTL_VPI_VERSION:
            return answerVersion(r);
        case IOCTL_VPI_DEVICE_ID:
            return answerDeviceIds(r, offsetof(PropertyDeviceId, vendorId),
                                   offsetof(PropertyDeviceId, productId));
        case IOCTL_VPI_NOTIFICATION_SET: {
            // The answer is success whether or not the watch could be added.
            // Watches count against the channel that asked, so that one
            // client cannot grow the list without end.
            PropertyHeader h;
            std::memcpy(&h, r.buffer, sizeof h);
            r.device->watches.addEvent(
                h.propertySet, h.propertyId,
                reinterpret_cast<HANDLE>(std::uintptr_t{h.dataLengthOrEvent}),
                IoGetCurrentIrpStackLocation(r.irp)->FileObject);
            return answer(r, kModuleStatusSuccess);
        }
        case IOCTL_VPI_NOTIFICATION_CLEAR:
            r.device->watches.removeHandle(reinterpret_cast<HANDLE>(
                std::uintptr_t{getU32(r.buffer, offsetof(PropertyHeader, dataLengthOrEvent))}));
            return answer(r, kModuleStatusSuccess);
        default:
            return mControl_VideoProperties(r);
    }
}

NTSTATUS ptpFamily(const ControlRequest& r) {
    if (r.code == pav512::IOCTL_PTP_VERSION) return answerVersion(r);
    return mControl_PtpTransport(r);
}

template <typename Fn>
Fn* resolveRoutine(ULONG token, bool* ok) {
    if (token == 0) return nullptr;
    Fn* fn = kroutine::resolve<Fn>(token);
    if (!fn) *ok = false;
    return fn;
}

NTSTATUS connect(DeviceContext* device, PIRP irp, const PIO_STACK_LOCATION sp) {
    using pav512::ConnectRecord;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (buffer == nullptr ||
        sp->Parameters.DeviceIoControl.InputBufferLength != pav512::kConnectRecordLength ||
        sp->Parameters.DeviceIoControl.OutputBufferLength != pav512::kConnectRecordLength)
        return finish(device, irp, STATUS_INVALID_PARAMETER);
    ConnectRecord record;
    std::memcpy(&record, buffer, sizeof record);
    if (record.interfaceVersion != pav512::kInterfaceVersion)
        return finish(device, irp, STATUS_INVALID_PARAMETER);

    // A routine field that names nothing the minidriver registered, or a
    // routine of another kind, makes the whole record invalid.
    bool ok = true;
    SrbifCallbacks cb;
    cb.deviceRequestComplete =
        resolveRoutine<SrbDeviceRequestComplete>(record.deviceRequestCompletion, &ok);
    cb.streamRequestComplete =
        resolveRoutine<SrbStreamRequestComplete>(record.streamRequestCompletion, &ok);
    cb.filterRegistration = resolveRoutine<SrbFilterRegistration>(record.filterRegistration, &ok);
    cb.masterClockQuery = resolveRoutine<SrbMasterClockQuery>(record.masterClockQuery, &ok);
    cb.propertyChange = resolveRoutine<SrbPropertyChange>(record.propertyChange, &ok);
    cb.streamReceive = resolveRoutine<SrbStreamReceive>(record.streamReceive, &ok);
    cb.deviceEvent = resolveRoutine<SrbDeviceEvent>(record.deviceEvent, &ok);
    cb.minidriverContext = record.minidriverContext;
    cb.deviceEventToken = cb.deviceEvent ? record.deviceEvent : 0;
    if (!ok) return finish(device, irp, STATUS_INVALID_PARAMETER);

    SrbifDriverTokens tokens = SRBIF_DriverTokens(device);
    if (!tokens.receive || !tokens.cancel || !tokens.timeout || !tokens.watch ||
        !tokens.deviceRecord)
        return finish(device, irp, STATUS_INSUFFICIENT_RESOURCES);
    SRBIF_SetStreamCallbacks(device, cb);
    record.receiveRequestBlock = tokens.receive;
    record.cancelRequestBlock = tokens.cancel;
    record.requestBlockTimeout = tokens.timeout;
    record.propertyWatch = tokens.watch;
    record.deviceRecord = tokens.deviceRecord;
    std::memcpy(buffer, &record, sizeof record);
    return finish(device, irp, STATUS_SUCCESS, pav512::kConnectRecordLength);
}

}  // namespace

NTSTATUS Control_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceContext* device = deviceContextOf(DeviceObject);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer);

    const ULONG fixed = pav512::minimumLength(code);
    if (fixed == 0) return finish(device, Irp, STATUS_INVALID_DEVICE_REQUEST);
    // The client is untrusted: the header, and then the data area the header
    // announces, must fit both lengths before any handler reads a byte.
    ULONG length = std::min(inLength, outLength);
    if (buffer == nullptr || length < fixed) return finish(device, Irp, STATUS_INVALID_PARAMETER);
    // A stream read's data area only comes back (the frame is written into
    // it), so it need fit only the output: the system buffer holds the
    // longer of the two lengths, zeroed past the input.
    if (code == pav512::IOCTL_STREAM_READ) length = outLength;
    if (pav512::requiredLength(code, buffer) > length)
        return finish(device, Irp, STATUS_INVALID_PARAMETER);

    ControlRequest r{device, Irp, code, buffer, length};
    switch (pav512::familyOf(code)) {
        case pav512::Family::Command:
            return commandFamily(r);
        case pav512::Family::Diagnostic:
            return diagnosticFamily(r);
        case pav512::Family::Stream:
            return streamFamily(r);
        case pav512::Family::VideoProperty:
            return videoPropertyFamily(r);
        case pav512::Family::Ptp:
            return ptpFamily(r);
        case pav512::Family::Unknown:
            break;
    }
    return unrecognised(r);
}

bool Control_BlocksCaller(ULONG code) {
    // Stream opens, closes and state changes may open or close the camera
    // inside the request; the abort waits for every step of every stream.
    return USBIF_IsDebugCode(code) || code == pav512::IOCTL_CTI_OPEN ||
           code == pav512::IOCTL_CTI_CLOSE || code == pav512::IOCTL_STREAM_OPEN ||
           code == pav512::IOCTL_STREAM_CLOSE || code == pav512::IOCTL_STREAM_SET_STATE ||
           code == pav512::IOCTL_VPI_ABORT_VFW;
}

NTSTATUS Control_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceContext* device = deviceContextOf(DeviceObject);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case pav512::IOCTL_INTERNAL_CONNECT:
            return connect(device, Irp, sp);
        case pav512::IOCTL_INTERNAL_DISCONNECT:
            SRBIF_SetStreamCallbacks(device, SrbifCallbacks{});
            return finish(device, Irp, STATUS_SUCCESS);
        default:
            return finish(device, Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
