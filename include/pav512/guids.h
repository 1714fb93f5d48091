// The GUIDs of the control interface: the device interface class the driver
// registers its cameras under, the property sets of the property table, and the
// two event sets with their items.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "platform/kernel/basetypes.h"

namespace pav512 {

// {1867C0EE-BE92-4214-A791-517103BEE9D5}
constexpr GUID kInterfaceClassGuid = {
    0x1867C0EE, 0xBE92, 0x4214, {0xA7, 0x91, 0x51, 0x71, 0x03, 0xBE, 0xE9, 0xD5}};
// The same class as the library holds it.
constexpr const char kInterfaceClassText[] = "1867C0EE-BE92-4214-A791-517103BEE9D5";
// Appended to an interface path to open a control channel.
constexpr const char kConnectSuffix[] = "\\PAV512Connect";

// Property sets, in the order of the property table.
constexpr GUID kPropertySetSensor = {
    0xA4EA9080, 0xB407, 0x11D4, {0xA4, 0x46, 0x00, 0x50, 0x04, 0x47, 0x8C, 0xB4}};
constexpr GUID kPropertySetControl = {
    0xD0520B30, 0xF8B4, 0x11D6, {0xA4, 0x0C, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0x71}};
constexpr GUID kPropertySetDevice = {
    0x2BBD8342, 0x6AA2, 0x11D3, {0xA0, 0x76, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
constexpr GUID kPropertySetB22B = {
    0xB22B1ADE, 0x17F3, 0x487A, {0x97, 0x5C, 0x61, 0x11, 0xEC, 0xF5, 0xF9, 0xD1}};
constexpr GUID kPropertySetPicture = {
    0x38CE9640, 0xDB87, 0x11D6, {0xA4, 0x06, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0x71}};
constexpr GUID kPropertySet66A4 = {
    0x66A4C633, 0x4438, 0x401E, {0xB7, 0x3F, 0xD7, 0x0D, 0xF0, 0x53, 0xCA, 0xBF}};
constexpr GUID kPropertySetD58F = {
    0xD58F1642, 0x354D, 0x4585, {0xAA, 0xCF, 0x85, 0x6C, 0xC3, 0x75, 0x63, 0x16}};
constexpr std::array<GUID, 7> kPropertySets = {
    kPropertySetSensor,  kPropertySetControl, kPropertySetDevice, kPropertySetB22B,
    kPropertySetPicture, kPropertySet66A4,    kPropertySetD58F};

// Properties the library addresses by name.
constexpr std::uint32_t kPropertyCameraName = 2;      // device set, 32 bytes
constexpr std::uint32_t kPropertyRestoreDefault = 2;  // control set, 20 bytes: set and identifier

// Event sets.
// {00A242B0-920E-11D3-A08F-00A024AD71C2}: removal, stalled video, video started
// and stopped, defaults reloaded.
constexpr GUID kEventSetCamera = {
    0x00A242B0, 0x920E, 0x11D3, {0xA0, 0x8F, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
// {A4EA9081-B407-11D4-A446-005004478CB4}: the camera's interrupt messages.
constexpr GUID kEventSetInput = {
    0xA4EA9081, 0xB407, 0x11D4, {0xA4, 0x46, 0x00, 0x50, 0x04, 0x47, 0x8C, 0xB4}};

constexpr std::uint32_t kEventCameraRemoved = 0;
constexpr std::uint32_t kEventVideoStalled = 1;
constexpr std::uint32_t kEventVideoStarted = 2;
constexpr std::uint32_t kEventVideoStopped = 3;
constexpr std::uint32_t kEventDefaultsReloaded = 5;

// The items of each event set, in the order the sets announce them.
constexpr std::array<std::uint32_t, 22> kEventSetCameraItems = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10, 0x11, 0x12, 0x13, 0x14,
    0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
constexpr std::array<std::uint32_t, 35> kEventSetInputItems = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
    0x0C, 0x0D, 0x0E, 0x0F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27,
    0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30, 0x32, 0x31};

constexpr bool sameGuid(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// The position of (set, item) in the two lists taken in order: 0 to 56, or
// none for a pair that is not among them.
constexpr std::optional<std::uint32_t> eventKey(const GUID& set, std::uint32_t item) {
    if (sameGuid(set, kEventSetCamera)) {
        for (std::uint32_t i = 0; i < kEventSetCameraItems.size(); ++i)
            if (kEventSetCameraItems[i] == item) return i;
    } else if (sameGuid(set, kEventSetInput)) {
        for (std::uint32_t i = 0; i < kEventSetInputItems.size(); ++i)
            if (kEventSetInputItems[i] == item)
                return static_cast<std::uint32_t>(kEventSetCameraItems.size()) + i;
    }
    return std::nullopt;
}
static_assert(eventKey(kEventSetInput, 0x31) == 56u);

}  // namespace pav512
