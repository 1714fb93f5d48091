// Kernel support services shared by every module of the driver: the per-device
// worker thread and its queue, the pool of small nodes, request and pointer
// lists, module locks with a bounded wait, deadlines, the 100 ms tick, the
// property-change watch list, registry helpers and the locale lookup.
//
// Every record here lives inside the DeviceContext; nothing is global, so two
// cameras never share a queue, a lock or a list.
#pragma once

#include <atomic>

#include "platform/kernel/registry.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;

// ---------------------------------------------------------------------------
// Node pool

// Every small record of the driver (work items, watch nodes, stack nodes) is
// at most five machine words, so one lookaside list of that entry size serves
// them all and queueing work from a completion routine never touches the
// general pool once the list is warm. On a 32-bit kernel that is 20 bytes.
constexpr SIZE_T kNodeBytes = 5 * sizeof(PVOID);
constexpr ULONG kNodePoolTag = PoolTag("tusk");

struct NodePool {
    NPAGED_LOOKASIDE_LIST list;
    bool ready = false;
};

void nodePoolInitialise(NodePool* pool);
// Frees the cached entries. Nodes still handed out are the caller's to free
// first (they go back to the general pool on ExFreePool).
void nodePoolDelete(NodePool* pool);
// A node of at least `bytes`; null when `bytes` exceeds kNodeBytes, when the
// pool is not initialised, or when memory is exhausted.
PVOID nodeAllocate(NodePool* pool, SIZE_T bytes);
void nodeFree(NodePool* pool, PVOID node);

// ---------------------------------------------------------------------------
// Worker thread

using WorkRoutine = void (*)(DeviceContext* device, PVOID argument1, PVOID argument2);

struct WorkItem {
    WorkItem* next;
    DeviceContext* context;
    PVOID argument1;
    PVOID argument2;
    WorkRoutine routine;  // null: the loop ends
};
static_assert(sizeof(WorkItem) <= kNodeBytes);

constexpr KPRIORITY kWorkerPriority = 16;

struct Worker {
    NodePool nodes;
    PKTHREAD thread = nullptr;  // referenced while the worker runs
    KEVENT exitEvent;
    KSPIN_LOCK queueLock;
    WorkItem* head = nullptr;
    WorkItem* tail = nullptr;
    bool closed = false;  // a stop item is queued; nothing more is taken
    KSEMAPHORE semaphore;
    // Used for the stop item when the node pool cannot give one, so that a
    // device under memory pressure still stops its thread before it is freed.
    WorkItem reserveStop{};
};

// Initialises the node pool, then starts the thread (nothing if it runs).
NTSTATUS workerStart(DeviceContext* device);
// Appends routine(device, argument1, argument2) to the FIFO. False when no
// node could be had; the routine is then not run.
bool workerQueue(DeviceContext* device, WorkRoutine routine, PVOID argument1, PVOID argument2);
// Work that must not be lost when the node pool is empty (the command
// transport's engine triggers, the streams' recoveries): its module keeps
// the item inside the DeviceContext, so queueing it takes no node. It is
// queued at most once at a time; asking again while it waits folds into the
// queued run, so its routine reads its module's state for all that was asked.
struct ReservedWork {
    WorkItem item{};
    WorkRoutine routine = nullptr;
    PVOID argument1 = nullptr;
    PVOID argument2 = nullptr;
    volatile LONG queued = 0;
};
// `work` must lie inside `device`'s DeviceContext. True when it runs (or was
// queued already); false only when the worker takes no more work.
bool workerQueueReserved(DeviceContext* device, ReservedWork* work, WorkRoutine routine,
                         PVOID argument1, PVOID argument2);
// Runs everything already queued, ends the thread and waits until it is gone.
// Called once, from the removal path; never from the worker itself.
void workerStop(DeviceContext* device);
// Stops the worker (if running) and frees the node pool.
void workerShutdown(DeviceContext* device);
bool workerRunning(const DeviceContext* device);
bool onWorkerThread(const DeviceContext* device);

// ---------------------------------------------------------------------------
// Request FIFO

