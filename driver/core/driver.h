// The driver's entry and the records it keeps for the whole driver.
#pragma once

#include "platform/kernel/wdm.h"
#include "platform/usb/usb.h"

// Device interface class through which user mode finds each camera.
extern const GUID kPav512InterfaceClass;  // {1867C0EE-BE92-4214-A791-517103BEE9D5}

// USBD interface version, queried once at entry.
extern USBD_VERSION_INFORMATION usbdVersionInformation;

// The entry a host passes to kio::loadDriver.
NTSTATUS PAV512_DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS PAV512_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
