// How requests leave the driver. Every request the gate or the internal path
// admitted leaves through exactly one of these two, so the outstanding count
// returns to zero and a removal can finish.
#pragma once

#include "platform/kernel/wdm.h"

struct DeviceContext;

// Completes `irp` with `status` and `information` (no priority boost) and
// takes it out of the outstanding count.
void completeRequest(DeviceContext* device, PIRP irp, NTSTATUS status, ULONG_PTR information);

// Completes a control request with its module status: a cancelled request
// (or status STATUS_CANCELLED) ends with STATUS_CANCELLED and information 0;
// otherwise byte 0 of the system buffer gets `moduleStatus` (only that byte:
// the client owns bytes 1-3; nothing is written into an empty buffer) and the
// request ends with `status` and its whole output buffer.
void completeWithModuleStatus(DeviceContext* device, PIRP irp, NTSTATUS status, UCHAR moduleStatus);

// True once a stop has waited its grace for the calls in the modules: a call
// that blocks its caller (a diagnostic transfer) ends now with a failure.
bool callsCancelled(const DeviceContext* device);
