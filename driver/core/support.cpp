#include "driver/core/support.h"

#include <cstring>
#include <string>
#include <vector>

#include "driver/core/device_context.h"

// ---------------------------------------------------------------------------
// Node pool

void nodePoolInitialise(NodePool* pool) {
    if (pool->ready) return;
    ExInitializeNPagedLookasideList(&pool->list, nullptr, nullptr, 0, kNodeBytes, kNodePoolTag, 0);
    pool->ready = true;
}

void nodePoolDelete(NodePool* pool) {
    if (!pool->ready) return;
    ExDeleteNPagedLookasideList(&pool->list);
    pool->ready = false;
}

PVOID nodeAllocate(NodePool* pool, SIZE_T bytes) {
    if (bytes > kNodeBytes || !pool->ready) return nullptr;
    return ExAllocateFromNPagedLookasideList(&pool->list);
}

void nodeFree(NodePool* pool, PVOID node) {
    if (node) ExFreeToNPagedLookasideList(&pool->list, node);
}

// ---------------------------------------------------------------------------
// Worker thread

namespace {

// Appends under the queue lock. A stop item closes the queue in the same
// step, so nothing can be queued behind it and be stranded.
bool workerAppend(Worker& w, WorkItem* item) {
    KIRQL irql = KfAcquireSpinLock(&w.queueLock);
    if (w.thread == nullptr || w.closed) {
        KfReleaseSpinLock(&w.queueLock, irql);
        return false;
    }
    if (item->routine == nullptr) w.closed = true;
    item->next = nullptr;
    if (w.tail)
        w.tail->next = item;
    else
        w.head = item;
    w.tail = item;
    KfReleaseSpinLock(&w.queueLock, irql);
    KeReleaseSemaphore(&w.semaphore, IO_NO_INCREMENT, 1, FALSE);
    return true;
}

// Items the modules keep inside the DeviceContext (and the reserve stop
// item) never came from the node pool.
bool reservedItem(const DeviceContext* device, const WorkItem* item) {
    auto* p = reinterpret_cast<const UCHAR*>(item);
    auto* base = reinterpret_cast<const UCHAR*>(device);
    return p >= base && p < base + sizeof(DeviceContext);
}

void runReserved(DeviceContext* device, PVOID argument1, PVOID) {
    auto* work = static_cast<ReservedWork*>(argument1);
    WorkRoutine routine = work->routine;
    PVOID a1 = work->argument1;
    PVOID a2 = work->argument2;
    // Cleared before the routine runs: whatever is asked from here on queues
    // it again, and what was asked before is in the state it is about to read.
    InterlockedExchange(&work->queued, 0);
    routine(device, a1, a2);
}

void workerLoop(PVOID context) {
    auto* device = static_cast<DeviceContext*>(context);
    Worker& w = device->worker;
    for (;;) {
        KeWaitForSingleObject(&w.semaphore, Executive, KernelMode, FALSE, nullptr);
        KIRQL irql = KfAcquireSpinLock(&w.queueLock);
        WorkItem* item = w.head;
        if (item) {
            w.head = item->next;
            if (w.head == nullptr) w.tail = nullptr;
        }
        KfReleaseSpinLock(&w.queueLock, irql);
        if (item == nullptr) continue;  // the semaphore counts items; cannot happen
        WorkItem copy = *item;
        if (!reservedItem(device, item)) nodeFree(&w.nodes, item);
        if (copy.routine == nullptr) break;
        // The node is back in the pool first, so a routine that queues more
        // work reuses it.
        copy.routine(copy.context, copy.argument1, copy.argument2);
    }
    KeSetEvent(&w.exitEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

NTSTATUS workerStart(DeviceContext* device) {
    Worker& w = device->worker;
    if (w.thread) return STATUS_SUCCESS;
    nodePoolInitialise(&w.nodes);
    KeInitializeSpinLock(&w.queueLock);
    w.head = w.tail = nullptr;
    w.closed = false;
    KeInitializeSemaphore(&w.semaphore, 0, 0x7FFFFFFF);
    KeInitializeEvent(&w.exitEvent, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           workerLoop, device);
    if (!NT_SUCCESS(status)) return status;
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        // Without a reference the thread cannot be waited for; end it now
        // rather than leave it running on a record that will be freed.
        w.reserveStop.routine = nullptr;
        w.reserveStop.next = nullptr;
        w.head = w.tail = &w.reserveStop;
        KeReleaseSemaphore(&w.semaphore, IO_NO_INCREMENT, 1, FALSE);
        KeWaitForSingleObject(&w.exitEvent, Executive, KernelMode, FALSE, nullptr);
        return status;
    }
    KIRQL irql = KfAcquireSpinLock(&w.queueLock);
    w.thread = static_cast<PKTHREAD>(thread);
    KfReleaseSpinLock(&w.queueLock, irql);
    KeSetPriorityThread(w.thread, kWorkerPriority);
    return STATUS_SUCCESS;
}

bool workerQueue(DeviceContext* device, WorkRoutine routine, PVOID argument1, PVOID argument2) {
    if (routine == nullptr) return false;
    Worker& w = device->worker;
    auto* item = static_cast<WorkItem*>(nodeAllocate(&w.nodes, sizeof(WorkItem)));
    if (item == nullptr) return false;
    item->context = device;
    item->argument1 = argument1;
    item->argument2 = argument2;
    item->routine = routine;
    if (!workerAppend(w, item)) {
        nodeFree(&w.nodes, item);
        return false;
    }
    return true;
}

bool workerQueueReserved(DeviceContext* device, ReservedWork* work, WorkRoutine routine,
                         PVOID argument1, PVOID argument2) {
    if (routine == nullptr || !reservedItem(device, &work->item)) return false;
    if (InterlockedCompareExchange(&work->queued, 1, 0) != 0) return true;
    work->routine = routine;
    work->argument1 = argument1;
    work->argument2 = argument2;
    work->item.context = device;
    work->item.argument1 = work;
    work->item.argument2 = nullptr;
    work->item.routine = runReserved;
    if (!workerAppend(device->worker, &work->item)) {
        InterlockedExchange(&work->queued, 0);
        return false;
    }
    return true;
}

void workerStop(DeviceContext* device) {
    Worker& w = device->worker;
    if (w.thread == nullptr) return;
    auto* item = static_cast<WorkItem*>(nodeAllocate(&w.nodes, sizeof(WorkItem)));
    if (item == nullptr) item = &w.reserveStop;
    item->context = device;
    item->argument1 = item->argument2 = nullptr;
    item->routine = nullptr;
    if (!workerAppend(w, item)) {
        if (item != &w.reserveStop) nodeFree(&w.nodes, item);
        return;  // another stop is under way and owns the thread reference
    }
    KeWaitForSingleObject(&w.exitEvent, Executive, KernelMode, FALSE, nullptr);
    // The exit event is set just before the thread leaves; waiting for the
    // thread object as well means it no longer touches this record.
    KeWaitForSingleObject(w.thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(w.thread);
    KIRQL irql = KfAcquireSpinLock(&w.queueLock);
    w.thread = nullptr;
    KfReleaseSpinLock(&w.queueLock, irql);
}

void workerShutdown(DeviceContext* device) {
    workerStop(device);
    nodePoolDelete(&device->worker.nodes);
}

bool workerRunning(const DeviceContext* device) {
    return device->worker.thread != nullptr;
}

bool onWorkerThread(const DeviceContext* device) {
    return device->worker.thread != nullptr && KeGetCurrentThread() == device->worker.thread;
}

// ---------------------------------------------------------------------------
// Request FIFO

namespace {

PIRP nextOf(PIRP irp) {
    return static_cast<PIRP>(irp->Tail.Overlay.DriverContext[0]);
}
void setNext(PIRP irp, PIRP next) {
    irp->Tail.Overlay.DriverContext[0] = next;
}

PVOID keyWord(ULONG value) {
    return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(value));
}
ULONG wordValue(PVOID word) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(word));
}

ULONG keyField(const RequestKey& key, ULONG bit) {
    switch (bit) {
        case kKeySession:
            return key.session;
        case kKeyThread:
            return key.thread;
        default:
            return key.task;
    }
}

bool keyMatches(const RequestKey& entry, const RequestKey& key, ULONG mustMatch, ULONG mustDiffer) {
    for (ULONG bit : {kKeySession, kKeyThread, kKeyTask}) {
        bool same = keyField(entry, bit) == keyField(key, bit);
        if ((mustMatch & bit) && !same) return false;
        if ((mustDiffer & bit) && same) return false;
    }
    return true;
}

}  // namespace

