// The still camera's named properties and its command: the property table
// with each row's handler, the property stream of one identifier (read from
// the PTP datasets and the driver's video properties, written back for the
// camera), the in-memory get, set and default, and "Delete Object".
#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <set>

#include "library/device/export_guard.h"
#include "library/stills/paci_internal.h"
#include "library/stills/properties.h"
#include "pav512/guids.h"

static_assert(sizeof(PACI_PROPERTY_ENTRY) == 328);
static_assert(offsetof(PACI_PROPERTY_ENTRY, Key) == 16 && offsetof(PACI_PROPERTY_ENTRY, Size) == 20 &&
              offsetof(PACI_PROPERTY_ENTRY, Type) == 24 &&
              offsetof(PACI_PROPERTY_ENTRY, ReadOnly) == 28 &&
              offsetof(PACI_PROPERTY_ENTRY, Name) == 36 &&
              offsetof(PACI_PROPERTY_ENTRY, Default) == 72 &&
              offsetof(PACI_PROPERTY_ENTRY, Current) == 200);
static_assert(sizeof(PAV_GUID) == 16);

namespace paci {
namespace {

constexpr PAV_GUID kSetObject = PACI_SET_OBJECT;
constexpr PAV_GUID kSetDevice = PACI_SET_DEVICE;
constexpr PAV_GUID kSetStorage = PACI_SET_STORAGE;
constexpr PAV_GUID kSetImage = PACI_SET_IMAGE;
constexpr PAV_GUID kSetCommand = PACI_SET_COMMAND;

constexpr std::size_t kValueRoom = 128;
constexpr std::size_t kTextRoom = 32;

bool sameGuid(const PAV_GUID& a, const PAV_GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

PAV_GUID pavGuid(const GUID& g) {
    PAV_GUID out;
    std::memcpy(&out, &g, sizeof out);
    return out;
}

enum class Mode { Get, Set };

// What a stream read fetched for its identifier.
struct Fetched {
    PACI_HANDLE handle = nullptr;
    Source source = Source::Device;
    std::vector<std::uint8_t> dataset;
};

using Handler = PACI_STATUS (*)(Fetched& f, std::uint8_t* value, std::uint32_t size, Mode mode);

struct Row {
    const PAV_GUID* set;
    std::uint32_t key;
    const char* name;
    std::uint32_t size;
    std::uint32_t type;
    bool readOnly;
    Handler handler;
};

void putNumber(std::uint8_t* value, std::uint32_t size, std::uint64_t v) {
    for (std::uint32_t i = 0; i < size && i < 8; ++i) value[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A field of the dataset fetched from `source`, when the dataset reaches past
// `longerThan`.
bool has(const Fetched& f, Source source, std::size_t longerThan) {
    return f.source == source && f.dataset.size() > longerThan;
}

template <Source S, std::size_t At, std::size_t Width>
PACI_STATUS datasetNumber(Fetched& f, std::uint8_t* value, std::uint32_t size, Mode mode) {
    if (mode == Mode::Set) return PACI_STATUS_PROP_READ_ONLY;
    if (!has(f, S, At + Width - 1)) return PACI_STATUS_SUCCESS;
    const std::uint8_t* p = f.dataset.data() + At;
    std::uint64_t v = Width == 2 ? le16(p) : Width == 4 ? le32(p) : le64(p);
    putNumber(value, size, v);
    return PACI_STATUS_SUCCESS;
}

PACI_STATUS objectFormat(Fetched& f, std::uint8_t* value, std::uint32_t size, Mode mode) {
    if (mode == Mode::Set) return PACI_STATUS_PROP_READ_ONLY;
    std::uint16_t format = has(f, Source::Object, 5)         ? le16(f.dataset.data() + 4)
                           : f.source == Source::Storage ? PACI_FORMAT_STORAGE
                                                         : PACI_FORMAT_DEVICE;
    putNumber(value, size, format);
    return PACI_STATUS_SUCCESS;
}

template <const GUID& Set, std::uint32_t Id, bool Writable>
PACI_STATUS videoProperty(Fetched& f, std::uint8_t* value, std::uint32_t size, Mode mode) {
    PAV_GUID set = pavGuid(Set);
    if (mode == Mode::Set) {
        if (!Writable) return PACI_STATUS_PROP_READ_ONLY;
        return PAVPI_PropertySet(f.handle->video, &set, Id, size, value);
    }
    // Only a complete answer replaces the zeros.
    std::uint8_t got[kValueRoom] = {};
    PACI_STATUS st = PAVPI_PropertyGet(f.handle->video, &set, Id, size, got);
    if (st == PACI_STATUS_SUCCESS) std::memcpy(value, got, size);
    return st;
}

PACI_STATUS vendorDescription(Fetched& f, std::uint8_t* value, std::uint32_t, Mode mode) {
    if (mode == Mode::Set) return PACI_STATUS_PROP_READ_ONLY;
    if (f.source == Source::Device) ptpText(f.dataset.data(), f.dataset.size(), 8, value);
    return PACI_STATUS_SUCCESS;
}

PACI_STATUS storageDescription(Fetched& f, std::uint8_t* value, std::uint32_t, Mode mode) {
    if (mode == Mode::Set) return PACI_STATUS_PROP_READ_ONLY;
    if (has(f, Source::Storage, 25)) ptpText(f.dataset.data(), f.dataset.size(), 26, value);
    return PACI_STATUS_SUCCESS;
}

PACI_STATUS volumeLabel(Fetched& f, std::uint8_t* value, std::uint32_t, Mode mode) {
    if (mode == Mode::Set) return PACI_STATUS_PROP_READ_ONLY;
    if (has(f, Source::Storage, 28))
        ptpText(f.dataset.data(), f.dataset.size(), volumeLabelOffset(f.dataset.data()), value);
    return PACI_STATUS_SUCCESS;
}

constexpr std::uint32_t kNumber = PACI_PROPERTY_NUMBER;
constexpr std::uint32_t kFlag = PACI_PROPERTY_FLAG;
constexpr std::uint32_t kText = PACI_PROPERTY_TEXT;

// In stream order; a stream write matches entries to rows by position.
const Row kRows[PACI_PROPERTY_COUNT] = {
    {&kSetObject, 1, "Object Format", 2, kNumber, true, objectFormat},
    {&kSetObject, 3, "Object Size", 4, kNumber, true, datasetNumber<Source::Object, 8, 4>},
    {&kSetDevice, 3, "Device Name", 32, kText, false,
     videoProperty<pav512::kPropertySetDevice, 2, true>},
    {&kSetDevice, 4, "Firmware Version", 2, kNumber, true,
     videoProperty<pav512::kPropertySetDevice, 0, false>},
    {&kSetDevice, 5, "Sensor ID", 2, kNumber, true,
     videoProperty<pav512::kPropertySetDevice, 1, false>},
    {&kSetDevice, 7, "50Hz Banding Filter", 1, kFlag, false,
     videoProperty<pav512::kPropertySetDevice, 6, true>},
    {&kSetDevice, 0, "Vendor Description", 32, kText, true, vendorDescription},
    {&kSetDevice, 19, "Firmware PatchID", 32, kText, true,
     videoProperty<pav512::kPropertySetSensor, 5, false>},
    {&kSetStorage, 0, "Storage Type", 2, kNumber, true, datasetNumber<Source::Storage, 0, 2>},
    {&kSetStorage, 1, "File System Type", 2, kNumber, true, datasetNumber<Source::Storage, 2, 2>},
    {&kSetStorage, 2, "Access Capability", 2, kNumber, true, datasetNumber<Source::Storage, 4, 2>},
    {&kSetStorage, 3, "Max Capacity (Bytes)", 8, kNumber, true,
     datasetNumber<Source::Storage, 6, 8>},
    {&kSetStorage, 4, "Free Space (Bytes)", 8, kNumber, true,
     datasetNumber<Source::Storage, 14, 8>},
    {&kSetStorage, 5, "Free Space (Images)", 4, kNumber, true,
     datasetNumber<Source::Storage, 22, 4>},
    {&kSetStorage, 6, "Storage Description", 32, kText, true, storageDescription},
    {&kSetStorage, 7, "Volume Label", 32, kText, true, volumeLabel},
    {&kSetImage, 1, "Image Width", 4, kNumber, true, datasetNumber<Source::Object, 26, 4>},
    {&kSetImage, 2, "Image Height", 4, kNumber, true, datasetNumber<Source::Object, 30, 4>},
};

PACI_STATUS deleteObject(PACI_HANDLE h, std::uint32_t object, std::uint32_t) {
    PACI_STATUS st = commandPhase(h, kDeleteObject, {object, 0});
    if (st != PACI_STATUS_SUCCESS) return st;
    return responsePhase(h, kDeleteObject);
}

struct CommandRow {
    const PAV_GUID* set;
    std::uint32_t key;
    const char* name;
    PACI_STATUS (*handler)(PACI_HANDLE, std::uint32_t, std::uint32_t);
};
const CommandRow kCommands[] = {
    {&kSetCommand, PACI_COMMAND_DELETE_OBJECT, "Delete Object", deleteObject},
};

// The streams this process handed out and has not freed: a free of anything
// else (a second free, a caller's own copy) is refused instead of corrupting
// the heap.
std::mutex& streamLock() {
    static auto* m = new std::mutex();
    return *m;
}
std::set<PACI_PROPERTY_STREAM*>& liveStreams() {
    static auto* s = new std::set<PACI_PROPERTY_STREAM*>();
    return *s;
}

// The stream checks that get, set and default share; the entry found or null.
PACI_STATUS findEntry(PACI_PROPERTY_STREAM* stream, const PAV_GUID* set, std::uint32_t key,
                      PACI_PROPERTY_ENTRY** entry) {
    *entry = nullptr;
    if (stream->Count == 0 || !stream->Entries) return PACI_STATUS_BAD_PROP_STREAM;
    for (std::uint32_t i = 0; i < stream->Count; ++i) {
        PACI_PROPERTY_ENTRY& e = stream->Entries[i];
        if (sameGuid(e.Set, *set) && e.Key == key) {
            // A caller's stream may claim any size; none reaches past the value area.
            if (e.Size > kValueRoom) return PACI_STATUS_BAD_PROP_STREAM;
            *entry = &e;
            return PACI_STATUS_SUCCESS;
        }
    }
    return PACI_STATUS_PROP_NOT_FOUND;
}

PACI_STATUS handleCheck(PACI_HANDLE h) {
    return validHandle(h) ? PACI_STATUS_SUCCESS : PACI_STATUS_BAD_PARAMETER;
}

PACI_STATUS writeStream(PACI_HANDLE h, PACI_PROPERTY_STREAM* stream) {
    if (stream->Count && !stream->Entries) return PACI_STATUS_BAD_PROP_STREAM;
    Fetched f;
    f.handle = h;
    PACI_STATUS result = PACI_STATUS_SUCCESS;
    std::uint32_t n = std::min<std::uint32_t>(stream->Count, PACI_PROPERTY_COUNT);
    for (std::uint32_t i = 0; i < n; ++i) {
        PACI_PROPERTY_ENTRY& e = stream->Entries[i];
        if (e.ReadOnly) continue;
        std::uint32_t size = std::min<std::uint32_t>(e.Size, kValueRoom);
        result = kRows[i].handler(f, e.Current, size, Mode::Set);
    }
    return result;
}

}  // namespace

void ptpText(const std::uint8_t* data, std::size_t length, std::size_t at, std::uint8_t* value) {
    if (at >= length) return;
    std::size_t characters = data[at] / 2;
    if (characters > kTextRoom) return;
    if (at + 1 + 2 * characters > length) return;
    for (std::size_t i = 0; i < characters; ++i) value[i] = data[at + 1 + 2 * i];
}

std::size_t volumeLabelOffset(const std::uint8_t* storageInfo) { return 27u + storageInfo[26]; }

PACI_STATUS readPropertyStream(PACI_HANDLE h, PACI_ID id, PACI_PROPERTY_STREAM** out) {
    *out = nullptr;
    std::unique_ptr<PACI_PROPERTY_STREAM> stream(new (std::nothrow) PACI_PROPERTY_STREAM());
    if (!stream) return PACI_STATUS_ALLOC_FAILED;
    std::unique_ptr<PACI_PROPERTY_ENTRY[]> entries(new (std::nothrow)
                                                       PACI_PROPERTY_ENTRY[PACI_PROPERTY_COUNT]());
    if (!entries) return PACI_STATUS_ALLOC_FAILED;
    Fetched f;
    f.handle = h;
    PACI_STATUS st;
    if (id == PACI_ID_DEVICE) {
        f.source = Source::Device;
        st = readDataset(h, kGetDeviceInfo, {}, &f.dataset);
    } else if (isStorage(id)) {
        f.source = Source::Storage;
        st = readDataset(h, kGetStorageInfo, {idToStorage(id)}, &f.dataset);
    } else {
        f.source = Source::Object;
        st = readDataset(h, kGetObjectInfo, {id}, &f.dataset);
    }
    if (st != PACI_STATUS_SUCCESS) return st;
    for (std::uint32_t i = 0; i < PACI_PROPERTY_COUNT; ++i) {
        const Row& r = kRows[i];
        PACI_PROPERTY_ENTRY& e = entries[i];
        e.Set = *r.set;
        e.Key = r.key;
        e.Size = r.size;
        e.Type = r.type;
        e.ReadOnly = r.readOnly ? 1 : 0;
        std::strncpy(e.Name, r.name, sizeof e.Name - 1);
        // Defaults are all zero bytes: the entry is zero-filled already.
        r.handler(f, e.Current, r.size, Mode::Get);
    }
    stream->Count = PACI_PROPERTY_COUNT;
    stream->Entries = entries.release();
    {
        std::lock_guard<std::mutex> g(streamLock());
        liveStreams().insert(stream.get());
    }
    *out = stream.release();
    return PACI_STATUS_SUCCESS;
}

void freePropertyStream(PACI_PROPERTY_STREAM* stream) {
    {
        std::lock_guard<std::mutex> g(streamLock());
        liveStreams().erase(stream);
    }
    delete[] stream->Entries;
    delete stream;
}

bool ownStream(PACI_PROPERTY_STREAM* stream) {
    std::lock_guard<std::mutex> g(streamLock());
    return liveStreams().count(stream) != 0;
}

}  // namespace paci

using namespace paci;
using pavu::guarded;

extern "C" {

PAV512U_API PACI_STATUS PACI_PropertyStreamRead(PACI_HANDLE handle, PACI_ID id,
                                                PACI_PROPERTY_STREAM** stream) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (id == 0) {
            if (stream) *stream = nullptr;
            return PACI_STATUS_BAD_PARAMETER;
        }
        if (!handle || !stream) {
            if (stream) *stream = nullptr;
            return PACI_STATUS_NULL_POINTER;
        }
        *stream = nullptr;
        if (PACI_STATUS st = handleCheck(handle)) return st;
        CallLock lock(handle);
        if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
        return readPropertyStream(handle, id, stream);
    });
}

PAV512U_API PACI_STATUS PACI_PropertyStreamWrite(PACI_HANDLE handle, PACI_ID id,
                                                 PACI_PROPERTY_STREAM* stream) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (id == 0) return PACI_STATUS_BAD_PARAMETER;
        if (!handle || !stream) return PACI_STATUS_NULL_POINTER;
        if (id != PACI_ID_DEVICE) return PACI_STATUS_BAD_PARAMETER;
        if (PACI_STATUS st = handleCheck(handle)) return st;
        CallLock lock(handle);
        if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
        return writeStream(handle, stream);
    });
}

