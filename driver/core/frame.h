// The frame manager: between the camera's video data and the stream
// interface. It owns the three raw frame buffers, assembles the chunks the
// camera hands it (USB completion context) into one raw frame, passes each
// complete frame some stream wants to the worker thread, which hands its
// image to the stream interface's frame delivery straight from the raw
// frame (a waiting read gets it in one copy) and converts it into the single
// reserved output buffer only when it must wait for a read.
//
// Locks: the module lock (bounded 5 s wait, traced with the operation's name;
// an operation that cannot have it returns STATUS_IO_TIMEOUT) serialises
// the operations below and the work item. The stream interface may call in
// while holding its own lock; the frame manager calls the camera object
// (camera lock, property manager) under its lock, and the frame delivery
// under its lock, so the delivery must take neither the frame manager's
// lock nor the stream interface's module lock. The data routine takes no
// module lock at all.
#pragma once

#include <atomic>

#include "driver/core/support.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;

constexpr ULONG kFrameTag = PoolTag("frm ");
constexpr ULONG kFrameRawBufferCount = 3;

// States.
constexpr LONG kFrameTerminated = 0;
constexpr LONG kFrameClosed = 1;
constexpr LONG kFrameOpen = 2;
constexpr LONG kFrameStarted = 3;

// What Frame_Open needs of the negotiated format (the stream interface fills
// it from its video-info header).
struct FrameFormat {
    ULONG width = 0;
    ULONG height = 0;
    ULONG bitCount = 0;     // the image format's bits per pixel
    ULONG compression = 0;  // four characters, first in the low byte ("MJPG")
    ULONG imageSize = 0;    // bytes of the output image buffer (the reserved buffer)
};

// The stream interface's frame delivery: one image (`length` bytes at
// `image`, where it lies in the raw frame: a read that takes it copies it
// from there), on the worker thread, under the frame manager's lock. The
// image is valid only for the call. True: a stream keeps the image waiting
// for a read, and the frame manager copies it into the reserved buffer
// before it lets go of its lock; false: nobody waits for it, and the
// reserved buffer holds no image.
using FrameDeliverRoutine = bool (*)(DeviceContext* device, const UCHAR* image, ULONG length);
// The stream interface's look at a complete frame before it is handed to the
// worker, in completion context under the fill lock: false when no stream
// would take it or keep it (every reader's pacing refuses it now), which the
// routine then counts as the delivery would have; the frame is not handed on.
// True whenever in doubt. Must take neither module lock.
using FrameWantedRoutine = bool (*)(DeviceContext* device);
// The stream interface's set-size: validates a picture size against its
// format table and applies it to the first format. Called under the
// property manager's lock, possibly inside a stream request: must take
// neither the frame manager's lock nor the stream interface's module lock.
using FrameSetSizeRoutine = NTSTATUS (*)(DeviceContext* device, ULONG width, ULONG height);

struct FrameHooks {
    // Installed by the stream interface; null: converted frames go nowhere.
    std::atomic<FrameDeliverRoutine> deliver{nullptr};
    // Installed by the stream interface; null: every size is accepted.
    std::atomic<FrameSetSizeRoutine> setSize{nullptr};
    // Installed by the stream interface; null: every complete frame is handed on.
    std::atomic<FrameWantedRoutine> wanted{nullptr};
};

// Frame state, in the DeviceContext.
struct FrameState {
    FrameState() {
        lock.initialise(nullptr);
        freeList.initialise(nullptr);
        KeInitializeSpinLock(&fillLock);
    }
    FrameState(const FrameState&) = delete;
    FrameState& operator=(const FrameState&) = delete;

    ModuleLock lock;
    // Raw buffers not in use; nodes from the worker's node pool.
    PointerStack freeList;
    std::atomic<LONG> state{kFrameTerminated};
    std::atomic<LONG> videoUsers{0};
    std::atomic<bool> cameraHeld{false};
    ULONG rawFrameSize = 0;   // set at open

    // The three raw buffers of this open, wherever each one is (free list,
    // fill buffer, handed to the worker); close frees them from here.
    PUCHAR raw[kFrameRawBufferCount] = {};

    // Assembly; touched by the data routine and, once the camera no longer
    // calls it, by stop and close. fillLock orders the completion path
    // against the tick's empty chunk, which may run at the same time.
    KSPIN_LOCK fillLock;
    PUCHAR fill = nullptr;
    ULONG fillPosition = 0;

