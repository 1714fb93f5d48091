#include "driver/camera/usbstrm.h"

#include <cstring>
#include <thread>

#include "driver/core/device_context.h"

namespace {

// An event used as a mutex; null takes nothing (the caller holds it already).
class EventLock {
  public:
    explicit EventLock(PKEVENT event) : event_(event) {
        if (event_) KeWaitForSingleObject(event_, Executive, KernelMode, FALSE, nullptr);
    }
    ~EventLock() {
        if (event_) KeSetEvent(event_, IO_NO_INCREMENT, FALSE);
    }
    EventLock(const EventLock&) = delete;
    EventLock& operator=(const EventLock&) = delete;

  private:
    PKEVENT event_;
};

bool endless(const UsbStream* s) {
    return ReadAcquire(&s->transfersLeft) >= kEndlessTransfers;
}

void freeTransfer(StreamTransfer* t) {
    if (t->irp) IoFreeIrp(t->irp);
    if (t->urb) ExFreePool(t->urb);
    if (t->buffer) ExFreePool(t->buffer);
    ExFreePool(t);
}

void startRecovery(UsbStream* s) {
    InterlockedExchange(&s->active, 0);
    // Marked on the stream, run by the device's one reserved item: a stream
    // destroyed meanwhile is simply not found, and an empty node pool cannot
    // lose the recovery (the stream would stay stopped for good).
    InterlockedExchange(&s->recoveryPending, 1);
    workerQueueReserved(s->device, &s->device->streams.recovery, USBSTRM_Crisis, nullptr, nullptr);
}

// The owner of a failed non-isochronous stream hears of it once per start.
void reportFailure(UsbStream* s) {
    if (s->isochronous || s->failed == nullptr) return;
    if (InterlockedExchange(&s->failureReported, 1) == 0) s->failed(s->device, s);
}

}  // namespace

