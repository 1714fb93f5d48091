#include "platform/usb/usb.h"

NTSTATUS UsbdStatusToNtStatus(USBD_STATUS s) {
    if (USBD_SUCCESS(s)) return USBD_PENDING(s) ? STATUS_PENDING : STATUS_SUCCESS;
    switch (s) {
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INVALID_URB_FUNCTION:
            return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_NO_MEMORY:
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
        case USBD_STATUS_NO_BANDWIDTH:
            return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_TIMEOUT:
            return STATUS_IO_TIMEOUT;
        case USBD_STATUS_NOT_SUPPORTED:
            return STATUS_NOT_SUPPORTED;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}
