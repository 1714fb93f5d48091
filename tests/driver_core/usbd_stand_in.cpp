// The USBD version query, linked into these tests only while the bus library
// does not provide it (CMake drops this file once platform/usb/usbd.cpp exists).
#include "platform/usb/usb.h"

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    VersionInformation->USBDI_Version = 0x500;
    VersionInformation->Supported_USB_Version = 0x200;
}
