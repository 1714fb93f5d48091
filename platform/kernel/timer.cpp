#include "platform/kernel/timer.h"

#include <pthread.h>

#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/kernel/clock.h"
#include "platform/kernel/condition.h"
#include "platform/kernel/spinlock.h"

namespace ktimer {
namespace {

struct DpcQueue {
    std::mutex lock;
    kcond::Condition cv;
    std::deque<PKDPC> queue;
    ULONGLONG queuedSeq = 0;  // DPCs ever queued
    ULONGLONG doneSeq = 0;    // DPCs ever finished or removed
    kcond::Condition doneCv;
    bool paused = false;
    bool started = false;
    // A deferred procedure is running, on this queue's thread or on the
    // timer thread: they run one at a time whichever thread runs them.
    bool running = false;

    void start() {
        if (started) return;
        started = true;
        std::thread([this] { run(); }).detach();
    }

    bool runnable() const { return !queue.empty() && !paused && !running; }

    // Runs the first queued procedure with the lock let go. Lock held, and
    // runnable().
    void runFirst(std::unique_lock<std::mutex>& g) {
        PKDPC dpc = queue.front();
        queue.pop_front();
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID ctx = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        dpc->Inserted = 0;
        running = true;
        g.unlock();
        routine(dpc, ctx, a1, a2);
        g.lock();
        running = false;
        ++doneSeq;
        doneCv.notify_all();
    }

    // Queues `dpc` (lock held). Returns false when it was queued already.
    bool insert(PKDPC dpc, PVOID a1, PVOID a2) {
        if (dpc->Inserted) return false;
        dpc->Inserted = 1;
        dpc->SystemArgument1 = a1;
        dpc->SystemArgument2 = a2;
        queue.push_back(dpc);
        ++queuedSeq;
        return true;
    }

    void run() {
        pthread_setname_np(pthread_self(), "kdpc");
        KeRaiseIrqlToDpcLevel();
        std::unique_lock<std::mutex> g(lock);
        for (;;) {
            cv.wait(g, [this] { return runnable(); });
            runFirst(g);
        }
    }

    // The timer thread runs what its expiries queued when nothing else is
    // running, rather than wake this queue's thread for it: a tick then
    // costs one wake-up, not a hand-over between two threads (and a re-arm
    // from the procedure finds the timer thread awake). Whatever it cannot
    // run now (held back, or another procedure running) this queue's thread
    // runs as before.
    void runFromTimerThread() {
        std::unique_lock<std::mutex> g(lock);
        if (!runnable()) return;
        const KIRQL old = KeRaiseIrqlToDpcLevel();
        while (runnable()) runFirst(g);
        KeLowerIrql(old);
        if (!queue.empty() && !paused) cv.notify_one();
    }
};

DpcQueue& dpcs() {
    static DpcQueue* q = new DpcQueue();
    return *q;
}

struct TimerQueue {
    std::mutex lock;
    kcond::Condition cv;
    std::multimap<LONGLONG, PKTIMER> armed;  // by due time
    bool started = false;

    void start() {
        if (started) return;
        started = true;
        std::thread([this] { run(); }).detach();
    }

    void remove(PKTIMER t) {
        auto range = armed.equal_range(t->DueTime);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == t) {
                armed.erase(it);
                return;
            }
        }
    }

    void run() {
        pthread_setname_np(pthread_self(), "ktimer");
        std::unique_lock<std::mutex> g(lock);
        for (;;) {
            if (armed.empty()) {
                cv.wait(g);
                continue;
            }
            auto first = armed.begin();
            LONGLONG due = first->first;
            if (kclock::now() < due) {
                cv.wait_until(g, kclock::realAt(due));
                continue;
            }
            PKTIMER t = first->second;
            // The entry itself moves to the next due time of a periodic
            // timer: a tick allocates nothing.
            auto entry = armed.extract(first);
            t->Inserted = FALSE;
            PKDPC dpc = t->Dpc;
            if (t->Period > 0) {
                t->DueTime = due + static_cast<LONGLONG>(t->Period) * 10000;
                t->Inserted = TRUE;
                entry.key() = t->DueTime;
                armed.insert(std::move(entry));
            }
            // Signal and queue under the timer lock so that a cancel that
            // returns has either prevented the expiry or seen it happen.
            kdisp::signal(&t->Header, 1);
            if (dpc) queueExpired(dpc);
            if (armed.empty() || armed.begin()->first > kclock::now()) {
                // Nothing else is due: run what the expiries queued.
                g.unlock();
                dpcs().runFromTimerThread();
                g.lock();
            }
        }
    }

    // Queues the procedure of an expired timer. Its wake-up of the DPC
    // thread is left to runFromTimerThread when that can run it itself.
    static void queueExpired(PKDPC dpc) {
        DpcQueue& q = dpcs();
        std::lock_guard<std::mutex> g(q.lock);
        q.start();
        if (!q.insert(dpc, nullptr, nullptr)) return;
        if (q.running || q.paused) q.cv.notify_one();
    }
};

TimerQueue& timers() {
    static TimerQueue* q = new TimerQueue();
    return *q;
}

}  // namespace

void pauseDpcs(bool paused) {
    DpcQueue& q = dpcs();
    std::lock_guard<std::mutex> g(q.lock);
    q.paused = paused;
    q.cv.notify_all();
}

}  // namespace ktimer

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->Inserted = 0;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    auto& q = ktimer::dpcs();
    std::lock_guard<std::mutex> g(q.lock);
    q.start();
    if (!q.insert(Dpc, SystemArgument1, SystemArgument2)) return FALSE;
    q.cv.notify_one();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    auto& q = ktimer::dpcs();
    std::lock_guard<std::mutex> g(q.lock);
    if (!Dpc->Inserted) return FALSE;
    for (auto it = q.queue.begin(); it != q.queue.end(); ++it) {
        if (*it == Dpc) {
            q.queue.erase(it);
            Dpc->Inserted = 0;
            ++q.doneSeq;
            q.doneCv.notify_all();
            return TRUE;
        }
    }
    return FALSE;
}

void KeFlushQueuedDpcs() {
    auto& q = ktimer::dpcs();
    std::unique_lock<std::mutex> g(q.lock);
    ULONGLONG target = q.queuedSeq;
    q.doneCv.wait(g, [&] { return q.doneSeq >= target || q.paused; });
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    kdisp::initHeader(&Timer->Header,
                      Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject, 0);
    Timer->DueTime = 0;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
    Timer->Generation = 0;
    Timer->Inserted = FALSE;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    auto& q = ktimer::timers();
    std::lock_guard<std::mutex> g(q.lock);
    q.start();
    BOOLEAN was = Timer->Inserted;
    if (was) q.remove(Timer);
    LONGLONG due = 0;
    kclock::deadlineFrom(&DueTime, &due);
    Timer->DueTime = due;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    Timer->Inserted = TRUE;
    ++Timer->Generation;
    kdisp::signal(&Timer->Header, 0);
    q.armed.emplace(due, Timer);
    q.cv.notify_one();
    return was;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    auto& q = ktimer::timers();
    std::lock_guard<std::mutex> g(q.lock);
    BOOLEAN was = Timer->Inserted;
    if (was) q.remove(Timer);
    Timer->Inserted = FALSE;
    return was;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return kdisp::readState(&Timer->Header) > 0; }
