// The stream interface: serialisation and dispatch of the request blocks of
// the capture minidriver and of the library, the per-stream state machine
// over the frame manager, read requests, frame delivery with pacing, the
// frame watchdog, power changes, and the module's start and stop.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "driver/core/device_context.h"
#include "driver/core/frame.h"
#include "driver/core/propman.h"
#include "driver/core/srbif.h"
#include "driver/core/srbif_internal.h"

namespace {

SrbifState& stateOf(DeviceContext* d) {
    return d->srbifState;
}

// ---------------------------------------------------------------------------
// Completion

void completeBlock(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    auto* node = static_cast<SrbCompletionNode*>(srb->SRBExtension);
    SrbCompletionRoutine routine = node ? node->routine : nullptr;
    PVOID context = node ? node->context : nullptr;
    if (node) {
        srb->SRBExtension = nullptr;
        nodeFree(&d->worker.nodes, node);
    }
    if (routine)
        routine(d, srb, context);
    else
        SRBIF_CompleteToMinidriver(d, srb);
}

void failBlock(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
    srb->Status = status;
    srb->ActualBytesTransferred = 0;
    completeBlock(d, srb);
}

SrbCompletionNode* nodeOf(HW_STREAM_REQUEST_BLOCK* srb) {
    return static_cast<SrbCompletionNode*>(srb->SRBExtension);
}

// ---------------------------------------------------------------------------
// Streams and their read queues (readLock)

class ReadLockGuard {
  public:
    explicit ReadLockGuard(SrbifState& s) : lock_(s.readLock), irql_(KfAcquireSpinLock(&lock_)) {}
    ~ReadLockGuard() { KfReleaseSpinLock(&lock_, irql_); }
    ReadLockGuard(const ReadLockGuard&) = delete;
    ReadLockGuard& operator=(const ReadLockGuard&) = delete;

  private:
    KSPIN_LOCK& lock_;
    KIRQL irql_;
};

// The linked stream of a stream object; the object itself is not read, so a
// block naming a stream that has gone finds nothing. readLock held.
SrbifStream* findStreamLocked(SrbifState& s, const HW_STREAM_OBJECT* object) {
    if (!object) return nullptr;
    for (SrbifStream* st = s.streams; st; st = st->next)
        if (st->streamObject == object) return st;
    return nullptr;
}

SrbifStream* findStream(SrbifState& s, const HW_STREAM_OBJECT* object) {
    ReadLockGuard g(s);
    return findStreamLocked(s, object);
}

// readLock held.
void appendRead(SrbifStream* st, HW_STREAM_REQUEST_BLOCK* srb) {
    srb->NextSRB = nullptr;
    if (st->readTail)
        st->readTail->NextSRB = srb;
    else
        st->readHead = srb;
    st->readTail = srb;
}

// readLock held.
HW_STREAM_REQUEST_BLOCK* popRead(SrbifStream* st) {
    HW_STREAM_REQUEST_BLOCK* srb = st->readHead;
    if (!srb) return nullptr;
    st->readHead = srb->NextSRB;
    if (!st->readHead) st->readTail = nullptr;
    srb->NextSRB = nullptr;
    return srb;
}

// readLock held.
void pushReadFront(SrbifStream* st, HW_STREAM_REQUEST_BLOCK* srb) {
    srb->NextSRB = st->readHead;
    st->readHead = srb;
    if (!st->readTail) st->readTail = srb;
}

// readLock held.
bool unlinkRead(SrbifStream* st, HW_STREAM_REQUEST_BLOCK* srb) {
    HW_STREAM_REQUEST_BLOCK* prev = nullptr;
    for (HW_STREAM_REQUEST_BLOCK* r = st->readHead; r; prev = r, r = r->NextSRB) {
        if (r != srb) continue;
        if (prev)
            prev->NextSRB = r->NextSRB;
        else
            st->readHead = r->NextSRB;
        if (st->readTail == r) st->readTail = prev;
        r->NextSRB = nullptr;
        return true;
    }
    return false;
}

bool anyReadQueuedLocked(SrbifState& s) {
    for (SrbifStream* st = s.streams; st; st = st->next)
        if (st->readHead) return true;
    return false;
}

// Completes every queued read of the stream with STATUS_CANCELLED.
void cancelQueuedReads(DeviceContext* d, SrbifStream* st) {
    SrbifState& s = stateOf(d);
    HW_STREAM_REQUEST_BLOCK* list;
    {
        ReadLockGuard g(s);
        list = st->readHead;
        st->readHead = st->readTail = nullptr;
    }
    while (list) {
        HW_STREAM_REQUEST_BLOCK* next = list->NextSRB;
        list->NextSRB = nullptr;
        failBlock(d, list, STATUS_CANCELLED);
        list = next;
    }
}

// Fills and deliveries that may still use a stream that has just been
// unlinked have finished once this returns.
void waitFills(SrbifState& s) {
    while (s.fillsRunning.load() != 0) reached(deadline(1));
}

ULONG nowMs(DeviceContext* d) {
    return tickMilliseconds(d);
}

ULONG imageSizeOf(const SrbifStream* st) {
    return st->format.VideoInfoHeader.bmiHeader.biSizeImage;
}

// ---------------------------------------------------------------------------
// Frame pacing

ULONG performanceMs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER count = KeQueryPerformanceCounter(&frequency);
    if (frequency.QuadPart <= 0) return 0;
    // In whole seconds first: a counter that has run for years times 1000
    // does not fit 64 bits. The value wraps in 32 bits like a tick count.
    const LONGLONG seconds = count.QuadPart / frequency.QuadPart;
    const LONGLONG rest = count.QuadPart % frequency.QuadPart;
    return static_cast<ULONG>(static_cast<ULONGLONG>(seconds) * 1000 +
                              static_cast<ULONGLONG>(rest * 1000 / frequency.QuadPart));
}

