// Control codes of the driver's device interface, the module status values
// written into byte 0 of every reply, and the interface version. The driver and
// the library both include this; neither includes anything else of the other.
#pragma once

#include <cstdint>

namespace pav512 {

// Code layout: device type in bits 16-31, required access in bits 14-15,
// function in bits 2-13, transfer method in bits 0-1.
constexpr std::uint32_t kFileDeviceUnknown = 0x22;
constexpr std::uint32_t kMethodBuffered = 0;
constexpr std::uint32_t kFileAnyAccess = 0;
constexpr std::uint32_t kFileReadAccess = 1;

constexpr std::uint32_t CTL_CODE(std::uint32_t deviceType, std::uint32_t function,
                                 std::uint32_t method, std::uint32_t access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr std::uint32_t deviceTypeOf(std::uint32_t code) {
    return code >> 16;
}
constexpr std::uint32_t accessOf(std::uint32_t code) {
    return (code >> 14) & 3;
}
constexpr std::uint32_t functionOf(std::uint32_t code) {
    return (code >> 2) & 0xFFF;
}
constexpr std::uint32_t methodOf(std::uint32_t code) {
    return code & 3;
}

// User codes: any access, buffered; one block of 0x100 functions per family.
constexpr std::uint32_t userCode(std::uint32_t function) {
    return CTL_CODE(kFileDeviceUnknown, function, kMethodBuffered, kFileAnyAccess);
}
// Codes of the capture minidriver: read access, buffered.
constexpr std::uint32_t internalCode(std::uint32_t function) {
    return CTL_CODE(kFileDeviceUnknown, function, kMethodBuffered, kFileReadAccess);
}

// The families, by the first function of their block.
enum class Family : std::uint32_t {
    Command = 0x000,
    Diagnostic = 0x100,
    Stream = 0x200,
    VideoProperty = 0x300,
    Ptp = 0x400,
    Unknown = 0xFFFFFFFF,
};

constexpr Family familyOf(std::uint32_t code) {
    if (deviceTypeOf(code) != kFileDeviceUnknown || accessOf(code) != kFileAnyAccess ||
        methodOf(code) != kMethodBuffered)
        return Family::Unknown;
    switch (functionOf(code) & 0xF00) {
        case 0x000:
            return Family::Command;
        case 0x100:
            return Family::Diagnostic;
        case 0x200:
            return Family::Stream;
        case 0x300:
            return Family::VideoProperty;
        case 0x400:
            return Family::Ptp;
        default:
            return Family::Unknown;
    }
}

// Command transport.
constexpr std::uint32_t IOCTL_CTI_VERSION = userCode(0x000);
constexpr std::uint32_t IOCTL_CTI_OPEN = userCode(0x001);
constexpr std::uint32_t IOCTL_CTI_CLOSE = userCode(0x002);
constexpr std::uint32_t IOCTL_CTI_LOCK = userCode(0x003);
constexpr std::uint32_t IOCTL_CTI_UNLOCK = userCode(0x004);
constexpr std::uint32_t IOCTL_CTI_RESET = userCode(0x005);
constexpr std::uint32_t IOCTL_CTI_ABORT_TASK = userCode(0x006);
constexpr std::uint32_t IOCTL_CTI_TRANSACTION = userCode(0x007);

// Diagnostics.
constexpr std::uint32_t IOCTL_DEBUG_VERSION = userCode(0x100);
constexpr std::uint32_t IOCTL_DEBUG_GET_FLAG = userCode(0x101);
constexpr std::uint32_t IOCTL_DEBUG_SET_FLAG = userCode(0x102);
constexpr std::uint32_t IOCTL_DEBUG_FLAG_NAME = userCode(0x103);
constexpr std::uint32_t IOCTL_DEBUG_FLAG_BLOCK_NAME = userCode(0x104);
constexpr std::uint32_t IOCTL_DEBUG_SET_INTERFACE = userCode(0x105);
constexpr std::uint32_t IOCTL_DEBUG_USB_COMMAND = userCode(0x106);
constexpr std::uint32_t IOCTL_DEBUG_USB_TRANSFER = userCode(0x107);
constexpr std::uint32_t IOCTL_DEBUG_DEVICE_ID = userCode(0x108);
constexpr std::uint32_t IOCTL_DEBUG_PROPERTY_DESCRIPTOR = userCode(0x109);
constexpr std::uint32_t IOCTL_DEBUG_PROPERTY_INFORMATION = userCode(0x10A);
constexpr std::uint32_t IOCTL_DEBUG_NOTIFICATION_DESCRIPTOR = userCode(0x10B);

// Video stream requests.
constexpr std::uint32_t IOCTL_STREAM_VERSION = userCode(0x200);
constexpr std::uint32_t IOCTL_STREAM_OPEN = userCode(0x201);
constexpr std::uint32_t IOCTL_STREAM_CLOSE = userCode(0x202);
constexpr std::uint32_t IOCTL_STREAM_GET_STATE = userCode(0x203);
constexpr std::uint32_t IOCTL_STREAM_SET_STATE = userCode(0x204);
constexpr std::uint32_t IOCTL_STREAM_FORMAT_INFO = userCode(0x205);
constexpr std::uint32_t IOCTL_STREAM_PROPOSE_FORMAT = userCode(0x206);
constexpr std::uint32_t IOCTL_STREAM_SET_FORMAT = userCode(0x207);
constexpr std::uint32_t IOCTL_STREAM_DEVICE_ID = userCode(0x208);
constexpr std::uint32_t IOCTL_STREAM_READ = userCode(0x209);

// Video properties.
constexpr std::uint32_t IOCTL_VPI_VERSION = userCode(0x300);
constexpr std::uint32_t IOCTL_VPI_DEVICE_ID = userCode(0x301);
constexpr std::uint32_t IOCTL_VPI_PROPERTY_GET = userCode(0x302);
constexpr std::uint32_t IOCTL_VPI_PROPERTY_SET = userCode(0x303);
constexpr std::uint32_t IOCTL_VPI_NOTIFICATION_SET = userCode(0x304);
constexpr std::uint32_t IOCTL_VPI_NOTIFICATION_CLEAR = userCode(0x305);
constexpr std::uint32_t IOCTL_VPI_PROPERTY_DEFAULT = userCode(0x306);
constexpr std::uint32_t IOCTL_VPI_ABORT_VFW = userCode(0x307);

// PTP transport.
constexpr std::uint32_t IOCTL_PTP_VERSION = userCode(0x400);
constexpr std::uint32_t IOCTL_PTP_OPEN = userCode(0x401);
constexpr std::uint32_t IOCTL_PTP_CLOSE = userCode(0x402);
constexpr std::uint32_t IOCTL_PTP_LOCK = userCode(0x403);
constexpr std::uint32_t IOCTL_PTP_UNLOCK = userCode(0x404);
constexpr std::uint32_t IOCTL_PTP_TRANSFER = userCode(0x405);
constexpr std::uint32_t IOCTL_PTP_COMMAND = userCode(0x406);
constexpr std::uint32_t IOCTL_PTP_WAIT_EVENT = userCode(0x407);
constexpr std::uint32_t IOCTL_PTP_OPEN_WIA = userCode(0x408);

// Capture minidriver.
constexpr std::uint32_t IOCTL_INTERNAL_CONNECT = internalCode(0x000);
constexpr std::uint32_t IOCTL_INTERNAL_DISCONNECT = internalCode(0x001);

static_assert(IOCTL_CTI_VERSION == 0x220000 && IOCTL_CTI_TRANSACTION == 0x22001C);
static_assert(IOCTL_DEBUG_VERSION == 0x220400 && IOCTL_DEBUG_NOTIFICATION_DESCRIPTOR == 0x22042C);
static_assert(IOCTL_STREAM_VERSION == 0x220800 && IOCTL_STREAM_READ == 0x220824);
static_assert(IOCTL_VPI_VERSION == 0x220C00 && IOCTL_VPI_ABORT_VFW == 0x220C1C);
static_assert(IOCTL_PTP_VERSION == 0x221000 && IOCTL_PTP_OPEN_WIA == 0x221020);
static_assert(IOCTL_INTERNAL_CONNECT == 0x224000 && IOCTL_INTERNAL_DISCONNECT == 0x224004);
static_assert(familyOf(IOCTL_INTERNAL_CONNECT) == Family::Unknown);

// The version every family answers; the library refuses a driver with another.
constexpr std::uint16_t kInterfaceVersion = 515;

// Byte 0 of every reply. The library presets kModuleStatusUnanswered, which no
// module ever writes.
constexpr std::uint8_t kModuleStatusSuccess = 0;
constexpr std::uint8_t kModuleStatusFailed = 1;
constexpr std::uint8_t kModuleStatusUnknownTransferKind = 3;
constexpr std::uint8_t kModuleStatusShortControlTransfer = 5;
constexpr std::uint8_t kModuleStatusNoResources = 6;
constexpr std::uint8_t kModuleStatusInUse = 7;
constexpr std::uint8_t kModuleStatusAbortStepFailed = 8;
constexpr std::uint8_t kModuleStatusOutOfRange = 16;
constexpr std::uint8_t kModuleStatusBadStreamHandle = 17;
constexpr std::uint8_t kModuleStatusClaimFailed = 48;
constexpr std::uint8_t kModuleStatusAlreadyLocked = 49;
constexpr std::uint8_t kModuleStatusNotLockOwner = 50;
constexpr std::uint8_t kModuleStatusNoSuchTask = 51;
constexpr std::uint8_t kModuleStatusControlTransferFailed = 52;
constexpr std::uint8_t kModuleStatusBulkTransferFailed = 53;
constexpr std::uint8_t kModuleStatusTaskAborted = 54;
constexpr std::uint8_t kModuleStatusTooMuchData = 55;
constexpr std::uint8_t kModuleStatusPtpNotLocked = 56;
constexpr std::uint8_t kModuleStatusNotInThisBuild = 66;
constexpr std::uint8_t kModuleStatusUnanswered = 0xFF;

}  // namespace pav512
