// Commands and their data phases as transactions of the driver's command
// transport: the request built from the caller's list, submitted as a task,
// and completed by a query, a wait, an abort or, for a synchronous call,
// here with a time limit.
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "library/device/cti_internal.h"
#include "library/device/export_guard.h"
#include "library/device/request.h"
#include "pav512/buffers.h"

namespace pavu {
namespace {

constexpr std::uint32_t kBlockHeader = sizeof(pav512::TransactionBlock);
// A control transfer's data stage has a 16-bit length.
constexpr std::uint32_t kMaxCommandData = 0xFFFF;

// Every task this process has handed out and not yet completed. A task is
// looked up here before it is read, so a stale pointer is refused instead of
// read, and two threads cannot complete the same task.
std::mutex& liveLock() {
    static auto* m = new std::mutex();
    return *m;
}
std::unordered_set<CtiTask*>& liveTasks() {
    static auto* s = new std::unordered_set<CtiTask*>();
    return *s;
}

bool stillPending(const CtiTask* t) {
    // Written by the completion on another thread.
    auto internal = std::atomic_ref<ULONG_PTR_W>(const_cast<ULONG_PTR_W&>(t->overlapped.Internal))
                        .load(std::memory_order_acquire);
    return internal == static_cast<ULONG_PTR_W>(static_cast<ULONG>(STATUS_PENDING));
}

// TASK_INVALID unless the task is live, carries its magic and its request;
// INVALID_HANDLE when its handle has gone.
CTISTATUS checkTask(CtiTask* const* task) {
    if (!task || !*task) return CTISTATUS_TASK_INVALID;
    CtiTask* t = *task;
    {
        std::lock_guard<std::mutex> g(liveLock());
        if (!liveTasks().count(t) || t->magic != kCtiTaskMagic || !t->request)
            return CTISTATUS_TASK_INVALID;
    }
    if (!ctiHandles().valid(t->owner)) return CTISTATUS_INVALID_HANDLE;
    return CTISTATUS_SUCCESS;
}

// Takes the task out of the live set; false when another thread did first.
bool claim(CtiTask* t) {
    std::lock_guard<std::mutex> g(liveLock());
    return liveTasks().erase(t) == 1;
}

void freeTask(CtiTask* t) {
    if (t->overlapped.hEvent) CloseHandle(t->overlapped.hEvent);
    delete[] t->request;
    t->magic = 0;
    delete t;
}

std::uint32_t u32At(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Waits for the driver's answer, hands the results to the caller's blocks
// and variables and frees the task. A request that was submitted is always
// waited for, channel open or not: its buffer is written until it completes
// (a channel that closes cancels what it left pending, so the wait ends).
CTISTATUS complete(CtiTask* t, bool submitted) {
    if (submitted) {
        DWORD returned = 0;
        // The count comes back with a failed completion too (0 when cancelled).
        GetOverlappedResult(t->owner->file.load(), &t->overlapped, &returned, TRUE);
        t->bytesReturned = returned;
    }
    CTISTATUS final = CTISTATUS_CAMERA_REMOVED;
    if (submitted && t->bytesReturned == t->requestSize) {
        final = mapCtiResult(t->request[0]);
        std::size_t at = pav512::kTransactionListOffset;
        for (const CtiPlannedCommand& c : t->commands) {
            const std::uint8_t* block = t->request + at;
            // The driver's counts are not trusted past the room the caller gave.
            std::uint32_t moved = u32At(block + offsetof(pav512::TransactionBlock, dataLength));
            if (moved > c.dataLength) moved = c.dataLength;
            *c.returnedLength = moved;
            *c.status = mapCtiResult(block[offsetof(pav512::TransactionBlock, blockStatus)]);
            if (moved) std::memcpy(c.data, block + kBlockHeader, moved);
            at += kBlockHeader + c.dataLength;
        }
        if (t->data) {
            const std::uint8_t* block = t->request + at;
            std::uint32_t moved = u32At(block + offsetof(pav512::TransactionBlock, dataLength));
            if (moved > t->dataLength) moved = t->dataLength;
            *t->returned = moved;
            if (!t->write && moved) std::memcpy(t->data, block + kBlockHeader, moved);
        }
    }
    freeTask(t);
    return final;
}

std::uint32_t nextTaskId(CtiHandle* h) {
    for (;;) {
        std::uint32_t id = h->taskCounter.fetch_add(1) + 1;
        if (id != 0) return id;
    }
}

void putBlock(std::uint8_t* at, std::uint32_t kind, std::uint32_t direction,
              std::uint32_t dataLength, const CtiPlannedCommand* c) {
    pav512::TransactionBlock b{};
    b.length = dataLength + kBlockHeader;
    b.kind = kind;
    b.bulkDirection = direction;
    b.dataLength = dataLength;
    b.blockStatus = pav512::kModuleStatusUnanswered;
    if (c) {
        b.request = c->request;
        b.valueHigh = c->valueHigh;
        b.valueLow = c->valueLow;
        b.indexHigh = c->indexHigh;
        b.indexLow = c->indexLow;
    }
    std::memcpy(at, &b, sizeof b);
}

// What one command operation asks for, checked and planned.
struct Plan {
    std::vector<CtiPlannedCommand> commands;
    void* data = nullptr;
    std::uint32_t dataLength = 0;
    std::uint32_t* returned = nullptr;
    bool write = false;
};

CTISTATUS checkDataPhase(const void* buffer, std::uint32_t length, const std::uint32_t* returned) {
    if (length > 0 && (!buffer || !returned)) return CTISTATUS_NULL_POINTER;
    if (length == 0 && (buffer || returned)) return CTISTATUS_BAD_PARAMETER;
    return CTISTATUS_SUCCESS;
}

CTISTATUS checkCommands(const std::vector<CtiPlannedCommand>& commands) {
    for (const CtiPlannedCommand& c : commands) {
        if (c.dataLength && !c.data) return CTISTATUS_NULL_POINTER;
        if (c.dataLength > kMaxCommandData) return CTISTATUS_BAD_PARAMETER;
    }
    return CTISTATUS_SUCCESS;
}

std::vector<CtiPlannedCommand> planOf(CtiCommandBlock* list) {
    std::vector<CtiPlannedCommand> out;
    for (CtiCommandBlock* b = list; b; b = b->next)
        out.push_back({b->request, b->valueHigh, b->valueLow, 0, 0, b->data, b->dataLength,
                       &b->returnedLength, &b->status});
    return out;
}

std::vector<CtiPlannedCommand> planOf(CtiIndexedCommandBlock* list) {
    std::vector<CtiPlannedCommand> out;
    for (CtiIndexedCommandBlock* b = list; b; b = b->next)
        out.push_back({static_cast<std::uint8_t>(b->request & 0xFF), b->valueHigh, b->valueLow,
                       b->indexHigh, b->indexLow, b->data, b->dataLength, &b->returnedLength,
                       &b->status});
    return out;
}

// Builds and submits the transaction; with `task` null waits for it here.
CTISTATUS run(CtiHandle* h, Plan plan, CtiTask** task) {
    CTISTATUS st = checkCommands(plan.commands);
    if (st != CTISTATUS_SUCCESS) return st;
    std::uint64_t size = pav512::kTransactionListOffset + kBlockHeader;
    for (const CtiPlannedCommand& c : plan.commands) size += std::uint64_t{c.dataLength} + kBlockHeader;
    if (plan.data) size += std::uint64_t{plan.dataLength} + kBlockHeader;
    if (size > 0xFFFFFFFFull) return CTISTATUS_BUFFER_TOO_LARGE;

    auto* t = new (std::nothrow) CtiTask();
    if (!t) return CTISTATUS_ALLOC_FAILED;
    t->requestSize = static_cast<std::uint32_t>(size);
    t->request = new (std::nothrow) std::uint8_t[t->requestSize]();
    t->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!t->request || !t->overlapped.hEvent) {
        // Nothing is sent without the means to wait for its answer.
        freeTask(t);
        return CTISTATUS_ALLOC_FAILED;
    }
    t->magic = kCtiTaskMagic;
    t->id = nextTaskId(h);
    t->owner = h;
    t->commands = std::move(plan.commands);
    t->data = plan.data;
    t->dataLength = plan.dataLength;
    t->returned = plan.returned;
    t->write = plan.write;

    pav512::CommandHeader header{};
    header.sessionId = h->session;
    header.threadId = GetCurrentThreadId();
    header.taskId = t->id;
    std::memcpy(t->request, &header, sizeof header);
    std::size_t at = pav512::kTransactionListOffset;
    for (const CtiPlannedCommand& c : t->commands) {
        putBlock(t->request + at, 1, 0, c.dataLength, &c);
        if (c.dataLength) std::memcpy(t->request + at + kBlockHeader, c.data, c.dataLength);
        at += kBlockHeader + c.dataLength;
    }
    if (t->data) {
        putBlock(t->request + at, 0, t->write ? 1 : 0, t->dataLength, nullptr);
        if (t->write) std::memcpy(t->request + at + kBlockHeader, t->data, t->dataLength);
    }
    // The terminating zero and the slack after it are already zero.

    std::uint8_t result = submitRequest(h->file.load(), pav512::IOCTL_CTI_TRANSACTION, t->request,
                                        t->requestSize, &t->overlapped);
    if (result != kResultPending) {
        Sleep(0);
        complete(t, false);
        return CTISTATUS_CAMERA_REMOVED;
    }
    if (task) {
        std::lock_guard<std::mutex> g(liveLock());
        liveTasks().insert(t);
        *task = t;
        return CTISTATUS_SUCCESS;
    }

    // Synchronous: the camera has five seconds; then the command is aborted.
    // This task is never listed: nobody else can complete it.
    WaitForSingleObject(t->overlapped.hEvent, kCtiSynchronousWaitMs);
    if (!stillPending(t)) return complete(t, true);
    ctiRequest(h, pav512::IOCTL_CTI_ABORT_TASK, t->id);
    // Whether or not the driver took the abort (the task may just have ended,
    // or the channel may be failing), it gets the same time again to finish;
    // then what the channel has pending is cancelled rather than waited for
    // without end.
    WaitForSingleObject(t->overlapped.hEvent, kCtiSynchronousWaitMs);
    bool cancelled = false;
    if (stillPending(t)) {
        CancelIo(h->file.load());
        cancelled = true;
    }
    CTISTATUS final = complete(t, true);
    return final == CTISTATUS_TASK_ABORTED || cancelled ? CTISTATUS_CAMERA_ERROR : final;
}

CTISTATUS command(CtiHandle* h, Plan plan, CtiTask** task) {
    if (!ctiHandles().valid(h)) return CTISTATUS_INVALID_HANDLE;
    if (task) *task = nullptr;
    return run(h, std::move(plan), task);
}

}  // namespace

void ctiForgetTasks(CtiHandle* h) {
    std::vector<CtiTask*> mine;
    {
        std::lock_guard<std::mutex> g(liveLock());
        for (CtiTask* t : liveTasks())
            if (t->owner == h) mine.push_back(t);
        for (CtiTask* t : mine) liveTasks().erase(t);
    }
    for (CtiTask* t : mine) complete(t, true);
}

}  // namespace pavu

