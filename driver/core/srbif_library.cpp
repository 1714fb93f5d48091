// The library's way into the stream interface: the stream family's requests
// and the property requests become request blocks of the driver's own
// making, fed into the same path as the capture minidriver's, and each
// control request completes when its block does. Streams opened this way are
// named to the client by a handle and belong to the channel that opened
// them; the abort of user-mode video closes them all.
#include <algorithm>
#include <cstring>
#include <new>

#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "driver/core/propman.h"
#include "driver/core/srbif.h"
#include "driver/core/srbif_internal.h"
#include "pav512/buffers.h"

// One request block of the driver's own, with room for what its command data
// points at. Recycled through the device's free list.
struct SrbifSynthetic {
    HW_STREAM_REQUEST_BLOCK srb;
    SrbifSynthetic* nextFree;
    PIRP irp;  // the control request it serves, or null for the abort's steps
    ULONG code;
    UCHAR* buffer;
    SrbifLibraryStream* stream;  // a reference, or null
    KEVENT done;                 // the abort's steps wait on it
    NTSTATUS result;
    KS_DATAFORMAT_VIDEOINFOHEADER format;
    SRB_VIDEO_READ_HEADER read;
    SrbifReadInHand inHand;  // a read, from before its cancel routine is set
    KSPROPERTY property;
    STREAM_PROPERTY_DESCRIPTOR descriptor;
    UCHAR restore[kPropertyHeaderLength + 20];
};

namespace {

using namespace pav512;

class LibraryLockGuard {
  public:
    explicit LibraryLockGuard(SrbifState& s)
        : lock_(s.libraryLock), irql_(KfAcquireSpinLock(&lock_)) {}
    ~LibraryLockGuard() { KfReleaseSpinLock(&lock_, irql_); }
    LibraryLockGuard(const LibraryLockGuard&) = delete;
    LibraryLockGuard& operator=(const LibraryLockGuard&) = delete;

  private:
    KSPIN_LOCK& lock_;
    KIRQL irql_;
};

void put32(UCHAR* buffer, std::size_t offset, ULONG value) {
    std::memcpy(buffer + offset, &value, sizeof value);
}
ULONG get32(const UCHAR* buffer, std::size_t offset) {
    ULONG v;
    std::memcpy(&v, buffer + offset, sizeof v);
    return v;
}

SrbifSynthetic* allocSynthetic(DeviceContext* d) {
    SrbifState& s = d->srbifState;
    SrbifSynthetic* syn = nullptr;
    {
        LibraryLockGuard g(s);
        syn = s.freeBlocks;
        if (syn) s.freeBlocks = syn->nextFree;
    }
    if (!syn)
        syn = static_cast<SrbifSynthetic*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(SrbifSynthetic), kSrbifBlockTag));
    if (!syn) return nullptr;
    std::memset(static_cast<void*>(syn), 0, sizeof *syn);
    syn->srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    KeInitializeEvent(&syn->done, NotificationEvent, FALSE);
    return syn;
}

void releaseStream(SrbifLibraryStream* ls) {
    if (ls && ls->refs.fetch_sub(1) == 1) {
        ls->~SrbifLibraryStream();
        ExFreePool(ls);
    }
}

void releaseSynthetic(DeviceContext* d, SrbifSynthetic* syn) {
    releaseStream(syn->stream);
    syn->stream = nullptr;
    SrbifState& s = d->srbifState;
    LibraryLockGuard g(s);
    syn->nextFree = s.freeBlocks;
    s.freeBlocks = syn;
}

// The stream behind a client's handle, referenced; only the channel that
// opened it may use it.
SrbifLibraryStream* lookupStream(DeviceContext* d, ULONG handle, PVOID owner) {
    SrbifState& s = d->srbifState;
    LibraryLockGuard g(s);
    for (SrbifLibraryStream* ls = s.libraryStreams; ls; ls = ls->next) {
        if (ls->handle != handle || ls->closed || ls->owner != owner) continue;
        ls->refs.fetch_add(1);
        return ls;
    }
    return nullptr;
}

