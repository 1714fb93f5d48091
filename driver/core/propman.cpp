// The property manager: the table, the value area, the driver key's copy of
// every value and the request path.
#include "driver/core/propman.h"

#include <cstring>
#include <mutex>

#include "driver/camera/camprop.h"
#include "driver/core/device_context.h"
#include "pav512/guids.h"

const GUID kControlPropertySet = pav512::kPropertySetControl;

namespace {

// ---------------------------------------------------------------------------
// The table

// The general property type set; every item's values are of its type 3.
const GUID kGeneralTypeSet = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr ULONG kGeneralTypeId = 3;
constexpr ULONG kMinProperty = kPropertyHeaderLength;
constexpr ULONG header(ULONG dataBytes) {
    return dataBytes + kPropertyHeaderLength;
}

const UCHAR kZero32[32] = {};
const UCHAR kSeven[1] = {7};
const UCHAR kOne[1] = {1};
const UCHAR kFive[1] = {5};
// Two 32-bit values, little-endian: width 352, height 288.
const UCHAR kCifSize[8] = {0x60, 0x01, 0x00, 0x00, 0x20, 0x01, 0x00, 0x00};
const UCHAR kFifty[4] = {50, 0, 0, 0};
const UCHAR kThirtyOne[4] = {31, 0, 0, 0};
// Space 0, first register 0, count 0, element width 1.
const UCHAR kDescriptorDefault[11] = {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};

constexpr PropertyStepping kPercent = {1, 0, 0, 100};

// A value description holding just the default.
#define PAV_DEFAULT_VALUES(name, bytes, size)                                                   \
    const PropertyMemberList name##List[] = {                                                   \
        {kMemberValues, size, 1, kMemberFlagDefault, bytes}};                                   \
    const PropertyValues name = {&kGeneralTypeSet, kGeneralTypeId, 1, name##List};

PAV_DEFAULT_VALUES(kZero1Values, kZero32, 1)
PAV_DEFAULT_VALUES(kZero2Values, kZero32, 2)
PAV_DEFAULT_VALUES(kZero3Values, kZero32, 3)
PAV_DEFAULT_VALUES(kZero6Values, kZero32, 6)
PAV_DEFAULT_VALUES(kZero8Values, kZero32, 8)
PAV_DEFAULT_VALUES(kZero32Values, kZero32, 32)
PAV_DEFAULT_VALUES(kOneValues, kOne, 1)
PAV_DEFAULT_VALUES(kFiveValues, kFive, 1)
PAV_DEFAULT_VALUES(kSevenValues, kSeven, 1)
PAV_DEFAULT_VALUES(kCifValues, kCifSize, 8)
PAV_DEFAULT_VALUES(kDescriptorValues, kDescriptorDefault, 11)
#undef PAV_DEFAULT_VALUES

// The picture controls: a range of 0 to 100 and the default's first word.
const PropertyMemberList kPictureFiftyLists[] = {
    {kMemberRanges, sizeof(PropertyStepping), 1, 0, &kPercent},
    {kMemberValues, 4, 1, kMemberFlagDefault, kFifty}};
const PropertyValues kPictureFifty = {&kGeneralTypeSet, kGeneralTypeId, 2, kPictureFiftyLists};
const PropertyMemberList kPictureThirtyOneLists[] = {
    {kMemberRanges, sizeof(PropertyStepping), 1, 0, &kPercent},
    {kMemberValues, 4, 1, kMemberFlagDefault, kThirtyOne}};
const PropertyValues kPictureThirtyOne = {&kGeneralTypeSet, kGeneralTypeId, 2,
                                          kPictureThirtyOneLists};

constexpr bool kGet = true, kSet = true, kNoSet = false;

const PropertyItem kSensorItems[] = {
    {2, kGet, kMinProperty, header(3), kNoSet, &kZero3Values},
    {5, kGet, kMinProperty, header(32), kNoSet, &kZero32Values},
    {6, kGet, kMinProperty, header(22), kNoSet, &kZero1Values},
};
const PropertyItem kControlItems[] = {
    {0, kGet, kMinProperty, header(1), kSet, &kZero1Values},
    {1, kGet, kMinProperty, header(1), kSet, &kZero1Values},
};
const PropertyItem kDeviceItems[] = {
    {0, kGet, kMinProperty, header(2), kNoSet, &kZero2Values},
    {1, kGet, kMinProperty, header(2), kNoSet, &kZero2Values},
    {2, kGet, kMinProperty, header(32), kSet, &kZero32Values},
    {7, kGet, kMinProperty, header(8), kSet, &kCifValues},
    {6, kGet, kMinProperty, header(1), kSet, &kZero1Values},
    {14, kGet, kMinProperty, header(1), kSet, &kZero1Values},
    {16, kGet, kMinProperty, header(8), kNoSet, &kZero8Values},
    {17, kGet, kMinProperty, header(8), kNoSet, &kZero8Values},
    {4, kGet, kMinProperty, header(1), kSet, &kZero1Values},
    {5, kGet, kMinProperty, header(1), kSet, &kZero1Values},
    {8, kGet, kMinProperty, header(1), kNoSet, &kSevenValues},
    {9, kGet, kMinProperty, header(1), kSet, &kOneValues},
};
const PropertyItem kBandwidthItems[] = {
    {0, kGet, kMinProperty, header(1), kSet, &kFiveValues},
    {1, kGet, kMinProperty, header(1), kNoSet, &kSevenValues},
    {2, kGet, kMinProperty, header(1), kSet, &kZero1Values},
    {4, kGet, kMinProperty, header(32), kNoSet, &kZero32Values},
};
const PropertyItem kPictureItems[] = {
    {0, kGet, kMinProperty, header(16), kSet, &kPictureFifty},
    {1, kGet, kMinProperty, header(16), kSet, &kPictureFifty},
    {3, kGet, kMinProperty, header(16), kSet, &kPictureFifty},
    {5, kGet, kMinProperty, header(16), kSet, &kPictureFifty},
    {7, kGet, kMinProperty, header(16), kSet, &kPictureFifty},
    {4, kGet, kMinProperty, header(16), kSet, &kPictureThirtyOne},
};
const PropertyItem kNameItems[] = {
    {0, kGet, kMinProperty, header(6), kNoSet, &kZero6Values},
};
const PropertyItem kRegisterItems[] = {
    {10, kGet, kMinProperty, header(6), kNoSet, &kZero1Values},
    {11, kGet, kMinProperty, header(65535), kSet, &kZero1Values},
    {12, kGet, kMinProperty, header(65535), kNoSet, &kZero1Values},
    {13, kGet, kMinProperty, header(11), kSet, &kDescriptorValues},
};

template <std::size_t N>
constexpr ULONG countOf(const PropertyItem (&)[N]) {
    return static_cast<ULONG>(N);
}

constexpr ULONG kRestoreDefaultInput = kPropertyHeaderLength + 20;

// ---------------------------------------------------------------------------
// The shared offsets: each item's place in a camera's value area, the
// running sum of the data sizes in table order. Built by the first camera to
// initialise, freed by the last; the mutex covers cameras that start and
// stop at the same time, each under only its own lock.

std::mutex offsetsLock;
ULONG offsetUsers = 0;
ULONG* offsets = nullptr;  // one entry per item, sets in table order
ULONG totalData = 0;

ULONG itemTotal() {
    ULONG n = 0;
    for (const PropertySet& s : kPropertyTable) n += s.itemCount;
    return n;
}

// Index of the first item of set `s` in the offsets.
ULONG setBase(ULONG s) {
    ULONG n = 0;
    for (ULONG i = 0; i < s; ++i) n += kPropertyTable[i].itemCount;
    return n;
}

bool useOffsets() {
    std::lock_guard<std::mutex> g(offsetsLock);
    if (offsetUsers == 0) {
        const ULONG n = itemTotal();
        offsets =
            static_cast<ULONG*>(ExAllocatePoolWithTag(NonPagedPool, n * sizeof(ULONG), kPropManTag));
        if (offsets == nullptr) return false;
        ULONG at = 0, k = 0;
        for (const PropertySet& s : kPropertyTable) {
            for (ULONG i = 0; i < s.itemCount; ++i) {
                offsets[k++] = at;
                at += s.items[i].dataSize();
            }
        }
        totalData = at;
    }
    ++offsetUsers;
    return true;
}

void dropOffsets() {
    std::lock_guard<std::mutex> g(offsetsLock);
    if (offsetUsers == 0) return;
    if (--offsetUsers == 0) {
        ExFreePool(offsets);
        offsets = nullptr;
        totalData = 0;
    }
}

// The slot of item i of set s. Only while the camera holds the offsets.
PUCHAR slotOf(PropManState& p, ULONG s, ULONG i) {
    return p.values + offsets[setBase(s) + i];
}

// ---------------------------------------------------------------------------
// Defaults

// The built-in default of one item: a camera-specific one where the camera
// engine has it, else the default members of the table.
void builtInDefault(DeviceContext* device, const GUID& set, const PropertyItem& item,
                    PUCHAR slot) {
    if (item.values == nullptr) return;
    const ULONG size = item.dataSize();
    for (ULONG l = 0; l < item.values->listCount; ++l) {
        const PropertyMemberList& list = item.values->lists[l];
        if (!(list.flags & kMemberFlagDefault)) continue;
        if (list.memberSize < size) std::memset(slot, 0, size);
        if (CamProp_Default(device, set, item.id, slot, size)) continue;
        std::memcpy(slot, list.members, list.memberSize < size ? list.memberSize : size);
    }
}

// ---------------------------------------------------------------------------
// The driver key

const WCHAR kValueName[] = u"Value";
const WCHAR kDefaultName[] = u"Default";

NTSTATUS openBelow(HANDLE root, PUNICODE_STRING name, ACCESS_MASK access, bool create,
                   HANDLE* key) {
    *key = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    if (!create) return ZwOpenKey(key, access, &attributes);
    ULONG disposition = 0;
    return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                       &disposition);
}