LONGLONG queryClock(DeviceContext* d, PVOID clock) {
    MinidriverCall call(d);
    if (!call.routines().masterClockQuery) return 0;
    return call.routines().masterClockQuery(clock);
}

ULONG framesDueAtLocked(SrbifStream* st, ULONG t);

// How many frame intervals are due now. readLock held; `clockTime` is the
// master clock's stream time when the stream has one.
ULONG framesDueLocked(SrbifStream* st, LONGLONG clockTime) {
    if (st->masterClock) {
        if (st->frameInterval <= 0) return 1;
        if (!st->clockStarted) {
            st->clockStarted = true;
            st->clockDue = clockTime;
            return 0;
        }
        if (clockTime < st->clockDue) return 0;
        ULONG steps = 0;
        while (st->clockDue <= clockTime) {
            st->clockDue += st->frameInterval;
            ++steps;
        }
        return steps;
    }
    if (st->frameIntervalMs == 0) return 1;
    return framesDueAtLocked(st, performanceMs());
}

// Without a master clock, whether a frame at `t` is due; changes nothing.
// readLock held.
bool frameDueAtLocked(const SrbifStream* st, ULONG t) {
    if (st->frameIntervalMs == 0) return true;
    if (st->dueMs == 0 && st->earliestMs == 0) return true;
    const LONG sinceLast = static_cast<LONG>(t - st->lastCallMs);
    const LONG left = static_cast<LONG>(st->dueMs - t);
    return static_cast<LONG>(t - st->earliestMs) > 0 &&
           (left < 0 || 2 * static_cast<LONGLONG>(left) <= 3 * static_cast<LONGLONG>(sinceLast));
}

// Without a master clock: framesDueLocked for a frame at `t`. readLock held.
ULONG framesDueAtLocked(SrbifStream* st, ULONG t) {
    if (st->frameIntervalMs == 0) return 1;
    const ULONG interval = st->frameIntervalMs;
    const bool due = frameDueAtLocked(st, t);
    if (st->dueMs == 0 && st->earliestMs == 0) st->dueMs = st->earliestMs = t;
    st->lastCallMs = t;
    if (!due) return 0;
    while (static_cast<LONG>(st->dueMs - (t + interval)) < 0) st->dueMs += interval;
    st->earliestMs = st->dueMs - interval;
    return 1;
}

// The frames counted lost go into the picture number and the drop count
// with the frame about to fill a read. readLock held.
void takeLostFramesLocked(SrbifStream* st) {
    if (st->framesLost == 0) return;
    st->pictureNumber += st->framesLost;
    st->dropCount += st->framesLost;
    st->framesLost = 0;
}

void restartPacing(SrbifStream* st) {
    st->frameInterval = st->format.VideoInfoHeader.AvgTimePerFrame;
    st->frameIntervalMs = static_cast<ULONG>(std::max<LONGLONG>(st->frameInterval, 0) / 10000);
    st->dueMs = st->earliestMs = st->lastCallMs = 0;
    st->clockDue = 0;
    st->clockStarted = false;
}

// ---------------------------------------------------------------------------
// Filling a read

