// The camera property handlers: one routine per (set, identifier), turning
// stored values into register writes and filling values only the camera
// knows. Every set routine works out what to store first, acts on the
// camera, and stores only when the camera took it, so a set that fails
// leaves the stored value as it was.
#include "driver/camera/camprop.h"

#include <cstring>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "pav512/guids.h"

namespace {

// Registers of the video processor (space 2) and the ASIC (space 3) the
// properties use.
constexpr UCHAR kRegFirmwareText = 0x0F;  // space 2: one character per read
constexpr UCHAR kRegSensorRevision = 0x07;
constexpr UCHAR kRegClockM = 19;  // space 2
constexpr UCHAR kRegClockN = 20;  // space 2
constexpr UCHAR kRegFlipMirror = 0x15;
constexpr UCHAR kFlipBit = 0x40;
constexpr UCHAR kMirrorBit = 0x04;
constexpr UCHAR kRegClockHold = 0x25;  // space 2, bit 0x80
constexpr UCHAR kRegBanding = 0x26;
constexpr UCHAR kRegColourMode = 0x27;  // space 2: banding and colour table switch
constexpr UCHAR kRegColourTable = 0x41;  // space 2, three registers
constexpr UCHAR kRegSensorId = 0x02;     // space 3, three registers
constexpr UCHAR kRegClockDivider = 25;   // space 3, three registers
constexpr UCHAR kRegClockLoad = 0xC1;    // space 3
constexpr UCHAR kRunBit = 0x80;          // register 1 of space 3
constexpr USHORT kVersionBlock = 0x100;  // request 0x8B: the firmware version text

constexpr ULONG kClockPauseMs = 100;

const GUID& kSensorSet = pav512::kPropertySetSensor;
const GUID& kDeviceSet = pav512::kPropertySetDevice;
const GUID& kBandwidthSet = pav512::kPropertySetB22B;
const GUID& kPictureSet = pav512::kPropertySetPicture;
const GUID& kNameSet = pav512::kPropertySet66A4;
const GUID& kRegisterSet = pav512::kPropertySetD58F;

// A time-out passes NT_SUCCESS; here it is a request that did not happen.
NTSTATUS checked(NTSTATUS status) {
    return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}
bool failed(NTSTATUS status) {
    return !NT_SUCCESS(checked(status));
}

ULONG le32(const UCHAR* p) {
    ULONG v;
    std::memcpy(&v, p, 4);
    return v;
}
void putLe32(UCHAR* p, ULONG v) {
    std::memcpy(p, &v, 4);
}
void putLe16(UCHAR* p, USHORT v) {
    std::memcpy(p, &v, 2);
}

void pauseMs(ULONG ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool videoOpen(DeviceContext* d) {
    return InterlockedCompareExchange(&d->camera.openState, 0, 0) != 0;
}

NTSTATUS readReg(DeviceContext* d, UCHAR space, UCHAR reg, UCHAR* value) {
    return checked(Camera_ReadRegister(d, space, reg, value));
}
NTSTATUS writeReg(DeviceContext* d, UCHAR space, UCHAR reg, UCHAR value) {
    return checked(Camera_WriteRegister(d, space, reg, value));
}
NTSTATUS modify(DeviceContext* d, UCHAR space, UCHAR reg, UCHAR andMask, UCHAR orValue) {
    return checked(Camera_ReadModifyWrite(d, space, reg, andMask, orValue));
}

// Stores the caller's value (or what the routine made of it) in the slot.
void store(const CamPropRequest& r, const void* value) {
    std::memmove(r.slot, value, r.size);
}
// A get that does not ask the camera.
NTSTATUS storedOut(const CamPropRequest& r) {
    std::memmove(r.data, r.slot, r.size);
    return STATUS_SUCCESS;
}
// A set that only stores.
NTSTATUS storedIn(const CamPropRequest& r) {
    store(r, r.data);
    return STATUS_SUCCESS;
}
// Fills the caller's value with `length` bytes, the rest of it zero.
NTSTATUS answer(const CamPropRequest& r, const void* bytes, ULONG length) {
    std::memset(r.data, 0, r.size);
    std::memcpy(r.data, bytes, length < r.size ? length : r.size);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Picture set: the value is the first 32-bit word (0 to 100), flags the second.

constexpr ULONG kPictureValue = 0, kPictureFlags = 4, kPictureKind = 8;
constexpr ULONG kPlainControl = 2;
constexpr ULONG kColourControl = 3;
constexpr UCHAR kColourTable[7][3] = {
    {0x00, 0x1A, 0x67}, {0x00, 0x0D, 0x46}, {0x00, 0x00, 0x27}, {0x0D, 0x00, 0x1A},
    {0x1A, 0x00, 0x0D}, {0x43, 0x0D, 0x06}, {0x6D, 0x1A, 0x00}};

UCHAR pictureRegister(ULONG id) {
    switch (id) {
        case 0: return 0x23;
        case 1: return 0x3E;
        case 3: return 0x40;
        case 4: return 0x37;
        case 5: return 0x36;
        default: return 0;
    }
}

// The register value of a plain picture control, 8 bits of unsigned arithmetic.
UCHAR pictureValue(ULONG id, ULONG v) {
    switch (id) {
        case 0: {
            ULONG b = v * 140 / 100;
            if (b > 70) b = ((b + 93) * 2) % 256;
            if (b == 0) b = 1;
            return static_cast<UCHAR>(b);
        }
        case 1: {
            ULONG c = v * 255 / 100;
            c = v <= 50 ? c * 149 / 128 : c + (255 - c) / 5;
            return static_cast<UCHAR>(c);
        }
        case 3: return static_cast<UCHAR>(v * 255 / 100);
        case 4: return static_cast<UCHAR>(v * 64 / 100);
        case 5: return static_cast<UCHAR>(v * 31 / 100);
        default: return 0;
    }
}

NTSTATUS pictureSet(DeviceContext* d, const CamPropRequest& r) {
    UCHAR value[16];
    std::memcpy(value, r.data, sizeof value);
    const LONG v = static_cast<LONG>(le32(value + kPictureValue));
    if (r.range && (v < r.range->minimum || v > r.range->maximum)) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    if (r.id == 7) {
        ULONG flags = le32(value + kPictureFlags);
        if (flags == 0) putLe32(value + kPictureFlags, flags = 1);
        if (flags & 1) {
            status = writeReg(d, CAMERAACCESS_VP, kRegColourMode, 0);
        } else if (flags & 2) {
            status = writeReg(d, CAMERAACCESS_VP, kRegColourMode, 1);
            const ULONG row = static_cast<ULONG>(v) / 15;
            if (NT_SUCCESS(status) && row < 7)
                status = checked(
                    Camera_WriteRegisters(d, CAMERAACCESS_VP, kRegColourTable, kColourTable[row], 3));
        }
    } else if (UCHAR reg = pictureRegister(r.id)) {
        status = writeReg(d, CAMERAACCESS_VP, reg, pictureValue(r.id, static_cast<ULONG>(v)));
    }
    if (failed(status)) return checked(status);
    store(r, value);
    return STATUS_SUCCESS;
}

NTSTATUS pictureGet(const CamPropRequest& r) {
    if (r.id == 7) {
        if (le32(r.slot + kPictureFlags) == 0) putLe32(r.slot + kPictureFlags, 1);
        putLe32(r.slot + kPictureKind, kColourControl);
    } else {
        putLe32(r.slot + kPictureKind, kPlainControl);
    }
    return storedOut(r);
}

// ---------------------------------------------------------------------------
// Bandwidth set

NTSTATUS bandwidth(DeviceContext* d, const CamPropRequest& r) {
    switch (r.id) {
        case 0: {
            if (!r.isSet) return storedOut(r);
            // The highest setting there is; a larger wish means "the highest".
            const UCHAR wanted = r.data[0] < 7 ? r.data[0] : 7;
            if (videoOpen(d)) {
                CameraModeRoutine change = d->camera.modeChange.load();
                NTSTATUS status = change ? checked(change(d, wanted)) : STATUS_DEVICE_NOT_READY;
                if (!NT_SUCCESS(status)) return status;
            }
            store(r, &wanted);
            return STATUS_SUCCESS;
        }
        case 1: {
            if (r.isSet) return STATUS_SUCCESS;
            const UCHAR alternate = static_cast<UCHAR>(d->usbif.currentAlternate);
            return answer(r, &alternate, 1);
        }
        case 2:
            if (!r.isSet) return storedOut(r);
            d->camera.acceptBadChecksums.store(r.data[0] != 0);
            return storedIn(r);
        case 4: {
            if (r.isSet) return STATUS_SUCCESS;
            char text[32] = {};
            for (ULONG i = 0; i < 31; ++i) {
                UCHAR c = 0;
                if (failed(readReg(d, CAMERAACCESS_VP, kRegFirmwareText, &c)) || c == 0) break;
                text[i] = static_cast<char>(c);
            }
            return answer(r, text, sizeof text);
        }
        default:
            return r.isSet ? storedIn(r) : storedOut(r);
    }
}

// ---------------------------------------------------------------------------
// Device set

NTSTATUS sensorCode(DeviceContext* d, const CamPropRequest& r) {
    UCHAR type = 0, revision = 0;
    NTSTATUS status = readReg(d, CAMERAACCESS_VP, kRegSensorType, &type);
    if (NT_SUCCESS(status)) status = readReg(d, CAMERAACCESS_VP, kRegSensorRevision, &revision);
    if (failed(status)) return checked(status);
    UCHAR code[2];
    switch (type) {
        case 0: code[0] = 0x00, code[1] = 0x00; break;
        case 1: code[0] = 0x19, code[1] = 0xA0; break;
        case 2: code[0] = 0x19, code[1] = 0xB0; break;
        case 4: code[0] = 0x19, code[1] = 0xD0; break;
        case 16: code[0] = 0x1F, code[1] = 0x40; break;
        case 32: code[0] = 0x1F, code[1] = 0x50; break;
        case 96: code[0] = 0x1F, code[1] = 0x60; break;
        default: code[0] = 0xFF, code[1] = 0xFF; break;
    }
    code[1] |= revision & 0x0F;
    return answer(r, code, 2);
}

NTSTATUS nativeSize(DeviceContext* d, const CamPropRequest& r, bool largest) {
    ULONG width, height;
    switch (d->camera.sensorType) {
        case 1:
        case 2:
        case 4:
            width = largest ? 352 : 176;
            height = largest ? 288 : 144;
            break;
        case 16:
        case 32:
        case 96:
            width = largest ? 640 : 320;
            height = largest ? 480 : 240;
            break;
        default:
            return STATUS_UNSUCCESSFUL;
    }
    UCHAR size[8];
    putLe32(size, width);
    putLe32(size + 4, height);
    return answer(r, size, 8);
}

// The clock divider value of the triple in registers 25 to 27 of space 3.
UCHAR dividerOf(const UCHAR t[3]) {
    struct Row {
        UCHAR r0, r1, r2, value;
    };
    constexpr Row kRows[] = {{1, 0, 1, 1}, {3, 1, 3, 2},   {7, 3, 7, 4},
                             {5, 2, 2, 1}, {11, 5, 5, 2}, {23, 11, 11, 4}};
    for (const Row& row : kRows)
        if (t[0] == row.r0 && t[1] == row.r1 && t[2] == row.r2) return row.value;
    return 0;
}

// What divider `value` needs for the clocks m and n in registers 19 and 20:
// the triple of registers 25 to 27 of space 3 and the value of register 20.
bool dividerSettings(UCHAR m, UCHAR n, UCHAR value, UCHAR triple[3], UCHAR* reg20) {
    const bool nSmall = n == 1 || n == 4 || n == 16;
    auto set = [&](UCHAR a, UCHAR b, UCHAR c, UCHAR r) {
        triple[0] = a, triple[1] = b, triple[2] = c, *reg20 = r;
        return true;
    };
    if (m == 1 || m == 2) {
        switch (value) {
            case 1: return set(5, 2, 2, nSmall ? 16 : 32);
            case 2: return set(11, 5, 5, nSmall ? 4 : 8);
            case 4: return set(23, 11, 11, nSmall ? 1 : 2);
            default: return false;
        }
    }
    if (m == 8 || m == 32) {
        switch (value) {
            case 1: return set(1, 0, 1, 32);
            case 2: return set(3, 1, 3, 8);
            case 4: return set(7, 3, 7, 2);
            default: return false;
        }
    }
    return false;
}

NTSTATUS clockDividerSet(DeviceContext* d, const CamPropRequest& r) {
    if (!videoOpen(d)) return STATUS_UNSUCCESSFUL;
    const UCHAR value = r.data[0];
    UCHAR mn[2] = {};
    NTSTATUS status = checked(Camera_ReadRegisters(d, CAMERAACCESS_VP, kRegClockM, mn, 2));
    if (!NT_SUCCESS(status)) return status;
    UCHAR triple[3], reg20 = 0;
    if (!dividerSettings(mn[0], mn[1], value, triple, &reg20)) return STATUS_UNSUCCESSFUL;
    // The ASIC is held while the clocks change, and let run again last.
    UCHAR run = 0;
    status = readReg(d, CAMERAACCESS_ASIC, kRegPowerMode, &run);
    if (NT_SUCCESS(status))
        status = writeReg(d, CAMERAACCESS_ASIC, kRegPowerMode, static_cast<UCHAR>(run & ~kRunBit));
    if (NT_SUCCESS(status)) status = modify(d, CAMERAACCESS_VP, kRegClockHold, 0, 0x80);
    if (!NT_SUCCESS(status)) return status;
    pauseMs(kClockPauseMs);
    status = writeReg(d, CAMERAACCESS_VP, kRegClockN, reg20);
    if (NT_SUCCESS(status)) status = modify(d, CAMERAACCESS_VP, kRegClockHold, 0x7F, 0);
    if (NT_SUCCESS(status))
        status = checked(Camera_WriteRegisters(d, CAMERAACCESS_ASIC, kRegClockDivider, triple, 3));
    if (NT_SUCCESS(status)) status = writeReg(d, CAMERAACCESS_ASIC, kRegClockLoad, 0x80);
    if (NT_SUCCESS(status))
        status = writeReg(d, CAMERAACCESS_ASIC, kRegClockLoad, d->camera.fpga ? 0x40 : 0);
    if (NT_SUCCESS(status))
        status = writeReg(d, CAMERAACCESS_ASIC, kRegPowerMode, static_cast<UCHAR>(run | kRunBit));
    if (!NT_SUCCESS(status)) return status;
    store(r, &value);
    return STATUS_SUCCESS;
}

NTSTATUS clockDividerGet(DeviceContext* d, const CamPropRequest& r) {
    if (!videoOpen(d)) return storedOut(r);
    UCHAR t[3] = {};
    NTSTATUS status = checked(Camera_ReadRegisters(d, CAMERAACCESS_ASIC, kRegClockDivider, t, 3));
    if (!NT_SUCCESS(status)) return status;
    const UCHAR value = dividerOf(t);
    return answer(r, &value, 1);
}

NTSTATUS flipOrMirror(DeviceContext* d, const CamPropRequest& r, UCHAR bit) {
    NTSTATUS status = r.data[0] ? modify(d, CAMERAACCESS_VP, kRegFlipMirror, 0, bit)
                                : modify(d, CAMERAACCESS_VP, kRegFlipMirror,
                                         static_cast<UCHAR>(~bit), 0);
    if (!NT_SUCCESS(status)) return status;
    return storedIn(r);
}

NTSTATUS banding(DeviceContext* d, const CamPropRequest& r) {
    // 100 filters for 50 Hz mains, 120 for 60 Hz.
    const UCHAR filter = r.data[0] ? 100 : 120;
    NTSTATUS status = writeReg(d, CAMERAACCESS_VP, kRegBanding, filter);
    if (NT_SUCCESS(status)) status = writeReg(d, CAMERAACCESS_VP, kRegColourMode, 0);
    if (NT_SUCCESS(status)) status = checked(Camera_WriteDataBlock(d, 0, &filter, 1));
    if (!NT_SUCCESS(status)) return status;
    return storedIn(r);
}

NTSTATUS imageSize(DeviceContext* d, const CamPropRequest& r) {
    if (CamPropSizeChange change = d->camprop.sizeChange.load()) {
        NTSTATUS status = checked(change(d, le32(r.data), le32(r.data + 4)));
        if (!NT_SUCCESS(status)) return status;
    }
    return storedIn(r);
}

NTSTATUS deviceSet(DeviceContext* d, const CamPropRequest& r) {
    const PUCHAR info = d->camera.information;
    if (!r.isSet) {
        switch (r.id) {
            case 0:
                if (info == nullptr) return STATUS_UNSUCCESSFUL;
                return answer(r, info, 2);
            case 1: return sensorCode(d, r);
            case 8: {
                const UCHAR levels = 7;
                return answer(r, &levels, 1);
            }
            case 9: return clockDividerGet(d, r);
            case 16: return nativeSize(d, r, true);
            case 17: return nativeSize(d, r, false);
            default: return storedOut(r);
        }
    }
    switch (r.id) {
        case 0:
        case 1:
        case 8:
        case 16:
        case 17: return STATUS_SUCCESS;
        case 4: return flipOrMirror(d, r, kFlipBit);
        case 5: return flipOrMirror(d, r, kMirrorBit);
        case 6: return banding(d, r);
        case 7: return imageSize(d, r);
        case 9: return clockDividerSet(d, r);
        default: return storedIn(r);
    }
}

// ---------------------------------------------------------------------------
// The read-only set {A4EA9080-...}

NTSTATUS firmwareText(DeviceContext* d, const CamPropRequest& r) {
    const PUCHAR info = d->camera.information;
    // The stored value lists the firmware levels whose text the camera holds:
    // a count, then that many pairs of level bytes.
    ULONG pairs = r.slot[0];
    if (pairs > (r.size - 1) / 2) pairs = (r.size - 1) / 2;
    bool listed = false;
    for (ULONG i = 0; info && i < pairs && !listed; ++i)
        listed = r.slot[1 + 2 * i] == info[2] && r.slot[2 + 2 * i] == info[3];
    char text[8] = {};
    if (!listed) {
        std::memcpy(text, "  N/A ", 6);
    } else {
        ULONG length = 7;
        if (failed(Camera_ReadDataBlock(d, kVersionBlock, reinterpret_cast<UCHAR*>(text), &length)))
            std::memcpy(text, "  N/A.", 6);
        text[7] = 0;
    }
    return answer(r, text, 8);
}

NTSTATUS sensorSet(DeviceContext* d, const CamPropRequest& r) {
    if (r.isSet) return STATUS_SUCCESS;
    switch (r.id) {
        case 2: {
            UCHAR id[3] = {};
            NTSTATUS status = checked(Camera_ReadRegisters(d, CAMERAACCESS_ASIC, kRegSensorId, id, 3));
            if (!NT_SUCCESS(status)) return status;
            return answer(r, id, 3);
        }
        case 5: return firmwareText(d, r);
        case 6:
            if (d->camera.information == nullptr) return STATUS_UNSUCCESSFUL;
            return answer(r, d->camera.information, kInformationBlockLength);
        default: return storedOut(r);
    }
}

// ---------------------------------------------------------------------------
// The register access set {D58F1642-...}, for diagnostics

void packDescriptor(const RegisterAccessDescriptor& a, UCHAR out[kRegisterAccessDescriptorLength]) {
    out[0] = a.space;
    putLe32(out + 1, a.firstRegister);
    putLe16(out + 5, a.count);
    putLe32(out + 7, a.width);
}

RegisterAccessDescriptor unpackDescriptor(const UCHAR* in) {
    RegisterAccessDescriptor a;
    a.space = in[0];
    a.firstRegister = le32(in + 1);
    std::memcpy(&a.count, in + 5, 2);
    a.width = le32(in + 7);
    return a;
}

// Whether the descriptor names a transfer the limit allows into `length` bytes.
NTSTATUS accessAllowed(const CamPropState& s, ULONG length) {
    const RegisterAccessDescriptor& a = s.descriptor;
    if (a.count == 0 || a.count >= 256 || a.firstRegister > 255) return STATUS_UNSUCCESSFUL;
    if (static_cast<ULONGLONG>(s.transferLimit) < ULONGLONG{a.count} * a.width)
        return STATUS_BUFFER_TOO_SMALL;
    if (length < a.count) return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

NTSTATUS registerAccess(DeviceContext* d, const CamPropRequest& r) {
    CamPropState& s = d->camprop;
    switch (r.id) {
        case 10: {
            if (r.isSet) return STATUS_SUCCESS;
            if (r.length < 6) return STATUS_BUFFER_TOO_SMALL;
            const PUCHAR info = d->camera.information;
            UCHAR words[6] = {};
            if (info) {
                putLe16(words, static_cast<USHORT>((info[16] << 8) | info[17]));
                putLe16(words + 2, static_cast<USHORT>((info[18] << 8) | info[19]));
            }
            putLe16(words + 4, kRegisterAccessLimit);
            answer(r, words, 6);
            s.transferLimit = kRegisterAccessLimit;
            // The answer carries the words, yet the request reports failure.
            return STATUS_UNSUCCESSFUL;
        }
        case 11: {
            if (!r.isSet) return STATUS_SUCCESS;
            NTSTATUS status = accessAllowed(s, r.length);
            if (!NT_SUCCESS(status)) return status;
            const RegisterAccessDescriptor& a = s.descriptor;
            status = checked(Camera_WriteRegisters(d, a.space, static_cast<UCHAR>(a.firstRegister),
                                                   r.data, a.count));
            if (!NT_SUCCESS(status)) return status;
            std::memmove(r.slot, r.data, r.length < r.size ? r.length : r.size);
            return STATUS_SUCCESS;
        }
        case 12: {
            if (r.isSet) return STATUS_SUCCESS;
            NTSTATUS status = accessAllowed(s, r.length);
            if (!NT_SUCCESS(status)) return status;
            const RegisterAccessDescriptor& a = s.descriptor;
            return checked(Camera_ReadRegisters(d, a.space, static_cast<UCHAR>(a.firstRegister),
                                                r.data, a.count));
        }
        case 13: {
            if (r.length < kRegisterAccessDescriptorLength) return STATUS_BUFFER_TOO_SMALL;
            if (!r.isSet) {
                UCHAR packed[kRegisterAccessDescriptorLength];
                packDescriptor(s.descriptor, packed);
                return answer(r, packed, sizeof packed);
            }
            s.descriptor = unpackDescriptor(r.data);
            storedIn(r);
            // Stored, yet the request reports failure.
            return STATUS_UNSUCCESSFUL;
        }
        default:
            return r.isSet ? storedIn(r) : storedOut(r);
    }
}

// The 35 locales where mains power runs at 50 Hz.
constexpr USHORT kFiftyHertzLocales[35] = {
    0x0809, 0x0C09, 0x1409, 0x1809, 0x1C09, 0x2009, 0x3009, 0x0413, 0x0813,
    0x080C, 0x100C, 0x140C, 0x180C, 0x040C, 0x0807, 0x0C07, 0x1007, 0x1407,
    0x0407, 0x0410, 0x0810, 0x2C0A, 0x340A, 0x380A, 0x3C0A, 0x400A, 0x041D,
    0x081D, 0x0414, 0x0814, 0x0816, 0x0804, 0x0C04, 0x1004, 0x1404};

}  // namespace

void CamProp_Initialise(DeviceContext* device) {
    device->camprop.descriptor = RegisterAccessDescriptor{};
    device->camprop.transferLimit = 0;
}

NTSTATUS CamProp_Handle(DeviceContext* device, const CamPropRequest& r) {
    if (r.set == nullptr || r.slot == nullptr) return STATUS_INVALID_PARAMETER;
    const GUID& set = *r.set;
    const bool countDriven = set == kRegisterSet && (r.id == 11 || r.id == 12);
    // Each routine moves the whole value, except the register transfers,
    // whose descriptor says how much.
    if (!countDriven && r.length < r.size) return STATUS_BUFFER_TOO_SMALL;
    if (r.data == nullptr && r.length != 0) return STATUS_INVALID_PARAMETER;
    if (set == kPictureSet) return r.isSet ? pictureSet(device, r) : pictureGet(r);
    if (set == kBandwidthSet) return bandwidth(device, r);
    if (set == kDeviceSet) return deviceSet(device, r);
    if (set == kSensorSet) return sensorSet(device, r);
    if (set == kNameSet) {
        if (r.isSet) return STATUS_SUCCESS;
        return answer(r, "PAV512", 6);
    }
    if (set == kRegisterSet) return registerAccess(device, r);
    // The control set is the property manager's own; nothing of the camera.
    return STATUS_SUCCESS;
}

bool CamProp_FiftyHertzLocale(ULONG locale) {
    for (USHORT l : kFiftyHertzLocales)
        if (l == locale) return true;
    return false;
}

bool CamProp_ParseLocale(PCWSTR text, ULONG* locale) {
    *locale = 0;
    if (text == nullptr || text[0] == 0) return false;
    ULONG v = 0;
    ULONG digits = 0;
    for (const WCHAR* p = text; *p; ++p) {
        WCHAR c = *p;
        ULONG d;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        else if (c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else
            return false;
        if (++digits > 8) return false;
        v = v * 16 + d;
    }
    *locale = v;
    return true;
}

bool CamProp_Default(DeviceContext*, const GUID& set, ULONG id, PUCHAR slot, ULONG size) {
    if (!(set == kDeviceSet) || id != 6 || size < 1) return false;
    WCHAR text[32] = {};
    localeText(text, sizeof text);
    ULONG locale = 0;
    slot[0] = CamProp_ParseLocale(text, &locale) && CamProp_FiftyHertzLocale(locale) ? 1 : 0;
    return true;
}
