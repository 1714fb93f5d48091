// The stream interface's connection with the capture minidriver: the stream
// request block as both sides use it, the routines each side hands the other
// through the connect record (as 32-bit tokens of the routine table), and the
// connection state the driver keeps in its DeviceContext.
#pragma once

#include <atomic>
#include <mutex>
#include <type_traits>

#include "driver/camera/camera.h"
#include "driver/core/srbif_records.h"
#include "driver/core/support.h"
#include "platform/kernel/routine_table.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;

// The stream class's request block, with the fields the driver uses, in order.
struct HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    ULONG Command;
    NTSTATUS Status;
    HW_STREAM_OBJECT* StreamObject;
    PVOID HwDeviceExtension;
    PVOID SRBExtension;  // the driver's private completion node
    union {
        PVOID Data;
        ULONG StreamState;
        ULONG DeviceState;
        PVOID PropertyInfo;
        PVOID DataBufferArray;
    } CommandData;
    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;
    ULONG TimeoutOriginal;
    HW_STREAM_REQUEST_BLOCK* NextSRB;
    PIRP Irp;
    ULONG Flags;
    PVOID HwInstanceExtension;
    ULONG ActualBytesTransferred;
};

// Command codes of request blocks. Codes below 0x100 are stream requests and
// complete through the minidriver's stream-request routine; the others are
// device requests.
constexpr ULONG SRB_READ_DATA = 0x00;
constexpr ULONG SRB_GET_STREAM_STATE = 0x02;
constexpr ULONG SRB_SET_STREAM_STATE = 0x03;
constexpr ULONG SRB_SET_STREAM_PROPERTY = 0x04;
constexpr ULONG SRB_GET_STREAM_PROPERTY = 0x05;
constexpr ULONG SRB_INDICATE_MASTER_CLOCK = 0x07;
constexpr ULONG SRB_PROPOSE_DATA_FORMAT = 0x0A;
constexpr ULONG SRB_SET_DATA_FORMAT = 0x0D;
constexpr ULONG SRB_GET_STREAM_INFO = 0x100;
constexpr ULONG SRB_OPEN_STREAM = 0x101;
constexpr ULONG SRB_CLOSE_STREAM = 0x102;
constexpr ULONG SRB_OPEN_DEVICE_INSTANCE = 0x103;
constexpr ULONG SRB_CLOSE_DEVICE_INSTANCE = 0x104;
constexpr ULONG SRB_GET_DEVICE_PROPERTY = 0x105;
constexpr ULONG SRB_SET_DEVICE_PROPERTY = 0x106;
constexpr ULONG SRB_INITIALIZE_DEVICE = 0x107;
constexpr ULONG SRB_CHANGE_POWER_STATE = 0x108;
constexpr ULONG SRB_UNINITIALIZE_DEVICE = 0x109;
constexpr ULONG SRB_GET_DATA_INTERSECTION = 0x10C;
constexpr ULONG SRB_INITIALIZATION_COMPLETE = 0x10D;
constexpr bool isStreamRequest(ULONG command) {
    return command < 0x100;
}

// What the minidriver passes to the watch routine: Enable nonzero registers a
// watch of (Set, Id), zero removes this record's watch; Context comes back as
// the property-change routine's context.
struct SRB_WATCH_RECORD {
    ULONG Enable;
    GUID Set;
    ULONG Id;
    PVOID Context;
};

// The minidriver's routines, as their tokens must resolve.
using SrbDeviceRequestComplete = void(PVOID hwDeviceExtension, HW_STREAM_REQUEST_BLOCK* srb);
using SrbStreamRequestComplete = void(HW_STREAM_OBJECT* stream, HW_STREAM_REQUEST_BLOCK* srb);
using SrbFilterRegistration = NTSTATUS(PDEVICE_OBJECT physicalDevice, const GUID* category,
                                       ULONG pinCount);
using SrbMasterClockQuery = LONGLONG(PVOID clock);
using SrbPropertyChange = std::remove_pointer_t<PropertyChangeRoutine>;
using SrbStreamReceive = void(HW_STREAM_REQUEST_BLOCK* srb);
using SrbDeviceEvent = NTSTATUS(PVOID eventData);