RequestFifo::RequestFifo() {
    KeInitializeSpinLock(&lock_);
}

RequestKey RequestFifo::keyOf(PIRP irp) {
    PVOID* words = irp->Tail.Overlay.DriverContext;
    return RequestKey{wordValue(words[1]), wordValue(words[2]), wordValue(words[3])};
}

void RequestFifo::append(PIRP irp, const RequestKey& key) {
    PVOID* words = irp->Tail.Overlay.DriverContext;
    words[1] = keyWord(key.session);
    words[2] = keyWord(key.thread);
    words[3] = keyWord(key.task);
    setNext(irp, nullptr);
    KIRQL irql = KfAcquireSpinLock(&lock_);
    PIRP* link = &head_;
    while (*link) link = reinterpret_cast<PIRP*>(&(*link)->Tail.Overlay.DriverContext[0]);
    *link = irp;
    KfReleaseSpinLock(&lock_, irql);
}

PIRP RequestFifo::popFirst() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    PIRP first = head_;
    if (first) {
        head_ = nextOf(first);
        setNext(first, nullptr);
    }
    KfReleaseSpinLock(&lock_, irql);
    return first;
}

PIRP RequestFifo::takeFirstMatching(const RequestKey& key, ULONG mustMatch, ULONG mustDiffer) {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    PIRP previous = nullptr;
    PIRP found = nullptr;
    for (PIRP irp = head_; irp; previous = irp, irp = nextOf(irp)) {
        if (keyMatches(keyOf(irp), key, mustMatch, mustDiffer)) {
            found = irp;
            break;
        }
    }
    if (found) {
        if (previous)
            setNext(previous, nextOf(found));
        else
            head_ = nextOf(found);
        setNext(found, nullptr);
    }
    KfReleaseSpinLock(&lock_, irql);
    return found;
}

