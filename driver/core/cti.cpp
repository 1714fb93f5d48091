// The command transport's sessions, lock, queue and block engine.
//
// Locks: the module lock serialises the entry points and the engine; the
// queue has its own spin lock; the engine lock (a spin lock) guards the
// current transaction against the completion, receive and send routines,
// which never take the module lock. The cancel routine lets go of the cancel
// spin lock before it touches anything else and never takes the module lock,
// so no order between the two can deadlock.
//
// Every event that moves the engine on (a control request ends, a bulk block
// has seen its last byte, a cancel) reaches it as a work item. Each carries
// the block sequence it belongs to, so the event of a block that was closed
// meanwhile (aborted, cancelled) can never close the block after it.
#include "driver/core/cti.h"

#include <cstring>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "driver/core/le_bytes.h"
#include "pav512/buffers.h"
#include "pav512/ioctl.h"

struct CtiSession {
    ULONG id;
    CtiSession* next;
};

namespace {

using pav512::CommandHeader;
using pav512::TransactionBlock;

constexpr ULONG kHeaderLength = sizeof(CommandHeader);
constexpr ULONG kSessionOffset = offsetof(CommandHeader, sessionId);
constexpr ULONG kThreadOffset = offsetof(CommandHeader, threadId);
constexpr ULONG kTaskOffset = offsetof(CommandHeader, taskId);
constexpr ULONG kValueOffset = offsetof(CommandHeader, value);
constexpr ULONG kListOffset = pav512::kTransactionListOffset;
constexpr ULONG kBlockHeaderLength = sizeof(TransactionBlock);
constexpr ULONG kBlockKind = offsetof(TransactionBlock, kind);
constexpr ULONG kBlockDirection = offsetof(TransactionBlock, bulkDirection);
constexpr ULONG kBlockDataLength = offsetof(TransactionBlock, dataLength);
constexpr ULONG kBlockStatus = offsetof(TransactionBlock, blockStatus);
constexpr ULONG kBlockRequest = offsetof(TransactionBlock, request);
constexpr ULONG kBlockValueHigh = offsetof(TransactionBlock, valueHigh);
constexpr ULONG kBlockValueLow = offsetof(TransactionBlock, valueLow);
constexpr ULONG kBlockIndexHigh = offsetof(TransactionBlock, indexHigh);
constexpr ULONG kBlockIndexLow = offsetof(TransactionBlock, indexLow);
constexpr ULONG kBlockData = sizeof(TransactionBlock);
constexpr ULONG kMaxControlData = 0xFFFF;  // a control transfer's wLength

constexpr UCHAR kSuccess = pav512::kModuleStatusSuccess;
constexpr UCHAR kInUse = pav512::kModuleStatusInUse;
constexpr UCHAR kClaimFailed = pav512::kModuleStatusClaimFailed;
constexpr UCHAR kAlreadyLocked = pav512::kModuleStatusAlreadyLocked;
constexpr UCHAR kNotLockOwner = pav512::kModuleStatusNotLockOwner;
constexpr UCHAR kNoSuchTask = pav512::kModuleStatusNoSuchTask;
constexpr UCHAR kControlFailed = pav512::kModuleStatusControlTransferFailed;
constexpr UCHAR kBulkFailed = pav512::kModuleStatusBulkTransferFailed;
constexpr UCHAR kAborted = pav512::kModuleStatusTaskAborted;

enum TriggerKind : ULONG_PTR {
    kTriggerStep = 0,  // the block of the given sequence has ended
    kTriggerKick = 1,  // a transaction was cancelled: see whether it is the current one
};

class EngineGuard {
  public:
    explicit EngineGuard(CtiState& t) : lock_(t.engineLock), irql_(KfAcquireSpinLock(&lock_)) {}
    ~EngineGuard() { KfReleaseSpinLock(&lock_, irql_); }
    EngineGuard(const EngineGuard&) = delete;
    EngineGuard& operator=(const EngineGuard&) = delete;

