// The property manager: the camera's settings as a table of property sets in
// the form of the kernel-streaming property-set tables, one value slot per
// property per camera, their persistence in the camera's driver key, the
// built-in defaults, and the one entry through which every property request
// (capture minidriver, library, power path, camera engine) passes. Applying a
// value to the camera, or reading one from it, is the camera engine's
// property handler (driver/camera/camprop.h).
#pragma once

#include "driver/core/support.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;

constexpr ULONG kPropManTag = PoolTag("prop");
// Every request starts with the property header: set GUID, identifier, flags.
constexpr ULONG kPropertyHeaderLength = 24;

// ---------------------------------------------------------------------------
// The property table (read-only, shared by every camera)

// A stepping record of a ranges list: the allowed values of a property whose
// first 32-bit word is its value.
struct PropertyStepping {
    LONG step;
    LONG reserved;
    LONG minimum;
    LONG maximum;
};

constexpr ULONG kMemberRanges = 1;       // members are stepping records
constexpr ULONG kMemberValues = 3;       // members are values
constexpr ULONG kMemberFlagDefault = 1;  // the list's member is the default

struct PropertyMemberList {
    ULONG memberFlags;  // kMemberRanges or kMemberValues
    ULONG memberSize;
    ULONG memberCount;
    ULONG flags;  // kMemberFlagDefault
    const void* members;
};

// The value description of an item: its type and its member lists.
struct PropertyValues {
    const GUID* typeSet;  // the general property type set
    ULONG typeId;
    ULONG listCount;
    const PropertyMemberList* lists;
};

struct PropertyItem {
    ULONG id;
    bool getSupported;
    ULONG minProperty;
    ULONG minData;  // counts the property header: the stored data is minData - 24 bytes
    bool setSupported;
    const PropertyValues* values;  // null: no value description
    ULONG dataSize() const { return minData - kPropertyHeaderLength; }
};

struct PropertySet {
    const GUID* set;
    ULONG itemCount;
    const PropertyItem* items;
};

constexpr ULONG kPropertySetCount = 7;
extern const PropertySet kPropertyTable[kPropertySetCount];

// The control set: identifier 0 reloads every default, 2 restores one.
extern const GUID kControlPropertySet;  // {D0520B30-F8B4-11D6-A40C-00A024AD7171}
constexpr ULONG kControlReloadDefaults = 0;
constexpr ULONG kControlRestoreDefault = 2;
// The camera event set's item raised once the defaults are reloaded.
constexpr ULONG kCameraEventDefaultsReloaded = 5;

// The item of (set, id), or null.
const PropertyItem* propertyItem(const GUID& set, ULONG id);
// The ranges list's stepping record of an item, or null.
const PropertyStepping* propertyRange(const PropertyItem& item);

// ---------------------------------------------------------------------------
// State (in the DeviceContext)

struct PropManState {
    explicit PropManState(LockTrace* trace) { lock.initialise(trace); }
    PropManState(const PropManState&) = delete;
    PropManState& operator=(const PropManState&) = delete;

    // Guards the value area and every walk of the registry.
    ModuleLock lock;
    // Every property's current data at its offset; null while not initialised.
    PUCHAR values = nullptr;
    ULONG valuesLength = 0;
    // This camera holds a use of the shared offsets.
    bool holdsOffsets = false;
};

enum class PropWhich { Current, Default };

// ---------------------------------------------------------------------------
// Operations

// Builds the shared offsets on first use, allocates the value area and loads
// the current values; connects the DeviceContext's property-request hook and
// the camera's apply-all hook. STATUS_UNSUCCESSFUL when an allocation fails
// (the camera then runs without stored properties).
NTSTATUS PropMan_Initialise(DeviceContext* device);
// Saves the current values, disconnects the hooks, frees the value area and
// drops this camera's use of the shared offsets. Safe when not initialised.
void PropMan_Terminate(DeviceContext* device);
// Writes every property as "Value" (current) or "Default" (default). Write
// failures are ignored: the values stay in use.
void PropMan_Save(DeviceContext* device, PropWhich which);
// Reads every property; current reads "Value" and falls back to "Default";
// a property that cannot be read gets its built-in default.
void PropMan_Load(DeviceContext* device, PropWhich which);
// Restores one property's default ("Default", else the built-in one) and, if
// it is settable, applies it to the camera. STATUS_NOT_IMPLEMENTED for an
// item not in the table; otherwise the camera's status.
NTSTATUS mPropMan_LoadDefault(DeviceContext* device, const GUID& set, ULONG id);
// Hands every settable property's stored data to the camera (the camera
// engine calls it once video is opened). Takes the lock.
void PropMan_ApplyAll(DeviceContext* device);

// The single entry for property access. `data` holds the request as it came:
// the 24-byte property header and then the value when the request's size
// (inputSize for a get, outputSize for a set) is the item's MinData;
// otherwise the value alone from its start (the camera engine's own calls
// pass just the value). At least that size is readable and writable at `data`.
// STATUS_NOT_IMPLEMENTED for a set or identifier not in the table,
// STATUS_NOT_SUPPORTED for a direction the item does not offer.
NTSTATUS PropMan_PropertyRequest(DeviceContext* device, const GUID* set, ULONG id, PVOID data,
                                 ULONG inputSize, ULONG outputSize, bool isSet, bool takeLock);

// A get- or set-device-property request of the stream interface: the
// property descriptor's set, identifier, the buffer (header, then data) and
// its sizes. *actual becomes the output size on success. The control codes
// of the library and the capture minidriver's request blocks both end here.
struct DevicePropertyRequest {
    const GUID* set;
    ULONG id;
    PVOID data;
    ULONG inputSize;
    ULONG outputSize;
    bool isSet;
};
NTSTATUS PropMan_DeviceProperty(DeviceContext* device, const DevicePropertyRequest& request,
                                ULONG* actual);

// Cameras using the shared offsets (built by the first, freed by the last).
ULONG propManOffsetUsers();