bool RequestFifo::remove(PIRP target) {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    PIRP previous = nullptr;
    bool found = false;
    for (PIRP irp = head_; irp; previous = irp, irp = nextOf(irp)) {
        if (irp == target) {
            if (previous)
                setNext(previous, nextOf(irp));
            else
                head_ = nextOf(irp);
            setNext(irp, nullptr);
            found = true;
            break;
        }
    }
    KfReleaseSpinLock(&lock_, irql);
    return found;
}

bool RequestFifo::empty() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    bool result = head_ == nullptr;
    KfReleaseSpinLock(&lock_, irql);
    return result;
}

ULONG RequestFifo::count() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    ULONG n = 0;
    for (PIRP irp = head_; irp; irp = nextOf(irp)) ++n;
    KfReleaseSpinLock(&lock_, irql);
    return n;
}

// ---------------------------------------------------------------------------
// Pointer stack

void PointerStack::initialise(NodePool* pool) {
    KeInitializeSpinLock(&lock_);
    pool_ = pool;
}

bool PointerStack::push(PVOID pointer, ULONG size) {
    if (pool_ == nullptr) return false;
    auto* node = static_cast<Node*>(nodeAllocate(pool_, sizeof(Node)));
    if (node == nullptr) return false;
    node->pointer = pointer;
    node->size = size;
    KIRQL irql = KfAcquireSpinLock(&lock_);
    node->next = head_;
    head_ = node;
    KfReleaseSpinLock(&lock_, irql);
    return true;
}

PVOID PointerStack::pop(ULONG* size) {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    Node* node = head_;
    if (node) head_ = node->next;
    KfReleaseSpinLock(&lock_, irql);
    if (node == nullptr) {
        if (size) *size = 0;
        return nullptr;
    }
    PVOID pointer = node->pointer;
    if (size) *size = node->size;
    nodeFree(pool_, node);
    return pointer;
}