// The driver's routines handed out at connect. Their first argument is the
// device record token the connect returned.
using SrbDriverReceive = void(ULONG deviceRecord, HW_STREAM_REQUEST_BLOCK* srb);
using SrbDriverCancel = void(ULONG deviceRecord, HW_STREAM_REQUEST_BLOCK* srb);
using SrbDriverTimeout = void(ULONG deviceRecord, HW_STREAM_REQUEST_BLOCK* srb);
using SrbDriverWatch = void(ULONG deviceRecord, SRB_WATCH_RECORD* record);

// The minidriver's side of a connection, resolved from the connect record.
struct SrbifCallbacks {
    SrbDeviceRequestComplete* deviceRequestComplete = nullptr;
    SrbStreamRequestComplete* streamRequestComplete = nullptr;
    SrbFilterRegistration* filterRegistration = nullptr;
    SrbMasterClockQuery* masterClockQuery = nullptr;
    SrbPropertyChange* propertyChange = nullptr;
    SrbStreamReceive* streamReceive = nullptr;
    ULONG minidriverContext = 0;  // kept and passed back unchanged
    SrbDeviceEvent* deviceEvent = nullptr;
    // The token the minidriver named its event routine by, handed back in
    // the stream-class header.
    kroutine::Token deviceEventToken = 0;

    bool empty() const {
        return !deviceRequestComplete && !streamRequestComplete && !filterRegistration &&
               !masterClockQuery && !propertyChange && !streamReceive && !deviceEvent &&
               minidriverContext == 0;
    }
};

// The driver's side: tokens of its four routines and of the device record.
struct SrbifDriverTokens {
    kroutine::Token receive = 0;
    kroutine::Token cancel = 0;
    kroutine::Token timeout = 0;
    kroutine::Token watch = 0;
    kroutine::Token deviceRecord = 0;
};

// Connection state in the DeviceContext. The tokens it handed out are
// withdrawn when the device record goes, so a minidriver that never
// disconnected cannot reach a freed device.
class SrbifConnection {
  public:
    SrbifConnection() = default;
    ~SrbifConnection();
    SrbifConnection(const SrbifConnection&) = delete;
    SrbifConnection& operator=(const SrbifConnection&) = delete;

    SrbifCallbacks callbacks() const;
    bool connected() const;

  private:
    friend void SRBIF_SetStreamCallbacks(DeviceContext* device, const SrbifCallbacks& callbacks);
    friend SrbifDriverTokens SRBIF_DriverTokens(DeviceContext* device);
    friend class MinidriverCall;

    // Orders connects and disconnects; a disconnect holds it while it waits.
    std::mutex changeLock_;
    mutable std::mutex lock_;
    // Calls into the minidriver's routines in progress.
    Rundown calls_;
    SrbifCallbacks callbacks_;
    bool connected_ = false;
    SrbifDriverTokens tokens_;
};

// Every call into one of the minidriver's routines is made inside one of
// these: the routines it hands out stay valid while it lives, and a
// disconnect waits until it is gone. Empty routines when not connected.
class MinidriverCall {
  public:
    explicit MinidriverCall(DeviceContext* device);
    ~MinidriverCall();
    MinidriverCall(const MinidriverCall&) = delete;
    MinidriverCall& operator=(const MinidriverCall&) = delete;
    const SrbifCallbacks& routines() const { return callbacks_; }

  private:
    SrbifConnection& connection_;
    bool entered_;
    SrbifCallbacks callbacks_;
};

// Stores the minidriver's routines; all zero disconnects: it returns once no
// call into the minidriver is in progress, and the driver calls none of its
// routines afterwards (so it must not be called from inside one of them).
// Also connects the property-change routine to the watch list.
void SRBIF_SetStreamCallbacks(DeviceContext* device, const SrbifCallbacks& callbacks);
// The tokens for the outbound half of the connect record, made on first use.
// Zero tokens when the routine table is full.
SrbifDriverTokens SRBIF_DriverTokens(DeviceContext* device);
// Hands a request block back to the minidriver through the routine its
// command calls for.
void SRBIF_CompleteToMinidriver(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb);

// ---------------------------------------------------------------------------
// The stream interface proper

constexpr ULONG kSrbifBlockTag = PoolTag("srbi");
constexpr ULONG kSrbifStreamTag = PoolTag("strm");
constexpr ULONG kSrbifRangeTag = PoolTag("stda");

// Streams of the device (the capture stream alone) and its instances.
constexpr ULONG kSrbifStreamCount = 1;
constexpr ULONG kSrbifPossibleInstances = 1;
constexpr ULONG kSrbifMaxFormats = 8;
// The watchdog's interval without a frame.
constexpr ULONG kSrbifWatchdogMs = 2500;

