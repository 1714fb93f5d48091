// The USBD library routines a function driver links against: descriptor
// parsing, the select-configuration URB builder and the URB builders. The
// configuration descriptor handed in is whatever the device sent, so every walk
// is bounded by wTotalLength and by each descriptor's own length.
#include <cstring>

#include "platform/usb/usb.h"

namespace {

constexpr ULONG kUsbdPoolTag = PoolTag("USBD");

// The next descriptor inside [begin, end) at `at`, or null when what is there
// cannot be a descriptor (fewer than two bytes left, bLength 0 or past the end).
const UCHAR* descriptorAt(const UCHAR* at, const UCHAR* end) {
    if (at >= end || end - at < 2) return nullptr;
    UCHAR length = at[0];
    if (length < 2 || length > end - at) return nullptr;
    return at;
}

bool matches(LONG wanted, UCHAR value) {
    return wanted == -1 || wanted == value;
}

// True when `p` points at a whole interface descriptor inside the configuration.
bool interfaceInside(const USB_CONFIGURATION_DESCRIPTOR* config,
                     const USB_INTERFACE_DESCRIPTOR* p) {
    auto* begin = reinterpret_cast<const UCHAR*>(config);
    auto* end = begin + config->wTotalLength;
    auto* at = reinterpret_cast<const UCHAR*>(p);
    if (at < begin + sizeof(USB_CONFIGURATION_DESCRIPTOR) || at >= end) return false;
    if (end - at < static_cast<std::ptrdiff_t>(sizeof(USB_INTERFACE_DESCRIPTOR))) return false;
    return p->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) && p->bLength <= end - at &&
           p->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE;
}

// The header and the buffer fields every transfer URB carries, as the
// builders fill them: no MDL and no linked URB.
template <typename Request>
void setTransfer(Request& r, USHORT function, USHORT length, PVOID transferBuffer,
                 ULONG transferBufferLength) {
    r.Hdr.Function = function;
    r.Hdr.Length = length;
    r.TransferBufferLength = transferBufferLength;
    r.TransferBufferMDL = nullptr;
    r.TransferBuffer = transferBuffer;
    r.UrbLink = nullptr;
}

}  // namespace

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (!VersionInformation) return;
    VersionInformation->USBDI_Version = 0x00000500;
    VersionInformation->Supported_USB_Version = 0x00000200;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (!ConfigurationDescriptor || !StartPosition) return nullptr;
    auto* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    auto* end = begin + ConfigurationDescriptor->wTotalLength;
    auto* at = static_cast<const UCHAR*>(StartPosition);
    if (at < begin || at >= end) return nullptr;
    while (const UCHAR* d = descriptorAt(at, end)) {
        // A descriptor too short for an interface descriptor is skipped, never
        // read as one.
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* ifc = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
            if (matches(InterfaceNumber, ifc->bInterfaceNumber) &&
                matches(AlternateSetting, ifc->bAlternateSetting) &&
                matches(InterfaceClass, ifc->bInterfaceClass) &&
                matches(InterfaceSubClass, ifc->bInterfaceSubClass) &&
                matches(InterfaceProtocol, ifc->bInterfaceProtocol)) {
                return const_cast<PUSB_INTERFACE_DESCRIPTOR>(ifc);
            }
        }
        at = d + d[0];
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (!ConfigurationDescriptor || !InterfaceList) return nullptr;
    if (ConfigurationDescriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return nullptr;
    size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    size_t count = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e, ++count) {
        if (!interfaceInside(ConfigurationDescriptor, e->InterfaceDescriptor)) return nullptr;
        size += UsbdInterfaceInformationSize(e->InterfaceDescriptor->bNumEndpoints);
    }
    // The URB's own length field is 16 bits wide.
    if (count == 0 || size > 0xFFFF) return nullptr;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
    if (!urb) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* block = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
        const USB_INTERFACE_DESCRIPTOR* d = e->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(block);
        size_t length = UsbdInterfaceInformationSize(d->bNumEndpoints);
        info->Length = static_cast<USHORT>(length);
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG i = 0; i < d->bNumEndpoints; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        e->Interface = info;
        block += length;
    }
    return urb;
}

void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType,
                                  UCHAR descriptorIndex, USHORT languageId, PVOID transferBuffer,
                                  ULONG transferBufferLength) {
    _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
    setTransfer(r, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, length, transferBuffer,
                transferBufferLength);
    r.DescriptorType = descriptorType;
    r.Index = descriptorIndex;
    r.LanguageId = languageId;
}

void UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG transferFlags,
                           UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                           PVOID transferBuffer, ULONG transferBufferLength) {
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
    setTransfer(r, function, length, transferBuffer, transferBufferLength);
    r.RequestTypeReservedBits = reservedBits;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    r.TransferFlags = transferFlags;
}

void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipeHandle,
                                            PVOID transferBuffer, ULONG transferBufferLength,
                                            ULONG transferFlags) {
    _URB_BULK_OR_INTERRUPT_TRANSFER& r = urb->UrbBulkOrInterruptTransfer;
    setTransfer(r, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, length, transferBuffer,
                transferBufferLength);
    r.PipeHandle = pipeHandle;
    r.TransferFlags = transferFlags;
}

void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                        PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;
}
