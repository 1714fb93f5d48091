// The camera's USB descriptors and the endpoints of each alternate setting.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/scenario.h"

namespace sim {

constexpr std::uint16_t kVendorId = 0xF1A5;
constexpr std::uint16_t kProductId = 0x0B2D;
constexpr int kAlternateSettings = 8;
constexpr std::uint8_t kIsoEndpoint = 0x81;
constexpr std::uint8_t kBulkInEndpoint = 0x82;
constexpr std::uint8_t kInterruptEndpoint = 0x83;
constexpr std::uint8_t kBulkOutEndpoint = 0x05;
constexpr std::uint16_t kBulkPacketSize = 64;
constexpr std::uint16_t kInterruptPacketSize = 8;
constexpr std::uint8_t kInterruptInterval = 10;  // frames between polls of the interrupt endpoint

// Isochronous packet size of each alternate setting (0: no isochronous endpoint).
constexpr std::uint16_t kIsoPacketSizes[kAlternateSettings] = {0, 0, 128, 384, 640, 768, 896, 1023};

struct EndpointInfo {
    std::uint8_t address = 0;
    std::uint8_t type = 0;  // USB_ENDPOINT_TYPE_*
    std::uint16_t maxPacketSize = 0;
    std::uint8_t interval = 0;
};

// The endpoints that the camera really runs at an alternate setting (the
// descriptor may lie about them when a descriptor fault is switched on).
std::vector<EndpointInfo> cameraEndpoints(int alternateSetting);

// 18 bytes; bcdDevice carries the firmware level.
std::vector<std::uint8_t> deviceDescriptor(std::uint16_t bcdDevice);
// The whole configuration descriptor (wTotalLength may lie; the returned
// vector holds the real bytes).
std::vector<std::uint8_t> configurationDescriptor(int interfaceNumber, int precedingInterfaces,
                                                  const DescriptorFaults& faults);

}  // namespace sim