void fillRead(DeviceContext* d, SrbifStream* st, HW_STREAM_REQUEST_BLOCK* srb, const UCHAR* image,
              ULONG length) {
    auto* read = static_cast<SRB_VIDEO_READ_HEADER*>(srb->CommandData.DataBufferArray);
    const ULONG imageSize = imageSizeOf(st);
    if (!read || !read->Header.Data || read->Header.FrameExtent < imageSize) {
        if (read) read->Header.DataUsed = 0;
        failBlock(d, srb, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    auto* data = static_cast<UCHAR*>(read->Header.Data);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG used;
    if (image) {
        if (length > imageSize) {
            // Longer than the negotiated size: the reader still gets a
            // buffer of the size it expects, marked as not a picture.
            std::memset(data, 0xFA, imageSize);
            used = imageSize;
        } else {
            std::memcpy(data, image, length);
            used = length;
        }
    } else {
        status = STATUS_TIMEOUT;
        std::memset(data, 0xFF, imageSize);
        used = imageSize;
    }
    read->Header.DataUsed = used;
    read->Header.OptionsFlags |=
        KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    read->Header.Duration = st->frameInterval;
    read->Header.PresentationTime.Numerator = 1;
    read->Header.PresentationTime.Denominator = 1;
    read->Header.PresentationTime.Time = st->masterClock ? queryClock(d, st->masterClock) : 0;
    read->FrameInfo.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    read->FrameInfo.dwFrameFlags = KS_VIDEO_FLAG_FRAME;
    read->FrameInfo.PictureNumber = st->pictureNumber.load();
    read->FrameInfo.DropCount = st->dropCount.load();
    srb->Status = status;
    srb->ActualBytesTransferred = used;
    completeBlock(d, srb);
}

// ---------------------------------------------------------------------------
// Reads on their way to the queue (readLock)

SrbifReadInHand* findInHandLocked(SrbifState& s, const HW_STREAM_REQUEST_BLOCK* srb) {
    for (SrbifReadInHand* e = s.readsInHand; e; e = e->next)
        if (e->srb == srb) return e;
    return nullptr;
}

void linkInHandLocked(SrbifState& s, SrbifReadInHand* entry) {
    entry->next = s.readsInHand;
    s.readsInHand = entry;
}

// Unlinks the entry; true when a cancel marked it meanwhile.
bool leaveInHandLocked(SrbifState& s, SrbifReadInHand* entry) {
    for (SrbifReadInHand** p = &s.readsInHand; *p; p = &(*p)->next) {
        if (*p != entry) continue;
        *p = entry->next;
        break;
    }
    entry->next = nullptr;
    return entry->cancelled;
}

// The read's entry: the one its maker linked beforehand, else `local`.
SrbifReadInHand* enterInHandLocked(SrbifState& s, HW_STREAM_REQUEST_BLOCK* srb,
                                   SrbifReadInHand* local) {
    SrbifReadInHand* e = findInHandLocked(s, srb);
    if (e) return e;
    *local = {srb, false, nullptr};
    linkInHandLocked(s, local);
    return local;
}

// ---------------------------------------------------------------------------
// Read handling (command 0; not serialised)

// A cancel may come at any time from another thread: until the read is in
// its stream's queue (where the cancel finds it) it stays in the in-hand
// list, and each step that decides the read's fate looks there first.
void handleRead(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    SrbifState& s = stateOf(d);
    SrbifReadInHand local;
    SrbifReadInHand* entry;
    SrbifStream* st;
    bool frameReady = false;
    bool cancelled = false;
    {
        ReadLockGuard g(s);
        entry = enterInHandLocked(s, srb, &local);
        st = findStreamLocked(s, srb->StreamObject);
        if (!st || st->state == KSSTATE_STOP) st = nullptr;
        if (!st || entry->cancelled) {
            cancelled = leaveInHandLocked(s, entry);
        } else {
            s.fillsRunning.fetch_add(1);
            if (!anyReadQueuedLocked(s)) s.lastDeliveryMs.store(nowMs(d));
            frameReady = st->frameWaiting.load();
        }
    }
    if (cancelled || !st) {
        failBlock(d, srb, cancelled ? STATUS_CANCELLED : STATUS_UNSUCCESSFUL);
        return;
    }
    // A read made inside a delivery (a completion routine asking for the
    // next frame) cannot take the frame manager's lock its caller holds.
    if (frameReady && !onWorkerThread(d)) {
        const LONGLONG clock = st->masterClock ? queryClock(d, st->masterClock) : 0;
        ULONG due;
        {
            ReadLockGuard g(s);
            due = framesDueLocked(st, clock);
        }
        if (due > 0) {
            st->pictureNumber += due;
            st->dropCount += due - 1;
            const UCHAR* image = nullptr;
            ULONG length = 0;
            if (Frame_GetReservedBuffer(d, &image, &length)) {
                bool take = false;
                if (image && length) {
                    ReadLockGuard g(s);
                    if (entry->cancelled) {
                        cancelled = leaveInHandLocked(s, entry);
                    } else if (st->frameWaiting.exchange(false)) {
                        leaveInHandLocked(s, entry);
                        takeLostFramesLocked(st);
                        take = true;
                    }
                }
                if (take) fillRead(d, st, srb, image, length);
                Frame_ReleaseReservedBuffer(d);
                if (take || cancelled) {
                    s.fillsRunning.fetch_sub(1);
                    if (cancelled) failBlock(d, srb, STATUS_CANCELLED);
                    return;
                }
            }
        }
    }
    bool stoppedMeanwhile = false;
    {
        ReadLockGuard g(s);
        cancelled = leaveInHandLocked(s, entry);
        if (!cancelled) {
            appendRead(st, srb);
            // A stop that came between the check and the append cancelled
            // the queue before this read was in it.
            if (st->state == KSSTATE_STOP) stoppedMeanwhile = unlinkRead(st, srb);
        }
    }
    s.fillsRunning.fetch_sub(1);
    if (cancelled || stoppedMeanwhile) failBlock(d, srb, STATUS_CANCELLED);
}

// ---------------------------------------------------------------------------
// The state machine (module lock held)

FrameFormat frameFormatOf(const KS_DATAFORMAT_VIDEOINFOHEADER& f) {
    FrameFormat out;
    const KS_BITMAPINFOHEADER& b = f.VideoInfoHeader.bmiHeader;
    out.width = static_cast<ULONG>(b.biWidth);
    out.height = static_cast<ULONG>(b.biHeight < 0 ? -b.biHeight : b.biHeight);
    out.bitCount = b.biBitCount;
    out.compression = b.biCompression;
    out.imageSize = b.biSizeImage;
    return out;
}

NTSTATUS pauseEnter(DeviceContext* d, SrbifStream* st) {
    SrbifState& s = stateOf(d);
    if (s.pausedOrRunning.fetch_add(1) == 0) {
        NTSTATUS status = Frame_Open(d, frameFormatOf(st->format));
        if (!NT_SUCCESS(status)) {
            Frame_Close(d);
            s.pausedOrRunning.fetch_sub(1);
            return status;
        }
        s.lastDeliveryMs.store(nowMs(d));
    }
    return STATUS_SUCCESS;
}

void pauseLeave(DeviceContext* d, SrbifStream* st) {
    SrbifState& s = stateOf(d);
    if (s.pausedOrRunning.fetch_sub(1) == 1) Frame_Close(d);
    cancelQueuedReads(d, st);
    st->frameWaiting.store(false);
}

NTSTATUS runEnter(DeviceContext* d, SrbifStream* st) {
    SrbifState& s = stateOf(d);
    if (s.runningCount++ == 0) {
        NTSTATUS status = Frame_Start(d);
        if (!NT_SUCCESS(status)) {
            --s.runningCount;
            return status;
        }
    }
    ReadLockGuard g(s);
    restartPacing(st);
    st->framesLost = 0;
    st->frameManagerDropsSeen = d->frame.framesDropped.load();
    return STATUS_SUCCESS;
}

void runLeave(DeviceContext* d, SrbifStream*) {
    SrbifState& s = stateOf(d);
    if (--s.runningCount == 0) Frame_Stop(d);
}

// The enter steps from stop up to `target`, undone on failure.
NTSTATUS enterUpTo(DeviceContext* d, SrbifStream* st, ULONG from, ULONG target) {
    if (from == KSSTATE_STOP && target != KSSTATE_STOP) {
        NTSTATUS status = pauseEnter(d, st);
        if (!NT_SUCCESS(status)) return status;
    }
    if (from != KSSTATE_RUN && target == KSSTATE_RUN) {
        NTSTATUS status = runEnter(d, st);
        if (!NT_SUCCESS(status)) {
            if (from == KSSTATE_STOP) pauseLeave(d, st);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

void leaveDownTo(DeviceContext* d, SrbifStream* st, ULONG from, ULONG target) {
    if (from == KSSTATE_RUN && target != KSSTATE_RUN) runLeave(d, st);
    if (from != KSSTATE_STOP && target == KSSTATE_STOP) pauseLeave(d, st);
}

void setStoredState(SrbifState& s, SrbifStream* st, ULONG state) {
    ReadLockGuard g(s);
    st->state = state;
}

NTSTATUS setStreamState(DeviceContext* d, SrbifStream* st, ULONG target) {
    SrbifState& s = stateOf(d);
    if (target == KSSTATE_ACQUIRE) return STATUS_SUCCESS;
    if (target != KSSTATE_STOP && target != KSSTATE_PAUSE && target != KSSTATE_RUN)
        return STATUS_INVALID_PARAMETER;
    const ULONG from = st->state;
    if (from == target) return STATUS_SUCCESS;
    if (st->suspended) {
        // Powered down: the steps are redone for the new state at power-up.
        setStoredState(s, st, target);
        if (target == KSSTATE_STOP) cancelQueuedReads(d, st);
        return STATUS_SUCCESS;
    }
    if (target == KSSTATE_STOP) setStoredState(s, st, target);
    NTSTATUS status;
    if ((from == KSSTATE_STOP) || (from == KSSTATE_PAUSE && target == KSSTATE_RUN)) {
        status = enterUpTo(d, st, from, target);
    } else {
        leaveDownTo(d, st, from, target);
        status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status)) setStoredState(s, st, target);
    return status;
}

// ---------------------------------------------------------------------------
// Commands (module lock held). Each sets the block's status and bytes; the
// block is completed by the caller after the lock is released.

void getStreamState(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    SrbifStream* st = findStream(stateOf(d), srb->StreamObject);
    if (!st) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    srb->CommandData.StreamState = st->state;
    srb->ActualBytesTransferred = sizeof(ULONG);
    srb->Status = st->state == KSSTATE_PAUSE ? STATUS_NO_DATA_DETECTED : STATUS_SUCCESS;
}

void getStreamProperty(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    SrbifStream* st = findStream(stateOf(d), srb->StreamObject);
    auto* desc = static_cast<STREAM_PROPERTY_DESCRIPTOR*>(srb->CommandData.PropertyInfo);
    if (!st || !desc || !desc->Property || !desc->PropertyInfo) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    const KSPROPERTY& p = *desc->Property;
    if (p.Set == KSPROPSETID_Connection && p.Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING) {
        if (desc->PropertyOutputSize < sizeof(KSALLOCATOR_FRAMING)) {
            srb->Status = STATUS_BUFFER_TOO_SMALL;
            return;
        }
        KSALLOCATOR_FRAMING f{};
        f.OptionsFlags = kAllocatorFramingOptions;
        f.PoolType = 1;
        f.Frames = 1;
        f.FrameSize = imageSizeOf(st);
        f.FileAlignment = 0;
        std::memcpy(desc->PropertyInfo, &f, sizeof f);
        srb->ActualBytesTransferred = sizeof f;
        srb->Status = STATUS_SUCCESS;
        return;
    }
    if (p.Set == PROPSETID_VIDCAP_DROPPEDFRAMES && p.Id == KSPROPERTY_DROPPEDFRAMES_CURRENT) {
        if (desc->PropertyOutputSize < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
            srb->Status = STATUS_BUFFER_TOO_SMALL;
            return;
        }
        KSPROPERTY_DROPPEDFRAMES_CURRENT_S f{};
        f.Property = p;
        f.PictureNumber = st->pictureNumber.load();
        f.DropCount = st->dropCount.load();
        f.AverageFrameSize = imageSizeOf(st);
        std::memcpy(desc->PropertyInfo, &f, sizeof f);
        srb->ActualBytesTransferred = sizeof f;
        srb->Status = STATUS_SUCCESS;
        return;
    }
    srb->Status = STATUS_NOT_IMPLEMENTED;
}

void proposeOrSetFormat(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb, bool set) {
    SrbifState& s = stateOf(d);
    SrbifStream* st = findStream(s, srb->StreamObject);
    if (!st) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER accepted;
    if (set && st->state != KSSTATE_STOP) {
        srb->Status = STATUS_UNSUCCESSFUL;
        return;
    }
    if (!srbifMatchFormat(d, static_cast<const KSDATAFORMAT*>(srb->CommandData.Data), &accepted)) {
        srb->Status = STATUS_UNSUCCESSFUL;
        return;
    }
    if (set) {
        {
            ReadLockGuard g(s);
            st->format = accepted;
        }
        s.deviceFormat = accepted;
    }
    srb->Status = STATUS_SUCCESS;
}

void getStreamInfo(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    SrbifState& s = stateOf(d);
    constexpr ULONG need = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION) * kSrbifStreamCount;
    auto* out = static_cast<HW_STREAM_DESCRIPTOR*>(srb->CommandData.Data);
    // The room at Data comes in ActualBytesTransferred.
    if (!out || srb->ActualBytesTransferred < need) {
        srb->ActualBytesTransferred = 0;
        srb->Status = STATUS_IO_DEVICE_ERROR;
        return;
    }
    HW_STREAM_DESCRIPTOR desc{};
    HW_STREAM_HEADER& h = desc.StreamHeader;
    h.NumberOfStreams = kSrbifStreamCount;
    h.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
    h.NumDevPropArrayEntries = kPropertySetCount;
    h.DevicePropertiesArray = s.infoTokens[kSrbifTokenProperties];
    h.NumDevEventArrayEntries = 2;
    h.DeviceEventsArray = s.infoTokens[kSrbifTokenEvents];
    h.Topology = s.infoTokens[kSrbifTokenTopology];
    {
        MinidriverCall call(d);
        h.DeviceEventRoutine = call.routines().deviceEventToken;
    }
    HW_STREAM_INFORMATION& i = desc.StreamInfo;
    i.NumberOfPossibleInstances = kSrbifPossibleInstances;
    i.DataFlow = KSPIN_DATAFLOW_OUT;
    i.DataAccessible = 1;
    {
        KIRQL irql = KfAcquireSpinLock(&s.formatLock);
        i.NumberOfFormatArrayEntries = s.formatCount;
        KfReleaseSpinLock(&s.formatLock, irql);
    }
    i.StreamFormatsArray = s.infoTokens[kSrbifTokenFormats];
    i.NumStreamPropArrayEntries = 2;
    i.StreamPropertiesArray = s.infoTokens[kSrbifTokenStreamProperties];
    i.Category = s.infoTokens[kSrbifTokenPinName];
    i.Name = s.infoTokens[kSrbifTokenPinName];
    i.MediumsCount = 1;
    i.Mediums = s.infoTokens[kSrbifTokenMedium];
    std::memcpy(out, &desc, sizeof desc);
    srb->ActualBytesTransferred = need;
    srb->Status = STATUS_SUCCESS;
}

void openStream(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    SrbifState& s = stateOf(d);
    HW_STREAM_OBJECT* object = srb->StreamObject;
    if (!object || object->StreamNumber >= kSrbifStreamCount) {
        srb->Status = STATUS_TOO_MANY_NODES;
        return;
    }
    NTSTATUS status = Frame_AcquireVideo(d);
    if (!NT_SUCCESS(status)) {
        srb->Status = status;
        return;
    }
    ++s.openStreams;
    KS_DATAFORMAT_VIDEOINFOHEADER accepted;
    SrbifStream* st = nullptr;
    if (!srbifMatchFormat(d, static_cast<const KSDATAFORMAT*>(srb->CommandData.Data), &accepted)) {
        status = STATUS_UNSUCCESSFUL;
    } else if (s.instances >= kSrbifPossibleInstances) {
        status = STATUS_TOO_MANY_NODES;
    } else {
        st = static_cast<SrbifStream*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(SrbifStream), kSrbifStreamTag));
        status = st ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        --s.openStreams;
        Frame_ReleaseVideo(d);
        srb->Status = status;
        return;
    }
    new (st) SrbifStream{};
    st->streamObject = object;
    st->fromMinidriver = nodeOf(srb) && !nodeOf(srb)->routine;
    st->state = KSSTATE_STOP;
    st->format = accepted;
    s.deviceFormat = accepted;
    restartPacing(st);
    {
        MinidriverCall call(d);
        object->ReceiveDataPacket = call.routines().streamReceive;
        object->ReceiveControlPacket = call.routines().streamReceive;
    }
    object->HwStreamExtension = st;
    object->Dma = FALSE;
    object->Pio = TRUE;
    object->StreamHeaderMediaSpecific = kMediaSpecificHeaderSize;
    {
        ReadLockGuard g(s);
        st->next = s.streams;
        s.streams = st;
        ++s.instances;
    }
    InterlockedIncrement(&d->openSessions);
    srb->Status = STATUS_SUCCESS;
}

// Unlinks and frees a stream whose reads are gone. Module lock held.
void freeStream(DeviceContext* d, SrbifStream* st) {
    SrbifState& s = stateOf(d);
    {
        ReadLockGuard g(s);
        for (SrbifStream** p = &s.streams; *p; p = &(*p)->next) {
            if (*p != st) continue;
            *p = st->next;
            --s.instances;
            break;
        }
    }
    cancelQueuedReads(d, st);
    waitFills(s);
    if (st->streamObject) st->streamObject->HwStreamExtension = nullptr;
    st->~SrbifStream();
    ExFreePool(st);
}

// Module lock held.
void closeStreamRecord(DeviceContext* d, SrbifStream* st) {
    SrbifState& s = stateOf(d);
    // A stream closed while paused or running leaves the frame manager as
    // a stop would have.
    if (st->state != KSSTATE_STOP && !st->suspended)
        leaveDownTo(d, st, st->state, KSSTATE_STOP);
    setStoredState(s, st, KSSTATE_STOP);
    freeStream(d, st);
    PropMan_Save(d, PropWhich::Current);
    --s.openStreams;
    Frame_ReleaseVideo(d);
    InterlockedDecrement(&d->openSessions);
}

void closeStream(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    SrbifStream* st = findStream(stateOf(d), srb->StreamObject);
    if (!st) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    closeStreamRecord(d, st);
    srb->Status = STATUS_SUCCESS;
}

void deviceProperty(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb, bool set) {
    auto* desc = static_cast<STREAM_PROPERTY_DESCRIPTOR*>(srb->CommandData.PropertyInfo);
    if (!desc || !desc->Property || !desc->PropertyInfo) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    DevicePropertyRequest r{&desc->Property->Set, desc->Property->Id, desc->PropertyInfo,
                            desc->PropertyInputSize, desc->PropertyOutputSize, set};
    ULONG actual = 0;
    srb->Status = PropMan_DeviceProperty(d, r, &actual);
    srb->ActualBytesTransferred = NT_SUCCESS(srb->Status) ? actual : 0;
}

void changePowerState(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    SrbifState& s = stateOf(d);
    const ULONG target = srb->CommandData.DeviceState;
    const bool up = target == PowerDeviceD0;
    const bool wasUp = s.devicePowerState == PowerDeviceD0;
    if (up != wasUp) {
        std::vector<SrbifStream*> streams;
        {
            ReadLockGuard g(s);
            for (SrbifStream* st = s.streams; st; st = st->next) streams.push_back(st);
        }
        for (SrbifStream* st : streams) {
            if (up && st->suspended) {
                st->suspended = false;
                if (st->state != KSSTATE_STOP &&
                    !NT_SUCCESS(enterUpTo(d, st, KSSTATE_STOP, st->state)))
                    setStoredState(s, st, KSSTATE_STOP);
            } else if (!up && !st->suspended && st->state != KSSTATE_STOP) {
                leaveDownTo(d, st, st->state, KSSTATE_STOP);
                st->suspended = true;
            }
        }
    }
    PropMan_Save(d, PropWhich::Current);
    setStreamPowerState(d, up ? kPnpStreamPoweredUp : kPnpStreamPoweredDown);
    s.devicePowerState = target;
    srb->Status = STATUS_SUCCESS;
}

void initialisationComplete(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    MinidriverCall call(d);
    NTSTATUS status = STATUS_SUCCESS;
    if (call.routines().filterRegistration)
        status = call.routines().filterRegistration(d->physicalDevice, &KSCATEGORY_CAPTURE, 1);
    srb->Status = status;
}

void dispatch(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    switch (srb->Command) {
        case SRB_GET_STREAM_STATE:
            getStreamState(d, srb);
            break;
        case SRB_SET_STREAM_STATE: {
            SrbifStream* st = findStream(stateOf(d), srb->StreamObject);
            srb->Status = st ? setStreamState(d, st, srb->CommandData.StreamState)
                             : STATUS_INVALID_PARAMETER;
            break;
        }
        case SRB_SET_STREAM_PROPERTY:
            srb->Status = STATUS_NOT_IMPLEMENTED;
            break;
        case SRB_GET_STREAM_PROPERTY:
            getStreamProperty(d, srb);
            break;
        case SRB_INDICATE_MASTER_CLOCK: {
            SrbifState& s = stateOf(d);
            ReadLockGuard g(s);
            SrbifStream* st = findStreamLocked(s, srb->StreamObject);
            if (st) {
                st->masterClock = srb->CommandData.Data;
                st->clockStarted = false;
            }
            srb->Status = st ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
            break;
        }
        case SRB_PROPOSE_DATA_FORMAT:
            proposeOrSetFormat(d, srb, false);
            break;
        case SRB_SET_DATA_FORMAT:
            proposeOrSetFormat(d, srb, true);
            break;
        case SRB_GET_STREAM_INFO:
            getStreamInfo(d, srb);
            break;
        case SRB_OPEN_STREAM:
            openStream(d, srb);
            break;
        case SRB_CLOSE_STREAM:
            closeStream(d, srb);
            break;
        case SRB_OPEN_DEVICE_INSTANCE:
        case SRB_CLOSE_DEVICE_INSTANCE:
            srb->Status = STATUS_NOT_IMPLEMENTED;
            break;
        case SRB_GET_DEVICE_PROPERTY:
            deviceProperty(d, srb, false);
            break;
        case SRB_SET_DEVICE_PROPERTY:
            deviceProperty(d, srb, true);
            break;
        case SRB_INITIALIZE_DEVICE:
            srb->ActualBytesTransferred =
                sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION) * kSrbifStreamCount;
            srb->Status = STATUS_SUCCESS;
            break;
        case SRB_CHANGE_POWER_STATE:
            changePowerState(d, srb);
            break;
        case SRB_UNINITIALIZE_DEVICE:
            srb->Status = STATUS_SUCCESS;
            break;
        case SRB_GET_DATA_INTERSECTION:
            srbifDataIntersection(d, srb);
            break;
        case SRB_INITIALIZATION_COMPLETE:
            initialisationComplete(d, srb);
            break;
        default:
            // Completed with the status its sender gave it.
            break;
    }
}

