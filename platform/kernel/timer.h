// Timers and deferred procedure calls. Timers fire on the model clock; their
// deferred procedures run one at a time, in queue order, at DISPATCH_LEVEL,
// as on a single processor (on the DPC thread, or on the thread that
// expired their timer).
#pragma once

#include "platform/kernel/dispatcher.h"

struct KDPC;
using PKDPC = KDPC*;
using PKDEFERRED_ROUTINE = void (*)(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2);

struct KDPC {
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile LONG Inserted;  // queued and not yet started
};
using PRKDPC = KDPC*;

enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };

struct KTIMER {
    DISPATCHER_HEADER Header;
    LONGLONG DueTime;  // absolute, 100 ns units of the model clock
    PKDPC Dpc;
    LONG Period;  // ms, 0 for a one-shot timer
    ULONG TolerableDelay;  // ms it may expire late, to share a wake-up with other work
    ULONGLONG Generation;
    BOOLEAN Inserted;
};
using PKTIMER = KTIMER*;

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// Returns once every deferred procedure queued before the call has run.
void KeFlushQueuedDpcs();

void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// Arms the timer (DueTime negative: relative; positive: absolute). Returns
// TRUE when it was already armed.
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// As KeSetTimerEx, for a timer that may expire up to `TolerableDelay` ms
// after its due time. Such a timer expires on a thread that calls
// ktimer::expireDueTimers after its due time, when one does so in time;
// otherwise the timer thread wakes for it at the end of its tolerance.
BOOLEAN KeSetCoalescableTimer(PKTIMER Timer, LARGE_INTEGER DueTime, ULONG Period,
                              ULONG TolerableDelay, PKDPC Dpc);
// Disarms the timer; TRUE when it was armed.
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

namespace ktimer {
// Expires the timers already due and runs their procedures on the calling
// thread, at DISPATCH_LEVEL. For a thread that woke for other work (a bus's
// completions), called where it holds no lock of its own or the driver's and
// runs at PASSIVE_LEVEL: a tick that falls into that wake-up then costs no
// wake-up of its own. Returns at once, after one read of the clock, when
// nothing is due; does nothing above PASSIVE_LEVEL.
void expireDueTimers();
// Holds back every deferred procedure while `paused` is true (queued ones run
// when it is cleared); tests use it to model a DPC that does not come.
void pauseDpcs(bool paused);
}  // namespace ktimer
