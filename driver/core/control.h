// The dispatch switch behind the gate: routes each control code to the module
// that owns it. Handlers finish every request through dispatch.h.
#pragma once

#include "platform/kernel/wdm.h"

// Device-control requests the gate admitted.
NTSTATUS Control_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Internal device-control requests of the capture minidriver. They do not
// pass the gate; the driver has already counted them as outstanding.
NTSTATUS Control_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Codes whose handlers block their caller's thread for long (synchronous bus
// requests, a diagnostic transfer's polling, the command session's claim).
bool Control_BlocksCaller(ULONG code);