PAV512U_API PACI_STATUS PACI_PropertyStreamFree(PACI_HANDLE handle, PACI_PROPERTY_STREAM* stream) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!handle || !stream) return PACI_STATUS_NULL_POINTER;
        if (PACI_STATUS st = handleCheck(handle)) return st;
        if (!ownStream(stream)) return PACI_STATUS_BAD_PROP_STREAM;
        freePropertyStream(stream);
        return PACI_STATUS_SUCCESS;
    });
}

PAV512U_API PACI_STATUS PACI_PropertyGet(PACI_HANDLE handle, PACI_PROPERTY_STREAM* stream,
                                         const PAV_GUID* set, uint32_t key, uint32_t length,
                                         void* value) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (length == 0) return PACI_STATUS_BAD_PARAMETER;
        if (!handle || !stream || !set || !value) return PACI_STATUS_NULL_POINTER;
        if (PACI_STATUS st = handleCheck(handle)) return st;
        PACI_PROPERTY_ENTRY* e = nullptr;
        if (PACI_STATUS st = findEntry(stream, set, key, &e)) return st;
        if (length != e->Size) return PACI_STATUS_BAD_BUFFER_LENGTH;
        std::memcpy(value, e->Current, length);
        return PACI_STATUS_SUCCESS;
    });
}

