// The PTP responder's phase tables and operations.
//
// A transfer request carries: the phase kind at 8, the operation (in) or
// response (out) code at 10, the PTP session number at 12, the phase's total
// length at 16, the data length at 20 (in: room of the data area; out: bytes
// of this slice), the slice's offset at 24 and the data from 28. A command
// phase carries the operation's parameters as its data, 4 bytes each; a
// response phase returns the response's parameters the same way.
#include "driver/camera/ptp_responder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "driver/core/le_bytes.h"
#include "driver/core/ptpif.h"
#include "pav512/buffers.h"

namespace {

constexpr ULONG kCodeOffset = 10;
constexpr ULONG kTotalOffset = 16;
constexpr ULONG kLengthOffset = 20;
constexpr ULONG kSliceOffset = 24;
constexpr ULONG kDataOffset = pav512::kPtpDataOffset;

// Class requests of the still-image interface.
constexpr UCHAR kClassCancel = 100;
constexpr UCHAR kClassExtendedEvent = 101;
constexpr UCHAR kClassDeviceReset = 102;
constexpr UCHAR kClassDeviceStatus = 103;

enum Operation : USHORT {
    kGetDeviceInfo = 0x1001,
    kOpenSession = 0x1002,
    kCloseSession = 0x1003,
    kGetStorageIds = 0x1004,
    kGetStorageInfo = 0x1005,
    kGetNumObjects = 0x1006,
    kGetObjectHandles = 0x1007,
    kGetObjectInfo = 0x1008,
    kGetObject = 0x1009,
    kGetThumb = 0x100A,
    kDeleteObject = 0x100B,
    kGetPartialObject = 0x101B,
    kVendorOperation = 0xB001,
};

enum Format : ULONG {
    kFormatAny = 0,
    kFormatUndefined = 0x3000,
    kFormatWav = 0x3008,
    kFormatAvi = 0x300A,
    kFormatJpeg = 0x3801,
    kFormatBmp = 0x3804,
    kFormatAll = 0xFFFFFFFF,
};

void put16(UCHAR* p, USHORT v) {
    std::memcpy(p, &v, sizeof v);
}
ULONG be32(const UCHAR* p) {
    return (ULONG{p[0]} << 24) | (ULONG{p[1]} << 16) | (ULONG{p[2]} << 8) | p[3];
}

PtpResponderState& state(DeviceContext* d) {
    return d->ptpResponder;
}

PUCHAR allocate(ULONG length) {
    return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kPtpResponderTag));
}

void freeBuffer(PUCHAR& p) {
    if (p) ExFreePool(p);
    p = nullptr;
}

void freeDataset(PtpResponderState& r) {
    freeBuffer(r.dataset.data);
    r.dataset.length = 0;
    r.dataset.operation = 0;
}

// The request's data area: its room and, for the parameters of a command
// phase, how many bytes it carries.
struct Request {
    PUCHAR buffer;
    ULONG length;
    USHORT code() const { return get16(buffer + kCodeOffset); }
    ULONG dataLength() const { return get32(buffer + kLengthOffset); }
    PUCHAR data() const { return buffer + kDataOffset; }
    // The data length as far as the buffer really holds it.
    ULONG room() const { return std::min(dataLength(), length - kDataOffset); }
    ULONG parameterBytes() const { return room(); }
    ULONG parameter(ULONG i) const { return get32(data() + 4 * i); }
};

// ---------------------------------------------------------------------------
// Camera helpers

// The camera information block: the camera object's, or read here when it
// holds none. False when there is none to be had.
bool informationBlock(DeviceContext* d, UCHAR* block22) {
    if (d->camera.information) {
        std::memcpy(block22, d->camera.information, kInformationBlockLength);
        return true;
    }
    return NT_SUCCESS(Camera_ReadInformation(d, block22));
}

void closeCurrent(DeviceContext* d) {
    PtpResponderState& r = state(d);
    if (r.currentObject == 0) return;
    CameraMemoryResult result;
    Camera_CloseObject(d, 0, r.currentObject, &result);
    r.currentObject = 0;
    r.currentHandle = 0;
    r.file = ObjectFile{};
}

bool readEntry(DeviceContext* d, UCHAR memory, ULONG object, PUCHAR entry) {
    CameraMemoryResult result;
    if (!NT_SUCCESS(Camera_PrepareDirectoryEntry(d, memory, object, &result))) return false;
    return Camera_PtpReceive(d, memory, entry, kDirectoryEntryLength);
}

