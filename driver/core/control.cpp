// No control family is routed yet: every code is refused the way an
// unrecognised one is, leaving the client's buffer untouched.
#include "driver/core/control.h"

#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"

NTSTATUS Control_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    completeRequest(deviceContextOf(DeviceObject), Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS Control_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    completeRequest(deviceContextOf(DeviceObject), Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
}