constexpr NTSTATUS STATUS_NO_DATA_DETECTED = static_cast<NTSTATUS>(0x80000022);
constexpr NTSTATUS STATUS_TOO_MANY_NODES = static_cast<NTSTATUS>(0xC000020E);
constexpr NTSTATUS STATUS_NO_MATCH = static_cast<NTSTATUS>(0xC0000272);

// Stream states as the request blocks carry them.
constexpr ULONG KSSTATE_STOP = 0;
constexpr ULONG KSSTATE_ACQUIRE = 1;
constexpr ULONG KSSTATE_PAUSE = 2;
constexpr ULONG KSSTATE_RUN = 3;

// Completion of a block the driver made for itself (the library's requests):
// called once with the block and the context given to SRBIF_ReceiveSRB.
using SrbCompletionRoutine = void (*)(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb,
                                      PVOID context);

// The node the driver hangs on every block it holds (SRBExtension).
struct SrbCompletionNode {
    SrbCompletionRoutine routine;  // null: back to the minidriver
    PVOID context;
    HW_STREAM_REQUEST_BLOCK* nextPending;
};
static_assert(sizeof(SrbCompletionNode) <= kNodeBytes);

// One open stream (pool "strm"), the record behind HwStreamExtension.
struct SrbifStream {
    HW_STREAM_OBJECT* streamObject;
    ULONG state;  // KSSTATE_STOP, _PAUSE or _RUN
    PVOID masterClock;
    // Queued reads, linked through NextSRB; under SrbifState::readLock.
    HW_STREAM_REQUEST_BLOCK* readHead;
    HW_STREAM_REQUEST_BLOCK* readTail;
    std::atomic<bool> frameWaiting;
    std::atomic<LONGLONG> pictureNumber;
    std::atomic<LONGLONG> dropCount;
    KS_DATAFORMAT_VIDEOINFOHEADER format;
    // Frame pacing.
    LONGLONG clockDue;           // with a master clock: stream time of the next frame
    LONGLONG frameInterval;      // 100 ns
    ULONG frameIntervalMs;
    ULONG dueMs;                 // without a clock
    ULONG earliestMs;
    ULONG lastCallMs;
    bool clockStarted;
    // Without a master clock, the camera's frames this stream let go since
    // its last filled read (dropped in the frame manager, overwritten while
    // waiting for a read, or refused by the pacing), counted into the
    // picture number and the drop count with the next frame it delivers;
    // and the frame manager's drop count already taken in.
    ULONG framesLost;
    ULONG frameManagerDropsSeen;
    // A power-down undid the enter steps of its state; power-up redoes them.
    bool suspended;
    // Opened by the capture minidriver (its blocks complete to its routines),
    // not by the library: a disconnect closes it.
    bool fromMinidriver;
    SrbifStream* next;
};

// A read between its arrival and its queue (or its completion): a cancel
// that finds it here marks it, and the read completes as cancelled at its
// next step instead of waiting in the queue. Under SrbifState::readLock.
struct SrbifReadInHand {
    HW_STREAM_REQUEST_BLOCK* srb;
    bool cancelled;
    SrbifReadInHand* next;
};

// A stream the library opened through the control interface (pool "srbi").
struct SrbifLibraryStream {
    HW_STREAM_OBJECT object;
    ULONG handle;
    PVOID owner;  // the channel (file object) that opened it
    // The handle list's reference and one per request in flight; freed at 0.
    std::atomic<LONG> refs;
    bool closed;  // under libraryLock
    SrbifLibraryStream* next;
};

struct SrbifState {
    SrbifState() {
        lock.initialise(nullptr);
        KeInitializeSpinLock(&formatLock);
        KeInitializeSpinLock(&pendingLock);
        KeInitializeSpinLock(&readLock);
        KeInitializeSpinLock(&libraryLock);
    }
    SrbifState(const SrbifState&) = delete;
    SrbifState& operator=(const SrbifState&) = delete;

    ModuleLock lock;  // the module lock: one non-read block at a time
    std::atomic<bool> terminating{false};
    std::atomic<bool> initialised{false};

    // Blocks waiting while another is processed, and how many are in hand.
    KSPIN_LOCK pendingLock;
    HW_STREAM_REQUEST_BLOCK* pendingHead = nullptr;
    HW_STREAM_REQUEST_BLOCK* pendingTail = nullptr;
    LONG processing = 0;