NTSTATUS USBSTRM_BuildTransfer(StreamTransfer* t) {
    UsbStream* s = t->stream;
    if (!t->urb || !t->irp) return STATUS_UNSUCCESSFUL;
    if (ReadAcquire(&s->transfersLeft) <= 0) return STATUS_UNSUCCESSFUL;
    if (!s->hasPipe) return STATUS_IO_DEVICE_ERROR;
    if (!t->buffer) return STATUS_INSUFFICIENT_RESOURCES;
    USHORT size = t->urbSize;
    USHORT function = t->urb->UrbHeader.Function;
    std::memset(t->urb, 0, size);
    t->urb->UrbHeader.Length = size;
    t->urb->UrbHeader.Function = function;
    ULONG count = s->packetsPerTransfer;
    if (!endless(s)) {
        LONG left = InterlockedDecrement(&s->transfersLeft);
        if (left < 0) {
            InterlockedIncrement(&s->transfersLeft);
            return STATUS_UNSUCCESSFUL;
        }
        if (left == 0) count = static_cast<ULONG>(s->packetsInLast);
        if (count > s->packetsPerTransfer) count = s->packetsPerTransfer;
    }
    ULONG packet = s->pipe.MaximumPacketSize;
    ULONG length = count * packet;
    if (s->isochronous) {
        _URB_ISOCH_TRANSFER& iso = t->urb->UrbIsochronousTransfer;
        iso.PipeHandle = s->pipe.PipeHandle;
        iso.TransferFlags =
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
        iso.TransferBufferLength = length;
        iso.TransferBuffer = t->buffer;
        iso.NumberOfPackets = count;
        for (ULONG i = 0; i < count; ++i) iso.IsoPacket[i].Offset = i * packet;
    } else {
        _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = t->urb->UrbBulkOrInterruptTransfer;
        bulk.PipeHandle = s->pipe.PipeHandle;
        bulk.TransferFlags =
            s->out ? USBD_SHORT_TRANSFER_OK : (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        if (s->out) {
            // Only what the owner supplied goes out: the last transfer of a
            // finite stream is rounded up to whole packets, and the bytes past
            // the data must not reach the camera.
            ULONG supplied = s->fill ? s->fill(s->device, t->buffer, length) : 0;
            if (supplied < length) length = supplied;
            // Nothing to send (the owner's data has ended, or its block was
            // aborted) is no transfer: a zero-length packet would reach the
            // camera as one.
            if (length == 0) return STATUS_UNSUCCESSFUL;
        }
        bulk.TransferBufferLength = length;
        bulk.TransferBuffer = t->buffer;
    }
    t->record.routine = USBSTRM_Complete;
    t->record.context = t;
    USBIF_PrepareAsync(s->device, t->irp, t->urb, &t->record);
    return STATUS_SUCCESS;
}

namespace {

NTSTATUS submit(StreamTransfer* t) {
    InterlockedIncrement(&t->stream->outstanding);
    return USBIF_CallLower(t->stream->device, t->irp);
}

void deliverIsochronous(UsbStream* s, StreamTransfer* t) {
    const _URB_ISOCH_TRANSFER& iso = t->urb->UrbIsochronousTransfer;
    ULONG packets =
        iso.NumberOfPackets <= s->packetsPerTransfer ? iso.NumberOfPackets : s->packetsPerTransfer;
    ULONG packetSize = s->pipe.MaximumPacketSize;
    bool anyGood = false;
    for (ULONG i = 0; i < packets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& p = iso.IsoPacket[i];
        if (!USBD_SUCCESS(p.Status)) continue;
        anyGood = true;
        InterlockedExchange(&s->errorFlag, 0);
        InterlockedExchange(&s->crisisCount, 0);
        InterlockedExchange(&s->lastGoodMs, static_cast<LONG>(USBSTRM_Now(s->device)));
        // The bus reports what it wrote; never hand on bytes outside the packet's slot.
        ULONG offset = i * packetSize;
        ULONG length = p.Length <= packetSize ? p.Length : packetSize;
        if (offset + length > t->bufferLength)
            length = offset < t->bufferLength ? t->bufferLength - offset : 0;
        if (length > 0) {
            if (s->data) s->data(s->device, t->buffer + offset, length);
        } else if (!endless(s)) {
            // An empty packet carried none of the stream's bytes: they are
            // still to come, so the stream asks for one packet more.
            if (InterlockedIncrement(&s->packetsInLast) >
                static_cast<LONG>(s->packetsPerTransfer)) {
                InterlockedExchangeAdd(&s->packetsInLast,
                                       -static_cast<LONG>(s->packetsPerTransfer));
                InterlockedIncrement(&s->transfersLeft);
            }
        }
    }
    if (!anyGood) {
        InterlockedExchange(&s->errorFlag, 1);
        startRecovery(s);
    }
}

}  // namespace

NTSTATUS USBSTRM_Complete(DeviceContext*, PIRP irp, PURB urb, PVOID context) {
    auto* t = static_cast<StreamTransfer*>(context);
    UsbStream* s = t->stream;
    if (InterlockedIncrement(&s->nesting) != 1) {
        InterlockedExchange(&s->errorFlag, 1);
        startRecovery(s);
    }
    // Transfers of an earlier start are freed, never resubmitted or delivered.
    bool current = t->generation == static_cast<ULONG>(ReadAcquire(&s->generation));
    if (ReadAcquire(&s->active) && current) {
        bool failed = !NT_SUCCESS(irp->IoStatus.Status) || USBD_ERROR(urb->UrbHeader.Status);
        if (failed) {
            // One failed transfer is tolerated on a stream that runs for
            // ever; a second in a row is not. A finite bulk stream has lost
            // bytes it was started for: it has failed at once.
            if (ReadAcquire(&s->errorFlag) || (!s->isochronous && !endless(s))) {
                InterlockedExchange(&s->errorFlag, 1);
                reportFailure(s);
                startRecovery(s);
            } else {
                InterlockedExchange(&s->errorFlag, 1);
            }
        } else if (s->isochronous) {
            deliverIsochronous(s, t);
        } else {
            ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (moved > t->bufferLength) moved = t->bufferLength;
            if (s->data) s->data(s->device, t->buffer, moved);
        }
    }
    bool resubmitted = false;
    if (ReadAcquire(&s->active) && current) {
        if (NT_SUCCESS(USBSTRM_BuildTransfer(t))) {
            submit(t);
            resubmitted = true;
        }
    } else if (ReadAcquire(&s->errorFlag) && !endless(s) && current) {
        // The failed transfer's bytes are still owed.
        InterlockedIncrement(&s->transfersLeft);
    }
    if (!resubmitted) freeTransfer(t);
    InterlockedDecrement(&s->nesting);
    // Last touch of the stream: once outstanding reaches zero a destroy may free it.
    InterlockedDecrement(&s->outstanding);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

// Waits, polling, until nothing is outstanding or `ms` have passed.
bool drain(UsbStream* s, ULONG ms) {
    LONGLONG until = deadline(ms);
    while (ReadAcquire(&s->outstanding) > 0) {
        if (reached(until)) return ReadAcquire(&s->outstanding) == 0;
        // Completions run on other threads; spinning without giving way
        // would hold a core the bus threads need to return them.
        std::this_thread::yield();
    }
    return true;
}

void stopStream(UsbStream* s, bool lockHeld, bool fromRecovery);

// How long a start lets the last start's transfers come back by themselves.
constexpr ULONG kRestartDrainMs = 2;

NTSTATUS startStream(UsbStream* s, ULONG totalBytes, StreamDataRoutine data, StreamFillRoutine fill,
                     StreamResetRoutine reset, StreamFailRoutine failed, bool lockHeld) {
    DeviceContext* device = s->device;
    // The owner's start is one step with the stops and recoveries of the
    // stream, never interleaved with them.
    EventLock lock(lockHeld ? nullptr : &s->streamLock);
    if (s->out && !fill) return STATUS_INVALID_PARAMETER;
    // Transfers of the last start are still out (started again without a
    // stop, or a finite stream's last completion still on its way out after
    // handing on its bytes): they are stopped first. Left running, one of
    // them could take a transfer of this start for its own generation, whose
    // bytes are then dropped, and they read what this start rewrites.
    // Most often it is only that completion's last steps: it is let go
    // without the pipe requests of a full stop.
    if (ReadAcquire(&s->outstanding) > 0) {
        InterlockedExchange(&s->active, 0);
        if (!drain(s, kRestartDrainMs)) stopStream(s, true, lockHeld);
    }
    s->data = data;
    s->fill = fill;
    s->reset = reset;
    s->failed = failed;
    InterlockedExchange(&s->failureReported, 0);
    if (!lockHeld) {
        // The owner's start: what was asked of the start before is void.
        InterlockedExchange(&s->recoveryPending, 0);
        InterlockedExchange(&s->running, 1);
    }
    // Transfers of an earlier start that are still out belong to another
    // generation: they are freed when they come back, never resubmitted.
    ULONG generation = static_cast<ULONG>(InterlockedIncrement(&s->generation));
    InterlockedExchange(&s->errorFlag, 0);
    InterlockedExchange(&s->paused, 0);
    InterlockedExchange(&s->lastGoodMs, static_cast<LONG>(USBSTRM_Now(device)));
    InterlockedExchange(&s->active, 1);
    s->hasPipe = USBIF_GetPipeInfo(device, s->endpoint, &s->pipe);
    if (!s->hasPipe || s->pipe.MaximumPacketSize == 0) {
        s->hasPipe = false;
        InterlockedExchange(&s->active, 0);
        return STATUS_IO_DEVICE_ERROR;
    }
    ULONG packet = s->pipe.MaximumPacketSize;
    ULONG perTransfer = s->packetsPerTransfer * packet;
    if (totalBytes > 0) {
        ULONG left = totalBytes / perTransfer;
        ULONG rest = totalBytes % perTransfer;
        ULONG inLast = (rest + packet - 1) / packet;
        if (inLast != 0) {
            ++left;
        } else {
            inLast = s->packetsPerTransfer;
        }
        // A count that would read as "endless" cannot be a finite stream.
        if (left >= static_cast<ULONG>(kEndlessTransfers)) {
            InterlockedExchange(&s->active, 0);
            return STATUS_INVALID_PARAMETER;
        }
        InterlockedExchange(&s->transfersLeft, static_cast<LONG>(left));
        InterlockedExchange(&s->packetsInLast, static_cast<LONG>(inLast));
    } else {
        InterlockedExchange(&s->transfersLeft, kEndlessTransfers);
        InterlockedExchange(&s->packetsInLast, static_cast<LONG>(s->packetsPerTransfer));
    }
    USHORT urbSize = static_cast<USHORT>(s->isochronous ? GET_ISO_URB_SIZE(s->packetsPerTransfer)
                                                        : sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    USHORT function =
        s->isochronous ? URB_FUNCTION_ISOCH_TRANSFER : URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    StreamTransfer* built[kMaxTransfersInFlight] = {};
    ULONG count = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (; count < s->transfersInFlight; ++count) {
        auto* t = static_cast<StreamTransfer*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamTransfer), kUsbstrmTag));
        if (!t) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        std::memset(t, 0, sizeof *t);
        t->stream = s;
        t->generation = generation;
        t->urbSize = urbSize;
        t->urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbSize, kUsbstrmTag));
        t->bufferLength = perTransfer;
        // Zeroed, so nothing the pool held before ever reaches the camera or
        // the owner.
        t->buffer =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, perTransfer, kUsbstrmTag));
        t->irp = IoAllocateIrp(device->lowerDevice->StackSize, FALSE);
        if (t->urb) {
            std::memset(t->urb, 0, urbSize);
            t->urb->UrbHeader.Length = urbSize;
            t->urb->UrbHeader.Function = function;
        }
        if (t->buffer) std::memset(t->buffer, 0, perTransfer);
        if (!t->urb || !t->buffer || !t->irp) {
            freeTransfer(t);
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        status = USBSTRM_BuildTransfer(t);
        if (!NT_SUCCESS(status)) {
            freeTransfer(t);
            break;
        }
        built[count] = t;
    }
    // A finite stream may need fewer transfers than it keeps in flight, and
    // an outgoing one's owner may have fewer bytes ready than that.
    if (!NT_SUCCESS(status) && count > 0 &&
        (s->out || (!endless(s) && ReadAcquire(&s->transfersLeft) <= 0)))
        status = STATUS_SUCCESS;
    if (count == 0 && NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) {
        for (ULONG i = 0; i < count; ++i) freeTransfer(built[i]);
        stopStream(s, true, lockHeld);
        return status;
    }
    NTSTATUS refused = STATUS_SUCCESS;
    for (ULONG i = 0; i < count; ++i) {
        // A refused submission has been through its completion already.
        NTSTATUS sent = submit(built[i]);
        if (!NT_SUCCESS(sent) && NT_SUCCESS(refused)) refused = sent;
    }
    if (!NT_SUCCESS(refused)) {
        stopStream(s, true, lockHeld);
        return refused;
    }
    return STATUS_SUCCESS;
}

