// USB definitions of the bus interface below the driver: descriptors, URBs,
// USBD status codes and the internal control codes, shaped as the platform's
// USB driver interface. URBs travel in IRP_MJ_INTERNAL_DEVICE_CONTROL requests
// (IOCTL_INTERNAL_USB_SUBMIT_URB, the URB in Parameters.Others.Argument1) to
// the bus's physical device object; see bus.h for the contract of each.
#pragma once

#include "platform/kernel/wdm.h"

// ---------------------------------------------------------------------------
// Descriptors (little-endian, packed as on the wire)

#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
};
struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
};
struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};
struct USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
};
struct USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
};
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;
using PUSB_ENDPOINT_DESCRIPTOR = USB_ENDPOINT_DESCRIPTOR*;
using PUSB_COMMON_DESCRIPTOR = USB_COMMON_DESCRIPTOR*;

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 1;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 2;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 3;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 4;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 5;

constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 1;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 2;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 3;
inline bool USB_ENDPOINT_DIRECTION_IN(UCHAR a) { return (a & USB_ENDPOINT_DIRECTION_MASK) != 0; }

// ---------------------------------------------------------------------------
// USBD status of a URB: the top two bits 11 mean error, 01 pending, 00 success.

using USBD_STATUS = LONG;
constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0x00000000;
constexpr USBD_STATUS USBD_STATUS_PENDING = 0x40000000;
constexpr USBD_STATUS USBD_STATUS_CRC = static_cast<USBD_STATUS>(0xC0000001);
constexpr USBD_STATUS USBD_STATUS_BTSTUFF = static_cast<USBD_STATUS>(0xC0000002);
constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = static_cast<USBD_STATUS>(0xC0000005);
constexpr USBD_STATUS USBD_STATUS_DATA_OVERRUN = static_cast<USBD_STATUS>(0xC0000008);
constexpr USBD_STATUS USBD_STATUS_BUFFER_OVERRUN = static_cast<USBD_STATUS>(0xC000000C);
constexpr USBD_STATUS USBD_STATUS_XACT_ERROR = static_cast<USBD_STATUS>(0xC0000011);
constexpr USBD_STATUS USBD_STATUS_DATA_UNDERRUN = static_cast<USBD_STATUS>(0xC0000012);
constexpr USBD_STATUS USBD_STATUS_ENDPOINT_HALTED = static_cast<USBD_STATUS>(0xC0000030);
constexpr USBD_STATUS USBD_STATUS_NO_MEMORY = static_cast<USBD_STATUS>(0x80000100);
constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = static_cast<USBD_STATUS>(0x80000200);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300);
constexpr USBD_STATUS USBD_STATUS_ERROR_BUSY = static_cast<USBD_STATUS>(0x80000400);
constexpr USBD_STATUS USBD_STATUS_REQUEST_FAILED = static_cast<USBD_STATUS>(0x80000500);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = static_cast<USBD_STATUS>(0x80000600);
constexpr USBD_STATUS USBD_STATUS_NO_BANDWIDTH = static_cast<USBD_STATUS>(0x80000700);
constexpr USBD_STATUS USBD_STATUS_INTERNAL_HC_ERROR = static_cast<USBD_STATUS>(0x80000800);
constexpr USBD_STATUS USBD_STATUS_ERROR_SHORT_TRANSFER = static_cast<USBD_STATUS>(0x80000900);
constexpr USBD_STATUS USBD_STATUS_BAD_START_FRAME = static_cast<USBD_STATUS>(0xC0000A00);
constexpr USBD_STATUS USBD_STATUS_ISOCH_REQUEST_FAILED = static_cast<USBD_STATUS>(0xC0000B00);
constexpr USBD_STATUS USBD_STATUS_NOT_SUPPORTED = static_cast<USBD_STATUS>(0xC0000E00);
constexpr USBD_STATUS USBD_STATUS_INSUFFICIENT_RESOURCES = static_cast<USBD_STATUS>(0xC0001000);
constexpr USBD_STATUS USBD_STATUS_TIMEOUT = static_cast<USBD_STATUS>(0xC0006000);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<USBD_STATUS>(0xC0007000);
constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000);
constexpr USBD_STATUS USBD_STATUS_ISO_NOT_ACCESSED_BY_HW = static_cast<USBD_STATUS>(0xC0020000);

constexpr bool USBD_SUCCESS(USBD_STATUS s) { return (static_cast<ULONG>(s) >> 30) <= 1; }
constexpr bool USBD_PENDING(USBD_STATUS s) { return (static_cast<ULONG>(s) >> 30) == 1; }
constexpr bool USBD_ERROR(USBD_STATUS s) { return (static_cast<ULONG>(s) >> 30) == 3; }
// The NTSTATUS that a request carrying a URB completes with, for a URB status.
NTSTATUS UsbdStatusToNtStatus(USBD_STATUS s);