    // Guards every stream's read queue and the stream list's links, so that
    // cancel and delivery find a stream only while it is linked.
    KSPIN_LOCK readLock;
    SrbifStream* streams = nullptr;
    ULONG instances = 0;
    SrbifReadInHand* readsInHand = nullptr;
    // Cancel routines inside the read queues; a close waits for them.
    std::atomic<LONG> cancelsRunning{0};
    // Deliveries in progress (worker) or reads being filled at once.
    std::atomic<LONG> fillsRunning{0};

    // Free list of the library's request records, and its streams.
    KSPIN_LOCK libraryLock;
    struct SrbifSynthetic* freeBlocks = nullptr;
    SrbifLibraryStream* libraryStreams = nullptr;
    ULONG nextHandle = 0;

    // Changed under the module lock; the tick reads the first.
    std::atomic<LONG> pausedOrRunning{0};
    LONG runningCount = 0;
    LONG openStreams = 0;
    std::atomic<ULONG> lastDeliveryMs{0};
    ULONG devicePowerState = PowerDeviceD0;

    // Format list: video data ranges (pool "stda") and the tokens the stream
    // information hands out for them.
    // Guards the format list: set-size changes it under the property
    // manager's lock, the format information reads it without the module lock.
    KSPIN_LOCK formatLock;
    KS_DATARANGE_VIDEO* formats[kSrbifMaxFormats] = {};
    ULONG formatCount = 0;
    KS_DATAFORMAT_VIDEOINFOHEADER deviceFormat{};  // the last one accepted
    SrbifFormatArray formatArray{};
    // Tokens of what the stream information names (made at initialise).
    kroutine::Token infoTokens[8] = {};
};

// Initialise (start sequence): property manager, frame manager (and with it
// the camera's start-up), counts; installs the camera's add-format, the frame
// manager's delivery and set-size and the tick's watchdog.
NTSTATUS SRBIF_Initialise(DeviceContext* device);
// Stop sequence: cancels every block held, frees the streams, terminates the
// frame manager and the property manager, clears the watch list and frees
// the format list. Safe when never initialised.
void SRBIF_Terminate(DeviceContext* device);

// Takes a block from the minidriver or the driver itself. `routine` null:
// the block completes to the minidriver.
void SRBIF_ReceiveSRB(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb,
                      SrbCompletionRoutine routine, PVOID context);
// Takes a queued read out and completes it with STATUS_CANCELLED, or marks a
// read still on its way to the queue so that it completes as cancelled
// there; false when the read is neither (being filled, or done).
bool SRBIF_CancelSRB(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb);
// Disconnect: closes every stream the capture minidriver opened, its queued
// reads completing as cancelled through its routines, which must still be
// connected. Streams of the library stay.
void SRBIF_CloseMinidriverStreams(DeviceContext* device);

// Builds one data range from a format the camera allows.
NTSTATUS SRBIF_AddFormat(DeviceContext* device, const CameraVideoFormat& format);
// Validates and applies a picture size to the first format.
NTSTATUS SRBIF_SetSize(DeviceContext* device, ULONG width, ULONG height);
// Frame delivery (worker thread): one image, or none from the watchdog.
// True when a stream keeps the image waiting for a read (the frame manager
// then keeps it in its reserved buffer).
bool SRBIF_DeliverFrame(DeviceContext* device, const UCHAR* image, ULONG length);
// Whether a complete frame is wanted now (completion context); false counts
// it as refused by every reader's pacing, as the delivery would have.
bool SRBIF_FrameWanted(DeviceContext* device);
// The 100 ms tick's frame watchdog.
void SRBIF_Watchdog(DeviceContext* device, ULONG nowMs);

// Image size of a picture by the compression's rule.
ULONG SRBIF_ImageSize(ULONG compression, ULONG width, ULONG height, ULONG bitCount);

// The control interface's stream family and its property requests: every
// code of 0x2208xx but the version and identifiers, 0x220C08, 0x220C0C,
// 0x220C18 and the abort 0x220C1C. `buffer` holds at least `length` bytes,
// checked against the code's layout already.
NTSTATUS SRBIF_StreamControl(DeviceContext* device, PIRP irp, ULONG code, UCHAR* buffer,
                             ULONG length);
NTSTATUS SRBIF_PropertyControl(DeviceContext* device, PIRP irp, ULONG code, UCHAR* buffer,
                               ULONG length);
NTSTATUS SRBIF_AbortLibraryStreams(DeviceContext* device, PIRP irp);