ULONG PointerStack::count() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    ULONG n = 0;
    for (Node* node = head_; node; node = node->next) ++n;
    KfReleaseSpinLock(&lock_, irql);
    return n;
}

// ---------------------------------------------------------------------------
// Module locks

void ModuleLock::initialise(LockTrace* trace) {
    KeInitializeEvent(&event_, SynchronizationEvent, TRUE);
    trace_ = trace;
}

bool ModuleLock::acquire(const char* tag) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = kModuleLockWait100ns;
    NTSTATUS status = KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_SUCCESS) return true;
    if (trace_) {
        trace_->lastTag.store(tag);
        trace_->timeouts.fetch_add(1);
    }
    return false;
}

void ModuleLock::release() {
    KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------
// Rundown protection

Rundown::Rundown() {
    KeInitializeSpinLock(&lock_);
    KeInitializeEvent(&empty_, NotificationEvent, TRUE);
}

bool Rundown::enter() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    bool open = !closed_;
    if (open && inside_++ == 0) KeResetEvent(&empty_);
    KfReleaseSpinLock(&lock_, irql);
    return open;
}

void Rundown::leave() {
    // The event is set under the lock, and the waiter takes the lock once
    // more after its wait: the last one out is done with this record before
    // the owner may free what holds it.
    KIRQL irql = KfAcquireSpinLock(&lock_);
    if (--inside_ == 0) KeSetEvent(&empty_, IO_NO_INCREMENT, FALSE);
    KfReleaseSpinLock(&lock_, irql);
}

void Rundown::close() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    closed_ = true;
    KfReleaseSpinLock(&lock_, irql);
}

bool Rundown::waitEmpty(ULONG ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    NTSTATUS status = KeWaitForSingleObject(&empty_, Executive, KernelMode, FALSE,
                                            ms ? &timeout : nullptr);
    KIRQL irql = KfAcquireSpinLock(&lock_);
    bool empty = inside_ == 0;
    KfReleaseSpinLock(&lock_, irql);
    // STATUS_TIMEOUT is a success code: only the count decides.
    (void)status;
    return empty;
}

void Rundown::reopen() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    closed_ = false;
    KfReleaseSpinLock(&lock_, irql);
}

ULONG Rundown::inside() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    ULONG n = static_cast<ULONG>(inside_);
    KfReleaseSpinLock(&lock_, irql);
    return n;
}

// ---------------------------------------------------------------------------
// Time

LONGLONG deadline(ULONG ms) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart + static_cast<LONGLONG>(ms) * 10000;
}

bool reached(LONGLONG deadline) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart > deadline) return true;
    LARGE_INTEGER pause;
    pause.QuadPart = -5000;  // 0.5 ms
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    return false;
}

// ---------------------------------------------------------------------------
// Tick timer

namespace {

// Each tick is due a tick after the one before, so that a tick that ran
// late (within its tolerance) does not put off the ones after it; after a
// longer delay the count starts again from now rather than catching up.
void armTick(TickTimer& t, bool first) {
    constexpr LONGLONG kTick100ns = static_cast<LONGLONG>(kTickMs) * 10000;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    t.due = first ? now.QuadPart + kTick100ns : t.due + kTick100ns;
    if (t.due <= now.QuadPart) t.due = now.QuadPart + kTick100ns;
    LARGE_INTEGER due;
    due.QuadPart = t.due;
    KeSetCoalescableTimer(&t.timer, due, 0, kTickToleranceMs, &t.dpc);
}

void tickDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* device = static_cast<DeviceContext*>(context);
    TickTimer& t = device->tick;
    LONG ticks = InterlockedIncrement(&t.tickCount);
    if (ReadAcquire(&t.running)) {
        tickHandler(device, static_cast<ULONG>(ticks) * kTickMs);
        armTick(t, false);
    } else {
        InterlockedExchange(&t.running, 1);  // tells the stop we have seen it
    }
}

}  // namespace