// The key of a property set below the driver key: its GUID with braces in
// upper-case hexadecimal.
NTSTATUS openSetKey(HANDLE driverKey, const GUID& set, bool create, HANDLE* key) {
    UNICODE_STRING name{};
    NTSTATUS status = RtlStringFromGUID(set, &name);
    if (!NT_SUCCESS(status)) return status;
    status = openBelow(driverKey, &name, create ? KEY_ALL_ACCESS : KEY_READ, create, key);
    RtlFreeUnicodeString(&name);
    return status;
}

// The key of one identifier: hexadecimal without leading zeros ("7", "E").
NTSTATUS openItemKey(HANDLE setKey, ULONG id, bool create, HANDLE* key) {
    WCHAR text[9] = u"00000000";
    UNICODE_STRING name;
    name.Buffer = text;
    name.Length = 0;
    name.MaximumLength = sizeof text;
    NTSTATUS status = RtlIntegerToUnicodeString(id, 16, &name);
    if (!NT_SUCCESS(status)) return status;
    return openBelow(setKey, &name, create ? KEY_ALL_ACCESS : KEY_READ, create, key);
}

NTSTATUS openDriverKey(DeviceContext* device, HANDLE* key) {
    *key = nullptr;
    if (device->physicalDevice == nullptr) return STATUS_UNSUCCESSFUL;
    return IoOpenDeviceRegistryKey(device->physicalDevice, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS,
                                   key);
}