void stopStream(UsbStream* s, bool lockHeld, bool fromRecovery) {
    DeviceContext* device = s->device;
    EventLock lock(lockHeld ? nullptr : &s->streamLock);
    if (!fromRecovery) {
        // The owner's stop: nothing is to keep it going any more.
        InterlockedExchange(&s->running, 0);
        InterlockedExchange(&s->recoveryPending, 0);
    }
    if (s->isochronous) InterlockedExchange(&s->errorFlag, 0);
    InterlockedExchange(&s->active, 0);
    if (!s->isochronous) USBIF_PipeRequest(device, URB_FUNCTION_ABORT_PIPE, s->endpoint);
    ULONG limit = (fromRecovery || ReadAcquire(&s->paused)) ? kStopWaitRecoveryMs : kStopWaitMs;
    drain(s, limit);
    USBIF_PipeRequest(device, URB_FUNCTION_RESET_PIPE, s->endpoint);
    if (s->isochronous && ReadAcquire(&s->outstanding) > 0) {
        USBIF_PipeRequest(device, URB_FUNCTION_ABORT_PIPE, s->endpoint);
        drain(s, limit);
    }
    s->hasPipe = false;
}

// The last stream of the device that `matches`, or null.
template <typename Match>
UsbStream* findStream(DeviceContext* device, Match matches) {
    StreamList& list = device->streams;
    UsbStream* found = nullptr;
    KIRQL irql = KfAcquireSpinLock(&list.lock);
    for (UsbStream* s = list.head; s; s = s->next)
        if (matches(*s)) found = s;
    KfReleaseSpinLock(&list.lock, irql);
    return found;
}

