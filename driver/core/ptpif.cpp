// The PTP transport's sessions, lock, request FIFO and bulk receive.
//
// Locks: the module lock serialises the entry points; the request lock (a
// spin lock) guards the current request and the choice between running and
// queueing; the queue has its own spin lock inside it. Handlers run with no
// lock held, on the caller's thread for a request that found the transport
// idle and on the worker for the ones behind it. The receive lock guards the
// receive fields against the receive routine, which runs in completion
// context and never takes anything else. The cancel routine lets go of the
// cancel spin lock before it touches anything and never takes the module lock.
#include "driver/core/ptpif.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "driver/camera/camera.h"
#include "driver/camera/ptp_responder.h"
#include "driver/camera/usbif.h"
#include "driver/camera/usbstrm.h"
#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "driver/core/le_bytes.h"
#include "driver/core/spin_guard.h"
#include "pav512/buffers.h"
#include "pav512/ioctl.h"

struct PtpSession {
    ULONG id;
    PtpSession* next;
};

namespace {

using pav512::PtpHeader;

constexpr ULONG kSessionOffset = offsetof(PtpHeader, sessionId);
constexpr ULONG kOpenSessionOffset = pav512::kPtpOpenSessionOffset;
constexpr ULONG kKindOffset = offsetof(pav512::PtpTransfer, kind);

constexpr UCHAR kSuccess = pav512::kModuleStatusSuccess;
constexpr UCHAR kUnknownKind = pav512::kModuleStatusUnknownTransferKind;
constexpr UCHAR kInUse = pav512::kModuleStatusInUse;
constexpr UCHAR kClaimFailed = pav512::kModuleStatusClaimFailed;
constexpr UCHAR kAlreadyLocked = pav512::kModuleStatusAlreadyLocked;
constexpr UCHAR kNotLockOwner = pav512::kModuleStatusNotLockOwner;
constexpr UCHAR kAborted = pav512::kModuleStatusTaskAborted;
constexpr UCHAR kNotLocked = pav512::kModuleStatusPtpNotLocked;
// How often a receive looks whether it should give up early.
constexpr LONGLONG kReceiveLookMs = 20;
// How long a receive looks for its end before it sleeps (100 ns units).
constexpr LONGLONG kReceiveLookFirst100ns = 100 * 10;

// ---------------------------------------------------------------------------
// Sessions (module lock held)

bool sessionAdd(PtpState& t, ULONG id) {
    auto* s = static_cast<PtpSession*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PtpSession), kPtpTransportTag));
    if (s == nullptr) return false;
    s->id = id;
    s->next = t.sessions;
    t.sessions = s;
    return true;
}

bool sessionKnown(const PtpState& t, ULONG id) {
    for (const PtpSession* s = t.sessions; s; s = s->next)
        if (s->id == id) return true;
    return false;
}

bool sessionRemove(PtpState& t, ULONG id) {
    for (PtpSession** p = &t.sessions; *p; p = &(*p)->next) {
        if ((*p)->id != id) continue;
        PtpSession* s = *p;
        *p = s->next;
        ExFreePool(s);
        return true;
    }
    return false;
}

// Gives the camera back: the command setting is left and the camera released.
void releaseLock(DeviceContext* d) {
    PtpState& t = d->ptp;
    t.lockSession = 0;
    LONG selected = 0;
    USBIF_SetCameraAlternate(d, d->usbif.interfaceNumber, 0, &selected);
    Camera_Release(d);
}

// ---------------------------------------------------------------------------
// Cancellation

// Takes the cancel routine off a request about to be completed; when it is
// already running, waits until it has let go of the request.
void settleCancel(PtpState& t, PIRP irp) {
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) return;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
    while (InterlockedCompareExchange(&t.cancelsRunning, 0, 0) != 0) reached(deadline(1));
}

// Wakes a receive in progress so that it gives up at once.
void abandonReceive(PtpState& t) {
    SpinGuard g(t.receiveLock);
    if (t.receiveBuffer != nullptr) KeSetEvent(&t.doneEvent, IO_NO_INCREMENT, FALSE);
}