// Room for the largest value a slot can take, read through one buffer per walk.
constexpr ULONG kValueInfoHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
constexpr ULONG kLargestData = 65535;
constexpr ULONG kScratchLength = kValueInfoHeader + kLargestData;

enum class Read { Done, Missing, Unreadable };

// Reads a value into the slot. A value longer than the slot cannot be this
// property's and counts as unreadable (the built-in default then applies);
// a shorter one fills the slot from its start, the rest zero.
Read readValue(HANDLE itemKey, PCWSTR valueName, PUCHAR slot, ULONG size, UCHAR* scratch) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG got = 0;
    NTSTATUS status =
        ZwQueryValueKey(itemKey, &name, KeyValuePartialInformation, scratch, kScratchLength, &got);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return Read::Missing;
    if (!NT_SUCCESS(status)) return Read::Unreadable;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(scratch);
    const ULONG length = info->DataLength;
    if (length > size || length > kScratchLength - kValueInfoHeader) return Read::Unreadable;
    std::memcpy(slot, info->Data, length);
    std::memset(slot + length, 0, size - length);
    return Read::Done;
}

// Reads one item as `which` asks; false when nothing could be read.
bool loadItem(HANDLE setKey, const PropertyItem& item, PropWhich which, PUCHAR slot,
              UCHAR* scratch) {
    if (setKey == nullptr || scratch == nullptr) return false;
    HANDLE itemKey = nullptr;
    if (!NT_SUCCESS(openItemKey(setKey, item.id, false, &itemKey))) return false;
    Read r = Read::Missing;
    if (which == PropWhich::Current) r = readValue(itemKey, kValueName, slot, item.dataSize(), scratch);
    if (r == Read::Missing) r = readValue(itemKey, kDefaultName, slot, item.dataSize(), scratch);
    ZwClose(itemKey);
    return r == Read::Done;
}