  private:
    KSPIN_LOCK& lock_;
    KIRQL irql_;
};

// One control block in flight. The camera reads from and writes into this
// copy, never into the client's buffer, which may be gone by the time an
// aborted request comes back from the bus.
struct ControlRecord {
    ULONG sequence;
    ULONG length;
    bool in;
    UCHAR data[1];
};

void queueTrigger(DeviceContext* d, ULONG sequence, TriggerKind kind) {
    CtiState& t = d->cti;
    if (kind == kTriggerKick) {
        InterlockedExchange(&t.kickPending, 1);
    } else if (sequence != 0) {
        EngineGuard g(t);
        t.endedSequence = sequence;
    }
    workerQueueReserved(d, &t.engineWork, mCTIIF_ProcessNextBlock, nullptr, nullptr);
}

// ---------------------------------------------------------------------------
// Sessions

bool sessionAdd(CtiState& t, ULONG id) {
    auto* s =
        static_cast<CtiSession*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(CtiSession), kCtiTag));
    if (s == nullptr) return false;
    s->id = id;
    s->next = t.sessions;
    t.sessions = s;
    return true;
}

bool sessionRemove(CtiState& t, ULONG id) {
    for (CtiSession** p = &t.sessions; *p; p = &(*p)->next) {
        if ((*p)->id != id) continue;
        CtiSession* s = *p;
        *p = s->next;
        ExFreePool(s);
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Cancellation

// Takes the cancel routine off a request about to be completed. When the
// routine is already running, waits until it has let go of the request:
// it may still look for the request in the queue.
void settleCancel(CtiState& t, PIRP irp) {
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) return;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
    while (InterlockedCompareExchange(&t.cancelsRunning, 0, 0) != 0) reached(deadline(1));
}

// A queued request is taken out of the queue and completed here; the current
// one is left to the engine, which closes its block first.
void ctiCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceContext* d = deviceContextOf(deviceObject);
    CtiState& t = d->cti;
    InterlockedIncrement(&t.cancelsRunning);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (t.queue.remove(irp))
        completeWithModuleStatus(d, irp, STATUS_CANCELLED, 0);
    else
        queueTrigger(d, 0, kTriggerKick);
    InterlockedDecrement(&t.cancelsRunning);
}

// Sets the cancel routine on a request that waits in the module; false when
// the request was cancelled before (the caller then completes it).
bool armCancel(PIRP irp) {
    IoSetCancelRoutine(irp, ctiCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) return false;
    return true;
}

// ---------------------------------------------------------------------------
// The current transaction (module lock held)

PUCHAR currentBlockPointer(CtiState& t) {
    return t.currentBuffer + t.currentBlock;
}

void setStatuses(CtiState& t, UCHAR status) {
    t.currentBuffer[0] = status;
    if (t.currentBlock != 0) currentBlockPointer(t)[kBlockStatus] = status;
}

// Ends whatever the current block has running. Completions of it that come
// later find a newer sequence and change nothing.
void closeBlock(DeviceContext* d) {
    CtiState& t = d->cti;
    UsbStream* stream;
    {
        EngineGuard g(t);
        ++t.blockSequence;
        stream = t.bulkStream;
        t.bulkStream = nullptr;
    }
    USBIF_CancelVendorRequest(&t.pendingControl);
    if (stream) USBSTRM_Stop(stream, false);
}

void completeCurrent(DeviceContext* d, NTSTATUS status, UCHAR moduleStatus) {
    CtiState& t = d->cti;
    PIRP irp;
    {
        EngineGuard g(t);
        irp = t.current;
        t.current = nullptr;
        t.currentBuffer = nullptr;
        t.currentLength = 0;
        t.currentBlock = 0;
        ++t.blockSequence;
    }
    if (irp == nullptr) return;
    settleCancel(t, irp);
    completeWithModuleStatus(d, irp, status, moduleStatus);
}

void makeCurrent(CtiState& t, PIRP irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    EngineGuard g(t);
    t.current = irp;
    t.currentBuffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    t.currentLength = in < out ? in : out;
    t.currentBlock = 0;
    ++t.blockSequence;
}