// Opens the object on the camera and reads its first block (item 0xFF).
bool openOnCamera(DeviceContext* d, UCHAR memory, ULONG object) {
    PtpResponderState& r = state(d);
    CameraMemoryResult result;
    if (!NT_SUCCESS(Camera_OpenObject(d, memory, object, &result)) || !result.valid ||
        result.result != 0)
        return false;
    if (!NT_SUCCESS(
            Camera_ReadItem(d, memory, kCamItemFirstBlock, object, kCameraBlockLength, &result)))
        return false;
    // The first block is the object's own record, not data of any item: it
    // is never taken for the kept block of an item.
    if (!Camera_PtpReceive(d, memory, r.block, kCameraBlockLength)) return false;
    Camera_ObjectReaderReset(&r.reader, memory, object);
    r.reader.block = r.block;
    r.reader.ahead = r.ahead;
    return true;
}

bool sourceRead(void* context, UCHAR item, ULONG offset, PUCHAR dest, ULONG length) {
    auto* d = static_cast<DeviceContext*>(context);
    return Camera_ObjectRead(d, &state(d).reader, item, offset, dest, length);
}

// Closes the object and opens it again: the camera reads a clip's sound only
// from a fresh opening.
bool sourceReopen(void* context) {
    auto* d = static_cast<DeviceContext*>(context);
    PtpResponderState& r = state(d);
    CameraMemoryResult result;
    if (!NT_SUCCESS(Camera_CloseObject(d, 0, r.currentObject, &result))) return false;
    return openOnCamera(d, r.currentMemory, r.currentObject);
}

ObjectSource sourceOf(DeviceContext* d) {
    return ObjectSource{sourceRead, sourceReopen, d};
}

// The buffers every object read uses, allocated once and kept until the
// transport ends.
bool readBuffers(PtpResponderState& r) {
    if (!r.entry) r.entry = allocate(kDirectoryEntryLength);
    if (!r.block) r.block = allocate(kCameraBlockLength);
    if (!r.window) r.window = allocate(kFrameWindowLength);
    if (!r.ahead) r.ahead = allocate(kCameraReadPiece);
    if (!r.entry || !r.block || !r.window || !r.ahead) return false;
    r.reader.block = r.block;
    r.reader.ahead = r.ahead;
    return true;
}

// Opening an object for reading (GetObject, GetThumb, GetPartialObject at 0).
USHORT openObject(DeviceContext* d, ULONG handle, ObjectFileForm form) {
    PtpResponderState& r = state(d);
    closeCurrent(d);
    if (!readBuffers(r)) return kPtpGeneralError;
    const UCHAR memory = static_cast<UCHAR>((handle >> 24) & 0xF);
    const ULONG object = handle & 0xFFFFFF;
    if (!readEntry(d, memory, object, r.entry)) return kPtpGeneralError;
    const ObjectEntry e = Camera_ParseEntry(r.entry);
    const ULONG chunks = Camera_ClipIndexEntries(e);
    if (chunks > r.clipIndexCapacity) {
        freeBuffer(r.clipIndex);
        r.clipIndexCapacity = 0;
        r.clipIndex = allocate(chunks * kClipIndexEntryLength);
        if (r.clipIndex == nullptr) return kPtpGeneralError;
        r.clipIndexCapacity = chunks;
    }
    if (!openOnCamera(d, memory, object)) return kPtpGeneralError;
    r.currentObject = object;
    r.currentMemory = memory;
    r.currentHandle = handle;
    Camera_ObjectFileOpen(&r.file, r.entry, form, r.window, r.clipIndex, chunks);
    return kPtpOk;
}

// ---------------------------------------------------------------------------
// Datasets

// Writes a string field: the length byte (bytes, two per character with the
// terminator) and the UTF-16 text in an area of `area` bytes.
void putString(PUCHAR out, ULONG room, ULONG offset, ULONG area, UCHAR lengthByte,
               const char* text) {
    if (offset + 1 + area > room) return;
    out[offset] = lengthByte;
    PUCHAR at = out + offset + 1;
    std::memset(at, 0, area);
    for (ULONG i = 0; text[i] != '\0' && 2 * (i + 1) <= area; ++i)
        at[2 * i] = static_cast<UCHAR>(text[i]);
}

UCHAR textLengthByte(const char* text) {
    return static_cast<UCHAR>(2 * (std::strlen(text) + 1));
}