PAV512U_API PACI_STATUS PACI_PropertySet(PACI_HANDLE handle, PACI_PROPERTY_STREAM* stream,
                                         const PAV_GUID* set, uint32_t key, uint32_t length,
                                         const void* value) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (length == 0) return PACI_STATUS_BAD_PARAMETER;
        if (!handle || !stream || !set || !value) return PACI_STATUS_NULL_POINTER;
        if (PACI_STATUS st = handleCheck(handle)) return st;
        PACI_PROPERTY_ENTRY* e = nullptr;
        if (PACI_STATUS st = findEntry(stream, set, key, &e)) return st;
        if (e->ReadOnly) return PACI_STATUS_PROP_READ_ONLY;
        if (length > e->Size) return PACI_STATUS_BAD_BUFFER_LENGTH;
        std::memcpy(e->Current, value, length);
        return PACI_STATUS_SUCCESS;
    });
}

PAV512U_API PACI_STATUS PACI_PropertyDefault(PACI_HANDLE handle, PACI_PROPERTY_STREAM* stream,
                                             const PAV_GUID* set, uint32_t key) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!handle || !stream || !set) return PACI_STATUS_NULL_POINTER;
        if (PACI_STATUS st = handleCheck(handle)) return st;
        PACI_PROPERTY_ENTRY* e = nullptr;
        if (PACI_STATUS st = findEntry(stream, set, key, &e)) return st;
        std::memcpy(e->Current, e->Default, e->Size);
        return PACI_STATUS_SUCCESS;
    });
}

PAV512U_API PACI_STATUS PACI_Command(PACI_HANDLE handle, const PAV_GUID* set, uint32_t key,
                                     uint32_t argument1, uint32_t argument2) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!handle || !set) return PACI_STATUS_NULL_POINTER;
        if (PACI_STATUS st = handleCheck(handle)) return st;
        CallLock lock(handle);
        if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
        for (const CommandRow& c : kCommands) {
            if (!sameGuid(*c.set, *set) || c.key != key) continue;
            if (!c.handler) return PACI_STATUS_NULL_POINTER;
            return c.handler(handle, argument1, argument2);
        }
        return PACI_STATUS_PROP_NOT_FOUND;
    });
}

}  // extern "C"