UCHAR* allocateScratch() {
    return static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, kScratchLength, kPropManTag));
}

// ---------------------------------------------------------------------------
// The camera engine's handler

NTSTATUS handle(DeviceContext* device, const GUID& set, const PropertyItem& item, PUCHAR slot,
                PUCHAR data, ULONG length, bool isSet) {
    CamPropRequest r;
    r.set = &set;
    r.id = item.id;
    r.slot = slot;
    r.size = item.dataSize();
    r.data = data;
    r.length = length;
    r.range = isSet ? propertyRange(item) : nullptr;
    r.isSet = isSet;
    return CamProp_Handle(device, r);
}

bool settableWithValues(const PropertyItem& item) {
    return item.setSupported && item.values != nullptr;
}

void loadLocked(DeviceContext* device, PropWhich which) {
    PropManState& p = device->propman;
    HANDLE driverKey = nullptr;
    openDriverKey(device, &driverKey);
    UCHAR* scratch = driverKey ? allocateScratch() : nullptr;
    for (ULONG s = 0; s < kPropertySetCount; ++s) {
        const PropertySet& set = kPropertyTable[s];
        HANDLE setKey = nullptr;
        if (driverKey) openSetKey(driverKey, *set.set, false, &setKey);
        for (ULONG i = 0; i < set.itemCount; ++i) {
            PUCHAR slot = slotOf(p, s, i);
            if (!loadItem(setKey, set.items[i], which, slot, scratch))
                builtInDefault(device, *set.set, set.items[i], slot);
        }
        if (setKey) ZwClose(setKey);
    }
    if (scratch) ExFreePool(scratch);
    if (driverKey) ZwClose(driverKey);
}