// Takes queued transactions until one can run; false when none is left.
bool takeNext(DeviceContext* d) {
    CtiState& t = d->cti;
    for (;;) {
        PIRP irp = t.queue.popFirst();
        if (irp == nullptr) return false;
        if (irp->Cancel) {
            settleCancel(t, irp);
            completeWithModuleStatus(d, irp, STATUS_CANCELLED, 0);
            continue;
        }
        // The cancel routine stays set: cancelling the current transaction
        // kicks the engine.
        makeCurrent(t, irp);
        return true;
    }
}

void controlDone(DeviceContext* d, NTSTATUS status, USBD_STATUS usbdStatus, ULONG transferred,
                 PVOID context) {
    auto* r = static_cast<ControlRecord*>(context);
    CtiState& t = d->cti;
    const ULONG sequence = r->sequence;
    bool trigger = false;
    {
        EngineGuard g(t);
        if (t.current != nullptr && t.blockSequence == sequence) {
            PUCHAR block = currentBlockPointer(t);
            if (status == STATUS_CANCELLED && t.current->Cancel) {
                // The transaction was cancelled: its kick ends it.
            } else if (!NT_SUCCESS(status) || USBD_ERROR(usbdStatus)) {
                setStatuses(t, kControlFailed);
                put32(block + kBlockDataLength, 0);
                trigger = true;
            } else {
                ULONG moved = transferred < r->length ? transferred : r->length;
                if (r->in && moved) std::memcpy(block + kBlockData, r->data, moved);
                setStatuses(t, kSuccess);
                put32(block + kBlockDataLength, moved);
                trigger = true;
            }
        }
    }
    ExFreePool(r);
    if (trigger) queueTrigger(d, sequence, kTriggerStep);
}

// Bulk data of length L arrived (incoming block) or went out (outgoing).
void ctiReceive(DeviceContext* d, PUCHAR data, ULONG length) {
    CtiState& t = d->cti;
    ULONG sequence = 0;
    bool trigger = false;
    {
        EngineGuard g(t);
        if (t.current == nullptr || t.bulkStream == nullptr || t.bulkDone) return;
        PUCHAR block = currentBlockPointer(t);
        if (length >= t.receiveRemaining) {
            setStatuses(t, kSuccess);
            length = t.receiveRemaining;
        }
        if (t.bulkIncoming && length) {
            ULONG moved = get32(block + kBlockDataLength);
            std::memcpy(block + kBlockData + moved, data, length);
            put32(block + kBlockDataLength, moved + length);
        }
        t.receiveRemaining -= length;
        if (t.receiveRemaining == 0) {
            const ULONG dataLength = get32(block + kBlockDataLength);
            const UCHAR* in = block + kBlockData;
            if (t.bulkIncoming && dataLength >= 64 && in[0] == 0xED && in[1] == 0x15 &&
                in[62] == 0xED && in[63] == 0x15)
                setStatuses(t, kBulkFailed);
            t.bulkDone = true;
            trigger = true;
            sequence = t.blockSequence;
        }
    }
    if (trigger) queueTrigger(d, sequence, kTriggerStep);
}

// The bulk pipe of the current block stalled or failed: the block can never
// see its bytes, so the transaction ends with the bulk failure and the
// queue moves on.
void ctiBulkFailed(DeviceContext* d, UsbStream* stream) {
    CtiState& t = d->cti;
    ULONG sequence = 0;
    {
        EngineGuard g(t);
        if (t.current == nullptr || t.bulkStream != stream || t.bulkDone) return;
        setStatuses(t, kBulkFailed);
        t.bulkDone = true;
        sequence = t.blockSequence;
    }
    queueTrigger(d, sequence, kTriggerStep);
}

// The stream asks for up to `length` bytes of an outgoing block.
ULONG ctiSend(DeviceContext* d, PUCHAR buffer, ULONG length) {
    CtiState& t = d->cti;
    EngineGuard g(t);
    if (t.current == nullptr || t.bulkStream == nullptr || t.bulkIncoming) return 0;
    PUCHAR block = currentBlockPointer(t);
    ULONG n = length < t.sendRemaining ? length : t.sendRemaining;
    ULONG moved = get32(block + kBlockDataLength);
    std::memcpy(buffer, block + kBlockData + moved, n);
    t.sendRemaining -= n;
    put32(block + kBlockDataLength, moved + n);
    return n;
}