// A queued request is taken out and completed here. The current one is the
// handler's to finish: its receive in progress is woken so that it fails at
// once instead of waiting for the camera.
void ptpCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceContext* d = deviceContextOf(deviceObject);
    PtpState& t = d->ptp;
    InterlockedIncrement(&t.cancelsRunning);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (t.queue.remove(irp)) {
        completeWithModuleStatus(d, irp, STATUS_CANCELLED, 0);
    } else {
        bool isCurrent;
        {
            SpinGuard g(t.requestLock);
            isCurrent = t.current == irp;
        }
        if (isCurrent) abandonReceive(t);
    }
    InterlockedDecrement(&t.cancelsRunning);
}

bool armCancel(PIRP irp) {
    IoSetCancelRoutine(irp, ptpCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Executing requests

bool currentCancelled(PtpState& t) {
    SpinGuard g(t.requestLock);
    return t.current != nullptr && t.current->Cancel;
}

// Makes the first queued request current (none: nothing is). Under the
// request lock.
void takeNextLocked(PtpState& t) {
    t.current = t.queue.popFirst();
    t.currentBuffer =
        t.current ? static_cast<PUCHAR>(t.current->AssociatedIrp.SystemBuffer) : nullptr;
}

// Completes `irp` (the current request) and makes the next queued one current;
// true when there is one (its start is the caller's to arrange).
bool finishAndTakeNext(DeviceContext* d, PIRP irp, NTSTATUS status, UCHAR moduleStatus) {
    PtpState& t = d->ptp;
    settleCancel(t, irp);
    completeWithModuleStatus(d, irp, status, moduleStatus);
    SpinGuard g(t.requestLock);
    if (t.current == irp) takeNextLocked(t);
    return t.current != nullptr;
}

// Completes a data phase (its answer goes out now) and, unless requests are
// already waiting, lets the responder read on while the transport is still
// taken. True when a request is current afterwards (its start is the
// caller's to arrange).
bool finishAndReadAhead(DeviceContext* d, PIRP irp, UCHAR moduleStatus) {
    PtpState& t = d->ptp;
    settleCancel(t, irp);
    completeWithModuleStatus(d, irp, STATUS_SUCCESS, moduleStatus);
    {
        SpinGuard g(t.requestLock);
        if (t.current != irp) return t.current != nullptr;
        takeNextLocked(t);
        if (t.current != nullptr) return true;
        t.readingAhead = true;
    }
    if (!t.terminating && !d->stopped.load()) Camera_PtpReadAhead(d);
    SpinGuard g(t.requestLock);
    t.readingAhead = false;
    takeNextLocked(t);
    return t.current != nullptr;
}

void queueStart(DeviceContext* d) {
    if (!workerQueue(d, mPTPIF_StartNext, nullptr, nullptr)) {
        // Without a node the start cannot be deferred; running it here keeps
        // every request moving.
        mPTPIF_StartNext(d, nullptr, nullptr);
    }
}

// Runs the current request's handler; returns once it finished or handed the
// request to the completion step. Takes no module lock.
void startCurrent(DeviceContext* d) {
    PtpState& t = d->ptp;
    {
        PIRP irp;
        PUCHAR buffer;
        {
            SpinGuard g(t.requestLock);
            irp = t.current;
            buffer = t.currentBuffer;
        }
        if (irp == nullptr) return;
        if (irp->Cancel || t.terminating || d->stopped.load()) {
            const bool cancelled = irp->Cancel;
            if (finishAndTakeNext(d, irp, cancelled ? STATUS_CANCELLED : STATUS_SUCCESS, kAborted))
                queueStart(d);
            return;
        }
        IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
        const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
        const ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        const ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
        const ULONG length = in < out ? in : out;
        ULONG later = 0;
        bool dataPhase = false;
        if (code == pav512::IOCTL_PTP_COMMAND) {
            later = Camera_PtpClassRequest(d, buffer, length);
        } else {
            switch (get16(buffer + kKindOffset)) {
                case 1:
                    later = Camera_PtpCommandPhase(d, buffer, length);
                    break;
                case 2:
                    dataPhase = true;
                    later = Camera_PtpDataPhase(d, buffer, length);
                    break;
                case 3:
                    later = Camera_PtpResponsePhase(d, buffer, length);
                    break;
                default:
                    buffer[0] = kUnknownKind;
                    break;
            }
        }
        // A handler that answers later completes through the completion step.
        if (later != 0) return;
        if (dataPhase) {
            if (finishAndReadAhead(d, irp, buffer[0])) queueStart(d);
            return;
        }
        // Whatever the handler's thread, the next request runs on the worker:
        // the caller of this one is not kept waiting for the ones behind it.
        if (finishAndTakeNext(d, irp, STATUS_SUCCESS, buffer[0])) queueStart(d);
        return;
    }
}

// Common entry of transfers and commands.
NTSTATUS submitRequest(DeviceContext* d, PIRP irp, PUCHAR buffer, const char* tag) {
    PtpState& t = d->ptp;
    const ULONG session = get32(buffer + kSessionOffset);
    bool startNow = false;
    {
        ModuleLockGuard g(t.lock, tag);
        UCHAR refusal = kSuccess;
        if (!g.owns())
            refusal = kNotLockOwner;
        else if (t.lockSession == 0)
            refusal = kNotLocked;
        else if (t.lockSession != session)
            refusal = kNotLockOwner;
        if (refusal != kSuccess) {
            completeWithModuleStatus(d, irp, STATUS_SUCCESS, refusal);
            return STATUS_SUCCESS;
        }
        buffer[0] = kSuccess;
        IoMarkIrpPending(irp);
        {
            SpinGuard r(t.requestLock);
            if (t.current != nullptr || t.readingAhead) {
                t.queue.append(irp, RequestKey{session, 0, 0});
            } else {
                t.current = irp;
                t.currentBuffer = buffer;
                startNow = true;
            }
        }
        if (!armCancel(irp)) {
            // Cancelled before it could be: a queued request leaves here, the
            // current one when it is started.
            if (!startNow && t.queue.remove(irp))
                completeWithModuleStatus(d, irp, STATUS_CANCELLED, 0);
        }
    }
    if (startNow) startCurrent(d);
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------
// Receive routine (completion context)

bool hasMarker(const UCHAR* buffer, ULONG length) {
    return length >= 64 && buffer[0] == 0xED && buffer[1] == 0x15 && buffer[62] == 0xED &&
           buffer[63] == 0x15;
}

void ptpReceive(DeviceContext* d, PUCHAR data, ULONG length) {
    PtpState& t = d->ptp;
    SpinGuard g(t.receiveLock);
    if (t.receiveBuffer == nullptr) return;
    if (length >= t.receiveRemaining) {
        t.receiveStatus = length == t.receiveRemaining ? kPtpReceiveOk : kPtpReceiveTooLong;
        length = t.receiveRemaining;
    }
    if (length) std::memcpy(t.receiveBuffer + t.position, data, length);
    t.position += length;
    t.receiveRemaining -= length;
    if (t.receiveRemaining != 0) return;
    if (t.receiveStatus == kPtpReceiveOk && hasMarker(t.receiveBuffer, t.position))
        t.receiveStatus = kPtpReceiveMarker;
    t.receiveBuffer = nullptr;
    KeSetEvent(&t.doneEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points

UCHAR PTPIF_Open(DeviceContext* device, PUCHAR header) {
    PtpState& t = device->ptp;
    ModuleLockGuard g(t.lock, "PTPIF_Open");
    if (!g.owns()) return kInUse;
    const ULONG id = static_cast<ULONG>(InterlockedIncrement(&t.sessionCounter)) + 1;
    if (!sessionAdd(t, id)) return kInUse;
    InterlockedIncrement(&t.openCount);
    put32(header + kOpenSessionOffset, id);
    InterlockedIncrement(&device->openSessions);
    return kSuccess;
}

UCHAR PTPIF_OpenWIA(DeviceContext* device, PUCHAR header) {
    PtpState& t = device->ptp;
    ModuleLockGuard g(t.lock, "PTPIF_OpenWIA");
    if (!g.owns() || t.pictureServiceSession != 0) return kInUse;
    const ULONG id = static_cast<ULONG>(InterlockedIncrement(&t.sessionCounter)) + 1;
    if (!sessionAdd(t, id)) return kInUse;
    InterlockedIncrement(&t.openCount);
    t.pictureServiceSession = id;
    put32(header + kOpenSessionOffset, id);
    InterlockedIncrement(&device->openSessions);
    return kSuccess;
}

UCHAR PTPIF_Close(DeviceContext* device, PUCHAR header) {
    PtpState& t = device->ptp;
    const ULONG session = get32(header + kSessionOffset);
    ModuleLockGuard g(t.lock, "PTPIF_Close");
    if (!g.owns()) return kSuccess;
    if (session == 0 || !sessionRemove(t, session)) return kSuccess;
    InterlockedDecrement(&t.openCount);
    if (session == t.lockSession) releaseLock(device);
    if (session == t.pictureServiceSession) t.pictureServiceSession = 0;
    InterlockedDecrement(&device->openSessions);
    return kSuccess;
}

UCHAR PTPIF_Lock(DeviceContext* device, PUCHAR header) {
    PtpState& t = device->ptp;
    const ULONG session = get32(header + kSessionOffset);
    ModuleLockGuard g(t.lock, "PTPIF_Lock");
    if (!g.owns() || t.lockSession != 0) return kAlreadyLocked;
    // Only an open session may hold the camera: a lock nobody can close
    // would keep it from every other user.
    if (session == 0 || !sessionKnown(t, session)) return kNotLockOwner;
    if (!NT_SUCCESS(Camera_Acquire(device, 0))) return kAlreadyLocked;
    LONG selected = 0;
    NTSTATUS status = USBIF_SetCameraAlternate(device, device->usbif.interfaceNumber, 1, &selected);
    if (!NT_SUCCESS(status) || selected != 1) {
        Camera_Release(device);
        return kClaimFailed;
    }
    t.lockSession = session;
    return kSuccess;
}

UCHAR PTPIF_Unlock(DeviceContext* device, PUCHAR header) {
    PtpState& t = device->ptp;
    const ULONG session = get32(header + kSessionOffset);
    ModuleLockGuard g(t.lock, "PTPIF_Unlock");
    if (!g.owns() || session == 0 || session != t.lockSession) return kNotLockOwner;
    releaseLock(device);
    return kSuccess;
}

NTSTATUS PTPIF_Transfer(DeviceContext* device, PIRP irp, PUCHAR buffer, ULONG) {
    return submitRequest(device, irp, buffer, "PTPIF_Transfer");
}

NTSTATUS PTPIF_Command(DeviceContext* device, PIRP irp, PUCHAR buffer, ULONG length) {
    // The bytes to send must lie inside the data area the buffer holds.
    const pav512::PtpCommand* c = reinterpret_cast<const pav512::PtpCommand*>(buffer);
    ULONG toSend;
    std::memcpy(&toSend, &c->dataLength, sizeof toSend);
    if (toSend > length - pav512::kPtpDataOffset) {
        completeRequest(device, irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    return submitRequest(device, irp, buffer, "PTPIF_Command");
}

NTSTATUS PTPIF_DeviceControl(DeviceContext* device, PIRP irp, ULONG code, PUCHAR buffer,
                             ULONG length) {
    if (buffer == nullptr || length < sizeof(PtpHeader)) {
        completeRequest(device, irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    if (!device->ptp.initialised) {
        completeRequest(device, irp, STATUS_INVALID_DEVICE_STATE, 0);
        return STATUS_INVALID_DEVICE_STATE;
    }
    UCHAR status;
    switch (code) {
        case pav512::IOCTL_PTP_OPEN:
            status = PTPIF_Open(device, buffer);
            break;
        case pav512::IOCTL_PTP_OPEN_WIA:
            status = PTPIF_OpenWIA(device, buffer);
            break;
        case pav512::IOCTL_PTP_CLOSE:
            status = PTPIF_Close(device, buffer);
            break;
        case pav512::IOCTL_PTP_LOCK:
            status = PTPIF_Lock(device, buffer);
            break;
        case pav512::IOCTL_PTP_UNLOCK:
            status = PTPIF_Unlock(device, buffer);
            break;
        case pav512::IOCTL_PTP_WAIT_EVENT:
            status = kSuccess;
            break;
        case pav512::IOCTL_PTP_TRANSFER:
            return PTPIF_Transfer(device, irp, buffer, length);
        case pav512::IOCTL_PTP_COMMAND:
            return PTPIF_Command(device, irp, buffer, length);
        default:
            completeRequest(device, irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    completeWithModuleStatus(device, irp, STATUS_SUCCESS, status);
    return STATUS_SUCCESS;
}

void PTPIF_CompleteRequest(DeviceContext* device, PIRP irp, UCHAR moduleStatus) {
    if (finishAndTakeNext(device, irp, STATUS_SUCCESS, moduleStatus)) queueStart(device);
}

void mPTPIF_StartNext(DeviceContext* device, PVOID, PVOID) {
    if (!device->ptp.initialised) return;
    startCurrent(device);
}

// ---------------------------------------------------------------------------
// Receive

NTSTATUS mPTPIF_USBBulkTransfer(DeviceContext* device, PUCHAR buffer, ULONG length, ULONG* received,
                                ULONG* receiveStatus, PtpReceiveAsk* ask) {
    PtpState& t = device->ptp;
    if (received) *received = 0;
    if (receiveStatus) *receiveStatus = kPtpReceiveOk;
    if (buffer == nullptr || length == 0) return STATUS_INVALID_PARAMETER;
    UsbStream* pipe = device->camera.bulkIn;
    if (pipe == nullptr) return STATUS_DEVICE_NOT_READY;
    KeWaitForSingleObject(&t.bulkLock, Executive, KernelMode, FALSE, nullptr);
    // A request that was cancelled, or a transport on its way down, starts
    // no more reads.
    if (t.terminating || currentCancelled(t)) {
        KeSetEvent(&t.bulkLock, IO_NO_INCREMENT, FALSE);
        return STATUS_UNSUCCESSFUL;
    }
    {
        SpinGuard g(t.receiveLock);
        t.receivePipe = pipe;
        t.direction = 0;
        t.sendRemaining = 0;
        t.receiveRemaining = length;
        t.position = 0;
        t.receiveBuffer = buffer;
        t.receiveStatus = kPtpReceiveOk;
        t.ask = ask;
        KeResetEvent(&t.doneEvent);
    }
    // The ask goes first: the camera keeps its answer until a transfer asks
    // for it, and the camera's side is then already busy with the request
    // when the stream's first transfer comes. One that could not be sent
    // leaves nothing to wait for.
    if (ask && !ask->send(device, ask)) abandonReceive(t);
    NTSTATUS result = USBSTRM_Start(pipe, length, ptpReceive, nullptr, nullptr);
    if (NT_SUCCESS(result)) {
        // The wait looks up now and then: a device that is being stopped
        // waits for the calls inside it, and one that was pulled sends
        // nothing more, so the receive gives up rather than hold the stop
        // for its whole time. A cancel or the termination sets the event.
        const LONGLONG until = deadline(kPtpReceiveWaitMs);
        NTSTATUS wait = STATUS_TIMEOUT;
        // A camera that answers at once has done so within microseconds:
        // look for the end for a moment before sleeping, so that this thread
        // is still awake (and the reply goes on at once) when it comes.
        LARGE_INTEGER looked;
        KeQuerySystemTime(&looked);
        const LONGLONG lookUntil = looked.QuadPart + kReceiveLookFirst100ns;
        while (KeReadStateEvent(&t.doneEvent) == 0 && looked.QuadPart < lookUntil) {
            std::this_thread::yield();
            KeQuerySystemTime(&looked);
        }
        for (;;) {
            if (currentCancelled(t) || t.terminating || device->stopped.load()) {
                abandonReceive(t);
                wait = STATUS_SUCCESS;
                break;
            }
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            if (now.QuadPart >= until) break;
            LARGE_INTEGER slice;
            slice.QuadPart = -std::min<LONGLONG>(until - now.QuadPart, kReceiveLookMs * 10000);
            wait = KeWaitForSingleObject(&t.doneEvent, Executive, KernelMode, TRUE, &slice);
            if (wait != STATUS_TIMEOUT) break;
        }
        SpinGuard g(t.receiveLock);
        if (wait == STATUS_TIMEOUT)
            result = STATUS_TIMEOUT;
        else if (t.receiveRemaining != 0)
            result = STATUS_UNSUCCESSFUL;
    }
    USBSTRM_Stop(pipe, false);
    {
        SpinGuard g(t.receiveLock);
        // Nothing of a late transfer reaches the caller's buffer any more.
        t.receiveBuffer = nullptr;
        t.receiveRemaining = 0;
        t.ask = nullptr;
        if (received) *received = t.position;
        if (receiveStatus) *receiveStatus = t.receiveStatus;
        KeResetEvent(&t.doneEvent);
    }
    KeSetEvent(&t.bulkLock, IO_NO_INCREMENT, FALSE);
    return result;
}

void mPTPIF_AskFailed(DeviceContext* device, PtpReceiveAsk* ask) {
    PtpState& t = device->ptp;
    SpinGuard g(t.receiveLock);
    if (t.ask == ask && t.receiveBuffer != nullptr)
        KeSetEvent(&t.doneEvent, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------
// Start and stop

NTSTATUS PTPIF_Initialise(DeviceContext* device) {
    PtpState& t = device->ptp;
    t.lock.initialise(&device->lockTrace);
    KeInitializeSpinLock(&t.requestLock);
    KeInitializeSpinLock(&t.receiveLock);
    KeInitializeEvent(&t.bulkLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&t.doneEvent, NotificationEvent, FALSE);
    t.openCount = 0;
    t.lockSession = 0;
    t.pictureServiceSession = 0;
    t.current = nullptr;
    t.currentBuffer = nullptr;
    t.receivePipe = nullptr;
    t.direction = 0;
    t.sendRemaining = 0;
    t.receiveRemaining = 0;
    t.position = 0;
    t.receiveBuffer = nullptr;
    t.receiveStatus = kPtpReceiveOk;
    InterlockedExchange(&t.terminating, 0);
    NTSTATUS status = Camera_PtpInitialise(device);
    if (!NT_SUCCESS(status)) return status;
    t.initialised = true;
    return STATUS_SUCCESS;
}

void PTPIF_Terminate(DeviceContext* device) {
    PtpState& t = device->ptp;
    if (!t.initialised) return;
    InterlockedExchange(&t.terminating, 1);
    {
        // Every request must leave, so the stop goes on even when the lock
        // cannot be had.
        ModuleLockGuard g(t.lock, "PTPIF_Terminate");
        while (PIRP irp = t.queue.popFirst()) {
            settleCancel(t, irp);
            completeWithModuleStatus(device, irp, STATUS_SUCCESS, kAborted);
        }
        abandonReceive(t);
        KeWaitForSingleObject(&t.bulkLock, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&t.bulkLock, IO_NO_INCREMENT, FALSE);
    }
    // The request being executed finishes on its own thread (its reads fail
    // now); the responder's state goes only after it.
    for (;;) {
        {
            SpinGuard g(t.requestLock);
            if (t.current == nullptr && !t.readingAhead) break;
        }
        abandonReceive(t);
        reached(deadline(1));
    }
    {
        ModuleLockGuard g(t.lock, "PTPIF_Terminate");
        // Sessions do not survive a stop: the next start begins with none.
        while (t.sessions) {
            sessionRemove(t, t.sessions->id);
            InterlockedDecrement(&device->openSessions);
        }
        if (t.lockSession != 0) {
            t.lockSession = 0;
            Camera_Release(device);
        }
        t.openCount = 0;
        t.pictureServiceSession = 0;
        t.initialised = false;
    }
    while (InterlockedCompareExchange(&t.cancelsRunning, 0, 0) != 0) reached(deadline(1));
    Camera_PtpTerminate(device);
}
