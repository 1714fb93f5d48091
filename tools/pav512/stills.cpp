#include "tools/pav512/stills.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "tools/pav512/errors.h"
#include "tools/pav512/part_file.h"
#include "tools/pav512/progress.h"

namespace pav512 {
namespace {

constexpr std::uint32_t kBlock = 64 * 1024;
constexpr std::uint32_t kLockWait = 10000;  // ms; another program may be between blocks
constexpr PACI_STATUS kPtpInvalidHandle = 15;  // the handle was orphaned when the camera left
constexpr PACI_STATUS kPtpCameraRemoved = 17;
constexpr PACI_STATUS kCameraAnswered = 0xF0000000u;  // plus the camera's PTP response code

const PAV_GUID kDeviceProps = PACI_SET_DEVICE;
const PAV_GUID kStorageProps = PACI_SET_STORAGE;
const PAV_GUID kCommandSet = PACI_SET_COMMAND;

// The names of the PTP response codes a camera may answer with.
const char* responseName(std::uint32_t code) {
    static const char* const names[] = {"Undefined",
                                        "OK",
                                        "General Error",
                                        "Session Not Open",
                                        "Invalid TransactionID",
                                        "Operation Not Supported",
                                        "Parameter Not Supported",
                                        "Incomplete Transfer",
                                        "Invalid StorageID",
                                        "Invalid ObjectHandle",
                                        "DeviceProp Not Supported",
                                        "Invalid ObjectFormatCode",
                                        "Store Full",
                                        "Object WriteProtected",
                                        "Store Read-Only",
                                        "Access Denied",
                                        "No Thumbnail Present",
                                        "SelfTest Failed",
                                        "Partial Deletion",
                                        "Store Not Available",
                                        "Selection By Format Unsupported",
                                        "No Valid ObjectInfo",
                                        "Invalid Code Format",
                                        "Unknown Vendor Code",
                                        "Capture Already Terminated",
                                        "Device Busy",
                                        "Invalid ParentObject",
                                        "Invalid DeviceProp Format",
                                        "Invalid DeviceProp Value",
                                        "Invalid Parameter",
                                        "Session Already Open",
                                        "Transaction Cancelled",
                                        "Destination Unsupported"};
    const std::uint32_t i = code - 0x2000;
    return code >= 0x2000 && i < sizeof names / sizeof names[0] ? names[i] : nullptr;
}

std::string paciName(PACI_STATUS st) {
    char text[96] = {};
    if (PACI_GetErrorText(st, text, sizeof text) == PACI_STATUS_SUCCESS && text[0]) return text;
    // The camera's own answer to the command, carried in the status.
    if ((st & 0xFFFF0000u) == kCameraAnswered) {
        const unsigned code = st & 0xFFFF;
        if (const char* name = responseName(code))
            std::snprintf(text, sizeof text, "the camera answered %s, 0x%04X", name, code);
        else
            std::snprintf(text, sizeof text, "the camera answered 0x%04X", code);
        return text;
    }
    std::snprintf(text, sizeof text, "status 0x%X", st);
    return text;
}

struct Stream {
    PACI_HANDLE h;
    PACI_PROPERTY_STREAM* s = nullptr;
    ~Stream() {
        if (s) PACI_PropertyStreamFree(h, s);
    }
    const PACI_PROPERTY_ENTRY* find(const PAV_GUID& set, std::uint32_t key) const {
        if (!s || !s->Entries) return nullptr;
        for (std::uint32_t i = 0; i < s->Count; ++i)
            if (std::memcmp(&s->Entries[i].Set, &set, sizeof set) == 0 && s->Entries[i].Key == key)
                return &s->Entries[i];
        return nullptr;
    }
    std::uint64_t number(const PAV_GUID& set, std::uint32_t key) const {
        const PACI_PROPERTY_ENTRY* e = find(set, key);
        std::uint64_t v = 0;
        if (e) std::memcpy(&v, e->Current, e->Size < 8 ? e->Size : 8);
        return v;
    }
    std::string text(const PAV_GUID& set, std::uint32_t key) const {
        const PACI_PROPERTY_ENTRY* e = find(set, key);
        if (!e) return std::string();
        std::size_t n = 0;
        while (n < e->Size && n < sizeof e->Current && e->Current[n]) ++n;
        return std::string(reinterpret_cast<const char*>(e->Current), n);
    }
};

}  // namespace

void describeFormat(std::uint16_t format, std::string* kind, std::string* extension) {
    switch (format) {
        case 0x3801: *kind = "picture"; *extension = "jpg"; break;
        case 0x3008: *kind = "sound"; *extension = "wav"; break;
        case 0x300A: *kind = "clip"; *extension = "avi"; break;
        case 0x3804: *kind = "picture"; *extension = "bmp"; break;
        default: *kind = "file"; *extension = "bin"; break;
    }
}

namespace {

// How the tool ends for a still camera status: kExitFailure for a status
// that does not say what happened.
int exitFor(PACI_STATUS st) {
    switch (st) {
        case PACI_STATUS_CAMERA_NOT_FOUND:
            return kExitNoCamera;
        case PACI_STATUS_IN_USE:
        case PACI_STATUS_LOCKED:
        case PACI_STATUS_TIMEDOUT:
            return kExitBusy;
        case kPtpCameraRemoved:
        case kPtpInvalidHandle:
            return kExitRemoved;
        default:
            return kExitFailure;
    }
}

}  // namespace

void failPaci(PACI_STATUS st, const std::string& what, std::uint32_t camera) {
    const std::string cam = std::to_string(camera);
    switch (exitFor(st)) {
        case kExitNoCamera:
            throw ToolError(kExitNoCamera, "There is no camera " + cam + " (see pav512 cameras).");
        case kExitBusy:
            throw ToolError(kExitBusy,
                            "Camera " + cam + " is busy in another program (" + what + ").");
        case kExitRemoved:
            throw ToolError(kExitRemoved, "Camera " + cam + " was unplugged while " + what + ".");
        default:
            throw ToolError(kExitFailure,
                            "Camera " + cam + " failed " + what + " (" + paciName(st) + ").");
    }
}

namespace {

// Whether `camera` leaves the list of cameras within a moment. A camera
// pulled out mid-operation fails the request under way (its transfers end)
// a little before the system has taken its removal in: that failure is the
// removal's, and is told as such.
bool cameraLeaves(std::uint32_t camera) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        std::uint32_t numbers[256] = {};
        std::uint32_t count = 0;
        if (PACI_CameraEnum(0, 0, numbers, 256, &count) != PACI_STATUS_SUCCESS) return false;
        if (count > 256) count = 256;
        if (std::find(numbers, numbers + count, camera) == numbers + count) return true;
        if (std::chrono::steady_clock::now() >= until || interrupted()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

void StillCamera::fail(PACI_STATUS st, const std::string& what) const {
    // A failure that does not say what happened is the removal's when the
    // camera leaves meanwhile.
    if (exitFor(st) == kExitFailure && cameraLeaves(number_)) st = kPtpCameraRemoved;
    failPaci(st, what, number_);
}

StillCamera::StillCamera(std::uint32_t cameraNumber, double waitSeconds, bool quiet) : number_(cameraNumber) {
    const auto start = std::chrono::steady_clock::now();
    bool told = false;
    for (;;) {
        PACI_STATUS st = PACI_HandleOpen(cameraNumber, &h_);
        if (st == PACI_STATUS_SUCCESS) return;
        h_ = nullptr;
        const bool busy = st == PACI_STATUS_LOCKED || st == PACI_STATUS_TIMEDOUT || st == PACI_STATUS_IN_USE;
        const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!busy || waited >= waitSeconds || interrupted()) fail(st, "opening its stored files");
        if (!told && !quiet) {
            std::fprintf(stderr, "pav512: camera %u is busy in another program (recording video, perhaps); waiting up "
                                 "to %s for it.\n",
                         cameraNumber, formatDuration(waitSeconds).c_str());
            told = true;
        }
        // The open itself waited for the camera's lock; this pause only
        // keeps a camera held for long from being asked without rest.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

StillCamera::~StillCamera() {
    if (h_) PACI_HandleClose(&h_);
}

std::vector<StoredObject> StillCamera::list() {
    std::uint32_t total = 0;
    PACI_STATUS st = PACI_ObjectEnum(h_, 0, 0, nullptr, 0, &total);
    if (st != PACI_STATUS_SUCCESS) fail(st, "listing its files");
    std::vector<PACI_ID> ids(total + 16);
    st = PACI_ObjectEnum(h_, 0, 0, ids.data(), static_cast<std::uint32_t>(ids.size()), &total);
    if (st != PACI_STATUS_SUCCESS) fail(st, "listing its files");
    if (total < ids.size()) ids.resize(total);
    std::vector<StoredObject> out;
    for (PACI_ID id : ids) {
        // The device and the storages come first; only objects are files.
        if (id == PACI_ID_DEVICE || (id & 0x00FFFFFFu) == 0) continue;
        PACI_OBJECT_INFO info{};
        st = PACI_GetObjectInfo(h_, id, &info);
        if (st != PACI_STATUS_SUCCESS) fail(st, "describing its files");
        StoredObject o;
        o.number = out.size() + 1;
        o.id = id;
        o.storage = info.StorageID;
        o.format = info.ObjectFormat;
        o.size = info.ObjectSize;
        o.width = info.ImageWidth;
        o.height = info.ImageHeight;
        // The camera names each file by its object handle.
        char name[16];
        std::snprintf(name, sizeof name, "%08x", id);
        o.name = name;
        describeFormat(o.format, &o.kind, &o.extension);
        out.push_back(std::move(o));
    }
    return out;
}

std::vector<StorageInfo> StillCamera::storages() {
    std::uint32_t total = 0;
    PACI_ID ids[16] = {};
    PACI_STATUS st = PACI_ObjectEnum(h_, 0, PACI_ID_DEVICE, ids, 16, &total);
    if (st != PACI_STATUS_SUCCESS) fail(st, "listing its storages");
    std::vector<StorageInfo> out;
    for (std::uint32_t i = 0; i < total && i < 16; ++i) {
        Stream s{h_};
        st = PACI_PropertyStreamRead(h_, ids[i], &s.s);
        if (st != PACI_STATUS_SUCCESS) fail(st, "describing a storage");
        StorageInfo info;
        info.id = ids[i];
        info.capacity = s.number(kStorageProps, 3);
        info.freeBytes = s.number(kStorageProps, 4);
        info.freeImages = static_cast<std::uint32_t>(s.number(kStorageProps, 5));
        info.description = s.text(kStorageProps, 6);
        info.label = s.text(kStorageProps, 7);
        out.push_back(info);
    }
    return out;
}

DeviceSummary StillCamera::summary() {
    Stream s{h_};
    PACI_STATUS st = PACI_PropertyStreamRead(h_, PACI_ID_DEVICE, &s.s);
    if (st != PACI_STATUS_SUCCESS) fail(st, "describing itself");
    DeviceSummary d;
    d.name = s.text(kDeviceProps, 3);
    d.vendor = s.text(kDeviceProps, 0);
    std::uint64_t fw = s.number(kDeviceProps, 4);
    char text[32];
    std::snprintf(text, sizeof text, "%01d-%02d", static_cast<int>(fw & 0xFF), static_cast<int>((fw >> 8) & 0xFF));
    d.firmware = text;
    std::uint64_t sensor = s.number(kDeviceProps, 5);
    std::snprintf(text, sizeof text, "%02X%02X", static_cast<int>(sensor & 0xFF), static_cast<int>((sensor >> 8) & 0xFF));
    d.sensor = text;
    d.patch = s.text(kDeviceProps, 19);
    return d;
}

StillCamera::Outcome StillCamera::download(const StoredObject& object,
                                           const std::function<bool(const void*, std::size_t)>& sink,
                                           const std::function<void(std::uint64_t)>& progress,
                                           const std::function<bool()>& stop) {
    // One object's blocks without another client's transactions in between.
    PACI_STATUS st = PACI_HandleLock(h_, kLockWait);
    if (st != PACI_STATUS_SUCCESS) fail(st, "downloading " + object.fileName());
    struct Unlock {
        PACI_HANDLE h;
        ~Unlock() { PACI_HandleUnLock(h); }
    } unlock{h_};
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kBlock]);
    std::uint32_t got = 0;
    st = PACI_ReadFirstBlock(h_, object.id, buffer.get(), kBlock, &got);
    std::uint64_t done = 0;
    while (true) {
        if (st != PACI_STATUS_SUCCESS && st != PACI_STATUS_MORE_DATA) {
            if (st != PACI_STATUS_NO_CURRENT_BLOCK_TRANSFER) PACI_CancelBlockTransfer(h_);
            fail(st, "downloading " + object.fileName());
        }
        if (got > kBlock) got = kBlock;
        if (got && !sink(buffer.get(), got)) {
            if (st == PACI_STATUS_MORE_DATA) PACI_CancelBlockTransfer(h_);
            return Outcome::Done;  // the sink reports its own failure
        }
        done += got;
        progress(done);
        if (st == PACI_STATUS_SUCCESS) return Outcome::Done;
        if (stop()) {
            PACI_CancelBlockTransfer(h_);
            return Outcome::Interrupted;
        }
        std::uint32_t sofar = 0;
        got = 0;
        st = PACI_ReadNextBlock(h_, buffer.get(), kBlock, &got, &sofar);
    }
}

std::vector<std::uint8_t> StillCamera::previewBmp(const StoredObject& object) {
    std::vector<std::uint8_t> dib(PACI_PREVIEW_SIZE);
    PACI_STATUS st = PACI_ReadPreview(h_, object.id, dib.data(), PACI_PREVIEW_SIZE);
    if (st == PACI_STATUS_NO_PREVIEW) return {};
    if (st != PACI_STATUS_SUCCESS) fail(st, "making the preview of " + object.fileName());
    // A BMP file is its 14-byte file header and the bitmap.
    std::vector<std::uint8_t> file(14);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<std::uint32_t>(14 + dib.size()));
    put32(10, 14 + 40);
    file.insert(file.end(), dib.begin(), dib.end());
    return file;
}

void StillCamera::remove(const StoredObject& object) {
    PACI_STATUS st = PACI_Command(h_, &kCommandSet, PACI_COMMAND_DELETE_OBJECT, object.id, 0);
    if (st != PACI_STATUS_SUCCESS) fail(st, "deleting " + object.fileName());
}

void StillCamera::removeAll() {
    PACI_STATUS st = PACI_Command(h_, &kCommandSet, PACI_COMMAND_DELETE_OBJECT, PACI_ID_DEVICE, 0);
    if (st != PACI_STATUS_SUCCESS) fail(st, "deleting every file");
}

}  // namespace pav512
