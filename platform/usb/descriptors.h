// Checks of the descriptors a device reports when it arrives. A device may send
// anything: short descriptors, a wTotalLength that lies, interfaces whose
// endpoints are missing, endpoints with impossible packet sizes. The bus keeps
// the part that is well formed, records what it dropped or corrected, and never
// reads a byte past what it received.
#pragma once

#include <string>
#include <vector>

#include "platform/usb/usb.h"

namespace usbbus {

struct EndpointInfo {
    UCHAR address = 0;
    UCHAR attributes = 0;
    USHORT maxPacketSize = 0;  // wMaxPacketSize as the device sent it
    UCHAR interval = 0;
    UCHAR type() const { return attributes & USB_ENDPOINT_TYPE_MASK; }
    // Bytes per transaction (bits 0-10 of wMaxPacketSize).
    USHORT packetBytes() const { return maxPacketSize & 0x7FF; }
};

struct InterfaceSetting {
    UCHAR number = 0;
    UCHAR alternate = 0;
    UCHAR interfaceClass = 0;
    UCHAR subClass = 0;
    UCHAR protocol = 0;
    std::vector<EndpointInfo> endpoints;
};

// The well-formed part of a configuration descriptor.
struct ConfigurationInfo {
    // Every kept descriptor, in the device's order, with the header's
    // wTotalLength, bNumInterfaces and each interface's bNumEndpoints corrected
    // to what was kept.
    std::vector<UCHAR> bytes;
    UCHAR configurationValue = 0;
    UCHAR attributes = 0;
    UCHAR maxPower = 0;
    std::vector<InterfaceSetting> settings;

    const InterfaceSetting* find(UCHAR number, UCHAR alternate) const;
};

// Checks a device descriptor of which `length` bytes arrived. False (with the
// reason appended to `problems`) when it cannot be used at all; true with
// lesser flaws appended to `problems`.
bool checkDeviceDescriptor(const void* data, size_t length, USB_DEVICE_DESCRIPTOR* out,
                           std::vector<std::string>* problems);

// Checks a configuration descriptor of which `length` bytes arrived. False
// when not even its header is usable; otherwise `out` holds what is well
// formed and `problems` names each thing dropped or corrected.
bool checkConfigurationDescriptor(const void* data, size_t length, ConfigurationInfo* out,
                                  std::vector<std::string>* problems);

}  // namespace usbbus
