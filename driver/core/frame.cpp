// The frame manager: raw frame buffers, frame assembly in completion context,
// conversion on the worker thread into the reserved buffer, and the state
// machine the stream interface drives (closed, open, started).
#include "driver/core/frame.h"

#include <cstring>

#include "driver/camera/camera.h"
#include "driver/camera/camprop.h"
#include "driver/core/device_context.h"
#include "driver/core/spin_guard.h"

namespace {

// How long the teardown waits for a frame still queued on the worker to be
// processed; it only touches the frame state, so waiting is for tidiness.
constexpr ULONG kInFlightDrainMs = 5000;

FrameState& frameOf(DeviceContext* device) {
    return device->frame;
}

void freeBuffer(PUCHAR& buffer) {
    if (buffer) ExFreePool(buffer);
    buffer = nullptr;
}

// The internal halves of stop and close, run under the module lock.
void mFrame_Stop(DeviceContext* device) {
    FrameState& f = frameOf(device);
    if (f.state.load() != kFrameStarted) return;
    // Returns once the camera no longer calls the data routine, so the fill
    // fields are ours from here on.
    if (f.cameraHeld.load()) Camera_Stop(device);
    f.state.store(kFrameOpen);
    f.reservedLength = 0;
    ULONG back = f.freeList.count();
    {
        SpinGuard g(f.fillLock);
        if (f.fill) {
            ++back;
            f.fillPosition = 0;
        }
    }
    // A frame still on its way through the worker comes back by itself; the
    // count only says how many were home when the video stopped.
    f.buffersBackAtStop.store(back);
}

void mFrame_Close(DeviceContext* device) {
    FrameState& f = frameOf(device);
    if (f.state.load() != kFrameOpen) return;
    if (f.cameraHeld.load()) Camera_Close(device);
    // The free list holds only buffers of raw[]; its nodes go, the buffers
    // are freed below wherever each one was.
    while (f.freeList.pop(nullptr) != nullptr) {
    }
    {
        SpinGuard g(f.fillLock);
        f.fill = nullptr;
        f.fillPosition = 0;
        // A buffer handed to the worker and not yet processed is freed here
        // too; the work item finds it no longer handed and leaves it alone.
        f.handed = nullptr;
    }
    for (PUCHAR& buffer : f.raw) freeBuffer(buffer);
    freeBuffer(f.reserved);
    f.reservedSize = 0;
    f.reservedLength = 0;
    f.rawFrameSize = 0;
    f.state.store(kFrameClosed);
}

}  // namespace

NTSTATUS Frame_Initialise(DeviceContext* device) {
    FrameState& f = frameOf(device);
    f.lock.initialise(&device->lockTrace);
    f.freeList.initialise(&device->worker.nodes);
    f.state.store(kFrameTerminated);
    f.videoUsers.store(0);
    f.cameraHeld.store(false);
    f.rawFrameSize = 0;
    for (PUCHAR& buffer : f.raw) buffer = nullptr;
    {
        SpinGuard g(f.fillLock);
        f.fill = nullptr;
        f.fillPosition = 0;
        f.handed = nullptr;
    }
    // The in-flight count is left as it is: a work item of an earlier start
    // may still be queued, and it takes its count back when it runs.
    f.framesCompleted.store(0);
    f.framesDropped.store(0);
    f.framesDelivered.store(0);
    f.buffersBackAtStop.store(0);

    CamProp_Initialise(device);
    device->camprop.sizeChange.store(Frame_SizeChange);
    NTSTATUS status = Camera_Startup(device);

    f.reserved = nullptr;
    f.reservedSize = 0;
    f.reservedLength = 0;
    f.state.store(kFrameClosed);
    return status;
}

NTSTATUS Frame_AcquireVideo(DeviceContext* device) {
    FrameState& f = frameOf(device);
    if (f.videoUsers.fetch_add(1) + 1 == 1) {
        NTSTATUS status = Camera_Acquire(device, 1);
        if (!NT_SUCCESS(status)) {
            f.videoUsers.fetch_sub(1);
            return status;
        }
        f.cameraHeld.store(true);
    }
    return STATUS_SUCCESS;
}

void Frame_ReleaseVideo(DeviceContext* device) {
    FrameState& f = frameOf(device);
    if (!f.cameraHeld.load()) return;
    LONG users = f.videoUsers.load();
    // A release nobody acquired for leaves the count alone.
    do {
        if (users <= 0) return;
    } while (!f.videoUsers.compare_exchange_weak(users, users - 1));
    if (users - 1 != 0) return;
    ModuleLockGuard g(f.lock, "Frame_ReleaseVideo");
    if (!g.owns()) {
        // Whoever sits on the lock keeps the video; the camera stays held
        // for the next release to let go.
        f.videoUsers.fetch_add(1);
        return;
    }
    mFrame_Stop(device);
    mFrame_Close(device);
    f.cameraHeld.store(false);
    Camera_Release(device);
}