// ---------------------------------------------------------------------------
// URBs

using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

enum USBD_PIPE_TYPE { UsbdPipeTypeControl = 0, UsbdPipeTypeIsochronous = 1, UsbdPipeTypeBulk = 2, UsbdPipeTypeInterrupt = 3 };

constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_GET_CURRENT_FRAME_NUMBER = 0x0007;
constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
// The camera's command set goes out as vendor requests to the device.
constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0018;
constexpr USHORT URB_FUNCTION_RESET_PIPE = 0x001E;

constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0;
constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 2;
constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 4;
constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 0x1000;

struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
};
using PUSBD_PIPE_INFORMATION = USBD_PIPE_INFORMATION*;

// Variable length: Length covers the pipes that follow (NumberOfPipes of them).
struct USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION*;
constexpr size_t UsbdInterfaceInformationSize(ULONG pipes) {
    return sizeof(USBD_INTERFACE_INFORMATION) + (pipes ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
}

struct USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;
    ULONG Length;  // out: bytes received (in transfers)
    USBD_STATUS Status;
};
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
using PUSBD_ISO_PACKET_DESCRIPTOR = USBD_ISO_PACKET_DESCRIPTOR*;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION {
    _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // null: unconfigure the device
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;  // one block per interface, each Interface.Length long
};

struct _URB_SELECT_INTERFACE {
    _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    _URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;  // in: bytes wanted; out: bytes received
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    struct URB* UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;  // USBD_TRANSFER_DIRECTION_IN, USBD_SHORT_TRANSFER_OK
    ULONG TransferBufferLength;  // in: bytes to move; out: bytes moved
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    struct URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;  // in: buffer size; out: bytes moved
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    struct URB* UrbLink;
    _URB_HCD_AREA hca;
};

struct _URB_ISOCH_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    struct URB* UrbLink;
    _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;  // IsoPacket has this many entries
    ULONG ErrorCount;       // out: packets that failed
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};
constexpr size_t GET_ISO_URB_SIZE(ULONG packets) {
    return sizeof(_URB_ISOCH_TRANSFER) + (packets ? packets - 1 : 0) * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
}

struct URB {
    union {
        _URB_HEADER UrbHeader;
        _URB_SELECT_INTERFACE UrbSelectInterface;
        _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        _URB_PIPE_REQUEST UrbPipeRequest;
        _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
    };
};
using PURB = URB*;

// ---------------------------------------------------------------------------
// Internal control codes of the bus (IRP_MJ_INTERNAL_DEVICE_CONTROL)

constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;
constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x220007;
constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = 0x220013;  // Argument1: ULONG* port status
constexpr ULONG IOCTL_INTERNAL_USB_CYCLE_PORT = 0x22001F;
constexpr ULONG USBD_PORT_ENABLED = 0x1;
constexpr ULONG USBD_PORT_CONNECTED = 0x2;

// ---------------------------------------------------------------------------
// USBD library routines

struct USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
};
using PUSBD_VERSION_INFORMATION = USBD_VERSION_INFORMATION*;
void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

struct USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;  // out: points into the URB
};
using PUSBD_INTERFACE_LIST_ENTRY = USBD_INTERFACE_LIST_ENTRY*;

// Finds the interface descriptor with the given number and alternate setting
// (-1 matches any value of that field, as do class, subclass and protocol) in
// a configuration descriptor, starting at StartPosition. Walks the descriptor
// only within wTotalLength and never past a descriptor whose bLength is 0 or
// runs beyond the end: a malformed descriptor yields null, never a read past it.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);
// Builds a select-configuration URB for the interfaces of the list (ended by
// an entry with a null InterfaceDescriptor), sized for each interface's
// endpoints, from pool (tag "USBD"; freed with ExFreePool). Sets each entry's
// Interface to its block in the URB. Null when out of pool or malformed.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// URB builders as the platform's macros.
void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType, UCHAR descriptorIndex,
                                  USHORT languageId, PVOID transferBuffer, ULONG transferBufferLength);
void UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG transferFlags, UCHAR reservedBits,
                           UCHAR request, USHORT value, USHORT index, PVOID transferBuffer,
                           ULONG transferBufferLength);
void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipeHandle,
                                            PVOID transferBuffer, ULONG transferBufferLength,
                                            ULONG transferFlags);
void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length, PUSB_CONFIGURATION_DESCRIPTOR configuration);
