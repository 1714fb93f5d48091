#include "platform/kernel/timer.h"

#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
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

    // A thread that expired timers (the timer thread, or one already awake
    // in expireDueTimers) runs what they queued when nothing else is
    // running, rather than wake this queue's thread for it: a tick then
    // costs one wake-up at most, not a hand-over between two threads (and a
    // re-arm from the procedure finds the timer thread's alarm unfired).
    // Whatever it cannot run now (held back, or another procedure running)
    // this queue's thread runs as before.
    void runHere() {
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
    std::multimap<LONGLONG, PKTIMER> armed;  // by due time
    // The first due time (LLONG_MAX: none), read without the lock by
    // expireDueTimers on every call.
    std::atomic<LONGLONG> earliestDue{LLONG_MAX};
    // The thread sleeps on a timer of the system's that other threads can
    // set later as well as earlier without waking it: a coalescable timer
    // that expires on a thread already awake moves the sleeper's alarm to its
    // next expiry rather than letting it wake for one that is gone.
    int alarm = -1;
    kcond::Condition cv;           // the sleeper's wake when there is no alarm
    LONGLONG alarmAt = LLONG_MAX;  // the virtual time the thread is to wake at
    bool started = false;

    void start() {
        if (started) return;
        started = true;
        alarm = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        std::thread([this] { run(); }).detach();
    }

    void remove(PKTIMER t) {
        auto range = armed.equal_range(t->DueTime);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == t) {
                armed.erase(it);
                break;
            }
        }
        published();
    }

    void insert(PKTIMER t) {
        armed.emplace(t->DueTime, t);
        published();
        setAlarm();
    }

    // Lock held, after any change of `armed`.
    void published() {
        earliestDue.store(armed.empty() ? LLONG_MAX : armed.begin()->first,
                          std::memory_order_release);
    }

    // Sets the thread's alarm at the latest moment each armed timer may
    // expire (its due time plus what it tolerates), when that changed. Lock
    // held.
    void setAlarm() {
        LONGLONG latest = LLONG_MAX;
        for (const auto& [due, t] : armed) {
            const LONGLONG slack = static_cast<LONGLONG>(t->TolerableDelay) * 10000;
            latest = std::min<LONGLONG>(latest,
                                        due > LLONG_MAX - 1 - slack ? LLONG_MAX - 1 : due + slack);
        }
        if (latest == alarmAt) return;
        alarmAt = latest;
        if (alarm < 0) {
            cv.notify_one();
            return;
        }
        itimerspec setting{};  // all zero: disarmed
        if (latest != LLONG_MAX) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                kclock::realAt(latest).time_since_epoch())
                                .count();
            const LONGLONG at = std::max<LONGLONG>(ns, 1);  // zero would disarm it
            setting.it_value.tv_sec = static_cast<time_t>(at / 1000000000);
            setting.it_value.tv_nsec = static_cast<long>(at % 1000000000);
        }
        timerfd_settime(alarm, TFD_TIMER_ABSTIME, &setting, nullptr);
    }

    // Expires every timer due by `now`, in order of due time. Lock held.
    void expire(LONGLONG now) {
        while (!armed.empty() && armed.begin()->first <= now) {
            // The entry itself moves to the next due time of a periodic
            // timer: a tick allocates nothing.
            auto entry = armed.extract(armed.begin());
            PKTIMER t = entry.mapped();
            t->Inserted = FALSE;
            PKDPC dpc = t->Dpc;
            if (t->Period > 0) {
                t->DueTime = entry.key() + static_cast<LONGLONG>(t->Period) * 10000;
                t->Inserted = TRUE;
                entry.key() = t->DueTime;
                armed.insert(std::move(entry));
            }
            // Signal and queue under the timer lock so that a cancel that
            // returns has either prevented the expiry or seen it happen.
            kdisp::signal(&t->Header, 1);
            if (dpc) queueExpired(dpc);
        }
        published();
    }

    void run() {
        pthread_setname_np(pthread_self(), "ktimer");
        for (;;) {
            {
                std::lock_guard<std::mutex> g(lock);
                expire(kclock::now());
                // The alarm that woke this thread is spent (or a wait ended
                // early): set it again whatever it was.
                alarmAt = LLONG_MIN;
                setAlarm();
            }
            // Run what the expiries queued here rather than wake the DPC
            // thread for it.
            dpcs().runHere();
            if (alarm >= 0) {
                std::uint64_t expirations = 0;
                (void)!::read(alarm, &expirations, sizeof expirations);
                continue;
            }
            std::unique_lock<std::mutex> g(lock);
            if (alarmAt == LLONG_MAX)
                cv.wait(g);
            else if (kclock::now() < alarmAt)
                cv.wait_until(g, kclock::realAt(alarmAt));
        }
    }

    // Queues the procedure of an expired timer. Its wake-up of the DPC
    // thread is left to runHere when that can run it itself.
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

void expireDueTimers() {
    TimerQueue& q = timers();
    const LONGLONG first = q.earliestDue.load(std::memory_order_acquire);
    if (first == LLONG_MAX || kclock::now() < first) return;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;  // the caller holds a spin lock
    {
        std::lock_guard<std::mutex> g(q.lock);
        q.expire(kclock::now());
    }
    dpcs().runHere();
    // The procedures that re-armed their timers have set the thread's alarm
    // for them; this sets it for the rest (a periodic timer's next expiry,
    // or none) when it still points at what expired here.
    std::lock_guard<std::mutex> g(q.lock);
    q.setAlarm();
}

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
    Timer->TolerableDelay = 0;
    Timer->Generation = 0;
    Timer->Inserted = FALSE;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    return KeSetCoalescableTimer(Timer, DueTime, static_cast<ULONG>(std::max<LONG>(Period, 0)), 0,
                                 Dpc);
}

BOOLEAN KeSetCoalescableTimer(PKTIMER Timer, LARGE_INTEGER DueTime, ULONG Period,
                              ULONG TolerableDelay, PKDPC Dpc) {
    auto& q = ktimer::timers();
    std::lock_guard<std::mutex> g(q.lock);
    q.start();
    BOOLEAN was = Timer->Inserted;
    if (was) q.remove(Timer);
    LONGLONG due = 0;
    kclock::deadlineFrom(&DueTime, &due);
    Timer->DueTime = due;
    Timer->Dpc = Dpc;
    Timer->Period = static_cast<LONG>(std::min<ULONG>(Period, 0x7FFFFFFF));
    Timer->TolerableDelay = std::min<ULONG>(TolerableDelay, 0x7FFFFFFF);
    Timer->Inserted = TRUE;
    ++Timer->Generation;
    kdisp::signal(&Timer->Header, 0);
    q.insert(Timer);
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