void putU16Field(PUCHAR out, ULONG room, ULONG offset, USHORT v) {
    if (offset + 2 <= room) put16(out + offset, v);
}
void putU32Field(PUCHAR out, ULONG room, ULONG offset, ULONG v) {
    if (offset + 4 <= room) put32(out + offset, v);
}
void putCodes(PUCHAR out, ULONG room, ULONG offset, const USHORT* codes, ULONG count) {
    if (offset + 4 + 2 * count > room) return;
    put32(out + offset, 2 * count);
    for (ULONG i = 0; i < count; ++i) put16(out + offset + 4 + 2 * i, codes[i]);
}

UCHAR buildDataset(PtpResponderState& r, USHORT operation, const UCHAR* bytes, ULONG length) {
    freeDataset(r);
    r.dataset.data = allocate(length ? length : 1);
    if (r.dataset.data == nullptr) return kPhaseNoMemory;
    std::memcpy(r.dataset.data, bytes, length);
    r.dataset.length = length;
    r.dataset.operation = operation;
    return kPhaseDone;
}

// ---------------------------------------------------------------------------
// Command phase

bool sessionCheck(PtpResponderState& r, USHORT operation) {
    if (r.sessionOpen || operation == kGetDeviceInfo || operation == kOpenSession) return true;
    r.responseCode = kPtpSessionNotOpen;
    return false;
}

UCHAR commandGetDeviceInfo(DeviceContext* d, PtpResponderState& r, const Request&) {
    if (r.deviceInfo) return kPhaseDone;
    UCHAR info[kInformationBlockLength];
    if (!informationBlock(d, info)) {
        r.responseCode = kPtpGeneralError;
        return kPhaseDone;
    }
    PUCHAR built = allocate(kDeviceInfoLength);
    if (built == nullptr) return kPhaseNoMemory;
    std::memset(built, 0, kDeviceInfoLength);
    r.deviceInfoLength = Camera_PtpBuildDeviceInfo(info, built, kDeviceInfoLength);
    r.deviceInfo = built;
    return kPhaseDone;
}

UCHAR commandSessionOnly(DeviceContext*, PtpResponderState& r, const Request& q) {
    sessionCheck(r, q.code());
    return kPhaseDone;
}

UCHAR commandGetStorageInfo(DeviceContext* d, PtpResponderState& r, const Request& q) {
    if (!sessionCheck(r, q.code())) return kPhaseDone;
    if (q.parameterBytes() != 4) {
        r.responseCode = kPtpParameterNotSupported;
        return kPhaseDone;
    }
    const UCHAR memory = static_cast<UCHAR>(q.parameter(0) & 0xFF);
    UCHAR description[12];
    ULONG freeBytes = 0, freeImages = 0;
    if (!NT_SUCCESS(Camera_PrepareStorageDescription(d, memory)) ||
        !Camera_PtpReceive(d, memory, description, sizeof description) ||
        !NT_SUCCESS(Camera_StorageFigure(d, memory, 0, &freeBytes)) ||
        !NT_SUCCESS(Camera_StorageFigure(d, memory, 1, &freeImages))) {
        r.responseCode = kPtpGeneralError;
        return kPhaseDone;
    }
    UCHAR s[kStorageInfoLength] = {};
    put16(s + 0, 3);
    put16(s + 2, description[3] == 1 ? 3 : 0x8001);
    put16(s + 4, 2);
    put32(s + 6, be32(description + 8));
    put32(s + 14, freeBytes);
    put32(s + 22, freeImages);
    s[26] = 2;
    s[29] = 2;
    return buildDataset(r, kGetStorageInfo, s, sizeof s);
}

bool formatKeeps(ULONG format, ULONG word) {
    const ULONG flags = (word >> 24) & 0xF;
    switch (format) {
        case kFormatAny:
            return true;
        case kFormatWav:
            return (flags & 0x2) && !(flags & 0x1);
        case kFormatAvi:
            return (flags & 0x1) != 0;
        case kFormatJpeg:
        case kFormatAll:
            return (flags & 0x8) != 0;
        default:
            return false;
    }
}

