#include "sim/descriptors.h"

#include <algorithm>

#include "platform/usb/usb.h"

namespace sim {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void interfaceDescriptor(std::vector<std::uint8_t>& out, int number, int alternate, int endpoints) {
    out.insert(out.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, static_cast<std::uint8_t>(number),
                           static_cast<std::uint8_t>(alternate),
                           static_cast<std::uint8_t>(endpoints), 0xFF, 0x00, 0x00, 0x00});
}

void endpointDescriptor(std::vector<std::uint8_t>& out, const EndpointInfo& e) {
    out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.type});
    put16(out, e.maxPacketSize);
    out.push_back(e.interval);
}

}  // namespace

std::vector<EndpointInfo> cameraEndpoints(int alternateSetting) {
    std::vector<EndpointInfo> eps;
    if (alternateSetting < 1 || alternateSetting >= kAlternateSettings) return eps;
    if (alternateSetting >= 2)
        eps.push_back(
            {kIsoEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS, kIsoPacketSizes[alternateSetting], 1});
    eps.push_back({kBulkInEndpoint, USB_ENDPOINT_TYPE_BULK, kBulkPacketSize, 0});
    eps.push_back({kBulkOutEndpoint, USB_ENDPOINT_TYPE_BULK, kBulkPacketSize, 0});
    eps.push_back({kInterruptEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, kInterruptPacketSize,
                   kInterruptInterval});
    return eps;
}

std::vector<std::uint8_t> deviceDescriptor(std::uint16_t bcdDevice) {
    std::vector<std::uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    put16(d, 0x0110);  // full speed
    d.insert(d.end(), {0x00, 0x00, 0x00, 64});
    put16(d, kVendorId);
    put16(d, kProductId);
    put16(d, bcdDevice);
    d.insert(d.end(), {0, 0, 0, 1});
    return d;
}

std::vector<std::uint8_t> configurationDescriptor(int interfaceNumber, int precedingInterfaces,
                                                  const DescriptorFaults& faults) {
    std::vector<std::uint8_t> d = {9,
                                   USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                   0,
                                   0,
                                   static_cast<std::uint8_t>(precedingInterfaces + 1),
                                   1,
                                   0,
                                   0x80,
                                   250};
    // Other functions of the device come first in the descriptor; their
    // numbers start above the range in which the driver looks for the camera.
    for (int i = 0; i < precedingInterfaces; ++i) interfaceDescriptor(d, 4 + i, 0, 0);
    for (int alt = 0; alt < kAlternateSettings; ++alt) {
        if (alt == faults.missingAlternate) continue;
        std::vector<EndpointInfo> eps = cameraEndpoints(alt);
        if (faults.noIsoEndpoint)
            eps.erase(
                std::remove_if(eps.begin(), eps.end(),
                               [](const EndpointInfo& e) { return e.address == kIsoEndpoint; }),
                eps.end());
        for (EndpointInfo& e : eps) {
            if (e.address != kIsoEndpoint) continue;
            if (faults.zeroPacketSize) e.maxPacketSize = 0;
            if (faults.oversizedPacketSize) e.maxPacketSize = 1500;
        }
        interfaceDescriptor(d, interfaceNumber, alt, static_cast<int>(eps.size()));
        for (const EndpointInfo& e : eps) endpointDescriptor(d, e);
    }
    int total = std::clamp(static_cast<int>(d.size()) + faults.totalLengthDelta, 0, 0xFFFF);
    d[2] = static_cast<std::uint8_t>(total & 0xFF);
    d[3] = static_cast<std::uint8_t>(total >> 8);
    return d;
}

}  // namespace sim
