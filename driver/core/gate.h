// The request gate and the sequences that open and close it.
#pragma once

#include "platform/kernel/wdm.h"

struct DeviceContext;

// Create, close, read, write and device control.
NTSTATUS PAV512_DispatchGate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Internal device control: counted, never held.
NTSTATUS PAV512_DispatchInternal(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Closed gate: running, holding and stopped all set, the held queue empty.
// Requests admitted earlier stay counted until they complete.
void gateInitialise(DeviceContext* device);
void gateSetHolding(DeviceContext* device);
void gateSetStopped(DeviceContext* device, bool stopped);
// Waits until no dispatch is inside the modules: a bounded grace, then the
// calls that block are told to give up (callsCancelled) and the rest is
// waited for. Call after gateSetStopped(device, true).
void gateWaitCalls(DeviceContext* device);
// Clears running: from now on every request is refused.
void gateClose(DeviceContext* device);
// Dispatches the held requests in arrival order, then clears holding; a
// request arriving meanwhile is dispatched after them. Each runs in its
// caller's process. One that blocks its caller (and what its channel sent
// after it) runs on a thread of its own, so that this returns at once.
void gateReleaseHeld(DeviceContext* device);
// Completes every held request with STATUS_CANCELLED.
void gateCancelHeld(DeviceContext* device);
// Returns once every admitted request has completed. Call after gateClose.
void gateWaitIdle(DeviceContext* device);
