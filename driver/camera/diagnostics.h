// The camera engine's part of the diagnostic control family: selecting an
// alternate setting, sending a vendor request, one bulk transfer on a stream
// and reading the device identifiers, each asked for by a client tool. The
// buffers come from other processes and are checked before anything in them
// is used.
#pragma once

#include "platform/kernel/wdm.h"

struct DeviceContext;

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