void processBlock(DeviceContext* d, HW_STREAM_REQUEST_BLOCK* srb) {
    SrbifState& s = stateOf(d);
    if (s.terminating.load()) {
        failBlock(d, srb, STATUS_CANCELLED);
        return;
    }
    {
        ModuleLockGuard g(s.lock, "SRBIF_ReceiveSRB");
        if (!g.owns()) {
            srb->Status = STATUS_IO_TIMEOUT;
            srb->ActualBytesTransferred = 0;
        } else {
            dispatch(d, srb);
        }
    }
    completeBlock(d, srb);
}

// ---------------------------------------------------------------------------
// The watchdog's delivery on the worker

void watchdogDelivery(DeviceContext* d, PVOID, PVOID) {
    SRBIF_DeliverFrame(d, nullptr, 0);
}

// The routines and records the stream information names.
const GUID kStreamPropertySets[2] = {KSPROPSETID_Connection, PROPSETID_VIDCAP_DROPPEDFRAMES};
const GUID kTopologyCategories[1] = {KSCATEGORY_CAPTURE};
const SrbifTopology kTopology = {1, kTopologyCategories};
// The standard bus medium: any filter connects.
const KSPIN_MEDIUM kMedium = {
    {0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}}, 0, 0};

void registerInfoTokens(SrbifState& s) {
    auto* t = s.infoTokens;
    t[kSrbifTokenProperties] = kroutine::addObject(const_cast<PropertySet*>(kPropertyTable));
    t[kSrbifTokenEvents] = kroutine::addObject(const_cast<KSEVENT_SET*>(kDeviceEventSets));
    t[kSrbifTokenTopology] = kroutine::addObject(const_cast<SrbifTopology*>(&kTopology));
    t[kSrbifTokenFormats] = kroutine::addObject(&s.formatArray);
    t[kSrbifTokenStreamProperties] = kroutine::addObject(const_cast<GUID*>(kStreamPropertySets));
    t[kSrbifTokenPinName] = kroutine::addObject(const_cast<GUID*>(&PINNAME_VIDEO_CAPTURE));
    t[kSrbifTokenMedium] = kroutine::addObject(const_cast<KSPIN_MEDIUM*>(&kMedium));
}