void tickTimerStart(DeviceContext* device) {
    TickTimer& t = device->tick;
    if (t.armed) return;
    InterlockedExchange(&t.running, 1);
    InterlockedExchange(&t.tickCount, 0);
    KeInitializeTimer(&t.timer);
    KeInitializeDpc(&t.dpc, tickDpc, device);
    t.armed = true;
    armTick(t, true);
}

void tickTimerStop(DeviceContext* device) {
    TickTimer& t = device->tick;
    if (!t.armed) return;
    if (ReadAcquire(&t.running)) {
        InterlockedExchange(&t.running, 0);
        LONGLONG until = deadline(kTickStopWaitMs);
        while (ReadAcquire(&t.running) == 0 && !reached(until)) {
        }
        InterlockedExchange(&t.running, 0);
    }
    // The wait above gives up after a second when the deferred procedure does
    // not come, and one that read "running" just before it was cleared re-arms
    // the timer once more. The record is freed after this returns, so disarm
    // the timer, take a queued call off the queue and wait out one in
    // progress; the second round catches that last re-arm. Only then is it
    // sound to free the device.
    for (int round = 0; round < 2; ++round) {
        KeCancelTimer(&t.timer);
        KeRemoveQueueDpc(&t.dpc);
        KeFlushQueuedDpcs();
    }
    t.armed = false;
}

ULONG tickMilliseconds(const DeviceContext* device) {
    // Read as the deferred call writes it: the tick runs on another thread.
    return static_cast<ULONG>(ReadAcquire(&device->tick.tickCount)) * kTickMs;
}

void tickHandler(DeviceContext* device, ULONG elapsedMs) {
    TickHooks& hooks = device->tickHooks;
    if (TickHook h = hooks.videoStall.load()) h(device, elapsedMs);
    if (TickHook h = hooks.streamWatchdogs.load()) h(device, elapsedMs);
    if (TickHook h = hooks.frameWatchdog.load()) h(device, elapsedMs);
}

// ---------------------------------------------------------------------------
// Watch list