NTSTATUS Frame_Open(DeviceContext* device, const FrameFormat& format) {
    FrameState& f = frameOf(device);
    ModuleLockGuard g(f.lock, "Frame_Open");
    if (!g.owns()) return STATUS_IO_TIMEOUT;
    if (f.state.load() != kFrameClosed) return STATUS_SUCCESS;
    NTSTATUS result = STATUS_SUCCESS;
    ULONG rawSize = 0;
    if (!f.cameraHeld.load()) {
        result = STATUS_UNSUCCESSFUL;
    } else if (format.imageSize == 0) {
        result = STATUS_INVALID_PARAMETER;
    } else {
        result = Camera_Open(device, format.width, format.height, &rawSize);
    }
    if (NT_SUCCESS(result)) {
        f.rawFrameSize = rawSize;
        for (PUCHAR& buffer : f.raw) {
            buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, rawSize, kFrameTag));
            if (buffer == nullptr) {
                result = STATUS_INSUFFICIENT_RESOURCES;
                continue;
            }
            if (!f.freeList.push(buffer, rawSize)) freeBuffer(buffer);
        }
        f.reserved = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, format.imageSize, kFrameTag));
        if (f.reserved == nullptr) {
            result = STATUS_INSUFFICIENT_RESOURCES;
            f.reservedSize = 0;
        } else {
            f.reservedSize = format.imageSize;
        }
        f.reservedLength = 0;
    }
    // Open even when something failed: the caller's close undoes it.
    f.state.store(kFrameOpen);
    return result;
}

NTSTATUS Frame_Start(DeviceContext* device) {
    FrameState& f = frameOf(device);
    ModuleLockGuard g(f.lock, "Frame_Start");
    if (!g.owns()) return STATUS_IO_TIMEOUT;
    if (f.state.load() != kFrameOpen) return STATUS_IO_DEVICE_ERROR;
    if (!f.cameraHeld.load()) return STATUS_DEVICE_NOT_READY;
    f.state.store(kFrameStarted);
    NTSTATUS status = Camera_Start(device, Frame_DataRoutine);
    // A start that failed is not started: nothing would stop it later.
    if (!NT_SUCCESS(status)) f.state.store(kFrameOpen);
    return status;
}

namespace {

// Adds a chunk to the frame being assembled. fillLock held. Returns the
// buffer of a complete frame to hand to the worker (its length in *frame),
// already given up as fill buffer and marked handed; null otherwise.
PUCHAR addChunkLocked(DeviceContext* device, FrameState& f, const UCHAR* data, ULONG length,
                      ULONG* frame) {
    if (f.fill == nullptr) {
        f.fill = static_cast<PUCHAR>(f.freeList.pop(nullptr));
        f.fillPosition = 0;
        if (f.fill == nullptr) return nullptr;  // every buffer is in use: the chunk is lost
    }
    if (length == 0) {
        f.fillPosition = 0;
        return nullptr;
    }
    if (data == nullptr) return nullptr;
    if (length > f.rawFrameSize - f.fillPosition) {
        // Longer than any frame can be: this one is lost, and what follows
        // until its end marker is refused by the conversion.
        f.fillPosition = 0;
        return nullptr;
    }
    std::memcpy(f.fill + f.fillPosition, data, length);
    f.fillPosition += length;
    if (!Camera_FrameEnd(length, f.fill, f.fillPosition, f.rawFrameSize)) return nullptr;
    f.framesCompleted.fetch_add(1);
    if (f.inFlight.fetch_add(1) != 0) {
        // One frame is being converted already: this one is dropped and its
        // buffer reused, so a slow conversion lowers the frame rate.
        f.inFlight.fetch_sub(1);
        f.framesDropped.fetch_add(1);
        f.fillPosition = 0;
        return nullptr;
    }
    // A frame the conversion would refuse still goes to the worker, as it
    // always has; one it would accept and no stream wants (each reader's
    // pacing refuses it now) is let go here, without waking the worker.
    if (FrameWantedRoutine wanted = f.hooks.wanted.load()) {
        if (Camera_FrameImage(f.fill, f.fillPosition, f.reservedSize, nullptr, nullptr) &&
            !wanted(device)) {
            f.inFlight.fetch_sub(1);
            f.framesUnwanted.fetch_add(1);
            f.fillPosition = 0;
            return nullptr;
        }
    }
    // Given up under fillLock, where the work item looks for it.
    PUCHAR buffer = f.fill;
    *frame = f.fillPosition;
    f.handed = buffer;
    f.fill = nullptr;
    f.fillPosition = 0;
    return buffer;
}

}  // namespace