using namespace pavu;

extern "C" {

PAV512U_API CTISTATUS CtiCommand(CtiHandle* handle, CtiCommandBlock* list, CtiTask** task) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        Plan p;
        p.commands = planOf(list);
        return command(handle, std::move(p), task);
    });
}

PAV512U_API CTISTATUS CtiCommandWithIndex(CtiHandle* handle, CtiIndexedCommandBlock* list,
                                          CtiTask** task) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        // The results go straight back into the caller's indexed blocks,
        // for a task as for a synchronous call.
        Plan p;
        p.commands = planOf(list);
        return command(handle, std::move(p), task);
    });
}

PAV512U_API CTISTATUS CtiDataRead(CtiHandle* handle, void* buffer, uint32_t length,
                                  uint32_t* returned, CtiTask** task) {
    return CtiCommandWithDataRead(handle, nullptr, buffer, length, returned, task);
}

PAV512U_API CTISTATUS CtiDataWrite(CtiHandle* handle, const void* buffer, uint32_t length,
                                   uint32_t* returned, CtiTask** task) {
    return CtiCommandWithDataWrite(handle, nullptr, buffer, length, returned, task);
}

PAV512U_API CTISTATUS CtiCommandWithDataRead(CtiHandle* handle, CtiCommandBlock* list,
                                             void* buffer, uint32_t length, uint32_t* returned,
                                             CtiTask** task) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        if (!ctiHandles().valid(handle)) return CTISTATUS_INVALID_HANDLE;
        Plan p;
        p.commands = planOf(list);
        CTISTATUS st = checkCommands(p.commands);
        if (st == CTISTATUS_SUCCESS) st = checkDataPhase(buffer, length, returned);
        if (st != CTISTATUS_SUCCESS) return st;
        p.data = buffer;
        p.dataLength = length;
        p.returned = returned;
        return command(handle, std::move(p), task);
    });
}