void removeInfoTokens(SrbifState& s) {
    for (kroutine::Token& t : s.infoTokens) {
        kroutine::remove(t);
        t = 0;
    }
}

bool deliverHook(DeviceContext* d, const UCHAR* image, ULONG length) {
    return SRBIF_DeliverFrame(d, image, length);
}

}  // namespace

// ---------------------------------------------------------------------------

void SRBIF_ReceiveSRB(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb,
                      SrbCompletionRoutine routine, PVOID context) {
    if (!srb) return;
    SrbifState& s = stateOf(device);
    auto* node = static_cast<SrbCompletionNode*>(
        nodeAllocate(&device->worker.nodes, sizeof(SrbCompletionNode)));
    if (srb->Command == SRB_READ_DATA && (!node || s.terminating.load())) {
        // Completed here, not by the read handling: an entry its maker
        // linked must not outlive it.
        ReadLockGuard g(s);
        if (SrbifReadInHand* e = findInHandLocked(s, srb)) leaveInHandLocked(s, e);
    }
    if (!node) {
        srb->Status = STATUS_INSUFFICIENT_RESOURCES;
        srb->ActualBytesTransferred = 0;
        srb->SRBExtension = nullptr;
        if (routine)
            routine(device, srb, context);
        else
            SRBIF_CompleteToMinidriver(device, srb);
        return;
    }
    node->routine = routine;
    node->context = context;
    node->nextPending = nullptr;
    srb->SRBExtension = node;
    if (s.terminating.load()) {
        failBlock(device, srb, STATUS_CANCELLED);
        return;
    }
    if (srb->Command == SRB_READ_DATA) {
        handleRead(device, srb);
        return;
    }
    {
        // The thread that finds nobody processing becomes the processor and
        // works through whatever others append meanwhile, in arrival order.
        KIRQL irql = KfAcquireSpinLock(&s.pendingLock);
        if (s.processing++ > 0) {
            if (s.pendingTail)
                nodeOf(s.pendingTail)->nextPending = srb;
            else
                s.pendingHead = srb;
            s.pendingTail = srb;
            KfReleaseSpinLock(&s.pendingLock, irql);
            return;
        }
        KfReleaseSpinLock(&s.pendingLock, irql);
    }
    HW_STREAM_REQUEST_BLOCK* next = srb;
    while (next) {
        processBlock(device, next);
        KIRQL irql = KfAcquireSpinLock(&s.pendingLock);
        next = nullptr;
        if (--s.processing > 0) {
            next = s.pendingHead;
            if (next) {
                s.pendingHead = nodeOf(next)->nextPending;
                if (!s.pendingHead) s.pendingTail = nullptr;
                nodeOf(next)->nextPending = nullptr;
            }
        }
        KfReleaseSpinLock(&s.pendingLock, irql);
    }
}