void saveLocked(DeviceContext* device, PropWhich which) {
    PropManState& p = device->propman;
    HANDLE driverKey = nullptr;
    if (!NT_SUCCESS(openDriverKey(device, &driverKey))) return;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, which == PropWhich::Current ? kValueName : kDefaultName);
    for (ULONG s = 0; s < kPropertySetCount; ++s) {
        const PropertySet& set = kPropertyTable[s];
        HANDLE setKey = nullptr;
        if (!NT_SUCCESS(openSetKey(driverKey, *set.set, true, &setKey))) continue;
        for (ULONG i = 0; i < set.itemCount; ++i) {
            HANDLE itemKey = nullptr;
            if (!NT_SUCCESS(openItemKey(setKey, set.items[i].id, true, &itemKey))) continue;
            ZwSetValueKey(itemKey, &valueName, 0, REG_BINARY, slotOf(p, s, i),
                          set.items[i].dataSize());
            ZwClose(itemKey);
        }
        ZwClose(setKey);
    }
    ZwClose(driverKey);
}

void applyAllLocked(DeviceContext* device) {
    PropManState& p = device->propman;
    if (p.values == nullptr) return;
    // The handlers store into the slots while they read the caller's data,
    // so they get a copy of the area as that data.
    auto* copy =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, p.valuesLength, kPropManTag));
    if (copy == nullptr) return;
    std::memcpy(copy, p.values, p.valuesLength);
    for (ULONG s = 0; s < kPropertySetCount; ++s) {
        const PropertySet& set = kPropertyTable[s];
        for (ULONG i = 0; i < set.itemCount; ++i) {
            const PropertyItem& item = set.items[i];
            if (!settableWithValues(item)) continue;
            PUCHAR slot = slotOf(p, s, i);
            handle(device, *set.set, item, slot, copy + (slot - p.values), item.dataSize(), true);
        }
    }
    ExFreePool(copy);
}

// Finds (set, id): its set index and item index.
bool findItem(const GUID& set, ULONG id, ULONG* s, ULONG* i) {
    for (ULONG k = 0; k < kPropertySetCount; ++k) {
        if (!(*kPropertyTable[k].set == set)) continue;
        for (ULONG j = 0; j < kPropertyTable[k].itemCount; ++j) {
            if (kPropertyTable[k].items[j].id != id) continue;
            *s = k;
            *i = j;
            return true;
        }
        return false;
    }
    return false;
}

// The hook the rest of the driver reads and writes properties through.
NTSTATUS propertyHook(DeviceContext* device, const GUID* set, ULONG identifier, bool write,
                      PVOID data, ULONG inputSize, ULONG outputSize, ULONG* actualSize) {
    NTSTATUS status =
        PropMan_PropertyRequest(device, set, identifier, data, inputSize, outputSize, write, true);
    if (actualSize) *actualSize = NT_SUCCESS(status) ? outputSize : 0;
    return status;
}

// What a lock wait that ran out answers: the request was not served.
constexpr NTSTATUS kLockTimedOut = STATUS_IO_TIMEOUT;

}  // namespace

const PropertySet kPropertyTable[kPropertySetCount] = {
    {&pav512::kPropertySetSensor, countOf(kSensorItems), kSensorItems},
    {&pav512::kPropertySetControl, countOf(kControlItems), kControlItems},
    {&pav512::kPropertySetDevice, countOf(kDeviceItems), kDeviceItems},
    {&pav512::kPropertySetB22B, countOf(kBandwidthItems), kBandwidthItems},
    {&pav512::kPropertySetPicture, countOf(kPictureItems), kPictureItems},
    {&pav512::kPropertySet66A4, countOf(kNameItems), kNameItems},
    {&pav512::kPropertySetD58F, countOf(kRegisterItems), kRegisterItems},
};

const PropertyItem* propertyItem(const GUID& set, ULONG id) {
    ULONG s = 0, i = 0;
    if (!findItem(set, id, &s, &i)) return nullptr;
    return &kPropertyTable[s].items[i];
}

const PropertyStepping* propertyRange(const PropertyItem& item) {
    if (item.values == nullptr) return nullptr;
    for (ULONG l = 0; l < item.values->listCount; ++l) {
        const PropertyMemberList& list = item.values->lists[l];
        if (list.memberFlags == kMemberRanges && list.memberCount > 0 &&
            list.memberSize >= sizeof(PropertyStepping))
            return static_cast<const PropertyStepping*>(list.members);
    }
    return nullptr;
}

