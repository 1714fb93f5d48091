// Timers and deferred procedure calls. Timers fire on the model clock; their
// deferred procedures run one at a time, in queue order, on the model's DPC
// thread at DISPATCH_LEVEL, as on a single processor.
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
// Disarms the timer; TRUE when it was armed.
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

namespace ktimer {
// Holds back every deferred procedure while `paused` is true (queued ones run
// when it is cleared); tests use it to model a DPC that does not come.
void pauseDpcs(bool paused);
}  // namespace ktimer
