// The command transport: user-mode clients run sequences of vendor control
// requests and bulk transfers against the camera as one unit, a transaction.
// It keeps the client sessions, an optional exclusive session, a transport
// lock owned by a session (and optionally one thread of it), a queue of
// pending transactions, and the block engine that runs the current
// transaction over the camera's default pipe and its two bulk pipes.
#pragma once

#include <atomic>

#include "driver/camera/usbif.h"
#include "driver/core/support.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;
struct UsbStream;
struct CtiSession;

constexpr ULONG kCtiTag = PoolTag("ctii");

struct CtiState {
    ModuleLock lock;  // serialises the entry points and the block engine
    // Source of session identifiers; never reset, so an identifier is not
    // reused while the device object lives.
    volatile LONG sessionCounter = 0;
    ULONG exclusiveSession = 0;
    volatile LONG openCount = 0;
    ULONG lockSession = 0;
    ULONG lockThread = 0;
    // The sessions open now, so that closing one that is not (a stale or
    // made-up identifier) cannot take the camera from those that are.
    CtiSession* sessions = nullptr;
    RequestFifo queue;  // transactions waiting behind the current one
    volatile LONG cancelsRunning = 0;

    // The transaction being executed. Changed under the module lock and the
    // engine lock together; completion routines read it under the engine
    // lock alone, so they never see a transaction that is being completed.
    KSPIN_LOCK engineLock;
    PIRP current = nullptr;
    PUCHAR currentBuffer = nullptr;  // its system buffer
    ULONG currentLength = 0;
    ULONG currentBlock = 0;  // offset of the block being executed; 0 before the first
    // Changes whenever a block starts or ends; a completion that carries an
    // older value belongs to a block that is already closed.
    ULONG blockSequence = 0;
    UsbVendorRequest* volatile pendingControl = nullptr;
    UsbStream* bulkStream = nullptr;  // the stream of the current bulk block, if running
    bool bulkIncoming = false;
    bool bulkDone = false;  // its last byte was seen
    ULONG receiveRemaining = 0;
    ULONG sendRemaining = 0;
    // What moves the engine on, for its one work item: the sequence of the
    // last block that ended (engine lock), and a cancel to look at. The item
    // lives here, so no trigger is lost when the node pool is empty.
    ULONG endedSequence = 0;
    volatile LONG kickPending = 0;
    ReservedWork engineWork;
    // Read unlocked by the work item before it takes the module lock.
    std::atomic<bool> initialised{false};
};

// Module pair of the start and stop sequences.
NTSTATUS CTIIF_Initialise(DeviceContext* device);
void CTIIF_Terminate(DeviceContext* device);

// The command family's codes other than the version (0x220004 to 0x22001C).
// `buffer` is the request's system buffer, `length` the smaller of its input
// and output lengths. Every request leaves through the completion operations.
NTSTATUS CTIIF_DeviceControl(DeviceContext* device, PIRP irp, ULONG code, PUCHAR buffer,
                             ULONG length);

// The entry points behind the codes (exposed for tests of the module alone).
UCHAR CTIIF_Open(DeviceContext* device, PUCHAR header);
UCHAR CTIIF_Close(DeviceContext* device, PUCHAR header);
UCHAR CTIIF_Lock(DeviceContext* device, PUCHAR header);
UCHAR CTIIF_Unlock(DeviceContext* device, PUCHAR header);
UCHAR CTIIF_Abort(DeviceContext* device, PUCHAR header);
UCHAR CTIIF_AbortSingle(DeviceContext* device, PUCHAR header);
NTSTATUS CTIIF_Transaction(DeviceContext* device, PIRP irp, PUCHAR buffer, ULONG length);
// The block engine's work item: ends a cancelled current transaction, and
// moves on when the current block has ended or nothing is current. The
// arguments are not used (what it is to do is in the module's state).
void mCTIIF_ProcessNextBlock(DeviceContext* device, PVOID sequence, PVOID kind);

// Checks a transaction's block list against its buffer: every block at
// least 24 bytes long, its data inside it, the block inside the buffer, and
// a terminating zero length before the end.
bool CTIIF_BlockListValid(const UCHAR* buffer, ULONG length);
