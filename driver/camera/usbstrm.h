// The streaming layer: keeps a fixed number of transfers in flight on one
// endpoint of the camera interface and hands every completed piece of data to
// its owner's data routine. One engine serves the camera's four pipes
// (isochronous video, bulk in, bulk out, interrupt). Stalls and error bursts on
// the isochronous pipe are recovered on the worker thread (USBSTRM_Crisis),
// which stops every stream of the device, re-selects the alternate setting and
// restarts them.
#pragma once

#include "driver/camera/usbif.h"
#include "driver/core/support.h"

struct DeviceContext;

constexpr ULONG kUsbstrmTag = PoolTag("usbs");
constexpr LONG kEndlessTransfers = 0x0FFFFFFF;
constexpr LONG kCrisisLimit = 10;
// Transfers one stream keeps in flight at most; packets per transfer at most
// (the bus takes no more in one isochronous URB).
constexpr ULONG kMaxTransfersInFlight = 32;
constexpr ULONG kMaxPacketsPerTransfer = 255;
// Streams a recovery pauses at most (the camera has four pipes).
constexpr ULONG kMaxStreamsPerDevice = 16;
constexpr ULONG kStallMs = 200;
constexpr ULONG kStopWaitMs = 1000;
constexpr ULONG kStopWaitRecoveryMs = 250;
constexpr UCHAR kIsochronousEndpoint = 0x81;
constexpr UCHAR kBulkOutEndpoint = 0x05;

using StreamDataRoutine = void (*)(DeviceContext* device, PUCHAR data, ULONG length);
// Fills an outgoing transfer of at most `length` bytes; returns the bytes it supplied.
using StreamFillRoutine = ULONG (*)(DeviceContext* device, PUCHAR buffer, ULONG length);
// Called with 1 before and 0 after a recovery re-selects the setting.
using StreamResetRoutine = void (*)(DeviceContext* device, ULONG phase);

struct UsbStream;
// A non-isochronous stream has failed for its current start and stopped
// resubmitting (the pipe failure flag follows); completion context, once per
// start.
using StreamFailRoutine = void (*)(DeviceContext* device, UsbStream* stream);

// One transfer: a request, its URB and its data buffer, recycled on completion.
struct StreamTransfer {
    UsbStream* stream;
    PIRP irp;
    PURB urb;
    USHORT urbSize;
    PUCHAR buffer;
    ULONG bufferLength;
    ULONG generation;  // the start it belongs to
    UsbCompletionRecord record;
};

struct UsbStream {
    UsbStream* next;  // the device's list, in creation order
    DeviceContext* device;
    ULONG id;  // never reused on the device: a queued recovery finds its stream by it
    UCHAR endpoint;
    LONG interfaceNumber;
    const char* name;
    ULONG packetsPerTransfer;  // P
    ULONG transfersInFlight;   // N
    bool isochronous;
    bool out;
    volatile LONG active;
    volatile LONG transfersLeft;
    volatile LONG packetsInLast;
    volatile LONG outstanding;
    volatile LONG nesting;
    volatile LONG errorFlag;
    volatile LONG lastGoodMs;
    volatile LONG crisisCount;
    volatile LONG paused;
    volatile LONG generation;
    // Started by its owner and not stopped by it since: what a recovery and
    // the stall check keep going, whether transfers are out or not.
    volatile LONG running;
    volatile LONG recoveryPending;  // a recovery was asked for and has not run
    volatile LONG recovering;       // a recovery is working on it
    volatile LONG failureReported;
    bool hasPipe;
    USBD_PIPE_INFORMATION pipe;
    KEVENT streamLock;  // an event used as a mutex by stop and recovery
    StreamDataRoutine data;
    StreamFillRoutine fill;
    StreamResetRoutine reset;
    StreamFailRoutine failed;
};

// One diagnostic bulk transfer of a client (at most one per device): the
// client's data area and how far the stream has got with it.
struct DebugTransfer {
    DebugTransfer() {
        KeInitializeSpinLock(&lock);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
    }
    volatile LONG busy = 0;
    // Guards `data` against completions that outlive the request: the area
    // is the client's and goes with its request.
    KSPIN_LOCK lock;
    PUCHAR data = nullptr;
    ULONG length = 0;
    bool outgoing = false;
    volatile LONG supplied = 0;  // bytes handed to outgoing transfers
    volatile LONG arrived = 0;   // bytes received (or confirmed sent)
    volatile LONG overrun = 0;   // more came than was left: counting ended
    KEVENT done;                 // set once exactly `length` bytes came; the request waits on it
};

// The device's streams and the pipe failure flag (set when a non-isochronous
// stream fails; the camera object's waits watch it).
struct StreamList {
    StreamList() {
        KeInitializeSpinLock(&lock);
        KeInitializeEvent(&recoveryLock, SynchronizationEvent, TRUE);
    }
    KSPIN_LOCK lock;  // guards the list links
    UsbStream* head = nullptr;
    volatile LONG pipeFailure = 0;
    volatile LONG nextId = 0;
    // Held by a recovery while it works on the device's streams and by a
    // destroy while it unlinks one, so no recovery ever holds a freed stream.
    KEVENT recoveryLock;
    // Runs USBSTRM_Crisis for every stream whose recovery is pending; kept
    // here so that no recovery is lost when the node pool is empty.
    ReservedWork recovery;
    DebugTransfer debug;
};

// STATUS_INVALID_PARAMETER for 0 or more than the limits above.
NTSTATUS USBSTRM_Create(DeviceContext* device, LONG interfaceNumber, UCHAR endpoint,
                        ULONG transfersInFlight, ULONG packetsPerTransfer, const char* name,
                        UsbStream** stream);
// Stops the stream and waits until every transfer is back, then frees it.
// A recovery still queued for it finds nothing afterwards. Not from a
// completion routine or the tick.
void USBSTRM_Destroy(UsbStream** stream);
// The last stream of the device with that endpoint, or null.
UsbStream* USBSTRM_Find(DeviceContext* device, UCHAR endpoint);
// totalBytes 0 runs endlessly. An outgoing stream needs a fill routine
// (STATUS_INVALID_PARAMETER otherwise): only what it supplies is sent.
NTSTATUS USBSTRM_Start(UsbStream* stream, ULONG totalBytes, StreamDataRoutine data,
                       StreamFillRoutine fill, StreamResetRoutine reset,
                       StreamFailRoutine failed = nullptr);
// Fills in a transfer for its next submission (first or recycled); allocates nothing.
NTSTATUS USBSTRM_BuildTransfer(StreamTransfer* transfer);
// The completion routine of every transfer (completion context).
NTSTATUS USBSTRM_Complete(DeviceContext* device, PIRP irp, PURB urb, PVOID transfer);
void USBSTRM_Stop(UsbStream* stream, bool fromRecovery);
void USBSTRM_CheckStall(UsbStream* stream, ULONG nowMs);
// The recovery work item (runs on the worker thread): recovers every stream
// whose recovery is pending (`streamId` 0), or that one stream.
void USBSTRM_Crisis(DeviceContext* device, PVOID streamId, PVOID unused);
// The module operation of the start sequence: puts USBSTRM_Tick on the
// 100 ms tick unless another routine that calls it is there already.
NTSTATUS USBSTRM_Initialise(DeviceContext* device);
// The tick's check of every stream that can stall (bulk in, isochronous, interrupt).
void USBSTRM_Tick(DeviceContext* device, ULONG nowMs);
// The milliseconds of the driver clock the streams stamp their data with.
ULONG USBSTRM_Now(DeviceContext* device);