SrbifCancelOutcome srbifCancelRead(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb) {
    SrbifState& s = stateOf(device);
    ReadLockGuard g(s);
    for (SrbifStream* st = s.streams; st; st = st->next)
        if (unlinkRead(st, srb)) return SrbifCancelOutcome::kTaken;
    if (SrbifReadInHand* e = findInHandLocked(s, srb)) {
        e->cancelled = true;
        return SrbifCancelOutcome::kMarked;
    }
    return SrbifCancelOutcome::kNotFound;
}

void srbifReadArriving(DeviceContext* device, SrbifReadInHand* entry) {
    SrbifState& s = stateOf(device);
    ReadLockGuard g(s);
    entry->cancelled = false;
    linkInHandLocked(s, entry);
}

void srbifReadWithdrawn(DeviceContext* device, SrbifReadInHand* entry) {
    SrbifState& s = stateOf(device);
    ReadLockGuard g(s);
    leaveInHandLocked(s, entry);
}

void srbifFailBlock(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
    failBlock(device, srb, status);
}

bool SRBIF_CancelSRB(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb) {
    switch (srbifCancelRead(device, srb)) {
        case SrbifCancelOutcome::kTaken:
            failBlock(device, srb, STATUS_CANCELLED);
            return true;
        case SrbifCancelOutcome::kMarked:
            return true;
        case SrbifCancelOutcome::kNotFound:
            break;
    }
    return false;
}