UCHAR commandListObjects(DeviceContext* d, PtpResponderState& r, const Request& q) {
    const USHORT operation = q.code();
    if (!sessionCheck(r, operation)) return kPhaseDone;
    const ULONG association = q.parameterBytes() == 12 ? q.parameter(2) : 1;
    if (q.parameterBytes() != 12 || (association != 0 && association != 0xFFFFFFFF)) {
        r.responseCode = kPtpInvalidParameter;
        return kPhaseDone;
    }
    const ULONG storage = q.parameter(0);
    const ULONG format = q.parameter(1);
    UCHAR memory = static_cast<UCHAR>(storage & 0xFF);
    if (storage == 0xFFFFFFFF && !NT_SUCCESS(Camera_CurrentMemory(d, &memory))) {
        r.responseCode = kPtpGeneralError;
        return kPhaseDone;
    }
    closeCurrent(d);
    ULONG count = 0;
    if (!NT_SUCCESS(Camera_ObjectCount(d, memory, &count)) || count > kMaxObjectCount) {
        r.responseCode = kPtpGeneralError;
        return kPhaseDone;
    }
    const bool listing = operation == kGetObjectHandles;
    if (!listing && (count == 0 || format == kFormatAny)) {
        r.objectCount = count;
        return kPhaseDone;
    }
    PUCHAR table = allocate(4 * count + 4);
    if (table == nullptr) return kPhaseNoMemory;
    CameraMemoryResult result;
    if (count > 0 && (!NT_SUCCESS(Camera_PrepareObjectTable(d, memory, &result)) ||
                      !Camera_PtpReceive(d, memory, table + 4, 4 * count))) {
        ExFreePool(table);
        r.responseCode = kPtpGeneralError;
        return kPhaseDone;
    }
    // The handles go over the table in place: each is written where its own
    // entry was read, or before it.
    ULONG kept = 0;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG word = be32(table + 4 + 4 * i);
        if (!formatKeeps(format, word)) continue;
        const ULONG handle = kObjectHandleBase | (((word >> 28) & 0xF) << 24) | (word & 0xFFFFFF);
        put32(table + 4 + 4 * kept, handle);
        ++kept;
    }
    if (!listing) {
        r.objectCount = kept;
        ExFreePool(table);
        return kPhaseDone;
    }
    put32(table, kept);
    freeDataset(r);
    r.dataset.data = table;
    r.dataset.length = 4 + 4 * kept;
    r.dataset.operation = kGetObjectHandles;
    return kPhaseDone;
}

USHORT objectFormatOf(UCHAR kind) {
    switch (kind) {
        case kObjectClip:
        case kObjectClipWithSound:
            return kFormatAvi;
        case kObjectSound:
            return kFormatWav;
        case kObjectPicture:
        case kObjectPictureWithThumbnail:
            return kFormatJpeg;
        default:
            return kFormatUndefined;
    }
}

UCHAR commandGetObjectInfo(DeviceContext* d, PtpResponderState& r, const Request& q) {
    if (!sessionCheck(r, q.code())) return kPhaseDone;
    if (q.parameterBytes() != 4) {
        r.responseCode = kPtpInvalidParameter;
        return kPhaseDone;
    }
    const ULONG handle = q.parameter(0);
    closeCurrent(d);
    UCHAR entry[kDirectoryEntryLength];
    if (!readEntry(d, static_cast<UCHAR>((handle >> 24) & 0xF), handle & 0xFFFFFF, entry)) {
        r.responseCode = kPtpGeneralError;
        return kPhaseDone;
    }
    const ObjectEntry e = Camera_ParseEntry(entry);
    const ULONGLONG length = Camera_ObjectFileLength(e);
    const bool thumb = e.kind == kObjectPictureWithThumbnail;
    const bool picture = thumb || e.kind == kObjectPicture;
    UCHAR o[kObjectInfoLength] = {};
    put16(o + 4, objectFormatOf(e.kind));
    put32(o + 8, length > 0xFFFFFFFFull ? 0xFFFFFFFF : static_cast<ULONG>(length));
    if (thumb) {
        put16(o + 12, kFormatBmp);
        put32(o + 14, Camera_ThumbnailFileLength(e));
        put32(o + 18, e.thumbnailWidth);
        put32(o + 22, e.thumbnailHeight);
    }
    if (picture) {
        put32(o + 26, e.pictureWidth);
        put32(o + 30, e.pictureHeight);
    }
    char name[16];
    std::snprintf(name, sizeof name, "%08x", static_cast<unsigned>(handle));
    putString(o, sizeof o, 52, 18, 18, name);
    putString(o, sizeof o, 71, 36, 36, "20020524T101342.0");
    putString(o, sizeof o, 108, 36, 36, "20020524T101342.0");
    o[145] = 0;
    return buildDataset(r, kGetObjectInfo, o, sizeof o);
}