PAV512U_API CTISTATUS CtiCommandWithDataWrite(CtiHandle* handle, CtiCommandBlock* list,
                                              const void* buffer, uint32_t length,
                                              uint32_t* returned, CtiTask** task) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        if (!ctiHandles().valid(handle)) return CTISTATUS_INVALID_HANDLE;
        Plan p;
        p.commands = planOf(list);
        CTISTATUS st = checkCommands(p.commands);
        if (st == CTISTATUS_SUCCESS) st = checkDataPhase(buffer, length, returned);
        if (st != CTISTATUS_SUCCESS) return st;
        // Only read from: the bytes are copied into the request.
        p.data = const_cast<void*>(buffer);
        p.dataLength = length;
        p.returned = returned;
        p.write = true;
        return command(handle, std::move(p), task);
    });
}

PAV512U_API CTISTATUS CtiTaskQueryComplete(CtiTask** task) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        CTISTATUS st = checkTask(task);
        if (st != CTISTATUS_SUCCESS) return st;
        CtiTask* t = *task;
        if (stillPending(t)) return CTISTATUS_TASK_PENDING;
        if (!claim(t)) return CTISTATUS_TASK_INVALID;
        *task = nullptr;
        return complete(t, true);
    });
}

PAV512U_API CTISTATUS CtiTaskWaitComplete(CtiTask** task, uint32_t timeoutMs) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        CTISTATUS st = checkTask(task);
        if (st != CTISTATUS_SUCCESS) return st;
        CtiTask* t = *task;
        WaitForSingleObject(t->overlapped.hEvent, timeoutMs);
        if (stillPending(t)) return CTISTATUS_TASK_PENDING;
        if (!claim(t)) return CTISTATUS_TASK_INVALID;
        *task = nullptr;
        return complete(t, true);
    });
}

PAV512U_API CTISTATUS CtiTaskAbort(CtiTask** task) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        CTISTATUS st = checkTask(task);
        if (st != CTISTATUS_SUCCESS) return st;
        CtiTask* t = *task;
        st = ctiRequest(t->owner, pav512::IOCTL_CTI_ABORT_TASK, t->id);
        if (st != CTISTATUS_SUCCESS) return st;
        if (!claim(t)) return CTISTATUS_TASK_INVALID;
        *task = nullptr;
        return complete(t, true);
    });
}

}  // extern "C"