void SRBIF_CloseMinidriverStreams(DeviceContext* device) {
    SrbifState& s = stateOf(device);
    ModuleLockGuard g(s.lock, "SRBIF_CloseMinidriverStreams");
    if (!g.owns()) return;
    // The minidriver's stream objects and read buffers go with it: nothing
    // of them may stay in the driver's hands, and an open stream left behind
    // would keep the camera acquired and veto the device's stop.
    for (;;) {
        SrbifStream* st = nullptr;
        {
            ReadLockGuard r(s);
            for (SrbifStream* x = s.streams; x; x = x->next)
                if (x->fromMinidriver) {
                    st = x;
                    break;
                }
        }
        if (!st) break;
        closeStreamRecord(device, st);
    }
}

bool SRBIF_FrameWanted(DeviceContext* device) {
    SrbifState& s = stateOf(device);
    if (!s.initialised.load()) return true;
    const ULONG t = performanceMs();
    ReadLockGuard g(s);
    // Wanted by the first stream without a read (it keeps it waiting), by
    // a stream whose waiting frame it would replace, by a running stream
    // whose pacing takes it now, and whenever a master clock decides; with
    // no stream at all the delivery decides, as it always has.
    if (!s.streams) return true;
    bool first = true;
    for (SrbifStream* st = s.streams; st; st = st->next, first = false) {
        if (st->masterClock || st->frameWaiting.load()) return true;
        if (!st->readHead) {
            if (first) return true;
            continue;
        }
        if (st->state == KSSTATE_RUN && frameDueAtLocked(st, t)) return true;
    }
    // Nobody takes it: what the delivery does with a frame every stream
    // refuses, at the same time `t` for the pacing.
    s.lastDeliveryMs.store(nowMs(device));
    for (SrbifStream* st = s.streams; st; st = st->next) {
        if (st->state != KSSTATE_RUN) continue;
        const ULONG managerDrops = device->frame.framesDropped.load();
        st->framesLost += managerDrops - st->frameManagerDropsSeen;
        st->frameManagerDropsSeen = managerDrops;
        if (st->readHead) {
            framesDueAtLocked(st, t);  // 0: refused, as the delivery would have
            ++st->framesLost;
        }
    }
    return false;
}