// The stream of the device with this id, or null when it has been destroyed.
UsbStream* findById(DeviceContext* device, ULONG id) {
    return findStream(device, [id](const UsbStream& s) { return s.id == id; });
}

}  // namespace

ULONG USBSTRM_Now(DeviceContext* device) {
    return tickMilliseconds(device);
}

NTSTATUS USBSTRM_Create(DeviceContext* device, LONG interfaceNumber, UCHAR endpoint,
                        ULONG transfersInFlight, ULONG packetsPerTransfer, const char* name,
                        UsbStream** stream) {
    *stream = nullptr;
    if (transfersInFlight == 0 || transfersInFlight > kMaxTransfersInFlight ||
        packetsPerTransfer == 0 || packetsPerTransfer > kMaxPacketsPerTransfer) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* s = static_cast<UsbStream*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(UsbStream), kUsbstrmTag));
    if (!s) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(static_cast<void*>(s), 0, sizeof(UsbStream));
    StreamList& list = device->streams;
    s->device = device;
    s->id = static_cast<ULONG>(InterlockedIncrement(&list.nextId));
    s->endpoint = endpoint;
    s->interfaceNumber = interfaceNumber;
    s->name = name;
    s->packetsPerTransfer = packetsPerTransfer;
    s->transfersInFlight = transfersInFlight;
    s->isochronous = endpoint == kIsochronousEndpoint;
    s->out = endpoint == kBulkOutEndpoint;
    KeInitializeEvent(&s->streamLock, SynchronizationEvent, TRUE);
    KIRQL irql = KfAcquireSpinLock(&list.lock);
    UsbStream** tail = &list.head;
    while (*tail) tail = &(*tail)->next;
    *tail = s;
    KfReleaseSpinLock(&list.lock, irql);
    InterlockedExchange(&list.pipeFailure, 0);
    *stream = s;
    return STATUS_SUCCESS;
}