UCHAR commandGetObject(DeviceContext* d, PtpResponderState& r, const Request& q) {
    if (!sessionCheck(r, q.code())) return kPhaseDone;
    if (q.parameterBytes() != 4) {
        r.responseCode = kPtpInvalidParameter;
        return kPhaseDone;
    }
    const ObjectFileForm form =
        q.code() == kGetThumb ? ObjectFileForm::Thumbnail : ObjectFileForm::File;
    r.responseCode = openObject(d, q.parameter(0), form);
    return kPhaseDone;
}

UCHAR commandGetPartialObject(DeviceContext* d, PtpResponderState& r, const Request& q) {
    if (!sessionCheck(r, q.code())) return kPhaseDone;
    if (q.parameterBytes() != 12) {
        r.responseCode = kPtpInvalidParameter;
        return kPhaseDone;
    }
    const ULONG handle = q.parameter(0);
    const ULONG offset = q.parameter(1);
    const ULONG maximum = q.parameter(2);
    if (offset == 0) {
        r.responseCode = openObject(d, handle, ObjectFileForm::File);
        if (r.responseCode != kPtpOk) return kPhaseDone;
    } else if (r.currentObject == 0 || r.currentHandle != handle ||
               r.file.form != ObjectFileForm::File || offset != r.file.produced) {
        // The camera reads on from where the object's last read ended: only
        // the same object, from there, can be continued.
        r.responseCode = kPtpInvalidParameter;
        return kPhaseDone;
    }
    if (ULONGLONG{offset} > r.file.length) {
        r.responseCode = kPtpInvalidParameter;
        return kPhaseDone;
    }
    ULONGLONG length = r.file.length - offset;
    if (maximum != 0xFFFFFFFF) length = std::min<ULONGLONG>(length, maximum);
    r.partialOffset = offset;
    r.partialMaximum = maximum;
    r.partialLength = static_cast<ULONG>(std::min<ULONGLONG>(length, 0xFFFFFFFFull));
    return kPhaseDone;
}