// Takes the stream off the handle list; the caller gets the list's reference.
bool unlinkStream(SrbifState& s, SrbifLibraryStream* ls) {
    LibraryLockGuard g(s);
    for (SrbifLibraryStream** p = &s.libraryStreams; *p; p = &(*p)->next) {
        if (*p != ls) continue;
        *p = ls->next;
        ls->closed = true;
        return true;
    }
    return false;
}

PVOID ownerOf(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->FileObject;
}

// ---------------------------------------------------------------------------
// Cancellation of a pending read

void readCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceContext* d = deviceContextOf(deviceObject);
    SrbifState& s = d->srbifState;
    s.cancelsRunning.fetch_add(1);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* srb = static_cast<HW_STREAM_REQUEST_BLOCK*>(irp->Tail.Overlay.DriverContext[0]);
    // A read not yet in its queue is marked and completes as cancelled
    // when it gets there.
    const bool taken = srb && srbifCancelRead(d, srb) == SrbifCancelOutcome::kTaken;
    s.cancelsRunning.fetch_sub(1);
    if (taken) srbifFailBlock(d, srb, STATUS_CANCELLED);
}

// Takes the cancel routine off a read about to complete; when it is already
// running, waits until it has let go of the read's block.
void settleCancel(DeviceContext* d, PIRP irp) {
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) return;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
    while (d->srbifState.cancelsRunning.load() != 0) reached(deadline(1));
}

// ---------------------------------------------------------------------------
// Completion of the control request a block served

ULONG libraryState(ULONG ksState) {
    switch (ksState) {
        case KSSTATE_PAUSE:
            return 1;
        case KSSTATE_RUN:
            return 2;
        default:
            return 0;
    }
}

bool succeeded(NTSTATUS status) {
    return NT_SUCCESS(status) && status != STATUS_TIMEOUT;
}

void libraryComplete(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb, PVOID context) {
    auto* syn = static_cast<SrbifSynthetic*>(context);
    const NTSTATUS status = srb->Status;
    if (!syn->irp) {
        // A step of the abort: its waiter reads the result and recycles it.
        syn->result = status;
        KeSetEvent(&syn->done, IO_NO_INCREMENT, FALSE);
        return;
    }
    PIRP irp = syn->irp;
    UCHAR* b = syn->buffer;
    if (syn->code == IOCTL_STREAM_READ) settleCancel(d, irp);
    if (status == STATUS_CANCELLED) {
        releaseSynthetic(d, syn);
        completeWithModuleStatus(d, irp, STATUS_CANCELLED, 0);
        return;
    }
    UCHAR moduleStatus = succeeded(status) ? kModuleStatusSuccess : kModuleStatusFailed;
    ULONG readUsed = 0;
    const bool streamCode = familyOf(syn->code) == Family::Stream;
    if (streamCode) put32(b, kStreamRequestStatusOffset, static_cast<ULONG>(status));
    switch (syn->code) {
        case IOCTL_STREAM_OPEN:
            if (succeeded(status)) {
                SrbifState& s = d->srbifState;
                SrbifLibraryStream* ls = syn->stream;
                ls->refs.fetch_add(1);  // the handle list's
                {
                    LibraryLockGuard g(s);
                    ls->next = s.libraryStreams;
                    s.libraryStreams = ls;
                }
                put32(b, offsetof(StreamHeader, streamHandle), ls->handle);
            } else if (status == STATUS_UNSUCCESSFUL) {
                moduleStatus = kModuleStatusOutOfRange;
            }
            break;
        case IOCTL_STREAM_CLOSE:
            if (succeeded(status) && unlinkStream(d->srbifState, syn->stream))
                releaseStream(syn->stream);
            break;
        case IOCTL_STREAM_GET_STATE:
            // Pause answers "no data" with a valid state.
            if (status == STATUS_NO_DATA_DETECTED) moduleStatus = kModuleStatusSuccess;
            if (moduleStatus == kModuleStatusSuccess)
                put32(b, offsetof(StreamStateRequest, state),
                      libraryState(srb->CommandData.StreamState));
            break;
        case IOCTL_STREAM_PROPOSE_FORMAT:
        case IOCTL_STREAM_SET_FORMAT:
            if (!succeeded(status)) moduleStatus = kModuleStatusOutOfRange;
            break;
        case IOCTL_STREAM_READ: {
            const KS_FRAME_INFO& fi = syn->read.FrameInfo;
            readUsed = syn->read.Header.DataUsed;
            put32(b, offsetof(StreamReadReply, dataUsed), syn->read.Header.DataUsed);
            put32(b, offsetof(StreamReadReply, pictureNumberLow),
                  static_cast<ULONG>(fi.PictureNumber));
            put32(b, offsetof(StreamReadReply, pictureNumberHigh),
                  static_cast<ULONG>(static_cast<ULONGLONG>(fi.PictureNumber) >> 32));
            put32(b, offsetof(StreamReadReply, dropCountLow), static_cast<ULONG>(fi.DropCount));
            put32(b, offsetof(StreamReadReply, dropCountHigh),
                  static_cast<ULONG>(static_cast<ULONGLONG>(fi.DropCount) >> 32));
            break;
        }
        default:
            break;
    }
    const ULONG code = syn->code;
    releaseSynthetic(d, syn);
    if (code == IOCTL_STREAM_READ && !irp->Cancel) {
        // A read answers its header and the bytes of image it holds, not the
        // whole area the client offered: a frame is a fraction of the image
        // size, and every byte answered crosses to the client.
        const ULONG outputLength =
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
        const ULONGLONG answered = ULONGLONG{kStreamDataOffset} + readUsed;
        b[0] = moduleStatus;
        completeRequest(d, irp, STATUS_SUCCESS,
                        static_cast<ULONG_PTR>(std::min<ULONGLONG>(answered, outputLength)));
        return;
    }
    completeWithModuleStatus(d, irp, STATUS_SUCCESS, moduleStatus);
}