void USBSTRM_Destroy(UsbStream** stream) {
    UsbStream* s = *stream;
    if (!s) return;
    DeviceContext* device = s->device;
    StreamList& list = device->streams;
    {
        // A recovery runs on the worker; from there none is running now.
        EventLock recovery(onWorkerThread(device) ? nullptr : &list.recoveryLock);
        KIRQL irql = KfAcquireSpinLock(&list.lock);
        for (UsbStream** p = &list.head; *p; p = &(*p)->next) {
            if (*p == s) {
                *p = s->next;
                break;
            }
        }
        KfReleaseSpinLock(&list.lock, irql);
    }
    USBSTRM_Stop(s, false);
    // The stop gives up after its limits; the stream is only freed once every
    // transfer has come back, or a late completion would write into it.
    bool aborted = false;
    while (ReadAcquire(&s->outstanding) > 0) {
        if (!aborted) {
            USBIF_PipeRequest(device, URB_FUNCTION_ABORT_PIPE, s->endpoint);
            aborted = true;
        }
        std::this_thread::yield();
    }
    ExFreePool(s);
    *stream = nullptr;
}

UsbStream* USBSTRM_Find(DeviceContext* device, UCHAR endpoint) {
    return findStream(device, [endpoint](const UsbStream& s) { return s.endpoint == endpoint; });
}

NTSTATUS USBSTRM_Start(UsbStream* s, ULONG totalBytes, StreamDataRoutine data,
                       StreamFillRoutine fill, StreamResetRoutine reset, StreamFailRoutine failed) {
    return startStream(s, totalBytes, data, fill, reset, failed, false);
}

void USBSTRM_Stop(UsbStream* s, bool fromRecovery) {
    stopStream(s, fromRecovery, fromRecovery);
}

void USBSTRM_CheckStall(UsbStream* s, ULONG nowMs) {
    // A stream its owner runs is watched whether transfers are out or not:
    // one left stopped by a recovery that could not restart it is tried again
    // (each try counts towards the limit). One its owner stopped, one at the
    // limit and one with a recovery on the way are left alone.
    if (!s->isochronous || !ReadAcquire(&s->running) || ReadAcquire(&s->recoveryPending) ||
        ReadAcquire(&s->recovering))
        return;
    // Completions change both on other processors: read as they are written.
    if (ReadAcquire(&s->crisisCount) >= kCrisisLimit) return;
    if (nowMs - static_cast<ULONG>(ReadAcquire(&s->lastGoodMs)) <= kStallMs) return;
    InterlockedExchange(&s->errorFlag, 1);
    InterlockedExchange(&s->lastGoodMs, static_cast<LONG>(nowMs));
    startRecovery(s);
}

