// The PTP transport: carries Picture Transfer Protocol transactions from user
// mode to the camera engine's PTP responder. It keeps the PTP sessions (one of
// them may be the imaging service's picture-service session), a lock that
// gives one session the camera in its command setting, a FIFO of transfer and
// command requests of which one executes at a time, and the synchronous
// bulk-in receive the responder reads the camera's answers with.
#pragma once

#include <atomic>

#include "driver/core/support.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;
struct UsbStream;
struct PtpSession;
struct PtpReceiveAsk;

constexpr ULONG kPtpTransportTag = PoolTag("ptpi");
// How long a receive waits for the camera's answer.
constexpr ULONG kPtpReceiveWaitMs = 6000;

// Receive statuses (the module statuses a receive can end with).
constexpr ULONG kPtpReceiveOk = 0;
constexpr ULONG kPtpReceiveMarker = 53;   // 0xED 0x15 at offsets 0 and 62
constexpr ULONG kPtpReceiveTooLong = 55;  // the camera sent more than asked

struct PtpState {
    ModuleLock lock;  // serialises the entry points
    // Source of session identifiers; never reset while the device object lives.
    volatile LONG sessionCounter = 0;
    volatile LONG openCount = 0;
    ULONG lockSession = 0;
    ULONG pictureServiceSession = 0;
    // The sessions open now: a close or lock naming one that is not (a stale
    // or made-up identifier) changes nothing.
    PtpSession* sessions = nullptr;

    // The request being executed and those behind it. `current` and the
    // decision to queue are taken under the request lock, so a completion
    // that takes the next request never races an arriving one.
    KSPIN_LOCK requestLock;
    RequestFifo queue;
    PIRP current = nullptr;
    PUCHAR currentBuffer = nullptr;
    // The responder reads on after a data phase was answered: requests that
    // arrive meanwhile queue behind it, as behind a current one.
    std::atomic<bool> readingAhead{false};
    volatile LONG cancelsRunning = 0;

    // The bulk receive. The receive routine runs in completion context and
    // touches the fields below only under the receive lock.
    KEVENT bulkLock;  // synchronisation event: one receive at a time
    KSPIN_LOCK receiveLock;
    UsbStream* receivePipe = nullptr;
    ULONG direction = 0;  // 0 = receive, the only direction used
    ULONG sendRemaining = 0;
    ULONG receiveRemaining = 0;
    ULONG position = 0;
    PUCHAR receiveBuffer = nullptr;  // null when no receive is in progress
    KEVENT doneEvent;                // notification
    ULONG receiveStatus = kPtpReceiveOk;
    PtpReceiveAsk* ask = nullptr;  // the request of the receive in progress, if any

    volatile LONG terminating = 0;
    bool initialised = false;
};

// Module pair of the start and stop sequences.
NTSTATUS PTPIF_Initialise(DeviceContext* device);
void PTPIF_Terminate(DeviceContext* device);

// The PTP family's codes other than the version (0x221004 to 0x221020).
// `length` is the smaller of the request's input and output lengths; the
// dispatch switch has checked that it holds the header and the data area the
// header announces. Every request leaves through the completion operations.
NTSTATUS PTPIF_DeviceControl(DeviceContext* device, PIRP irp, ULONG code, PUCHAR buffer,
                             ULONG length);

// The entry points behind the codes.
UCHAR PTPIF_Open(DeviceContext* device, PUCHAR header);
UCHAR PTPIF_OpenWIA(DeviceContext* device, PUCHAR header);
UCHAR PTPIF_Close(DeviceContext* device, PUCHAR header);
UCHAR PTPIF_Lock(DeviceContext* device, PUCHAR header);
UCHAR PTPIF_Unlock(DeviceContext* device, PUCHAR header);
NTSTATUS PTPIF_Transfer(DeviceContext* device, PIRP irp, PUCHAR buffer, ULONG length);
NTSTATUS PTPIF_Command(DeviceContext* device, PIRP irp, PUCHAR buffer, ULONG length);

// Reads exactly `length` bytes from the camera's bulk-in pipe into `buffer`.
// STATUS_SUCCESS when they all came (*receiveStatus then 0, 53 or 55);
// STATUS_TIMEOUT when the camera sent nothing more for 6 seconds (a success
// value: *received bytes are in the buffer); STATUS_UNSUCCESSFUL when the
// receive was abandoned (the request was cancelled or the transport stops);
// a stream failure's status otherwise. For the camera engine.
//
// With an ask, the request that makes the camera send the bytes is sent by
// the receive itself, just before its stream starts (see PtpReceiveAsk); an
// ask that fails ends the receive at once, as an abandoned one.
NTSTATUS mPTPIF_USBBulkTransfer(DeviceContext* device, PUCHAR buffer, ULONG length, ULONG* received,
                                ULONG* receiveStatus, PtpReceiveAsk* ask = nullptr);

// The request that makes the camera send what a receive reads. Sent and
// waited for before the receive, it costs the reading thread two wake-ups a
// read (the request's completion, then the data's); sent by the receive
// without waiting for it, it is followed at once by the stream's transfer,
// which the camera fills as soon as it has the answer (it keeps the answer
// until a transfer asks for it), and the thread wakes once, for the data.
// The owner keeps the ask until its request has completed, whatever the
// receive's result.
struct PtpReceiveAsk {
    // Sends the request without waiting for it; false when it could not be
    // sent. A completion that failed calls mPTPIF_AskFailed.
    bool (*send)(DeviceContext* device, PtpReceiveAsk* ask) = nullptr;
};
// From the ask's completion: the camera will send nothing, so the receive
// waiting for it gives up now rather than after its whole time. Nothing
// happens when `ask` is not the receive's in progress (it has ended).
void mPTPIF_AskFailed(DeviceContext* device, PtpReceiveAsk* ask);

// Completion step for a handler that answered later: completes `irp` with
// the module status and starts the next queued request on the worker.
void PTPIF_CompleteRequest(DeviceContext* device, PIRP irp, UCHAR moduleStatus);
// The work item that starts the next request (worker thread).
void mPTPIF_StartNext(DeviceContext* device, PVOID unused1, PVOID unused2);