// The key of a queued request: who sent it and for which task. The command
// transport searches its queue by these words.
struct RequestKey {
    ULONG session = 0;
    ULONG thread = 0;
    ULONG task = 0;
};
// Mask bits naming key words for takeFirstMatching.
constexpr ULONG kKeySession = 0x1;
constexpr ULONG kKeyThread = 0x2;
constexpr ULONG kKeyTask = 0x4;

// Requests linked through their driver-context words: word 0 links to the
// next request, words 1-3 hold the key. A request belongs to at most one FIFO.
class RequestFifo {
  public:
    RequestFifo();
    RequestFifo(const RequestFifo&) = delete;
    RequestFifo& operator=(const RequestFifo&) = delete;

    void append(PIRP irp, const RequestKey& key = {});
    // The first request, or null.
    PIRP popFirst();
    // The first request whose key equals `key` in every word of mustMatch and
    // differs from it in every word of mustDiffer; null when none does.
    PIRP takeFirstMatching(const RequestKey& key, ULONG mustMatch, ULONG mustDiffer);
    // Unlinks `irp`; false when it was not queued here.
    bool remove(PIRP irp);
    bool empty();
    ULONG count();

    static RequestKey keyOf(PIRP irp);

  private:
    static PIRP& linkOf(PIRP irp);
    KSPIN_LOCK lock_;
    PIRP head_ = nullptr;
};

// ---------------------------------------------------------------------------
// Pointer stack

class PointerStack {
  public:
    PointerStack() = default;
    PointerStack(const PointerStack&) = delete;
    PointerStack& operator=(const PointerStack&) = delete;

    // Nodes come from this pool; set before the first push.
    void initialise(NodePool* pool);
    // False when no node could be had.
    bool push(PVOID pointer, ULONG size);
    // The most recently pushed pointer and its size; null and 0 when empty.
    PVOID pop(ULONG* size);
    ULONG count();

  private:
    struct Node {
        PVOID pointer;
        ULONG size;
        Node* next;
    };
    static_assert(sizeof(Node) <= kNodeBytes);
    KSPIN_LOCK lock_;
    Node* head_ = nullptr;
    NodePool* pool_ = nullptr;
};

// ---------------------------------------------------------------------------
// Module locks

// The driver keeps no log, so a lock wait that runs out is counted here for
// the device instead, with the tag of the operation that gave up.
struct LockTrace {
    std::atomic<ULONG> timeouts{0};
    std::atomic<const char*> lastTag{nullptr};
};

constexpr LONGLONG kModuleLockWait100ns = -50000000;  // 5 s, relative

class ModuleLock {
  public:
    // Signalled (free); time-outs are counted in `trace` (may be null).
    void initialise(LockTrace* trace);
    // Waits at most 5 seconds. False when the wait ran out; the caller then
    // does not hold the lock. `tag` names the operation (its module tag).
    bool acquire(const char* tag);
    void release();

  private:
    KEVENT event_;
    LockTrace* trace_ = nullptr;
};

// Holds a module lock for a scope; owns() says whether the wait succeeded.
class ModuleLockGuard {
  public:
    ModuleLockGuard(ModuleLock& lock, const char* tag) : lock_(lock), owns_(lock.acquire(tag)) {}
    ~ModuleLockGuard() {
        if (owns_) lock_.release();
    }
    ModuleLockGuard(const ModuleLockGuard&) = delete;
    ModuleLockGuard& operator=(const ModuleLockGuard&) = delete;
    bool owns() const { return owns_; }

  private:
    ModuleLock& lock_;
    bool owns_;
};

// ---------------------------------------------------------------------------
// Rundown protection

// Guards calls that must be over before something they use goes away (as the
// kernel's rundown references do): a caller enters before the call and leaves
// after it; the owner closes the door and waits until everyone inside has
// left. Entering fails once the door is closed.
class Rundown {
  public:
    Rundown();
    Rundown(const Rundown&) = delete;
    Rundown& operator=(const Rundown&) = delete;