ULONG propManOffsetUsers() {
    std::lock_guard<std::mutex> g(offsetsLock);
    return offsetUsers;
}

NTSTATUS PropMan_Initialise(DeviceContext* device) {
    PropManState& p = device->propman;
    {
        ModuleLockGuard lock(p.lock, "PropMan_Initialise");
        if (!lock.owns()) return STATUS_UNSUCCESSFUL;
        if (p.values != nullptr) return STATUS_SUCCESS;
        if (!p.holdsOffsets) {
            if (!useOffsets()) return STATUS_UNSUCCESSFUL;
            p.holdsOffsets = true;
        }
        ULONG length = 0;
        {
            std::lock_guard<std::mutex> g(offsetsLock);
            length = totalData;
        }
        auto* area = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kPropManTag));
        if (area == nullptr) {
            dropOffsets();
            p.holdsOffsets = false;
            return STATUS_UNSUCCESSFUL;
        }
        std::memset(area, 0, length);
        p.values = area;
        p.valuesLength = length;
    }
    PropMan_Load(device, PropWhich::Current);
    device->propertyRequest.store(propertyHook);
    device->camera.hooks.applyProperties.store(PropMan_ApplyAll);
    return STATUS_SUCCESS;
}

void PropMan_Terminate(DeviceContext* device) {
    PropManState& p = device->propman;
    // Only our own hooks are taken back (a host may have put others there).
    PropertyRequestHook ours = propertyHook;
    device->propertyRequest.compare_exchange_strong(ours, nullptr);
    CameraApplyPropertiesHook apply = PropMan_ApplyAll;
    device->camera.hooks.applyProperties.compare_exchange_strong(apply, nullptr);
    PropMan_Save(device, PropWhich::Current);
    ModuleLockGuard lock(p.lock, "PropMan_Terminate");
    // Even without the lock the area must go with the device; a request that
    // still runs would have to have outlived the stop sequence.
    if (p.values) ExFreePool(p.values);
    p.values = nullptr;
    p.valuesLength = 0;
    if (p.holdsOffsets) dropOffsets();
    p.holdsOffsets = false;
}

void PropMan_Save(DeviceContext* device, PropWhich which) {
    PropManState& p = device->propman;
    ModuleLockGuard lock(p.lock, "PropMan_Save");
    if (!lock.owns() || p.values == nullptr) return;
    saveLocked(device, which);
}

void PropMan_Load(DeviceContext* device, PropWhich which) {
    PropManState& p = device->propman;
    ModuleLockGuard lock(p.lock, "PropMan_Load");
    if (!lock.owns() || p.values == nullptr) return;
    loadLocked(device, which);
}

NTSTATUS mPropMan_LoadDefault(DeviceContext* device, const GUID& set, ULONG id) {
    PropManState& p = device->propman;
    ULONG s = 0, i = 0;
    if (!findItem(set, id, &s, &i)) return STATUS_NOT_IMPLEMENTED;
    ModuleLockGuard lock(p.lock, "mPropMan_LoadDefault");
    if (!lock.owns()) return kLockTimedOut;
    if (p.values == nullptr) return STATUS_DEVICE_NOT_READY;
    const PropertySet& table = kPropertyTable[s];
    const PropertyItem& item = table.items[i];
    PUCHAR slot = slotOf(p, s, i);
    HANDLE driverKey = nullptr, setKey = nullptr;
    bool read = false;
    if (NT_SUCCESS(openDriverKey(device, &driverKey)) &&
        NT_SUCCESS(openSetKey(driverKey, set, false, &setKey))) {
        UCHAR* scratch = allocateScratch();
        read = loadItem(setKey, item, PropWhich::Default, slot, scratch);
        if (scratch) ExFreePool(scratch);
    }
    if (setKey) ZwClose(setKey);
    if (driverKey) ZwClose(driverKey);
    if (!read) builtInDefault(device, set, item, slot);
    if (!settableWithValues(item)) return STATUS_SUCCESS;
    return handle(device, set, item, slot, slot, item.dataSize(), true);
}