const GUID kCameraEventSet = {
    0x00A242B0, 0x920E, 0x11D3, {0xA0, 0x8F, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
const GUID kInputEventSet = {
    0xA4EA9081, 0xB407, 0x11D4, {0xA4, 0x46, 0x00, 0x50, 0x04, 0x47, 0x8C, 0xB4}};

namespace {

// The items of each event set in the order the sets announce them; a key is
// a position in the camera set's list followed by the input set's.
constexpr ULONG kCameraEventItems[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10, 0x11,
                                       0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19,
                                       0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
constexpr ULONG kInputEventItems[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                      0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x20, 0x21,
                                      0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A,
                                      0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30, 0x32, 0x31};
constexpr LONG kCameraItemCount = sizeof(kCameraEventItems) / sizeof(ULONG);
constexpr LONG kInputItemCount = sizeof(kInputEventItems) / sizeof(ULONG);
static_assert(kCameraItemCount == 22 && kInputItemCount == 35);
static_assert(kCameraItemCount + kInputItemCount == kWatchKeyCount);

template <size_t N>
LONG positionOf(const ULONG (&items)[N], ULONG identifier) {
    for (size_t i = 0; i < N; ++i)
        if (items[i] == identifier) return static_cast<LONG>(i);
    return -1;
}

}  // namespace

LONG watchKey(const GUID& set, ULONG identifier) {
    if (set == kCameraEventSet) return positionOf(kCameraEventItems, identifier);
    if (set == kInputEventSet) {
        LONG p = positionOf(kInputEventItems, identifier);
        return p < 0 ? -1 : kCameraItemCount + p;
    }
    return -1;
}

void WatchList::initialise(NodePool* pool) {
    KeInitializeSpinLock(&lock_);
    pool_ = pool;
}

NTSTATUS WatchList::addEvent(const GUID& set, ULONG identifier, HANDLE eventHandle,
                             PVOID owner) {
    LONG key = watchKey(set, identifier);
    if (key < 0 || pool_ == nullptr) return STATUS_SUCCESS;
    if (owner) {
        ULONG owned = 0;
        KIRQL irql = KfAcquireSpinLock(&lock_);
        for (Node* node = head_; node; node = node->next)
            if (node->owner == owner) ++owned;
        KfReleaseSpinLock(&lock_, irql);
        if (owned >= kMaxWatchesPerOwner) return STATUS_SUCCESS;
    }
    PVOID event = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(eventHandle, SYNCHRONIZE, *ExEventObjectType,
                                              UserMode, &event, nullptr)))
        return STATUS_SUCCESS;
    auto* node = static_cast<Node*>(nodeAllocate(pool_, sizeof(Node)));
    if (node == nullptr) {
        ObfDereferenceObject(event);
        return STATUS_SUCCESS;
    }
    node->key = key;
    node->event = static_cast<PKEVENT>(event);
    node->record = nullptr;
    node->owner = owner;
    KIRQL irql = KfAcquireSpinLock(&lock_);
    node->next = head_;
    head_ = node;
    KfReleaseSpinLock(&lock_, irql);
    return STATUS_SUCCESS;
}

void WatchList::addWatch(const GUID& set, ULONG identifier, PVOID record, PVOID context) {
    LONG key = watchKey(set, identifier);
    if (key < 0 || record == nullptr || pool_ == nullptr) return;
    auto* node = static_cast<Node*>(nodeAllocate(pool_, sizeof(Node)));
    if (node == nullptr) return;
    node->key = key;
    node->event = nullptr;
    node->record = record;
    node->owner = nullptr;
    routineContext_.store(context);
    KIRQL irql = KfAcquireSpinLock(&lock_);
    node->next = head_;
    head_ = node;
    KfReleaseSpinLock(&lock_, irql);
}

void WatchList::removeIf(PVOID eventObject, PVOID record, bool everyRecord) {
    Node* dropped = nullptr;
    KIRQL irql = KfAcquireSpinLock(&lock_);
    for (Node** link = &head_; *link;) {
        Node* node = *link;
        bool drop = (eventObject && node->event == eventObject) ||
                    (record && node->record == record) || (everyRecord && node->record);
        if (drop) {
            *link = node->next;
            node->next = dropped;
            dropped = node;
        } else {
            link = &node->next;
        }
    }
    KfReleaseSpinLock(&lock_, irql);
    // Dereferencing may destroy the event; do it outside the list lock.
    freeNodes(dropped);
}

void WatchList::removeEvent(PVOID eventObject) {
    if (eventObject) removeIf(eventObject, nullptr);
}

void WatchList::removeHandle(HANDLE eventHandle) {
    PVOID event = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(eventHandle, SYNCHRONIZE, *ExEventObjectType,
                                              UserMode, &event, nullptr)))
        return;
    removeIf(event, nullptr);
    ObfDereferenceObject(event);
}

void WatchList::removeWatch(PVOID record) {
    if (record) removeIf(nullptr, record);
}

void WatchList::signal(const GUID& set, ULONG identifier) {
    LONG key = watchKey(set, identifier);
    if (key < 0) return;
    std::vector<PKEVENT> events;
    bool recordWatches = false;
    KIRQL irql = KfAcquireSpinLock(&lock_);
    for (Node* node = head_; node; node = node->next) {
        if (node->key != key) continue;
        if (node->event) {
            ObfReferenceObject(node->event);
            events.push_back(node->event);
        }
        if (node->record) recordWatches = true;
    }
    KfReleaseSpinLock(&lock_, irql);
    // An event may stand for a client's event and forward the signal over
    // its channel; that is a call out and must not happen under the lock.
    for (PKEVENT event : events) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        ObfDereferenceObject(event);
    }
    if (recordWatches) {
        // A disconnect waits for this call; one that has begun lets none in.
        RundownGuard call(routineCalls_);
        PropertyChangeRoutine routine = call.entered() ? routine_.load() : nullptr;
        if (routine) routine(kPropertyChangeReason, routineContext_.load(), 0, &set, identifier);
    }
}

void WatchList::clear() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    Node* list = head_;
    head_ = nullptr;
    KfReleaseSpinLock(&lock_, irql);
    freeNodes(list);
}