    // False once close() has been called (and until reopen()).
    bool enter();
    void leave();
    // No enter() succeeds from now on.
    void close();
    // Waits until nobody is inside; false when `ms` (0: no limit) passed
    // first. Call after close().
    bool waitEmpty(ULONG ms);
    // Lets callers in again.
    void reopen();
    ULONG inside();

  private:
    KSPIN_LOCK lock_;
    LONG inside_ = 0;
    bool closed_ = false;
    KEVENT empty_;  // notification, signalled while nobody is inside
};

// Enters a rundown for a scope; entered() says whether the door was open.
class RundownGuard {
  public:
    explicit RundownGuard(Rundown& r) : r_(r), entered_(r.enter()) {}
    ~RundownGuard() {
        if (entered_) r_.leave();
    }
    RundownGuard(const RundownGuard&) = delete;
    RundownGuard& operator=(const RundownGuard&) = delete;
    bool entered() const { return entered_; }

  private:
    Rundown& r_;
    bool entered_;
};

// ---------------------------------------------------------------------------
// Time

// System time `ms` milliseconds from now (100 ns units).
LONGLONG deadline(ULONG ms);
// Whether `deadline` had passed when the clock was read; when it had not, the
// caller is put to sleep for 0.5 ms so that a polling loop does not spin.
bool reached(LONGLONG deadline);

// ---------------------------------------------------------------------------
// Tick timer

constexpr ULONG kTickMs = 100;
// How late a tick may come: within it, the tick runs on a thread already
// awake for the bus's completions (every 8 ms while video runs) rather than
// wake the timer's thread for itself.
constexpr ULONG kTickToleranceMs = 10;
constexpr ULONG kTickStopWaitMs = 1000;

using TickHook = void (*)(DeviceContext* device, ULONG elapsedMs);

// What the 100 ms tick drives, in this order. Each is filled by the module
// that owns the check and left null until then. They run in the timer's
// deferred procedure, one device's tick after another's: they must not wait,
// and hand anything longer to the worker.
struct TickHooks {
    // The camera engine's check that video data still arrives while started.
    std::atomic<TickHook> videoStall{nullptr};
    // The watchdogs of the camera engine's stream objects and its own tick.
    std::atomic<TickHook> streamWatchdogs{nullptr};
    // The stream interface's frame watchdog.
    std::atomic<TickHook> frameWatchdog{nullptr};
};

struct TickTimer {
    volatile LONG running = 0;
    volatile LONG tickCount = 0;
    LONGLONG due = 0;  // system time the armed tick is due at
    KTIMER timer;
    KDPC dpc;
    bool armed = false;  // started and not yet stopped
};

void tickTimerStart(DeviceContext* device);
// Returns within about a second even when the deferred procedure never runs
// again; afterwards nothing of the timer touches the device any more.
void tickTimerStop(DeviceContext* device);
// Milliseconds since the timer started, as the tick counts them.
ULONG tickMilliseconds(const DeviceContext* device);
// Runs the hooks once; the deferred procedure calls it every tick.
void tickHandler(DeviceContext* device, ULONG elapsedMs);

// ---------------------------------------------------------------------------
// Property-change watch list

// The routine the capture minidriver connects to hear of watched changes:
// called (2, context, 0, set, identifier).
using PropertyChangeRoutine = void (*)(ULONG reason, PVOID context, ULONG_PTR reserved,
                                       const GUID* set, ULONG identifier);
constexpr ULONG kPropertyChangeReason = 2;

// The two event sets whose items can be watched.
extern const GUID kCameraEventSet;  // {00A242B0-920E-11D3-A08F-00A024AD71C2}
extern const GUID kInputEventSet;   // {A4EA9081-B407-11D4-A446-005004478CB4}
constexpr LONG kWatchKeyCount = 57;

// The key of (set, identifier): its position among the items of the camera
// event set followed by those of the input event set; -1 when not an item.
LONG watchKey(const GUID& set, ULONG identifier);

class WatchList {
  public:
    WatchList() = default;
    WatchList(const WatchList&) = delete;
    WatchList& operator=(const WatchList&) = delete;

    // Nodes come from this pool; set before the first add.
    void initialise(NodePool* pool);

