#include "platform/kernel/thread.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <thread>

#include "platform/kernel/verifier.h"

namespace kthread {
namespace {

std::atomic<int> failCount{0};
std::atomic<LONG> runningCount{0};
std::atomic<ULONG> nextId{0x1000};
thread_local KTHREAD* self = nullptr;

// Thrown by PsTerminateSystemThread to unwind the thread to its start.
struct Exit {
    NTSTATUS status;
};

}  // namespace

void failCreations(int count) { failCount.store(count); }
LONG running() { return runningCount.load(); }

}  // namespace kthread

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID ClientId,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    using namespace kthread;
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    int f = failCount.load();
    while (f > 0 && !failCount.compare_exchange_weak(f, f - 1)) {
    }
    if (f > 0) return STATUS_INSUFFICIENT_RESOURCES;
    KTHREAD* t = kobj::create<KTHREAD>(*PsThreadType);
    if (!t) return STATUS_INSUFFICIENT_RESOURCES;
    kdisp::initHeader(&t->Header, ThreadObject, 0);
    t->Priority = 8;
    t->ThreadId = nextId.fetch_add(4);
    t->ExitStatus = STATUS_PENDING;
    // The creation reference belongs to the running thread until it has
    // signalled; the handle takes a reference of its own.
    *ThreadHandle = kobj::insertHandle(t);
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(std::uintptr_t{4});
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(std::uintptr_t{t->ThreadId});
    }
    runningCount.fetch_add(1);
    std::thread([t, StartRoutine, StartContext]() {
        pthread_setname_np(pthread_self(), "ksystem");
        // System threads run below the code that wakes them: a completion
        // or a timer's routine (dispatch level in a real system) that queues
        // work or sets an event is never preempted by the thread it woke,
        // which runs once that code has given the processor up, or on an
        // idle one. Linux's batch policy gives exactly that (no preemption
        // on wake-up) and leaves the thread's share of the processor as it
        // was.
        sched_param batch{};
        pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
        self = t;
        NTSTATUS status = STATUS_SUCCESS;
        try {
            StartRoutine(StartContext);
        } catch (const Exit& e) {
            status = e.status;
        }
        t->ExitStatus = status;
        runningCount.fetch_sub(1);
        kdisp::signal(&t->Header, 1);
        self = nullptr;
        ObfDereferenceObject(t);
    }).detach();
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    if (kthread::self == nullptr) {
        kverifier::report("thread-terminate", "PsTerminateSystemThread outside a system thread");
        std::abort();
    }
    throw kthread::Exit{ExitStatus};
}

PKTHREAD KeGetCurrentThread() { return kthread::self; }

HANDLE PsGetCurrentThreadId() {
    if (kthread::self) return reinterpret_cast<HANDLE>(std::uintptr_t{kthread::self->ThreadId});
    // Threads that the model did not start (callers' threads) get a stable id of their own.
    static std::atomic<ULONG> next{0x100000};
    thread_local ULONG id = next.fetch_add(4);
    return reinterpret_cast<HANDLE>(std::uintptr_t{id});
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    KPRIORITY old = Thread->Priority;
    Thread->Priority = Priority;
    return old;
}