NTSTATUS answerNow(DeviceContext* d, PIRP irp, UCHAR moduleStatus) {
    completeWithModuleStatus(d, irp, STATUS_SUCCESS, moduleStatus);
    return STATUS_SUCCESS;
}

NTSTATUS submitPending(DeviceContext* d, PIRP irp, SrbifSynthetic* syn) {
    IoMarkIrpPending(irp);
    SRBIF_ReceiveSRB(d, &syn->srb, libraryComplete, syn);
    return STATUS_PENDING;
}

// Runs one step of the abort and waits for it.
NTSTATUS runStep(DeviceContext* d, SrbifLibraryStream* ls, ULONG command, ULONG state) {
    SrbifSynthetic* syn = allocSynthetic(d);
    if (!syn) return STATUS_INSUFFICIENT_RESOURCES;
    syn->srb.Command = command;
    syn->srb.StreamObject = &ls->object;
    syn->srb.CommandData.StreamState = state;
    SRBIF_ReceiveSRB(d, &syn->srb, libraryComplete, syn);
    KeWaitForSingleObject(&syn->done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS result = syn->result;
    releaseSynthetic(d, syn);
    return result;
}

}  // namespace

NTSTATUS SRBIF_StreamControl(DeviceContext* device, PIRP irp, ULONG code, UCHAR* buffer,
                             ULONG length) {
    (void)length;  // the layout's lengths were checked by the dispatch
    if (code == IOCTL_STREAM_FORMAT_INFO)
        return answerNow(device, irp, srbifFormatInfo(device, buffer));

    struct Row {
        ULONG code;
        enum Kind { None, Format, State, Data } kind;
        bool createsStream;
        ULONG command;
    };
    // Searched in order.
    static constexpr Row kRows[] = {
        {IOCTL_STREAM_OPEN, Row::Format, true, SRB_OPEN_STREAM},
        {IOCTL_STREAM_CLOSE, Row::None, false, SRB_CLOSE_STREAM},
        {IOCTL_STREAM_GET_STATE, Row::State, false, SRB_GET_STREAM_STATE},
        {IOCTL_STREAM_SET_STATE, Row::State, false, SRB_SET_STREAM_STATE},
        {IOCTL_STREAM_PROPOSE_FORMAT, Row::Format, false, SRB_PROPOSE_DATA_FORMAT},
        {IOCTL_STREAM_SET_FORMAT, Row::Format, false, SRB_SET_DATA_FORMAT},
        {IOCTL_STREAM_READ, Row::Data, false, SRB_READ_DATA},
    };
    const Row* row = nullptr;
    for (const Row& r : kRows)
        if (r.code == code) {
            row = &r;
            break;
        }
    if (!row) {
        completeRequest(device, irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    SrbifLibraryStream* ls = nullptr;
    if (!row->createsStream) {
        ls = lookupStream(device, get32(buffer, offsetof(StreamHeader, streamHandle)),
                          ownerOf(irp));
        if (!ls) return answerNow(device, irp, kModuleStatusBadStreamHandle);
    }
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    if (row->kind == Row::Format) {
        StreamFormatRequest f;
        std::memcpy(&f, buffer, sizeof f);
        if (!srbifLibraryFormat(device, f.width, f.height, f.bitCount, f.compression, f.imageSize,
                                f.frameIntervalMs, &format)) {
            releaseStream(ls);
            return answerNow(device, irp, kModuleStatusOutOfRange);
        }
    }
    SrbifSynthetic* syn = allocSynthetic(device);
    if (!syn) {
        releaseStream(ls);
        return answerNow(device, irp, kModuleStatusNoResources);
    }
    if (row->createsStream) {
        ls = static_cast<SrbifLibraryStream*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(SrbifLibraryStream), kSrbifBlockTag));
        if (!ls) {
            releaseSynthetic(device, syn);
            return answerNow(device, irp, kModuleStatusNoResources);
        }
        new (ls) SrbifLibraryStream{};
        ls->object.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
        ls->object.StreamNumber = 0;
        ls->owner = ownerOf(irp);
        ls->refs.store(1);  // this request's
        SrbifState& s = device->srbifState;
        LibraryLockGuard g(s);
        do {
            ls->handle = ++s.nextHandle;
        } while (ls->handle == 0);
    }
    syn->irp = irp;
    syn->code = code;
    syn->buffer = buffer;
    syn->stream = ls;
    syn->srb.Command = row->command;
    syn->srb.StreamObject = &ls->object;
    switch (row->kind) {
        case Row::Format:
            syn->format = format;
            syn->srb.CommandData.Data = &syn->format;
            break;
        case Row::State: {
            static constexpr ULONG kStates[] = {KSSTATE_STOP, KSSTATE_PAUSE, KSSTATE_RUN};
            const ULONG asked = get32(buffer, offsetof(StreamStateRequest, state));
            // Any other value asks for nothing: acquire leaves the state.
            syn->srb.CommandData.StreamState = asked < 3 ? kStates[asked] : KSSTATE_ACQUIRE;
            break;
        }
        case Row::Data: {
            SRB_VIDEO_READ_HEADER& r = syn->read;
            r.Header.Size = sizeof(KSSTREAM_HEADER);
            r.Header.FrameExtent = get32(buffer, offsetof(StreamReadRequest, dataLength));
            r.Header.Data = buffer + kStreamDataOffset;
            syn->srb.CommandData.DataBufferArray = &syn->read;
            syn->srb.NumberOfBuffers = 1;
            // A read waits for a frame: the client may give up on it.
            irp->Tail.Overlay.DriverContext[0] = &syn->srb;
            syn->inHand.srb = &syn->srb;
            srbifReadArriving(device, &syn->inHand);
            IoSetCancelRoutine(irp, readCancel);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                srbifReadWithdrawn(device, &syn->inHand);
                releaseSynthetic(device, syn);
                completeWithModuleStatus(device, irp, STATUS_CANCELLED, 0);
                return STATUS_CANCELLED;
            }
            break;
        }
        case Row::None:
            break;
    }
    return submitPending(device, irp, syn);
}