void failBlock(CtiState& t, UCHAR status) {
    EngineGuard g(t);
    setStatuses(t, status);
}

// Starts the current block; false when it could not start (its status is
// then set) or when it had nothing to do.
bool startBlock(DeviceContext* d) {
    CtiState& t = d->cti;
    PUCHAR block = currentBlockPointer(t);
    const ULONG dataLength = get32(block + kBlockDataLength);
    ULONG sequence;
    {
        EngineGuard g(t);
        sequence = t.blockSequence;
    }
    if (get32(block + kBlockKind) != 0) {
        const UCHAR request = block[kBlockRequest];
        const bool in = (request & 0x80) != 0;
        // Value and index travel high byte first.
        const USHORT value =
            static_cast<USHORT>((block[kBlockValueHigh] << 8) | block[kBlockValueLow]);
        const USHORT index =
            static_cast<USHORT>((block[kBlockIndexHigh] << 8) | block[kBlockIndexLow]);
        auto* r = static_cast<ControlRecord*>(ExAllocatePoolWithTag(
            NonPagedPool, offsetof(ControlRecord, data) + dataLength + 1, kCtiTag));
        if (r == nullptr) {
            failBlock(t, kControlFailed);
            return false;
        }
        r->sequence = sequence;
        r->length = dataLength;
        r->in = in;
        if (in)
            std::memset(r->data, 0, dataLength);
        else
            std::memcpy(r->data, block + kBlockData, dataLength);
        ULONG length = dataLength;
        NTSTATUS status = USBIF_VendorRequest(d, in, request, value, r->data, &length, controlDone,
                                              r, &t.pendingControl, index);
        if (!NT_SUCCESS(status)) {
            ExFreePool(r);
            failBlock(t, kControlFailed);
            return false;
        }
        return true;
    }
    const bool out = get32(block + kBlockDirection) != 0;
    if (dataLength == 0) {
        // A bulk block of no length moves nothing; a stream started for no
        // length would never end.
        failBlock(t, kSuccess);
        return false;
    }
    UsbStream* stream = out ? d->camera.bulkOut : d->camera.bulkIn;
    if (stream == nullptr) {
        failBlock(t, kBulkFailed);
        return false;
    }
    {
        EngineGuard g(t);
        t.receiveRemaining = dataLength;
        t.sendRemaining = out ? dataLength : 0;
        put32(block + kBlockDataLength, 0);
        t.bulkIncoming = !out;
        t.bulkDone = false;
        t.bulkStream = stream;
    }
    NTSTATUS status = USBSTRM_Start(stream, dataLength, ctiReceive, out ? ctiSend : nullptr,
                                    nullptr, ctiBulkFailed);
    if (!NT_SUCCESS(status)) {
        {
            EngineGuard g(t);
            t.bulkStream = nullptr;
        }
        failBlock(t, kBulkFailed);
        return false;
    }
    return true;
}

// Moves the engine on until a block runs or nothing is left to do: closes
// the current block, completes a transaction that is at its end, failed or
// was cancelled, takes the next one from the queue and starts blocks.
void engineStep(DeviceContext* d) {
    CtiState& t = d->cti;
    for (;;) {
        if (t.current == nullptr && !takeNext(d)) return;
        ULONG next = kListOffset;
        if (t.currentBlock != 0) {
            closeBlock(d);
            next = t.currentBlock + get32(currentBlockPointer(t));
        }
        UCHAR status;
        {
            EngineGuard g(t);
            t.currentBlock = next;
            ++t.blockSequence;
            status = t.currentBuffer[0];
        }
        // The block list was checked on arrival: `next` always leaves room
        // for the length word.
        if (get32(currentBlockPointer(t)) == 0 || status != kSuccess) {
            completeCurrent(d, STATUS_SUCCESS, status);
            continue;
        }
        if (t.current->Cancel) {
            completeCurrent(d, STATUS_CANCELLED, 0);
            continue;
        }
        if (startBlock(d)) return;
    }
}

