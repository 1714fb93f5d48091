// System threads of the kernel model. A thread object is a dispatcher object
// that becomes signalled when the thread ends, so KeWaitForSingleObject on it
// waits for the thread's exit.
#pragma once

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/object.h"

using PKSTART_ROUTINE = void (*)(PVOID StartContext);

struct KTHREAD {
    DISPATCHER_HEADER Header;
    KPRIORITY Priority;
    ULONG ThreadId;
    NTSTATUS ExitStatus;
};
using PKTHREAD = KTHREAD*;
using PETHREAD = KTHREAD*;
using PRKTHREAD = KTHREAD*;

struct CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID*;

// Starts StartRoutine(StartContext) on a new thread; returns a kernel handle
// to its thread object in *ThreadHandle.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// Ends the calling system thread; does not return.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
PKTHREAD KeGetCurrentThread();
inline PETHREAD PsGetCurrentThread() { return KeGetCurrentThread(); }
HANDLE PsGetCurrentThreadId();
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);

namespace kthread {
// Makes the next `count` thread creations fail with STATUS_INSUFFICIENT_RESOURCES.
void failCreations(int count);
// System threads started and not yet ended.
LONG running();
}  // namespace kthread