void Frame_DataRoutine(DeviceContext* device, const UCHAR* data, ULONG length) {
    FrameState& f = frameOf(device);
    if (f.state.load() != kFrameStarted) return;
    PUCHAR buffer;
    ULONG frame = 0;
    {
        SpinGuard g(f.fillLock);
        buffer = addChunkLocked(device, f, data, length, &frame);
    }
    if (buffer == nullptr) return;
    // The worker is woken once the lock is let go, so that it does not wake
    // only to wait for it.
    if (workerQueue(device, Frame_DataAvailableThread, buffer,
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(frame))))
        return;
    // Not queued: the buffer is ours again. The stop cannot have taken the
    // fill fields meanwhile (it waits for this routine to return), but the
    // tick's empty chunk may have taken a new fill buffer.
    SpinGuard g(f.fillLock);
    if (f.handed == buffer) f.handed = nullptr;
    if (f.fill == nullptr) {
        f.fill = buffer;
        f.fillPosition = 0;
    } else {
        // Without a node the buffer sits out until the close.
        f.freeList.push(buffer, f.rawFrameSize);
    }
    f.inFlight.fetch_sub(1);
}

void Frame_DataAvailableThread(DeviceContext* device, PVOID buffer, PVOID length) {
    FrameState& f = frameOf(device);
    auto* raw = static_cast<PUCHAR>(buffer);
    const auto rawLength = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(length));
    if (raw != nullptr) {
        ModuleLockGuard g(f.lock, "Frame_DataAvailableThread");
        // Without the lock the buffer stays handed: it is out of use until
        // the close frees it with the others.
        if (g.owns()) {
            bool ours;
            {
                SpinGuard s(f.fillLock);
                ours = f.handed == raw;
                if (ours) f.handed = nullptr;
            }
            // Not ours: a close freed it while the item waited.
            if (ours) {
                if (f.state.load() == kFrameStarted) {
                    const UCHAR* image = nullptr;
                    ULONG imageLength = 0;
                    const bool converted = f.reserved != nullptr &&
                                           Camera_FrameImage(raw, rawLength, f.reservedSize,
                                                             &image, &imageLength);
                    // No image while a new one is being delivered: a read
                    // that waits for this lock finds the new one or none.
                    f.reservedLength = 0;
                    if (converted) {
                        FrameDeliverRoutine deliver = f.hooks.deliver.load();
                        // Reads take it from the raw frame; only an image
                        // kept waiting for a read is copied into the
                        // reserved buffer, before the lock goes.
                        if (!deliver || deliver(device, image, imageLength)) {
                            std::memcpy(f.reserved, image, imageLength);
                            f.reservedLength = imageLength;
                            f.framesKept.fetch_add(1);
                        }
                        f.framesDelivered.fetch_add(1);
                    }
                }
                // Without a node the buffer sits out until the close.
                f.freeList.push(raw, f.rawFrameSize);
            }
        }
    }
    // Only now may the next complete frame be handed over: one at a time.
    f.inFlight.fetch_sub(1);
}

NTSTATUS Frame_Stop(DeviceContext* device) {
    FrameState& f = frameOf(device);
    ModuleLockGuard g(f.lock, "Frame_Stop");
    if (!g.owns()) return STATUS_IO_TIMEOUT;
    mFrame_Stop(device);
    return STATUS_SUCCESS;
}

NTSTATUS Frame_Close(DeviceContext* device) {
    FrameState& f = frameOf(device);
    ModuleLockGuard g(f.lock, "Frame_Close");
    if (!g.owns()) return STATUS_IO_TIMEOUT;
    mFrame_Close(device);
    return STATUS_SUCCESS;
}

void Frame_Terminate(DeviceContext* device) {
    FrameState& f = frameOf(device);
    {
        // The device is going: a caller that sits on the lock past its wait
        // does not keep the buffers and the camera alive.
        ModuleLockGuard g(f.lock, "Frame_Terminate");
        mFrame_Stop(device);
        mFrame_Close(device);
        if (f.cameraHeld.exchange(false)) Camera_Release(device);
        f.videoUsers.store(0);
        device->camprop.sizeChange.store(nullptr);
        Camera_Remove(device);
        f.state.store(kFrameTerminated);
    }
    // A frame queued before the close still holds its count; the worker runs
    // it soon (it finds its buffer gone). On the worker itself there is
    // nothing to wait for: the item runs after this returns.
    if (!onWorkerThread(device) && workerRunning(device)) {
        LONGLONG until = deadline(kInFlightDrainMs);
        while (f.inFlight.load() != 0 && !reached(until)) {
        }
    }
}

bool Frame_GetReservedBuffer(DeviceContext* device, const UCHAR** image, ULONG* length) {
    FrameState& f = frameOf(device);
    if (image) *image = nullptr;
    if (length) *length = 0;
    if (!f.lock.acquire("Frame_GetReservedBuffer")) return false;
    if (f.reservedLength != 0 && f.reserved != nullptr) {
        if (image) *image = f.reserved;
        if (length) *length = f.reservedLength;
    }
    return true;
}

void Frame_ReleaseReservedBuffer(DeviceContext* device) {
    frameOf(device).lock.release();
}

NTSTATUS Frame_SizeChange(DeviceContext* device, ULONG width, ULONG height) {
    if (FrameSetSizeRoutine setSize = frameOf(device).hooks.setSize.load())
        return setSize(device, width, height);
    return STATUS_SUCCESS;
}
