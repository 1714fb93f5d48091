// The camera engine's part of the diagnostic control family: selecting an
// alternate setting, sending a vendor request, one bulk transfer on a stream
// and reading the device identifiers, each asked for by a client tool. The
// buffers come from other processes and are checked before anything in them
// is used.
#pragma once

#include "platform/kernel/wdm.h"

struct DeviceContext;

constexpr ULONG kDebugSetInterfaceCode = 0x220414;
constexpr ULONG kDebugUsbCommandCode = 0x220418;
constexpr ULONG kDebugUsbTransferCode = 0x22041C;
constexpr ULONG kDebugDeviceIdCode = 0x220420;

// The 20-byte header of every diagnostic request; data follows it.
constexpr ULONG kDebugHeaderSize = 20;
// Module statuses in byte 0 of the reply.
constexpr UCHAR kDebugStatusSuccess = 0;
constexpr UCHAR kDebugStatusFailed = 1;
constexpr UCHAR kDebugStatusShortTransfer = 5;
// A diagnostic bulk transfer blocks its caller's channel while it polls; a
// client asking for longer than this is refused.
constexpr ULONG kDebugTransferMaxTimeoutMs = 60000;

// Whether the camera engine answers `code`.
bool USBIF_IsDebugCode(ULONG code);
// Answers one of those codes: the module status goes into byte 0 and the
// request completes with success and its whole buffer. A buffer shorter than
// the header completes with STATUS_INVALID_PARAMETER and nothing read; a code
// that is not the engine's with STATUS_INVALID_DEVICE_REQUEST. Returns the
// request's completion status.
NTSTATUS USBIF_DebugRequest(DeviceContext* device, PIRP irp);
