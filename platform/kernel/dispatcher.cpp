#include "platform/kernel/dispatcher.h"

#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/kernel/condition.h"
#include "platform/kernel/verifier.h"

namespace kdisp {

// Shared: a signaller that took a waiter under the lock wakes it after
// letting the lock go, and the waiter may have returned by then.
struct Waiter {
    kcond::Condition cv;
};

struct WaitBlock {
    WaitBlock* next;
    std::shared_ptr<Waiter> waiter;
};

namespace {

// One lock guards every signal state and wait list, as the dispatcher
// database lock does; waiters sleep on their own condition variable.
std::mutex& dispatcherLock() {
    static std::mutex* m = new std::mutex();
    return *m;
}

void link(DISPATCHER_HEADER* h, WaitBlock* b) {
    b->next = h->WaitListHead;
    h->WaitListHead = b;
}

void unlink(DISPATCHER_HEADER* h, WaitBlock* b) {
    for (WaitBlock** p = &h->WaitListHead; *p; p = &(*p)->next) {
        if (*p == b) {
            *p = b->next;
            return;
        }
    }
}

// The waiters of a signalled object, woken once the dispatcher lock is let
// go: a waiter woken under it would only wake to wait for the lock. Beyond
// the few kept here they are woken at once.
class Wakes {
  public:
    void take(DISPATCHER_HEADER* h) {
        for (WaitBlock* b = h->WaitListHead; b; b = b->next) {
            if (count_ < kKept) {
                kept_[count_++] = b->waiter;
            } else {
                b->waiter->cv.notify_one();
            }
        }
    }
    // After the lock is let go.
    void wake() {
        for (std::size_t i = 0; i < count_; ++i) {
            kept_[i]->cv.notify_one();
            kept_[i].reset();
        }
        count_ = 0;
    }

  private:
    static constexpr std::size_t kKept = 8;
    std::shared_ptr<Waiter> kept_[kKept];
    std::size_t count_ = 0;
};

bool isSignalled(DISPATCHER_HEADER* h) { return h->SignalState > 0; }

// Consumes what a satisfied wait takes from the object.
void satisfy(DISPATCHER_HEADER* h) {
    switch (h->Type) {
        case EventSynchronizationObject:
        case TimerSynchronizationObject:
            h->SignalState = 0;
            break;
        case SemaphoreObject:
            h->SignalState -= 1;
            break;
        default:
            break;
    }
}

}  // namespace

void initHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state) {
    header->Type = type;
    header->SignalState = state;
    header->WaitListHead = nullptr;
    header->SignalHook = nullptr;
    header->SignalHookContext = nullptr;
}

LONG signal(DISPATCHER_HEADER* header, LONG state) {
    DispatcherSignalHook hook;
    void* ctx;
    LONG previous;
    Wakes wakes;
    {
        std::lock_guard<std::mutex> g(dispatcherLock());
        previous = header->SignalState;
        header->SignalState = state;
        if (state > 0) wakes.take(header);
        hook = header->SignalHook;
        ctx = header->SignalHookContext;
    }
    wakes.wake();
    if (hook && state > 0) hook(ctx);
    return previous;
}

bool release(DISPATCHER_HEADER* header, LONG adjustment, LONG limit, LONG* previous) {
    Wakes wakes;
    {
        std::lock_guard<std::mutex> g(dispatcherLock());
        *previous = header->SignalState;
        if (adjustment <= 0 || header->SignalState > limit - adjustment) return false;
        header->SignalState += adjustment;
        wakes.take(header);
    }
    wakes.wake();
    return true;
}

LONG readState(DISPATCHER_HEADER* header) {
    std::lock_guard<std::mutex> g(dispatcherLock());
    return header->SignalState;
}

void setSignalHook(DISPATCHER_HEADER* header, DispatcherSignalHook hook, void* context) {
    std::lock_guard<std::mutex> g(dispatcherLock());
    header->SignalHook = hook;
    header->SignalHookContext = context;
}

bool idle(DISPATCHER_HEADER* header) {
    std::lock_guard<std::mutex> g(dispatcherLock());
    return header->WaitListHead == nullptr;
}

