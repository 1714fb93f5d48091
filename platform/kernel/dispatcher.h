// Dispatcher objects of the kernel model: events, semaphores, and the waits on
// them. Threads and timers are dispatcher objects too (thread.h, timer.h).
// Every object starts with a DISPATCHER_HEADER, so a wait takes any of them.
#pragma once

#include "platform/kernel/basetypes.h"
#include "platform/kernel/ntstatus.h"

namespace kdisp {
struct WaitBlock;
}

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };

enum KOBJECTS : UCHAR {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
};

// Objects a wait can take without a wait block array of the caller's.
constexpr ULONG THREAD_WAIT_OBJECTS = 3;

enum KWAIT_REASON { Executive = 0, UserRequest = 6, Suspended = 5 };
enum WAIT_TYPE { WaitAll = 0, WaitAny = 1 };

// Called after an object became signalled, outside the dispatcher lock. Events
// that stand for a client's event handle forward the signal this way.
using DispatcherSignalHook = void (*)(void* context);

struct DISPATCHER_HEADER {
    UCHAR Type;
    LONG SignalState;
    kdisp::WaitBlock* WaitListHead;
    DispatcherSignalHook SignalHook;
    void* SignalHookContext;
};

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
};
using PKSEMAPHORE = KSEMAPHORE*;
using PRKSEMAPHORE = KSEMAPHORE*;

constexpr LONG EVENT_INCREMENT = 1;
constexpr LONG IO_NO_INCREMENT = 0;
constexpr LONG SEMAPHORE_INCREMENT = 1;

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
void KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
// Releases the semaphore by Adjustment; returns the previous count. Exceeding
// the limit is refused (the count stays) and reported to the verifier.
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, LONG Increment, LONG Adjustment, BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Waits until Object is signalled or the time-out passes (null: no time-out;
// negative: relative in 100 ns units; positive: absolute system time). Returns
// STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
// WaitAny returns STATUS_WAIT_0 + index of the object that satisfied the wait.
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout, void* WaitBlockArray);

namespace kdisp {
// Sets the signal state of any dispatcher header and wakes its waiters; the
// building block of events, timers and thread termination.
// Returns the previous state.
LONG signal(DISPATCHER_HEADER* header, LONG state);
// Adds to a counted state unless that passes the limit; false (and nothing
// changed) when it would. The previous state is stored in *previous.
bool release(DISPATCHER_HEADER* header, LONG adjustment, LONG limit, LONG* previous);
LONG readState(DISPATCHER_HEADER* header);
void initHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state);
// Installs a hook called each time the object is signalled (events only).
void setSignalHook(DISPATCHER_HEADER* header, DispatcherSignalHook hook, void* context);
// True when no thread waits on the object; objects must be idle when freed.
bool idle(DISPATCHER_HEADER* header);
}  // namespace kdisp
