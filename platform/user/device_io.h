// Control channels as a client opens and uses them: CreateFileA on a device
// interface path followed by "\PAV512Connect", DeviceIoControl (synchronous or
// overlapped), GetOverlappedResult, CancelIo. CloseHandle (handles.h) closes a
// channel and cancels what it left pending. The requests travel through the
// installed transport (channel_transport.h).
#pragma once

#include "platform/user/handles.h"
#include "platform/user/win32.h"

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

struct OVERLAPPED {
    ULONG_PTR_W Internal;      // completion status; STATUS_PENDING while pending
    ULONG_PTR_W InternalHigh;  // information
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;  // signalled on completion (reset when the request starts)
};
using LPOVERLAPPED = OVERLAPPED*;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Buffered control request. With an OVERLAPPED on a channel opened with
// FILE_FLAG_OVERLAPPED, a request the driver does not finish at once returns
// FALSE with ERROR_IO_PENDING; its output lands in lpOutBuffer and the
// OVERLAPPED's event is set when it completes.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);

// Not of Win32: as DeviceIoControl, with the output buffer in two pieces,
// the first nOutHeadSize bytes at lpOutHead and the rest at lpOutRest, so
// that a request's header and a caller's own data area are answered into
// without a copy from one joined buffer. lpBytesReturned counts both.
BOOL DeviceIoControlSplit(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                          DWORD nInBufferSize, LPVOID lpOutHead, DWORD nOutHeadSize,
                          LPVOID lpOutRest, DWORD nOutRestSize, LPDWORD lpBytesReturned,
                          LPOVERLAPPED lpOverlapped);

// Not of Win32: as DeviceIoControlSplit, with the input in two pieces too
// (nInHeadSize bytes at lpInHead, then nInRestSize at lpInRest), sent as
// they are rather than joined first.
BOOL DeviceIoControlParts(HANDLE hDevice, DWORD dwIoControlCode, LPCVOID lpInHead,
                          DWORD nInHeadSize, LPCVOID lpInRest, DWORD nInRestSize, LPVOID lpOutHead,
                          DWORD nOutHeadSize, LPVOID lpOutRest, DWORD nOutRestSize,
                          LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);

// Not of Win32: from a call with bHold TRUE to the next with FALSE, the
// overlapped requests the calling thread makes on the channel are kept and
// sent together at the second call, so that the driver host takes them in
// at one wake rather than one each. Anything else sent on the channel in
// between (another thread's request, a cancel, a synchronous request) sends
// them first. A request kept so is pending as any other; one that failed at
// once still returns its error.
BOOL DeviceIoControlHold(HANDLE hDevice, BOOL bHold);

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);

// Not of Win32: nSize bytes of zeroed memory for the output of the device's
// requests. Where the driver host can share memory with this process, a
// DeviceIoControlSplit whose lpOutRest is this buffer (no longer than it,
// with an input no longer than the head, one request at a time; the host
// refuses one whose head does not hold the code's fixed layout) has the
// driver write that part straight into it: only the head crosses to this
// process. Elsewhere it is memory of this process, used as any other.
// Valid until FreeDeviceBuffer or the handle's CloseHandle, whichever is
// first; null (ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER for a size
// of 0 or beyond a request's buffer) when there is none.
LPVOID AllocateDeviceBuffer(HANDLE hDevice, DWORD nSize);
BOOL FreeDeviceBuffer(HANDLE hDevice, LPVOID lpBuffer);

// Cancels every request pending on the channel; each completes with
// ERROR_OPERATION_ABORTED unless the driver finished it first.
BOOL CancelIo(HANDLE hFile);