namespace {

// A thread's waiter, made once: a wait allocates nothing. A signaller that
// took it for an earlier wait may still wake it during a later one; a wait
// looks at its objects again after every wake-up, so that is only an early
// look.
const std::shared_ptr<Waiter>& threadWaiter() {
    thread_local std::shared_ptr<Waiter> waiter = std::make_shared<Waiter>();
    return waiter;
}

// As the kernel's threads carry wait blocks for a few objects, a wait on up
// to this many uses blocks on its own stack; only a longer list takes memory
// (before the dispatcher lock).
constexpr ULONG kInlineWaitBlocks = THREAD_WAIT_OBJECTS;

NTSTATUS waitObjects(ULONG count, DISPATCHER_HEADER** objects, WAIT_TYPE type,
                     PLARGE_INTEGER timeout) {
    LONGLONG deadline = 0;
    bool timed = kclock::deadlineFrom(timeout, &deadline);
    WaitBlock inlineBlocks[kInlineWaitBlocks];
    std::unique_ptr<WaitBlock[]> moreBlocks;
    if (count > kInlineWaitBlocks) moreBlocks.reset(new WaitBlock[count]);
    WaitBlock* blocks = moreBlocks ? moreBlocks.get() : inlineBlocks;
    const std::shared_ptr<Waiter>* waiter = nullptr;
    std::unique_lock<std::mutex> g(dispatcherLock());
    bool linked = false;
    NTSTATUS result = STATUS_TIMEOUT;
    for (;;) {
        if (type == WaitAny) {
            for (ULONG i = 0; i < count; ++i) {
                if (isSignalled(objects[i])) {
                    satisfy(objects[i]);
                    result = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                    goto done;
                }
            }
        } else {
            bool all = true;
            for (ULONG i = 0; i < count && all; ++i) all = isSignalled(objects[i]);
            if (all) {
                for (ULONG i = 0; i < count; ++i) satisfy(objects[i]);
                result = STATUS_WAIT_0;
                goto done;
            }
        }
        if (timed && kclock::now() >= deadline) {
            result = STATUS_TIMEOUT;
            goto done;
        }
        if (!linked) {
            waiter = &threadWaiter();
            for (ULONG i = 0; i < count; ++i) {
                blocks[i].waiter = *waiter;
                link(objects[i], &blocks[i]);
            }
            linked = true;
        }
        if (timed)
            (*waiter)->cv.wait_until(g, kclock::realAt(deadline));
        else
            (*waiter)->cv.wait(g);
    }
done:
    if (linked) {
        for (ULONG i = 0; i < count; ++i) unlink(objects[i], &blocks[i]);
        g.unlock();
        // The waiter's references go outside the lock.
        for (ULONG i = 0; i < count; ++i) blocks[i].waiter.reset();
    }
    return result;
}

}  // namespace
}  // namespace kdisp

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    kdisp::initHeader(&Event->Header,
                      Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                      State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, LONG, BOOLEAN) { return kdisp::signal(&Event->Header, 1); }

LONG KeResetEvent(PRKEVENT Event) { return kdisp::signal(&Event->Header, 0); }

void KeClearEvent(PRKEVENT Event) { kdisp::signal(&Event->Header, 0); }

LONG KeReadStateEvent(PRKEVENT Event) { return kdisp::readState(&Event->Header); }

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    kdisp::initHeader(&Semaphore->Header, SemaphoreObject, Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, LONG, LONG Adjustment, BOOLEAN) {
    LONG previous = 0;
    if (!kdisp::release(&Semaphore->Header, Adjustment, Semaphore->Limit, &previous))
        kverifier::report("semaphore", "semaphore released beyond its limit");
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) { return kdisp::readState(&Semaphore->Header); }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
    auto* h = static_cast<DISPATCHER_HEADER*>(Object);
    return kdisp::waitObjects(1, &h, WaitAny, Timeout);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout, void*) {
    DISPATCHER_HEADER* few[THREAD_WAIT_OBJECTS];
    std::vector<DISPATCHER_HEADER*> many;
    DISPATCHER_HEADER** headers = few;
    if (Count > THREAD_WAIT_OBJECTS) {
        many.resize(Count);
        headers = many.data();
    }
    for (ULONG i = 0; i < Count; ++i) headers[i] = static_cast<DISPATCHER_HEADER*>(Object[i]);
    return kdisp::waitObjects(Count, headers, WaitType, Timeout);
}
