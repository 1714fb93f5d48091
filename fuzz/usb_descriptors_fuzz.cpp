// Arbitrary bytes as a device's configuration descriptor: first as the bus
// receives it at arrival (the check that keeps the well-formed part), then as
// a driver holds its own copy (the USBD parser and the select-configuration
// URB builder walk it).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/usb/descriptors.h"

namespace {

void walkAsDriver(const UCHAR* bytes, size_t size) {
    if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return;
    // The driver's copy is as long as the wTotalLength it read.
    std::unique_ptr<UCHAR[]> copy(new UCHAR[size]);
    std::memcpy(copy.get(), bytes, size);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.get());
    if (config->wTotalLength > size) config->wTotalLength = static_cast<USHORT>(size);
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    PVOID start = config;
    while (list.size() < 32) {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1);
        if (!found) break;
        auto* end = copy.get() + config->wTotalLength;
        if (reinterpret_cast<UCHAR*>(found) + sizeof(USB_INTERFACE_DESCRIPTOR) > end) std::abort();
        list.push_back({found, nullptr});
        start = reinterpret_cast<UCHAR*>(found) + found->bLength;
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
    if (!urb) return;
    auto* first = reinterpret_cast<UCHAR*>(urb);
    for (const USBD_INTERFACE_LIST_ENTRY& e : list) {
        if (!e.InterfaceDescriptor) break;
        auto* block = reinterpret_cast<UCHAR*>(e.Interface);
        if (block < first || block + e.Interface->Length > first + urb->UrbHeader.Length)
            std::abort();
    }
    ExFreePool(urb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    usbbus::ConfigurationInfo info;
    std::vector<std::string> problems;
    if (usbbus::checkConfigurationDescriptor(data, size, &info, &problems)) {
        if (info.bytes.size() > size) std::abort();
        // What was kept is well formed: checking it again changes nothing.
        usbbus::ConfigurationInfo again;
        if (!usbbus::checkConfigurationDescriptor(info.bytes.data(), info.bytes.size(), &again,
                                                  nullptr) ||
            again.bytes != info.bytes) {
            std::abort();
        }
        walkAsDriver(info.bytes.data(), info.bytes.size());
    }
    walkAsDriver(data, size);
    USB_DEVICE_DESCRIPTOR device;
    usbbus::checkDeviceDescriptor(data, size, &device, nullptr);
    return 0;
}