void PropMan_ApplyAll(DeviceContext* device) {
    PropManState& p = device->propman;
    ModuleLockGuard lock(p.lock, "PropMan_ApplyAll");
    if (!lock.owns()) return;
    applyAllLocked(device);
}

NTSTATUS PropMan_PropertyRequest(DeviceContext* device, const GUID* set, ULONG id, PVOID data,
                                 ULONG inputSize, ULONG outputSize, bool isSet, bool takeLock) {
    PropManState& p = device->propman;
    if (set == nullptr) return STATUS_INVALID_PARAMETER;
    bool held = false;
    if (takeLock) {
        if (!p.lock.acquire("PropMan_PropertyRequest")) return kLockTimedOut;
        held = true;
    }
    struct Release {
        PropManState& p;
        bool& held;
        ~Release() {
            if (held) p.lock.release();
        }
    } release{p, held};
    auto retake = [&] {
        if (takeLock) held = p.lock.acquire("PropMan_PropertyRequest");
        return !takeLock || held;
    };

    id &= 0x7FFFFFFF;
    if (p.values == nullptr) return STATUS_DEVICE_NOT_READY;
    const GUID setId = *set;
    if (setId == kControlPropertySet) {
        if (id == kControlReloadDefaults) {
            if (held) p.lock.release(), held = false;
            PropMan_Load(device, PropWhich::Default);
            if (!retake()) return kLockTimedOut;
            applyAllLocked(device);
            device->watches.signal(kCameraEventSet, kCameraEventDefaultsReloaded);
            return STATUS_SUCCESS;
        }
        if (id == kControlRestoreDefault) {
            if (!isSet || inputSize != kRestoreDefaultInput || data == nullptr)
                return STATUS_NOT_IMPLEMENTED;
            const auto* bytes = static_cast<const UCHAR*>(data) + kPropertyHeaderLength;
            GUID target;
            ULONG targetId;
            std::memcpy(&target, bytes, sizeof target);
            std::memcpy(&targetId, bytes + sizeof target, sizeof targetId);
            if (held) p.lock.release(), held = false;
            NTSTATUS status = mPropMan_LoadDefault(device, target, targetId & 0x7FFFFFFF);
            if (!retake()) return kLockTimedOut;
            return status;
        }
        return STATUS_SUCCESS;
    }

    ULONG s = 0, i = 0;
    if (!findItem(setId, id, &s, &i)) return STATUS_NOT_IMPLEMENTED;
    const PropertyItem& item = kPropertyTable[s].items[i];
    // Nothing above the property manager checks the direction for the
    // library's requests, so a read-only property must be refused here.
    if (isSet ? !item.setSupported : !item.getSupported) return STATUS_NOT_SUPPORTED;
    const ULONG size = isSet ? outputSize : inputSize;
    if (data == nullptr && size != 0) return STATUS_INVALID_PARAMETER;
    auto* bytes = static_cast<PUCHAR>(data);
    PUCHAR caller = bytes;
    ULONG length = size;
    if (size == item.minData) {
        caller = bytes + kPropertyHeaderLength;
        length = item.dataSize();
    }
    return handle(device, setId, item, slotOf(p, s, i), caller, length, isSet);
}

NTSTATUS PropMan_DeviceProperty(DeviceContext* device, const DevicePropertyRequest& request,
                                ULONG* actual) {
    if (actual) *actual = 0;
    NTSTATUS status =
        PropMan_PropertyRequest(device, request.set, request.id, request.data, request.inputSize,
                                request.outputSize, request.isSet, true);
    if (NT_SUCCESS(status) && actual) *actual = request.outputSize;
    return status;
}