    // Complete frames handed to the worker and not yet processed (0 or 1).
    // It stays 1 until the work item has converted and returned its buffer,
    // so a frame completing meanwhile is dropped.
    std::atomic<LONG> inFlight{0};
    // The buffer handed to the worker, under fillLock; cleared by the work
    // item when it runs, or by close when it frees the buffer first.
    PUCHAR handed = nullptr;

    ULONG reservedSize = 0;
    PUCHAR reserved = nullptr;
    ULONG reservedLength = 0;  // 0: no image

    FrameHooks hooks;

    // Counters for tests and diagnostics.
    std::atomic<ULONG> framesCompleted{0};  // whole frames seen by the data routine
    std::atomic<ULONG> framesDropped{0};    // complete frames dropped (one already in flight)
    std::atomic<ULONG> framesDelivered{0};  // images handed to the delivery
    std::atomic<ULONG> framesUnwanted{0};   // complete frames no stream wanted: not handed on
    std::atomic<ULONG> framesKept{0};       // images copied into the reserved buffer to wait
    std::atomic<ULONG> buffersBackAtStop{0};  // raw buffers on the free list at the last stop
};

// Initialise (the stream interface's initialisation, after the property
// manager's): sets up the lock and the free list, clears every field, resets
// the camera side of the properties, installs the picture-size change and
// runs the camera's start-up, whose status it returns (STATUS_UNSUCCESSFUL
// after a firmware patch was sent). State 1 afterwards in every case, so that
// Frame_Terminate tears down what the start-up brought up.
NTSTATUS Frame_Initialise(DeviceContext* device);

// Acquires the camera for video on the first video user (Camera_Acquire with
// use 1). A failure undoes the count and is returned (STATUS_DEVICE_NOT_READY
// while another module holds the camera).
NTSTATUS Frame_AcquireVideo(DeviceContext* device);
// The last video user's release stops and closes the frame manager and
// releases the camera. Unbalanced releases are ignored.
void Frame_ReleaseVideo(DeviceContext* device);

// State 1 only (any other state: success, nothing changes). Opens the
// camera at the format's size, allocates the three raw buffers and the
// reserved buffer of format.imageSize bytes; state 2 whatever the result.
// STATUS_UNSUCCESSFUL without the camera held, the camera's status when it
// cannot open, STATUS_INSUFFICIENT_RESOURCES when memory runs out,
// STATUS_INVALID_PARAMETER for an image size of 0.
NTSTATUS Frame_Open(DeviceContext* device, const FrameFormat& format);

// State 2: attaches the data routine to the camera (Camera_Start) and goes
// to state 3; STATUS_DEVICE_NOT_READY without the camera held. Other states:
// STATUS_IO_DEVICE_ERROR. A failed start leaves the state as it was.
NTSTATUS Frame_Start(DeviceContext* device);

// The frame data routine given to Camera_Start: one chunk of video payload
// in USB completion context (or from the tick: length 0, which restarts the
// frame being assembled). Allocates nothing and takes no module lock.
void Frame_DataRoutine(DeviceContext* device, const UCHAR* data, ULONG length);

// The work item the data routine queues for each complete frame: argument1
// is the raw buffer, argument2 its length (as ULONG_PTR). Finds the image in
// the raw frame and hands it to the delivery while started (a read takes it
// from there); copies it into the reserved buffer only when the delivery
// keeps it waiting for a read; returns the raw buffer to the free list in
// every case.
void Frame_DataAvailableThread(DeviceContext* device, PVOID buffer, PVOID length);

// State 3 only: detaches the camera (Camera_Stop returns once no chunk is
// being delivered any more), state 2, no image. Success in every state.
NTSTATUS Frame_Stop(DeviceContext* device);

// State 2 only: closes the camera, frees the three raw buffers (on the free
// list, held as fill buffer or handed to the worker) and the reserved
// buffer; state 1. Success in every state.
NTSTATUS Frame_Close(DeviceContext* device);

// Stops if started, closes if open, then undoes the camera's start-up;
// state 0. Safe on a frame manager that was never initialised.
void Frame_Terminate(DeviceContext* device);

// Takes the module lock and gives the reserved image: *image null and
// *length 0 when there is none. True: the lock is held and the caller must
// call Frame_ReleaseReservedBuffer after reading. False: the lock could not
// be had within 5 s; nothing to release.
bool Frame_GetReservedBuffer(DeviceContext* device, const UCHAR** image, ULONG* length);
void Frame_ReleaseReservedBuffer(DeviceContext* device);

// The picture-size change of the property manager's identifier 7 (installed
// as camprop.sizeChange by Frame_Initialise): asks the stream interface's
// set-size. Takes no lock of its own.
NTSTATUS Frame_SizeChange(DeviceContext* device, ULONG width, ULONG height);