bool SRBIF_DeliverFrame(DeviceContext* device, const UCHAR* image, ULONG length) {
    SrbifState& s = stateOf(device);
    if (!s.initialised.load()) return false;
    s.lastDeliveryMs.store(nowMs(device));
    s.fillsRunning.fetch_add(1);
    SrbifStream* st;
    {
        ReadLockGuard g(s);
        st = s.streams;
    }
    bool first = true;
    bool keep = false;  // a stream keeps the image waiting for a read
    while (st) {
        HW_STREAM_REQUEST_BLOCK* read = nullptr;
        ULONG due = 0;
        const LONGLONG clock = st->masterClock ? queryClock(device, st->masterClock) : 0;
        SrbifStream* next;
        {
            ReadLockGuard g(s);
            next = st->next;
            // Without a clock the pacing counts no drops: the stream counts
            // the camera's frames it lets go itself.
            const bool counting = image && !st->masterClock && st->state == KSSTATE_RUN;
            if (counting) {
                const ULONG managerDrops = device->frame.framesDropped.load();
                st->framesLost += managerDrops - st->frameManagerDropsSeen;
                st->frameManagerDropsSeen = managerDrops;
                // The frame that waited for a read is overwritten by this one.
                if (st->frameWaiting.load()) ++st->framesLost;
            }
            read = popRead(st);
            if (!read) {
                if (first && image) st->frameWaiting.store(true);
            } else if (st->state != KSSTATE_RUN) {
                pushReadFront(st, read);
                read = nullptr;
            } else {
                due = framesDueLocked(st, clock);
                if (due == 0) {
                    pushReadFront(st, read);
                    read = nullptr;
                    // Refused by the pacing, and no read will take it later.
                    if (counting && !st->frameWaiting.load()) ++st->framesLost;
                }
            }
            if (read) takeLostFramesLocked(st);
        }
        if (due > 0) st->pictureNumber += due;
        if (read) {
            st->dropCount += due - 1;
            st->frameWaiting.store(false);
            fillRead(device, st, read, image, length);
        }
        if (image && st->frameWaiting.load()) keep = true;
        first = false;
        st = next;
    }
    s.fillsRunning.fetch_sub(1);
    return keep;
}

void SRBIF_Watchdog(DeviceContext* device, ULONG nowMsValue) {
    SrbifState& s = stateOf(device);
    if (!s.initialised.load() || s.pausedOrRunning.load() <= 0) return;
    const ULONG last = s.lastDeliveryMs.load();
    if (static_cast<LONG>(nowMsValue - last) <= static_cast<LONG>(kSrbifWatchdogMs)) return;
    s.lastDeliveryMs.store(last + kSrbifWatchdogMs);
    workerQueue(device, watchdogDelivery, nullptr, nullptr);
}

NTSTATUS SRBIF_Initialise(DeviceContext* device) {
    SrbifState& s = stateOf(device);
    s.terminating.store(false);
    s.initialised.store(false);
    srbifFreeFormats(device);
    removeInfoTokens(s);
    registerInfoTokens(s);
    device->camera.hooks.addFormat.store(SRBIF_AddFormat);
    device->frame.hooks.deliver.store(deliverHook);
    device->frame.hooks.setSize.store(SRBIF_SetSize);
    device->frame.hooks.wanted.store(SRBIF_FrameWanted);
    // A property manager that could not allocate leaves the camera running
    // without stored properties.
    PropMan_Initialise(device);
    NTSTATUS status = Frame_Initialise(device);
    s.pausedOrRunning.store(0);
    s.runningCount = 0;
    s.openStreams = 0;
    s.instances = 0;
    s.devicePowerState = PowerDeviceD0;
    s.lastDeliveryMs.store(nowMs(device));
    device->tickHooks.frameWatchdog.store(SRBIF_Watchdog);
    if (NT_SUCCESS(status)) s.initialised.store(true);
    return status;
}

void SRBIF_Terminate(DeviceContext* device) {
    SrbifState& s = stateOf(device);
    s.terminating.store(true);
    device->tickHooks.frameWatchdog.store(nullptr);
    {
        // Every holder of the lock lets go within a bounded time, so the
        // stop waits for it rather than tear the streams from under it.
        while (!s.lock.acquire("SRBIF_Terminate")) {
        }
        s.initialised.store(false);
        for (;;) {
            SrbifStream* st;
            {
                ReadLockGuard g(s);
                st = s.streams;
            }
            if (!st) break;
            freeStream(device, st);
            InterlockedDecrement(&device->openSessions);
            Frame_ReleaseVideo(device);
        }
        s.pausedOrRunning.store(0);
        s.runningCount = 0;
        s.openStreams = 0;
        // The property manager goes first: it waits for a property request
        // still in a handler before the camera's state is freed.
        PropMan_Terminate(device);
        Frame_Terminate(device);
        device->watches.clear();
        s.lock.release();
    }
    for (;;) {
        HW_STREAM_REQUEST_BLOCK* srb;
        {
            KIRQL irql = KfAcquireSpinLock(&s.pendingLock);
            srb = s.pendingHead;
            if (srb) {
                s.pendingHead = nodeOf(srb)->nextPending;
                if (!s.pendingHead) s.pendingTail = nullptr;
                --s.processing;
            }
            KfReleaseSpinLock(&s.pendingLock, irql);
        }
        if (!srb) break;
        failBlock(device, srb, STATUS_CANCELLED);
    }
    srbifFreeLibrary(device);
    srbifFreeFormats(device);
    removeInfoTokens(s);
    device->camera.hooks.addFormat.store(nullptr);
    device->frame.hooks.deliver.store(nullptr);
    device->frame.hooks.setSize.store(nullptr);
    device->frame.hooks.wanted.store(nullptr);
}