void WatchList::freeNodes(Node* list) {
    while (list) {
        Node* next = list->next;
        if (list->event) ObfDereferenceObject(list->event);
        nodeFree(pool_, list);
        list = next;
    }
}

ULONG WatchList::count() {
    KIRQL irql = KfAcquireSpinLock(&lock_);
    ULONG n = 0;
    for (Node* node = head_; node; node = node->next) ++n;
    KfReleaseSpinLock(&lock_, irql);
    return n;
}

void WatchList::connect(PropertyChangeRoutine routine) {
    routine_.store(routine);
}

void WatchList::disconnect() {
    routine_.store(nullptr);
    routineCalls_.close();
    routineCalls_.waitEmpty(0);
    routineContext_.store(nullptr);
    // The minidriver's watch records go with it: none is left for the next
    // one to be called for, or to be taken for one of its own at the same
    // address.
    removeIf(nullptr, nullptr, true);
    routineCalls_.reopen();
}

// ---------------------------------------------------------------------------
// Registry

namespace {

NTSTATUS openKey(PCWSTR path, ACCESS_MASK access, HANDLE* key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwOpenKey(key, access, &attributes);
}

NTSTATUS createKey(PCWSTR path, HANDLE* key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    ULONG disposition = 0;
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                       &disposition);
}

constexpr WCHAR kDefaultLocale[] = u"409";

void copyTerminated(PWCHAR buffer, ULONG size, PCWSTR text) {
    ULONG room = size / sizeof(WCHAR);
    if (room == 0) return;
    ULONG i = 0;
    for (; i + 1 < room && text[i]; ++i) buffer[i] = text[i];
    buffer[i] = 0;
}

}  // namespace

bool regKeyExists(PCWSTR path) {
    HANDLE key = nullptr;
    if (!NT_SUCCESS(openKey(path, KEY_ALL_ACCESS, &key))) return false;
    ZwClose(key);
    return true;
}

NTSTATUS regEnsureKey(PCWSTR path) {
    if (path == nullptr || path[0] == 0) return STATUS_OBJECT_NAME_INVALID;
    if (regKeyExists(path)) return STATUS_SUCCESS;
    // A key can only be created below one that exists, so make every key on
    // the way down. Keys near the root may refuse to be created and already
    // exist; only the last one decides.
    std::u16string full(path);
    for (size_t i = 1; i < full.size(); ++i) {
        if (full[i] != u'\\') continue;
        std::u16string part = full.substr(0, i);
        HANDLE key = nullptr;
        if (NT_SUCCESS(createKey(part.c_str(), &key))) ZwClose(key);
    }
    HANDLE key = nullptr;
    NTSTATUS status = createKey(full.c_str(), &key);
    if (NT_SUCCESS(status)) ZwClose(key);
    return status;
}

NTSTATUS regReadDword(PCWSTR path, PCWSTR valueName, ULONG* value) {
    *value = 0;
    if (!NT_SUCCESS(regEnsureKey(path))) return STATUS_UNSUCCESSFUL;
    ULONG result = 0;
    ULONG fallback = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWCHAR>(valueName);
    table[0].EntryContext = &result;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof(fallback);
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr);
    if (NT_SUCCESS(status)) *value = result;
    return status;
}

NTSTATUS regWriteDword(PCWSTR path, PCWSTR valueName, ULONG value) {
    if (!NT_SUCCESS(regEnsureKey(path))) return STATUS_UNSUCCESSFUL;
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, valueName, REG_DWORD, &value,
                                 sizeof(value));
}