NTSTATUS SRBIF_PropertyControl(DeviceContext* device, PIRP irp, ULONG code, UCHAR* buffer,
                               ULONG length) {
    (void)length;
    PropertyHeader h;
    std::memcpy(&h, buffer, sizeof h);
    SrbifSynthetic* syn = allocSynthetic(device);
    if (!syn) return answerNow(device, irp, kModuleStatusNoResources);
    syn->irp = irp;
    syn->code = code;
    syn->buffer = buffer;
    STREAM_PROPERTY_DESCRIPTOR& d = syn->descriptor;
    d.Property = &syn->property;
    if (code == IOCTL_VPI_PROPERTY_DEFAULT) {
        // A set of the control set's identifier 2 whose 20 data bytes name
        // the property to restore.
        syn->property = {kControlPropertySet, kControlRestoreDefault, 0};
        std::memcpy(syn->restore, &syn->property, sizeof syn->property);
        std::memcpy(syn->restore + kPropertyHeaderLength,
                    buffer + offsetof(PropertyHeader, propertySet), 20);
        d.PropertyInfo = syn->restore;
        d.PropertyInputSize = d.PropertyOutputSize = sizeof syn->restore;
        syn->srb.Command = SRB_SET_DEVICE_PROPERTY;
    } else {
        // The property header (set, identifier, flags) and the data, as the
        // minidriver's descriptor carries them.
        syn->property = {h.propertySet, h.propertyId, 0};
        d.PropertyInfo = buffer + offsetof(PropertyHeader, propertySet);
        d.PropertyInputSize = d.PropertyOutputSize = kPropertyHeaderLength + h.dataLengthOrEvent;
        syn->srb.Command =
            code == IOCTL_VPI_PROPERTY_SET ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    }
    syn->srb.CommandData.PropertyInfo = &syn->descriptor;
    return submitPending(device, irp, syn);
}