// Aborts a transaction: ends what its block has running, completes it with
// status 54 and lets the engine go on with the queue.
void finishCurrent(DeviceContext* d) {
    closeBlock(d);
    completeCurrent(d, STATUS_SUCCESS, kAborted);
    queueTrigger(d, 0, kTriggerStep);
}

void finishQueued(DeviceContext* d, PIRP irp) {
    settleCancel(d->cti, irp);
    completeWithModuleStatus(d, irp, STATUS_SUCCESS, kAborted);
}

void abortSession(DeviceContext* d, ULONG session) {
    CtiState& t = d->cti;
    RequestKey key{session, 0, 0};
    while (PIRP irp = t.queue.takeFirstMatching(key, kKeySession, 0)) finishQueued(d, irp);
    if (t.current != nullptr && get32(t.currentBuffer + kSessionOffset) == session)
        finishCurrent(d);
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points

UCHAR CTIIF_Open(DeviceContext* device, PUCHAR header) {
    CtiState& t = device->cti;
    ModuleLockGuard g(t.lock, "CTIIF_Open");
    // A terminate that ran while this waited has taken the sessions down.
    if (!g.owns() || !t.initialised) return kInUse;
    const bool exclusive = get32(header + kValueOffset) != 0;
    if (t.exclusiveSession != 0 || (exclusive && t.openCount != 0)) return kInUse;
    if (InterlockedIncrement(&t.openCount) == 1) {
        if (!NT_SUCCESS(Camera_Acquire(device, 0))) {
            InterlockedDecrement(&t.openCount);
            return kInUse;
        }
        LONG selected = 0;
        NTSTATUS status =
            USBIF_SetCameraAlternate(device, device->usbif.interfaceNumber, 1, &selected);
        if (!NT_SUCCESS(status) || selected != 1) {
            Camera_Release(device);
            InterlockedDecrement(&t.openCount);
            return kClaimFailed;
        }
    }
    // Only an open that got the camera uses up an identifier.
    const ULONG id = static_cast<ULONG>(InterlockedIncrement(&t.sessionCounter)) + 1;
    if (!sessionAdd(t, id)) {
        if (InterlockedDecrement(&t.openCount) == 0) {
            LONG selected = 0;
            USBIF_SetCameraAlternate(device, device->usbif.interfaceNumber, 0, &selected);
            Camera_Release(device);
        }
        return kInUse;
    }
    if (exclusive) t.exclusiveSession = id;
    put32(header + kValueOffset, id);
    InterlockedIncrement(&device->openSessions);
    return kSuccess;
}

UCHAR CTIIF_Close(DeviceContext* device, PUCHAR header) {
    CtiState& t = device->cti;
    const ULONG session = get32(header + kSessionOffset);
    ModuleLockGuard g(t.lock, "CTIIF_Close");
    // Nothing was closed: saying so keeps the session for a close that can
    // work (the host closes what a client left open when it goes).
    if (!g.owns()) return kNotLockOwner;
    abortSession(device, session);
    if (sessionRemove(t, session)) {
        if (InterlockedDecrement(&t.openCount) == 0) {
            LONG selected = 0;
            USBIF_SetCameraAlternate(device, device->usbif.interfaceNumber, 0, &selected);
            Camera_Release(device);
        }
        InterlockedDecrement(&device->openSessions);
    }
    if (session == t.exclusiveSession) t.exclusiveSession = 0;
    if (session != 0 && session == t.lockSession) {
        t.lockSession = 0;
        t.lockThread = 0;
    }
    return kSuccess;
}

UCHAR CTIIF_Lock(DeviceContext* device, PUCHAR header) {
    CtiState& t = device->cti;
    const ULONG session = get32(header + kSessionOffset);
    ModuleLockGuard g(t.lock, "CTIIF_Lock");
    if (!g.owns() || t.lockSession != 0) return kAlreadyLocked;
    t.lockSession = session;
    t.lockThread = get32(header + kValueOffset) != 0 ? get32(header + kThreadOffset) : 0;
    return kSuccess;
}

UCHAR CTIIF_Unlock(DeviceContext* device, PUCHAR header) {
    CtiState& t = device->cti;
    const ULONG session = get32(header + kSessionOffset);
    const ULONG thread = get32(header + kThreadOffset);
    ModuleLockGuard g(t.lock, "CTIIF_Unlock");
    if (!g.owns() || session == 0 || t.lockSession != session ||
        (t.lockThread != 0 && t.lockThread != thread))
        return kNotLockOwner;
    t.lockSession = 0;
    t.lockThread = 0;
    return kSuccess;
}

UCHAR CTIIF_Abort(DeviceContext* device, PUCHAR header) {
    CtiState& t = device->cti;
    ModuleLockGuard g(t.lock, "CTIIF_Abort");
    if (g.owns()) abortSession(device, get32(header + kSessionOffset));
    return kSuccess;
}

UCHAR CTIIF_AbortSingle(DeviceContext* device, PUCHAR header) {
    CtiState& t = device->cti;
    const ULONG session = get32(header + kSessionOffset);
    const ULONG task = get32(header + kValueOffset);
    ModuleLockGuard g(t.lock, "CTIIF_AbortSingle");
    if (!g.owns()) return kNoSuchTask;
    RequestKey key{session, 0, task};
    if (PIRP irp = t.queue.takeFirstMatching(key, kKeySession | kKeyTask, 0)) {
        finishQueued(device, irp);
        return kSuccess;
    }
    if (t.current != nullptr && get32(t.currentBuffer + kSessionOffset) == session &&
        get32(t.currentBuffer + kTaskOffset) == task) {
        finishCurrent(device);
        return kSuccess;
    }
    return kNoSuchTask;
}

NTSTATUS CTIIF_Transaction(DeviceContext* device, PIRP irp, PUCHAR buffer, ULONG length) {
    CtiState& t = device->cti;
    // The list comes from the client: nothing runs unless every block lies
    // inside the buffer.
    if (!CTIIF_BlockListValid(buffer, length)) {
        completeRequest(device, irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG session = get32(buffer + kSessionOffset);
    const ULONG thread = get32(buffer + kThreadOffset);
    const ULONG task = get32(buffer + kTaskOffset);
    ModuleLockGuard g(t.lock, "CTIIF_Transaction");
    const bool allowed = t.lockSession == 0 || (t.lockSession == session &&
                                                (t.lockThread == 0 || t.lockThread == thread));
    if (!g.owns() || !allowed) {
        completeWithModuleStatus(device, irp, STATUS_SUCCESS, kNotLockOwner);
        return STATUS_SUCCESS;
    }
    buffer[0] = kSuccess;
    IoMarkIrpPending(irp);
    if (t.current != nullptr || !t.queue.empty()) {
        // After an abort the queue may wait for the engine to take its next
        // transaction; a newcomer still goes behind it.
        t.queue.append(irp, RequestKey{session, thread, task});
        if (!armCancel(irp) && t.queue.remove(irp))
            completeWithModuleStatus(device, irp, STATUS_CANCELLED, 0);
        if (t.current == nullptr) engineStep(device);
    } else if (!armCancel(irp)) {
        completeWithModuleStatus(device, irp, STATUS_CANCELLED, 0);
    } else {
        makeCurrent(t, irp);
        engineStep(device);
    }
    return STATUS_PENDING;
}

void mCTIIF_ProcessNextBlock(DeviceContext* device, PVOID, PVOID) {
    CtiState& t = device->cti;
    if (!t.initialised) return;
    ModuleLockGuard g(t.lock, "CTIIF_ProcessNextBlock");
    if (!g.owns()) {
        // Nothing may be lost: try again once the holder lets go.
        workerQueueReserved(device, &t.engineWork, mCTIIF_ProcessNextBlock, nullptr, nullptr);
        return;
    }
    if (!t.initialised) return;
    if (t.current == nullptr) {
        engineStep(device);
        return;
    }
    if (InterlockedExchange(&t.kickPending, 0) != 0 && t.current->Cancel) {
        closeBlock(device);
        completeCurrent(device, STATUS_CANCELLED, 0);
        engineStep(device);
        return;
    }
    bool ended;
    {
        EngineGuard e(t);
        ended = t.endedSequence == t.blockSequence;
    }
    // An event of a block that was closed meanwhile carries an older sequence.
    if (ended) engineStep(device);
}

bool CTIIF_BlockListValid(const UCHAR* buffer, ULONG length) {
    if (buffer == nullptr) return false;
    ULONG offset = kListOffset;
    for (;;) {
        if (length < sizeof(ULONG) || offset > length - sizeof(ULONG)) return false;
        const ULONG blockLength = get32(buffer + offset);
        if (blockLength == 0) return true;
        if (blockLength < kBlockHeaderLength || blockLength > length - offset) return false;
        const ULONG dataLength = get32(buffer + offset + kBlockDataLength);
        if (dataLength > blockLength - kBlockHeaderLength) return false;
        if (get32(buffer + offset + kBlockKind) != 0 && dataLength > kMaxControlData) return false;
        offset += blockLength;
    }
}

NTSTATUS CTIIF_DeviceControl(DeviceContext* device, PIRP irp, ULONG code, PUCHAR buffer,
                             ULONG length) {
    if (buffer == nullptr || length < kHeaderLength) {
        completeRequest(device, irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    if (!device->cti.initialised) {
        completeRequest(device, irp, STATUS_INVALID_DEVICE_STATE, 0);
        return STATUS_INVALID_DEVICE_STATE;
    }
    UCHAR status;
    switch (code) {
        case pav512::IOCTL_CTI_OPEN:
            status = CTIIF_Open(device, buffer);
            break;
        case pav512::IOCTL_CTI_CLOSE:
            status = CTIIF_Close(device, buffer);
            break;
        case pav512::IOCTL_CTI_LOCK:
            status = CTIIF_Lock(device, buffer);
            break;
        case pav512::IOCTL_CTI_UNLOCK:
            status = CTIIF_Unlock(device, buffer);
            break;
        case pav512::IOCTL_CTI_RESET:
            status = CTIIF_Abort(device, buffer);
            break;
        case pav512::IOCTL_CTI_ABORT_TASK:
            status = CTIIF_AbortSingle(device, buffer);
            break;
        case pav512::IOCTL_CTI_TRANSACTION:
            return CTIIF_Transaction(device, irp, buffer, length);
        default:
            completeRequest(device, irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    completeWithModuleStatus(device, irp, STATUS_SUCCESS, status);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Start and stop

NTSTATUS CTIIF_Initialise(DeviceContext* device) {
    CtiState& t = device->cti;
    t.lock.initialise(&device->lockTrace);
    KeInitializeSpinLock(&t.engineLock);
    t.exclusiveSession = 0;
    t.openCount = 0;
    t.lockSession = 0;
    t.lockThread = 0;
    t.current = nullptr;
    t.currentBuffer = nullptr;
    t.currentLength = 0;
    t.currentBlock = 0;
    t.pendingControl = nullptr;
    t.bulkStream = nullptr;
    t.receiveRemaining = 0;
    t.sendRemaining = 0;
    t.endedSequence = 0;
    t.kickPending = 0;
    t.initialised = true;
    return STATUS_SUCCESS;
}

void CTIIF_Terminate(DeviceContext* device) {
    CtiState& t = device->cti;
    if (!t.initialised) return;
    {
        // The current transaction and the sessions are only ever touched
        // under the lock. Every holder lets go within a bounded time (its
        // longest step is one synchronous submission), so the stop waits
        // for it rather than tear state from under it.
        while (!t.lock.acquire("CTIIF_Terminate")) {
        }
        struct Release {
            ModuleLock& lock;
            ~Release() { lock.release(); }
        } release{t.lock};
        while (PIRP irp = t.queue.popFirst()) finishQueued(device, irp);
        if (t.current != nullptr) finishCurrent(device);
        // Sessions do not survive a stop: the next start begins with none.
        while (t.sessions) {
            sessionRemove(t, t.sessions->id);
            InterlockedDecrement(&device->openSessions);
        }
        if (t.openCount > 0) Camera_Release(device);
        t.openCount = 0;
        t.exclusiveSession = 0;
        t.lockSession = 0;
        t.lockThread = 0;
        t.initialised = false;
    }
    while (InterlockedCompareExchange(&t.cancelsRunning, 0, 0) != 0) reached(deadline(1));
}