void USBSTRM_Tick(DeviceContext* device, ULONG nowMs) {
    StreamList& list = device->streams;
    KIRQL irql = KfAcquireSpinLock(&list.lock);
    for (UsbStream* s = list.head; s; s = s->next) {
        if (s->endpoint == kBulkOutEndpoint) continue;
        USBSTRM_CheckStall(s, nowMs);
    }
    KfReleaseSpinLock(&list.lock, irql);
}

NTSTATUS USBSTRM_Initialise(DeviceContext* device) {
    TickHook none = nullptr;
    device->tickHooks.streamWatchdogs.compare_exchange_strong(none, USBSTRM_Tick);
    return STATUS_SUCCESS;
}

namespace {

void recover(DeviceContext* device, UsbStream* s) {
    StreamList& list = device->streams;
    if (!s->isochronous) {
        InterlockedExchange(&list.pipeFailure, 1);
        return;
    }
    EventLock lock(&s->streamLock);
    // Its owner stopped it since the recovery was asked for: nothing to keep
    // going. (Not the error flag: a good packet that was on its way when the
    // recovery was asked for clears it, and the stream would stay stopped.)
    if (!ReadAcquire(&s->running)) return;
    if (ReadAcquire(&s->crisisCount) >= kCrisisLimit) return;  // stays stopped until started again
    InterlockedExchange(&s->recovering, 1);
    InterlockedIncrement(&s->crisisCount);
    USBSTRM_Stop(s, true);
    // The other streams, in list order; none can be unlinked while the
    // recovery lock is held.
    UsbStream* others[kMaxStreamsPerDevice];
    ULONG paused = 0;
    KIRQL irql = KfAcquireSpinLock(&list.lock);
    for (UsbStream* o = list.head; o && paused < kMaxStreamsPerDevice; o = o->next)
        if (o != s && ReadAcquire(&o->active)) others[paused++] = o;
    KfReleaseSpinLock(&list.lock, irql);
    for (ULONG i = 0; i < paused; ++i) {
        UsbStream* o = others[i];
        KeWaitForSingleObject(&o->streamLock, Executive, KernelMode, FALSE, nullptr);
        InterlockedExchange(&o->paused, 1);
        USBSTRM_Stop(o, true);
    }
    if (s->reset) s->reset(device, 1);
    LONG current = device->usbif.currentAlternate;
    LONG selected = 0;
    USBIF_SetCameraAlternate(device, s->interfaceNumber, 0, &selected);
    NTSTATUS status = USBIF_SetCameraAlternate(device, s->interfaceNumber, current, &selected);
    if (s->reset) s->reset(device, 0);
    for (ULONG i = 0; i < paused; ++i) {
        UsbStream* o = others[i];
        bool restart = NT_SUCCESS(status) && endless(o);
        InterlockedExchange(&o->paused, 0);
        if (restart) startStream(o, 0, o->data, o->fill, o->reset, o->failed, true);
        KeSetEvent(&o->streamLock, IO_NO_INCREMENT, FALSE);
    }
    if (NT_SUCCESS(status)) startStream(s, 0, s->data, s->fill, s->reset, s->failed, true);
    // The stall check waits its full time again from here.
    InterlockedExchange(&s->lastGoodMs, static_cast<LONG>(USBSTRM_Now(device)));
    InterlockedExchange(&s->recovering, 0);
}

}  // namespace

void USBSTRM_Crisis(DeviceContext* device, PVOID streamId, PVOID) {
    StreamList& list = device->streams;
    EventLock recovery(&list.recoveryLock);
    const ULONG only = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(streamId));
    ULONG ids[kMaxStreamsPerDevice];
    ULONG count = 0;
    KIRQL irql = KfAcquireSpinLock(&list.lock);
    for (UsbStream* s = list.head; s && count < kMaxStreamsPerDevice; s = s->next)
        if (only == 0 || s->id == only) ids[count++] = s->id;
    KfReleaseSpinLock(&list.lock, irql);
    for (ULONG i = 0; i < count; ++i) {
        // Destroyed since: nothing to recover.
        UsbStream* s = findById(device, ids[i]);
        if (!s || InterlockedExchange(&s->recoveryPending, 0) == 0) continue;
        recover(device, s);
    }
}