    // Watches (set, identifier) with the event behind a client's handle
    // (resolved in the client's table only). Nothing is added when the pair
    // has no key, the handle is not an event of the client, `owner` (the
    // client's channel) already has kMaxWatchesPerOwner watches, or no node
    // can be had; the result is success in every case (the caller's answer
    // does not depend on it).
    NTSTATUS addEvent(const GUID& set, ULONG identifier, HANDLE eventHandle,
                      PVOID owner = nullptr);
    // Watches (set, identifier) for the minidriver: `record` is its watch
    // record, `context` the context its property-change routine gets.
    void addWatch(const GUID& set, ULONG identifier, PVOID record, PVOID context);
    // Drops every watch of the event object (referenced by the caller).
    void removeEvent(PVOID eventObject);
    // Drops every watch of the event behind the handle.
    void removeHandle(HANDLE eventHandle);
    void removeWatch(PVOID record);
    // Sets every event watching (set, identifier) and, when a minidriver
    // record watches it and a routine is connected, calls the routine once
    // after the list lock is released.
    void signal(const GUID& set, ULONG identifier);
    // Drops every watch.
    void clear();
    ULONG count();

    void connect(PropertyChangeRoutine routine);
    // Returns once no call of the routine is in progress; none follows, and
    // every minidriver watch is dropped. Must not be called from inside the
    // routine.
    void disconnect();

    // A client's channel may watch each item with a few events, not grow the
    // list without end.
    static constexpr ULONG kMaxWatchesPerOwner = 128;

  private:
    struct Node {
        LONG key;
        PKEVENT event;  // referenced, or null
        PVOID record;   // minidriver watch record, or null
        PVOID owner;    // the channel that added an event watch
        Node* next;
    };
    static_assert(sizeof(Node) <= kNodeBytes);
    void removeIf(PVOID eventObject, PVOID record, bool everyRecord = false);
    // Releases nodes taken off the list: their events' references, then the
    // nodes. Called without the list lock.
    void freeNodes(Node* list);

    KSPIN_LOCK lock_;
    Node* head_ = nullptr;
    NodePool* pool_ = nullptr;
    std::atomic<PropertyChangeRoutine> routine_{nullptr};
    std::atomic<PVOID> routineContext_{nullptr};
    Rundown routineCalls_;  // calls of the routine in progress
};

// ---------------------------------------------------------------------------
// Registry

constexpr ULONG kRegistryPoolTag = PoolTag("reg ");

bool regKeyExists(PCWSTR path);
// Creates the key and every missing key above it.
NTSTATUS regEnsureKey(PCWSTR path);
// The value, 0 when absent; STATUS_UNSUCCESSFUL when the key cannot be made.
NTSTATUS regReadDword(PCWSTR path, PCWSTR valueName, ULONG* value);
NTSTATUS regWriteDword(PCWSTR path, PCWSTR valueName, ULONG value);
// Copies the value into `buffer` when it fits and reports its length in
// `*length` in every case the value exists. STATUS_UNSUCCESSFUL when the key
// does not open, STATUS_OBJECT_NAME_NOT_FOUND when the value is absent,
// STATUS_BUFFER_TOO_SMALL when it does not fit (nothing copied).
NTSTATUS regReadBinary(PCWSTR path, PCWSTR valueName, PVOID buffer, ULONG size, ULONG* length);
NTSTATUS regWriteBinary(PCWSTR path, PCWSTR valueName, const void* data, ULONG size);
// Writes REG_BINARY under the device's software key; `valueName` is at most
// 31 characters. True on success.
bool regWriteDeviceBinary(PDEVICE_OBJECT physicalDevice, const char* valueName, const void* data,
                          ULONG size);
// Reads a string value of an open key into `buffer` (`size` bytes; always
// terminated), or `defaultValue` when the value is absent. False when nothing
// could be read, and always for sizes below 2 bytes.
bool regReadString(HANDLE key, PCWSTR valueName, PCWSTR defaultValue, PWCHAR buffer, ULONG size);

// The system locale as hexadecimal text ("409" when it cannot be found),
// terminated, in `buffer` of `size` bytes.
void localeText(PWCHAR buffer, ULONG size);
