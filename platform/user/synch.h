// Mutexes (named ones shared by every process of the same driver host, and
// unnamed ones of this process) and handle duplication in the user-mode model.
//
// A mutex is owned by a thread and may be taken again by its owner (each take
// needs its release). A named mutex survives its holder's death: the next
// waiter gets WAIT_ABANDONED and owns it. Waits on a mutex go through
// WaitForSingleObject; it cannot be one of several objects of a
// WaitForMultipleObjects (ERROR_NOT_SUPPORTED).
#pragma once

#include "platform/user/handles.h"
#include "platform/user/win32.h"

constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x1;
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x2;
constexpr DWORD SYNCHRONIZE_ACCESS = 0x00100000;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;

// lpName null: a mutex of this process. Otherwise the named mutex, made if
// missing; GetLastError() is ERROR_ALREADY_EXISTS when it existed, and then,
// as on the platform, bInitialOwner is ignored. Null when there is no shared
// area or its mutex table is full.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
// FALSE with ERROR_NOT_OWNER when the calling thread does not own it.
BOOL ReleaseMutex(HANDLE hMutex);

// The pseudo handle of this process; the only process DuplicateHandle knows.
HANDLE GetCurrentProcess();
// A second handle to the same object within this process.
BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle,
                     DWORD dwOptions);

namespace umutex {
// The wait of WaitForSingleObject on a mutex handle: WAIT_OBJECT_0,
// WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED.
DWORD wait(void* mutexObject, DWORD milliseconds);
bool isMutex(void* object);
}  // namespace umutex
