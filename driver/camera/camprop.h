// The camera side of every property: the property manager (driver/core/
// propman.h) owns the table, the stored values and their persistence, and
// calls CamProp_Handle whenever a property is read or written. Here the
// values become register writes of the video processor (space 2) and the
// ASIC (space 3), or are filled from what only the camera knows.
#pragma once

#include <atomic>

#include "driver/core/propman.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;

// The register-access descriptor of the diagnostic set, as its 11 bytes
// travel (little-endian): space, first register, count, element width.
struct RegisterAccessDescriptor {
    UCHAR space = 0;
    ULONG firstRegister = 0;
    USHORT count = 0;
    ULONG width = 0;
};
constexpr ULONG kRegisterAccessDescriptorLength = 11;
// What a register access may move once the limit has been read (identifier 10).
constexpr USHORT kRegisterAccessLimit = 255;

// The frame manager's size change: takes the picture size the device set's
// identifier 7 was given.
using CamPropSizeChange = NTSTATUS (*)(DeviceContext* device, ULONG width, ULONG height);

// Camera property state (one per device, in the DeviceContext). The handlers
// run under the property manager's lock, which guards these fields too.
struct CamPropState {
    RegisterAccessDescriptor descriptor;
    USHORT transferLimit = 0;  // 0 at start, 255 after identifier 10 is read
    // Installed by the frame manager; null: the size is only stored.
    std::atomic<CamPropSizeChange> sizeChange{nullptr};
};

// One call of the handler: the property's slot and its size (MinData - 24),
// the caller's bytes and how many of them there are, the item's range for a
// set (or null) and the direction.
struct CamPropRequest {
    const GUID* set;
    ULONG id;
    PUCHAR slot;
    ULONG size;
    PUCHAR data;
    ULONG length;
    const PropertyStepping* range;
    bool isSet;
};

// Resets the descriptor and the transfer limit; runs when the camera starts.
void CamProp_Initialise(DeviceContext* device);

// Dispatches by set and identifier. A get copies the stored value out unless
// the camera answers it; a set takes the caller's value and acts on the
// camera. A set that fails leaves the stored value as it was; a caller's
// buffer too small for what the property moves gets STATUS_BUFFER_TOO_SMALL.
NTSTATUS CamProp_Handle(DeviceContext* device, const CamPropRequest& request);

// A camera-specific built-in default of (set, id) written into `slot`
// (`size` bytes); false when the property has none (the table's then applies).
bool CamProp_Default(DeviceContext* device, const GUID& set, ULONG id, PUCHAR slot, ULONG size);

// Whether a locale identifier is one where mains power runs at 50 Hz, so
// the banding filter defaults to it.
bool CamProp_FiftyHertzLocale(ULONG locale);
// The locale text as a number: false when it is not hexadecimal.
bool CamProp_ParseLocale(PCWSTR text, ULONG* locale);
