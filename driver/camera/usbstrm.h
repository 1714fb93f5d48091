// The streaming layer: keeps a fixed number of transfers in flight on one
// endpoint of the camera interface and hands every completed piece of data to
// its owner's data routine. One engine serves the camera's four pipes
// (isochronous video, bulk in, bulk out, interrupt). Stalls and error bursts on
// the isochronous pipe are recovered on the worker thread (USBSTRM_Crisis),
// which stops every stream of the device, re-selects the alternate setting and
// restarts them.
#pragma once

#include "driver/camera/usbif.h"

struct DeviceContext;

constexpr ULONG kUsbstrmTag = PoolTag("usbs");
constexpr LONG kEndlessTransfers = 0x0FFFFFFF;
constexpr LONG kCrisisLimit = 10;
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
    volatile LONG crisisQueued;  // recoveries queued on the worker and not yet run
    bool hasPipe;
    USBD_PIPE_INFORMATION pipe;
    KEVENT streamLock;  // an event used as a mutex by stop and recovery
    KEVENT drained;     // signalled while nothing is outstanding
    StreamDataRoutine data;
    StreamFillRoutine fill;
    StreamResetRoutine reset;
};

// The device's streams and the pipe failure flag (set when a non-isochronous
// stream fails; the camera object's waits watch it).
struct StreamList {
    KSPIN_LOCK lock;
    UsbStream* head = nullptr;
    volatile LONG pipeFailure = 0;
};

NTSTATUS USBSTRM_Create(DeviceContext* device, LONG interfaceNumber, UCHAR endpoint, ULONG transfersInFlight,
                        ULONG packetsPerTransfer, const char* name, UsbStream** stream);
void USBSTRM_Destroy(UsbStream** stream);
// The last stream of the device with that endpoint, or null.
UsbStream* USBSTRM_Find(DeviceContext* device, UCHAR endpoint);
NTSTATUS USBSTRM_Start(UsbStream* stream, ULONG totalBytes, StreamDataRoutine data, StreamFillRoutine fill,
                       StreamResetRoutine reset);
void USBSTRM_Stop(UsbStream* stream, bool fromRecovery);
void USBSTRM_CheckStall(UsbStream* stream, ULONG nowMs);
// The recovery work item (runs on the worker thread).
void USBSTRM_Crisis(DeviceContext* device, PVOID stream, PVOID unused);
// The tick's check of every stream that can stall (bulk in, isochronous, interrupt).
void USBSTRM_Tick(DeviceContext* device, ULONG nowMs);
// The milliseconds of the driver clock the streams stamp their data with.
ULONG USBSTRM_Now(DeviceContext* device);