NTSTATUS SRBIF_AbortLibraryStreams(DeviceContext* device, PIRP irp) {
    SrbifState& s = device->srbifState;
    NTSTATUS last = STATUS_SUCCESS;
    UCHAR moduleStatus = kModuleStatusSuccess;
    for (;;) {
        SrbifLibraryStream* ls;
        {
            LibraryLockGuard g(s);
            ls = s.libraryStreams;
            if (ls) {
                s.libraryStreams = ls->next;
                ls->closed = true;
            }
        }
        if (!ls) break;
        NTSTATUS st = runStep(device, ls, SRB_SET_STREAM_STATE, KSSTATE_PAUSE);
        if (NT_SUCCESS(st)) st = runStep(device, ls, SRB_SET_STREAM_STATE, KSSTATE_STOP);
        // The stream is closed even after a failed state step, so that the
        // abort leaves nothing open; the caller still learns of the failure,
        // which the close's own success must not hide.
        const NTSTATUS closed = runStep(device, ls, SRB_CLOSE_STREAM, 0);
        if (NT_SUCCESS(st)) st = closed;
        last = st;
        releaseStream(ls);
        if (!NT_SUCCESS(st)) {
            moduleStatus = kModuleStatusAbortStepFailed;
            break;
        }
    }
    completeWithModuleStatus(device, irp, last, moduleStatus);
    return last;
}

void srbifFreeLibrary(DeviceContext* device) {
    SrbifState& s = device->srbifState;
    SrbifSynthetic* blocks;
    SrbifLibraryStream* streams;
    {
        LibraryLockGuard g(s);
        blocks = s.freeBlocks;
        s.freeBlocks = nullptr;
        streams = s.libraryStreams;
        s.libraryStreams = nullptr;
    }
    while (blocks) {
        SrbifSynthetic* next = blocks->nextFree;
        ExFreePool(blocks);
        blocks = next;
    }
    while (streams) {
        SrbifLibraryStream* next = streams->next;
        streams->closed = true;
        releaseStream(streams);  // the handle list's reference
        streams = next;
    }
}