NTSTATUS regReadBinary(PCWSTR path, PCWSTR valueName, PVOID buffer, ULONG size, ULONG* length) {
    if (length) *length = 0;
    HANDLE key = nullptr;
    if (!NT_SUCCESS(openKey(path, KEY_READ, &key))) return STATUS_UNSUCCESSFUL;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &needed);
    constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        ZwClose(key);
        return status == STATUS_OBJECT_NAME_NOT_FOUND ? status : STATUS_UNSUCCESSFUL;
    }
    if (needed < kHeader) needed = kHeader;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, needed, kRegistryPoolTag));
    if (info == nullptr) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG got = 0;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, needed, &got);
    if (NT_SUCCESS(status)) {
        ULONG dataLength = info->DataLength;
        if (dataLength > needed - kHeader) {
            status = STATUS_UNSUCCESSFUL;  // the store contradicted itself
        } else {
            if (length) *length = dataLength;
            if (buffer && dataLength <= size)
                std::memcpy(buffer, info->Data, dataLength);
            else
                status = STATUS_BUFFER_TOO_SMALL;
        }
    } else if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
        status = STATUS_UNSUCCESSFUL;
    }
    ExFreePoolWithTag(info, kRegistryPoolTag);
    ZwClose(key);
    return status;
}

NTSTATUS regWriteBinary(PCWSTR path, PCWSTR valueName, const void* data, ULONG size) {
    HANDLE key = nullptr;
    if (!NT_SUCCESS(openKey(path, KEY_ALL_ACCESS, &key))) return STATUS_UNSUCCESSFUL;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    NTSTATUS status = ZwSetValueKey(key, &name, 0, REG_BINARY, const_cast<PVOID>(data), size);
    ZwClose(key);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

bool regWriteDeviceBinary(PDEVICE_OBJECT physicalDevice, const char* valueName, const void* data,
                          ULONG size) {
    if (physicalDevice == nullptr || valueName == nullptr) return false;
    HANDLE key = nullptr;
    if (!NT_SUCCESS(
            IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key)))
        return false;
    WCHAR wide[32];
    size_t n = 0;
    for (; n < 31 && valueName[n]; ++n) wide[n] = static_cast<UCHAR>(valueName[n]);
    wide[n] = 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, wide);
    NTSTATUS status = ZwSetValueKey(key, &name, 0, REG_BINARY, const_cast<PVOID>(data), size);
    ZwClose(key);
    return NT_SUCCESS(status);
}

bool regReadString(HANDLE key, PCWSTR valueName, PCWSTR defaultValue, PWCHAR buffer, ULONG size) {
    if (buffer == nullptr || size < 2) return false;
    std::memset(buffer, 0, size);
    UNICODE_STRING text;
    text.Buffer = buffer;
    text.Length = 0;
    // Leave room for the terminator whatever the store does with the rest.
    ULONG room = (size - sizeof(WCHAR)) & ~1u;
    text.MaximumLength = static_cast<USHORT>(room > 0xFFFE ? 0xFFFE : room);
    ULONG defaultBytes = 0;
    if (defaultValue) {
        while (defaultValue[defaultBytes / sizeof(WCHAR)]) defaultBytes += sizeof(WCHAR);
        defaultBytes += sizeof(WCHAR);
    }
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWCHAR>(valueName ? valueName : u"");
    table[0].EntryContext = &text;
    table[0].DefaultType = defaultValue ? REG_SZ : REG_NONE;
    table[0].DefaultData = const_cast<PWCHAR>(defaultValue);
    table[0].DefaultLength = defaultBytes;
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table,
                                             nullptr, nullptr);
    ULONG chars = text.Length / sizeof(WCHAR);
    ULONG last = size / sizeof(WCHAR) - 1;
    buffer[chars < last ? chars : last] = 0;
    if (!NT_SUCCESS(status)) buffer[0] = 0;
    return NT_SUCCESS(status);
}

void localeText(PWCHAR buffer, ULONG size) {
    if (buffer == nullptr || size < sizeof(WCHAR)) return;
    buffer[0] = 0;
    HANDLE key = nullptr;
    bool read = false;
    if (NT_SUCCESS(
            openKey(u"\\Registry\\User\\.DEFAULT\\Control Panel\\International", KEY_READ, &key))) {
        read = regReadString(key, u"Locale", kDefaultLocale, buffer, size);
        ZwClose(key);
    } else if (NT_SUCCESS(openKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Nls"
                                  u"\\Locale",
                                  KEY_READ, &key))) {
        read = regReadString(key, u"", kDefaultLocale, buffer, size);
        ZwClose(key);
    }
    if (!read || buffer[0] == 0) copyTerminated(buffer, size, kDefaultLocale);
}