UCHAR commandDeleteObject(DeviceContext* d, PtpResponderState& r, const Request& q) {
    if (!sessionCheck(r, q.code())) return kPhaseDone;
    UCHAR info[kInformationBlockLength];
    if (!informationBlock(d, info)) {
        r.responseCode = kPtpGeneralError;
        return kPhaseDone;
    }
    if (q.parameterBytes() != 8) {
        r.responseCode = kPtpInvalidParameter;
        return kPhaseDone;
    }
    if (q.parameter(1) != 0) {
        r.responseCode = kPtpParameterNotSupported;
        return kPhaseDone;
    }
    const ULONG handle = q.parameter(0);
    // The object being read may be the one that goes.
    closeCurrent(d);
    UCHAR memory = static_cast<UCHAR>((handle >> 24) & 0xF);
    NTSTATUS status;
    if (handle == 0xFFFFFFFF) {
        status = Camera_CurrentMemory(d, &memory);
        if (NT_SUCCESS(status)) status = Camera_EraseMemory(d, memory);
    } else if ((handle & 0xFFFFFF) != 0) {
        status = Camera_DeleteObject(d, memory, handle & 0xFFFFFF);
    } else {
        status = Camera_EraseMemory(d, memory);
    }
    if (!NT_SUCCESS(status)) {
        r.responseCode = kPtpGeneralError;
        return kPhaseDone;
    }
    // The camera announces how long an erase may take; past that the wait
    // ends without an error.
    const ULONG eraseTime = (ULONG{info[12]} << 8) | info[13];
    const LONGLONG until =
        deadline(static_cast<ULONG>(ULONGLONG{eraseTime} * 65536 * 1000 / 1048576));
    for (;;) {
        CameraMemoryResult result;
        if (!NT_SUCCESS(Camera_MemoryResult(d, memory, &result))) {
            r.responseCode = kPtpGeneralError;
            return kPhaseDone;
        }
        // A device on its way down waits for this call: it does not wait on.
        if (!result.running || d->stopped.load()) break;
        LARGE_INTEGER pause;
        pause.QuadPart = -10 * 10000;  // 10 ms
        if (reached(until)) break;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    return kPhaseDone;
}

// ---------------------------------------------------------------------------
// Data phase

void reportSlice(const Request& q, ULONG total, ULONG offset, ULONG slice) {
    put32(q.buffer + kTotalOffset, total);
    put32(q.buffer + kSliceOffset, offset);
    put32(q.buffer + kLengthOffset, slice);
}

UCHAR deliverBytes(PtpResponderState& r, const Request& q, const UCHAR* data, ULONG total) {
    if (data == nullptr || r.dataOffset >= total) return kPhaseNoData;
    const ULONG n = std::min(q.room(), total - r.dataOffset);
    std::memcpy(q.data(), data + r.dataOffset, n);
    reportSlice(q, total, r.dataOffset, n);
    r.dataOffset += n;
    return kPhaseDone;
}

UCHAR dataDeviceInfo(DeviceContext*, PtpResponderState& r, const Request& q) {
    return deliverBytes(r, q, r.deviceInfo, r.deviceInfo ? r.deviceInfoLength : 0);
}

UCHAR dataDataset(DeviceContext*, PtpResponderState& r, const Request& q) {
    if (r.dataset.operation != q.code()) return kPhaseNoData;
    return deliverBytes(r, q, r.dataset.data, r.dataset.length);
}

UCHAR dataStorageIds(DeviceContext* d, PtpResponderState& r, const Request& q) {
    if (r.dataOffset == 0 || r.dataset.operation != kGetStorageIds) {
        UCHAR ids[8] = {};
        UCHAR memory = 0;
        ULONG length = 4;
        if (NT_SUCCESS(Camera_CurrentMemory(d, &memory))) {
            put32(ids, 1);
            put32(ids + 4, kStorageIdBase + memory);
            length = 8;
        }
        if (UCHAR s = buildDataset(r, kGetStorageIds, ids, length); s != kPhaseDone) return s;
    }
    return deliverBytes(r, q, r.dataset.data, r.dataset.length);
}

// Delivers the next slice of the current object's file (or of the range a
// GetPartialObject asked for); the object is closed after the file's last byte.
UCHAR dataObject(DeviceContext* d, PtpResponderState& r, const Request& q) {
    if (r.currentObject == 0) return kPhaseNoData;
    const bool partial = q.code() == kGetPartialObject;
    const ULONG start = partial ? r.partialOffset : 0;
    const ULONGLONG whole = partial ? r.partialLength : r.file.length;
    if (whole > 0xFFFFFFFFull) {
        put32(q.buffer + kLengthOffset, 0);
        return kPhaseNotSupported;
    }
    const ULONG total = static_cast<ULONG>(whole);
    if (r.dataOffset >= total) return kPhaseNoData;
    const ULONG n = std::min(q.room(), total - r.dataOffset);
    if (!Camera_ObjectFileProduce(&r.file, sourceOf(d), start + r.dataOffset, q.data(), n)) {
        put32(q.buffer + kLengthOffset, 0);
        return kPhaseNotSupported;
    }
    reportSlice(q, total, r.dataOffset, n);
    r.dataOffset += n;
    if (r.file.produced == r.file.length)
        closeCurrent(d);
    else
        r.lastSlice = n;
    return kPhaseDone;
}

// ---------------------------------------------------------------------------
// Tables

using PhaseHandler = UCHAR (*)(DeviceContext* d, PtpResponderState& r, const Request& q);
// A table entry: a handler, or none for an operation that is known but not
// supported in that phase.
struct PhaseEntry {
    USHORT operation;
    PhaseHandler handler;
};

constexpr PhaseEntry kCommandTable[] = {
    {kGetDeviceInfo, commandGetDeviceInfo},   {kOpenSession, commandSessionOnly},
    {kCloseSession, commandSessionOnly},      {kGetStorageIds, commandSessionOnly},
    {kGetStorageInfo, commandGetStorageInfo}, {kGetNumObjects, commandListObjects},
    {kGetObjectHandles, commandListObjects},  {kGetObjectInfo, commandGetObjectInfo},
    {kGetObject, commandGetObject},           {kGetThumb, commandGetObject},
    {kDeleteObject, commandDeleteObject},     {kGetPartialObject, commandGetPartialObject},
};

constexpr PhaseEntry kDataTable[] = {
    {kGetDeviceInfo, dataDeviceInfo},
    {kGetStorageIds, dataStorageIds},
    {kGetStorageInfo, dataDataset},
    {kGetObjectHandles, dataDataset},
    {kGetObjectInfo, dataDataset},
    {kGetObject, dataObject},
    {kGetThumb, dataObject},
    {kGetPartialObject, dataObject},
    {0x100C, nullptr},
    {0x100D, nullptr},
    {0x1014, nullptr},
    {0x1015, nullptr},
    {0x1016, nullptr},
    {kVendorOperation, nullptr},
};

// Operations known to every phase table but not supported by this camera.
bool unsupportedOperation(USHORT operation) {
    return (operation >= 0x100C && operation <= 0x101A) || operation == 0x101C ||
           operation == kVendorOperation;
}

template <std::size_t N>
const PhaseEntry* lookUp(const PhaseEntry (&table)[N], USHORT operation) {
    for (const PhaseEntry& e : table)
        if (e.operation == operation) return &e;
    return nullptr;
}

bool knownOperation(USHORT operation) {
    return (operation >= kGetDeviceInfo && operation <= 0x101C) || operation == kVendorOperation;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points

ULONG Camera_PtpBuildDeviceInfo(const UCHAR* info, PUCHAR out, ULONG room) {
    static constexpr USHORT kEvents[] = {0x4001, 0x4002, 0x4003, 0x4004, 0x4005, 0x4006, 0x4007,
                                         0x4008, 0x4009, 0x400A, 0x400B, 0x400C, 0x400D};
    static constexpr USHORT kProperties[] = {0x5001, 0x5002, 0x5003, 0x5004, 0x5005,
                                             0x500C, 0x5011, 0x5012, 0x5013, 0x5014,
                                             0x5015, 0x5018, 0x5019, 0x501A, 0x501B};
    static constexpr USHORT kCaptureFormats[] = {0x3801, 0xB000, 0xB001};
    static constexpr USHORT kImageFormats[] = {0x3801};
    USHORT operations[29];
    for (USHORT i = 0; i < 28; ++i) operations[i] = static_cast<USHORT>(0x1001 + i);
    operations[28] = kVendorOperation;

    putU16Field(out, room, 0, 0);
    putU32Field(out, room, 2, 9);
    putU16Field(out, room, 6, 1);
    char description[32];
    std::snprintf(description, sizeof description, "%s 0-01", kPtpMakerName);
    putString(out, room, 8, 48, textLengthByte(description), description);
    putU16Field(out, room, 57, 0);
    putCodes(out, room, 59, operations, 29);
    putCodes(out, room, 121, kEvents, 13);
    putCodes(out, room, 151, kProperties, 15);
    putCodes(out, room, 185, kCaptureFormats, 3);
    putCodes(out, room, 195, kImageFormats, 1);
    putString(out, room, 201, 38, textLengthByte(kPtpMakerName), kPtpMakerName);
    putString(out, room, 240, 16, 16, "PAV0312");
    char version[24];
    std::snprintf(version, sizeof version, "%d-%d %d-%d", info[0], info[1], info[2], info[3]);
    putString(out, room, 257, 40, 40, version);
    putString(out, room, 298, 4, 4, "0");
    return kDeviceInfoLength;
}

ULONG Camera_PtpCommandPhase(DeviceContext* device, PUCHAR buffer, ULONG length) {
    PtpResponderState& r = state(device);
    const Request q{buffer, length};
    const USHORT operation = q.code();
    // A new transaction: what the last one built is not delivered again.
    r.operation = operation;
    r.dataOffset = 0;
    freeDataset(r);
    UCHAR status = kPhaseNoData;
    if (const PhaseEntry* e = lookUp(kCommandTable, operation)) {
        status = e->handler(device, r, q);
    } else if (unsupportedOperation(operation)) {
        status = kPhaseNotSupported;
    }
    buffer[0] = status;
    return 0;
}

ULONG Camera_PtpDataPhase(DeviceContext* device, PUCHAR buffer, ULONG length) {
    PtpResponderState& r = state(device);
    r.lastSlice = 0;
    const Request q{buffer, length};
    const USHORT operation = q.code();
    UCHAR status = kPhaseNoData;
    const PhaseEntry* e = lookUp(kDataTable, operation);
    if (e && e->handler == nullptr) {
        status = kPhaseNotSupported;
    } else if (e && r.responseCode != kPtpOk) {
        status = kPhaseRefused;
    } else if (e && r.operation == operation) {
        // Data belongs to the transaction whose command phase came last.
        status = e->handler(device, r, q);
    }
    if (status != kPhaseDone) put32(buffer + kLengthOffset, 0);
    buffer[0] = status;
    return 0;
}

ULONG Camera_PtpResponsePhase(DeviceContext* device, PUCHAR buffer, ULONG length) {
    PtpResponderState& r = state(device);
    const Request q{buffer, length};
    const USHORT operation = q.code();
    if (!knownOperation(operation) || unsupportedOperation(operation)) {
        put32(buffer + kLengthOffset, 0);
        buffer[0] = knownOperation(operation) ? kPhaseNotSupported : kPhaseNoData;
        return 0;
    }
    bool parameter = false;
    ULONG value = 0;
    const bool ok = r.responseCode == kPtpOk && r.operation == operation;
    switch (operation) {
        case kOpenSession:
            if (r.responseCode == kPtpOk) r.sessionOpen = true;
            break;
        case kCloseSession:
            if (r.responseCode == kPtpOk) {
                closeCurrent(device);
                r.sessionOpen = false;
            }
            break;
        case kGetNumObjects:
            parameter = ok;
            value = r.objectCount;
            break;
        case kGetObjectHandles:
            if (r.dataset.operation == kGetObjectHandles) freeDataset(r);
            break;
        case kGetPartialObject:
            parameter = ok;
            value = r.dataOffset;
            r.dataOffset = 0;
            break;
        default:
            break;
    }
    put16(buffer + kCodeOffset, r.responseCode);
    r.responseCode = kPtpOk;
    ULONG returned = 0;
    if (parameter && q.room() >= 4) {
        put32(q.data(), value);
        returned = 4;
    }
    reportSlice(q, returned, 0, returned);
    buffer[0] = kPhaseDone;
    return 0;
}

ULONG Camera_PtpClassRequest(DeviceContext* device, PUCHAR buffer, ULONG) {
    PtpResponderState& r = state(device);
    const pav512::PtpCommand* c = reinterpret_cast<const pav512::PtpCommand*>(buffer);
    UCHAR request;
    ULONG direction;
    std::memcpy(&request, &c->classRequest, 1);
    std::memcpy(&direction, &c->direction, sizeof direction);
    switch (request) {
        case kClassCancel:
            // The transaction in progress comes back to rest; the session stays.
            r.dataOffset = 0;
            r.operation = 0;
            freeDataset(r);
            closeCurrent(device);
            r.responseCode = kPtpOk;
            break;
        case kClassExtendedEvent:
        case kClassDeviceReset:
        case kClassDeviceStatus:
            break;
        default:
            buffer[0] = pav512::kModuleStatusUnknownTransferKind;
            return 0;
    }
    // Nothing is read back from these requests.
    if (direction != 0) put32(buffer + offsetof(pav512::PtpCommand, dataLength), 0);
    buffer[0] = pav512::kModuleStatusSuccess;
    return 0;
}

void Camera_PtpReadAhead(DeviceContext* device) {
    PtpResponderState& r = state(device);
    const ULONG slice = r.lastSlice;
    r.lastSlice = 0;
    // Only a picture's file is its item byte for byte, read straight on.
    if (slice == 0 || r.currentObject == 0 || r.file.failed ||
        r.file.form != ObjectFileForm::File ||
        (r.file.entry.kind != kObjectPicture && r.file.entry.kind != kObjectPictureWithThumbnail))
        return;
    const bool partial = r.operation == kGetPartialObject;
    const ULONG start = partial ? r.partialOffset : 0;
    const ULONG total = partial ? r.partialLength : static_cast<ULONG>(r.file.length);
    if (r.dataOffset >= total) return;
    ULONG n = std::min({slice, total - r.dataOffset, kCameraReadPiece});
    n -= n % kCameraBlockLength;
    if (n == 0) return;
    Camera_ObjectReadAhead(device, &r.reader, kCamItemPicture, start + r.dataOffset, n);
}

NTSTATUS Camera_PtpInitialise(DeviceContext* device) {
    PtpResponderState& r = state(device);
    Camera_PtpTerminate(device);
    // The entry copy, the block cache and the frame window are taken when
    // the first object is opened: a camera nobody reads objects from holds
    // none of them.
    r.initialised = true;
    return STATUS_SUCCESS;
}

void Camera_PtpTerminate(DeviceContext* device) {
    PtpResponderState& r = state(device);
    freeDataset(r);
    freeBuffer(r.deviceInfo);
    freeBuffer(r.entry);
    freeBuffer(r.block);
    freeBuffer(r.window);
    freeBuffer(r.ahead);
    freeBuffer(r.clipIndex);
    r = PtpResponderState{};
}
