// Layouts of the request buffers of every control code, little-endian and
// packed, with each code's minimum buffer length beside its layout. The same
// buffer travels in and out; byte 0 is the module status.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pav512/ioctl.h"
#include "platform/kernel/basetypes.h"

namespace pav512 {

static_assert(std::endian::native == std::endian::little, "the wire records are little-endian");

#pragma pack(push, 1)

// ---------------------------------------------------------------------------
// Command transport: a 20-byte header.
struct CommandHeader {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t sessionId;
    std::uint32_t threadId;
    std::uint32_t taskId;  // 0 outside transactions
    std::uint32_t value;   // meaning per code; the version reply puts 16 bits here
};
static_assert(sizeof(CommandHeader) == 20);
static_assert(offsetof(CommandHeader, sessionId) == 4 && offsetof(CommandHeader, threadId) == 8);
static_assert(offsetof(CommandHeader, taskId) == 12 && offsetof(CommandHeader, value) == 16);
constexpr std::uint32_t kCommandVersionOffset = 16;

// One block of a transaction's list, data following. A block length of 0 ends
// the list; the list starts at offset 20.
struct TransactionBlock {
    std::uint32_t length;         // data length + 24
    std::uint32_t kind;           // nonzero: vendor control request; 0: bulk transfer
    std::uint32_t bulkDirection;  // 0: from camera; nonzero: to camera
    std::uint32_t dataLength;     // in: bytes to move; out: bytes moved
    std::uint8_t blockStatus;
    std::uint8_t request;  // bit 7: from camera
    std::uint8_t valueHigh;
    std::uint8_t valueLow;
    std::uint8_t indexHigh;
    std::uint8_t indexLow;
    std::uint8_t reserved[2];
};
static_assert(sizeof(TransactionBlock) == 24);
static_assert(offsetof(TransactionBlock, dataLength) == 12 &&
              offsetof(TransactionBlock, blockStatus) == 16);
static_assert(offsetof(TransactionBlock, request) == 17 &&
              offsetof(TransactionBlock, indexLow) == 21);
constexpr std::uint32_t kTransactionListOffset = 20;
// Header and the 32-bit zero that ends an empty list.
constexpr std::uint32_t kTransactionMinimumLength = kTransactionListOffset + 4;

// ---------------------------------------------------------------------------
// Diagnostics: a 20-byte header, data from 20.
struct DiagnosticHeader {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t totalLength;  // data length + 20
    std::uint32_t p0;
    std::uint32_t p1;
    std::uint32_t p2;
};
static_assert(sizeof(DiagnosticHeader) == 20);
static_assert(offsetof(DiagnosticHeader, p0) == 8 && offsetof(DiagnosticHeader, p2) == 16);
constexpr std::uint32_t kDiagnosticDataOffset = 20;

struct DiagnosticVersionReply {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t totalLength;
    std::uint32_t zero;     // 0
    std::uint16_t version;  // 515
    std::uint8_t rest[6];
};
static_assert(sizeof(DiagnosticVersionReply) == 20);
static_assert(offsetof(DiagnosticVersionReply, zero) == 8 &&
              offsetof(DiagnosticVersionReply, version) == 12);

struct DiagnosticSetInterface {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t totalLength;
    std::uint8_t interfaceNumber;
    std::uint8_t alternateSetting;
    std::uint8_t rest[10];
};
static_assert(sizeof(DiagnosticSetInterface) == 20);
static_assert(offsetof(DiagnosticSetInterface, alternateSetting) == 9);

struct DiagnosticUsbCommand {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t totalLength;
    std::uint32_t direction;  // nonzero: from camera
    std::uint8_t request;
    std::uint8_t pad;
    std::uint16_t value;
    std::uint16_t length;
    std::uint16_t index;
};
static_assert(sizeof(DiagnosticUsbCommand) == 20);
static_assert(offsetof(DiagnosticUsbCommand, request) == 12 &&
              offsetof(DiagnosticUsbCommand, value) == 14);
static_assert(offsetof(DiagnosticUsbCommand, length) == 16 &&
              offsetof(DiagnosticUsbCommand, index) == 18);

struct DiagnosticUsbTransfer {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t totalLength;
    std::uint8_t endpointAddress;
    std::uint8_t pad[3];
    std::uint32_t length;
    std::uint32_t timeoutMs;
};
static_assert(sizeof(DiagnosticUsbTransfer) == 20);
static_assert(offsetof(DiagnosticUsbTransfer, length) == 12 &&
              offsetof(DiagnosticUsbTransfer, timeoutMs) == 16);

struct DiagnosticDeviceId {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t totalLength;
    std::uint32_t vendorId;
    std::uint32_t productId;
    std::uint32_t p2;
};
static_assert(sizeof(DiagnosticDeviceId) == 20 && offsetof(DiagnosticDeviceId, productId) == 12);

// Property and notification descriptors: index at 8, a 68-byte descriptor at 20.
constexpr std::uint32_t kDiagnosticDescriptorLength = 68;
constexpr std::uint32_t kDiagnosticDescriptorRequestLength =
    kDiagnosticDataOffset + kDiagnosticDescriptorLength;

// ---------------------------------------------------------------------------
// Video stream requests: a 44-byte header, data from 44.
struct StreamHeader {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t streamHandle;
    std::uint32_t parameters[9];
};
static_assert(sizeof(StreamHeader) == 44 && offsetof(StreamHeader, parameters) == 8);
constexpr std::uint32_t kStreamDataOffset = 44;
constexpr std::uint32_t kStreamVersionOffset = 8;

// Open, propose format and set format.
struct StreamFormatRequest {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t streamHandle;
    std::uint16_t width;
    std::uint16_t height;
    std::uint8_t bitCount;
    std::uint8_t pad[3];
    std::uint32_t compression;  // 0: uncompressed
    std::uint32_t imageSize;
    std::uint32_t frameIntervalMs;
    std::uint32_t rest[4];
};
static_assert(sizeof(StreamFormatRequest) == 44);
static_assert(offsetof(StreamFormatRequest, height) == 10 &&
              offsetof(StreamFormatRequest, bitCount) == 12);
static_assert(offsetof(StreamFormatRequest, compression) == 16 &&
              offsetof(StreamFormatRequest, imageSize) == 20);
static_assert(offsetof(StreamFormatRequest, frameIntervalMs) == 24);

// Get and set state: the state at 8 (0 stop, 1 pause, 2 run).
struct StreamStateRequest {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t streamHandle;
    std::uint32_t state;
    std::uint32_t rest[8];
};
static_assert(sizeof(StreamStateRequest) == 44 && offsetof(StreamStateRequest, state) == 8);

struct StreamFormatInfo {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t streamHandle;
    std::uint16_t formatCount;  // out
    std::uint16_t formatIndex;  // in
    std::uint16_t granularityX;
    std::uint16_t granularityY;
    std::uint16_t minimumWidth;
    std::uint16_t minimumHeight;
    std::uint16_t maximumWidth;
    std::uint16_t maximumHeight;
    std::uint16_t width;
    std::uint16_t height;
    std::uint16_t bitCount;
    std::uint16_t pad;
    std::uint32_t compression;
    std::uint32_t imageSize;
    std::uint32_t frameIntervalMs;
};
static_assert(sizeof(StreamFormatInfo) == 44);
static_assert(offsetof(StreamFormatInfo, formatIndex) == 10 &&
              offsetof(StreamFormatInfo, granularityX) == 12);
static_assert(offsetof(StreamFormatInfo, minimumWidth) == 16 &&
              offsetof(StreamFormatInfo, maximumWidth) == 20);
static_assert(offsetof(StreamFormatInfo, width) == 24 &&
              offsetof(StreamFormatInfo, bitCount) == 28);
static_assert(offsetof(StreamFormatInfo, compression) == 32 &&
              offsetof(StreamFormatInfo, imageSize) == 36);
static_assert(offsetof(StreamFormatInfo, frameIntervalMs) == 40);

struct StreamDeviceId {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t streamHandle;
    std::uint32_t vendorId;
    std::uint32_t productId;
    std::uint32_t rest[7];
};
static_assert(sizeof(StreamDeviceId) == 44 && offsetof(StreamDeviceId, productId) == 12);

// Read: the data length at 8, the data area from 44.
struct StreamReadRequest {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t streamHandle;
    std::uint32_t dataLength;
    std::uint32_t rest[8];
};
static_assert(sizeof(StreamReadRequest) == 44 && offsetof(StreamReadRequest, dataLength) == 8);

// Every request the stream family hands to the stream interface also
// answers, in its last parameter, the status that stream request ended with
// (so a client can tell a read that timed out from one that failed).
constexpr std::uint32_t kStreamRequestStatusOffset = 40;

// What a read answers: the bytes of image at 44, and the stream's picture
// number and drop count after this frame.
struct StreamReadReply {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t streamHandle;
    std::uint32_t dataUsed;
    std::uint32_t pictureNumberLow;
    std::uint32_t pictureNumberHigh;
    std::uint32_t dropCountLow;
    std::uint32_t dropCountHigh;
    std::uint32_t rest[3];
    std::uint32_t requestStatus;
};
static_assert(sizeof(StreamReadReply) == 44 && offsetof(StreamReadReply, dataUsed) == 8);
static_assert(offsetof(StreamReadReply, dropCountLow) == 20 &&
              offsetof(StreamReadReply, requestStatus) == kStreamRequestStatusOffset);

// ---------------------------------------------------------------------------
// Video properties: a 28-byte header, data from 28.
struct PropertyHeader {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    GUID propertySet;
    std::uint32_t propertyId;
    std::uint32_t dataLengthOrEvent;  // data length, or the event handle of the notification codes
};
static_assert(sizeof(PropertyHeader) == 28);
static_assert(offsetof(PropertyHeader, propertySet) == 4 &&
              offsetof(PropertyHeader, propertyId) == 20);
static_assert(offsetof(PropertyHeader, dataLengthOrEvent) == 24);
constexpr std::uint32_t kPropertyDataOffset = 28;
constexpr std::uint32_t kPropertyVersionOffset = 4;

struct PropertyDeviceId {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t vendorId;
    std::uint32_t productId;
    std::uint8_t rest[16];
};
static_assert(sizeof(PropertyDeviceId) == 28 && offsetof(PropertyDeviceId, productId) == 8);

// ---------------------------------------------------------------------------
// PTP transport: a 28-byte header, data from 28.
struct PtpHeader {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t sessionId;
    std::uint32_t parameters[5];
};
static_assert(sizeof(PtpHeader) == 28 && offsetof(PtpHeader, parameters) == 8);
constexpr std::uint32_t kPtpDataOffset = 28;
constexpr std::uint32_t kPtpVersionOffset = 8;
constexpr std::uint32_t kPtpOpenSessionOffset = 8;

struct PtpTransfer {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t sessionId;
    std::uint16_t kind;  // 1, 2 or 3
    std::uint16_t word10;
    std::uint32_t word12;
    std::uint32_t word16;
    std::uint32_t dataLength;  // in: size of the data area; out: bytes returned
    std::uint32_t word24;
};
static_assert(sizeof(PtpTransfer) == 28);
static_assert(offsetof(PtpTransfer, word10) == 10 && offsetof(PtpTransfer, word12) == 12);
static_assert(offsetof(PtpTransfer, dataLength) == 20 && offsetof(PtpTransfer, word24) == 24);

struct PtpCommand {
    std::uint8_t moduleStatus;
    std::uint8_t reserved[3];
    std::uint32_t sessionId;
    std::uint32_t dataAreaSize;
    std::uint32_t dataLength;  // in: bytes to send; out: bytes returned
    std::uint32_t direction;   // 0: the library sends data
    std::uint8_t classRequest;
    std::uint8_t pad;
    std::uint16_t word22;
    std::uint32_t rest;
};
static_assert(sizeof(PtpCommand) == 28);
static_assert(offsetof(PtpCommand, dataAreaSize) == 8 && offsetof(PtpCommand, direction) == 16);
static_assert(offsetof(PtpCommand, classRequest) == 20 && offsetof(PtpCommand, word22) == 22);

// ---------------------------------------------------------------------------
// The connection record of the capture minidriver (IOCTL_INTERNAL_CONNECT).
// Every routine, the context and the device record travel as 32-bit tokens that
// the receiving side resolves through its table; 0 is none.
struct ConnectRecord {
    // In: the minidriver's.
    std::uint32_t deviceRequestCompletion;
    std::uint32_t streamRequestCompletion;
    std::uint32_t filterRegistration;
    std::uint32_t masterClockQuery;
    std::uint32_t propertyChange;
    std::uint32_t streamReceive;
    std::uint32_t minidriverContext;
    std::uint32_t interfaceVersion;  // must be 515
    std::uint32_t deviceEvent;
    // Out: the driver's.
    std::uint32_t receiveRequestBlock;
    std::uint32_t cancelRequestBlock;
    std::uint32_t requestBlockTimeout;
    std::uint32_t propertyWatch;
    std::uint32_t deviceRecord;
    std::uint32_t reserved;
};
static_assert(sizeof(ConnectRecord) == 60);
static_assert(offsetof(ConnectRecord, propertyChange) == 16 &&
              offsetof(ConnectRecord, minidriverContext) == 24);
static_assert(offsetof(ConnectRecord, interfaceVersion) == 28 &&
              offsetof(ConnectRecord, deviceEvent) == 32);
static_assert(offsetof(ConnectRecord, receiveRequestBlock) == 36 &&
              offsetof(ConnectRecord, propertyWatch) == 48);
static_assert(offsetof(ConnectRecord, deviceRecord) == 52);
constexpr std::uint32_t kConnectRecordLength = 60;

#pragma pack(pop)

// ---------------------------------------------------------------------------
// Minimum buffer lengths.

// The fixed part every buffer of the code must hold (header and the fixed
// fields the code reads or writes); 0 for a code that is not a user code.
constexpr std::uint32_t minimumLength(std::uint32_t code) {
    switch (code) {
        case IOCTL_CTI_VERSION:
        case IOCTL_CTI_OPEN:
        case IOCTL_CTI_CLOSE:
        case IOCTL_CTI_LOCK:
        case IOCTL_CTI_UNLOCK:
        case IOCTL_CTI_RESET:
        case IOCTL_CTI_ABORT_TASK:
            return sizeof(CommandHeader);
        case IOCTL_CTI_TRANSACTION:
            return kTransactionMinimumLength;

        case IOCTL_DEBUG_VERSION:
        case IOCTL_DEBUG_GET_FLAG:
        case IOCTL_DEBUG_SET_FLAG:
        case IOCTL_DEBUG_FLAG_NAME:
        case IOCTL_DEBUG_FLAG_BLOCK_NAME:
        case IOCTL_DEBUG_SET_INTERFACE:
        case IOCTL_DEBUG_USB_COMMAND:
        case IOCTL_DEBUG_USB_TRANSFER:
        case IOCTL_DEBUG_DEVICE_ID:
        case IOCTL_DEBUG_PROPERTY_INFORMATION:
            return sizeof(DiagnosticHeader);
        case IOCTL_DEBUG_PROPERTY_DESCRIPTOR:
        case IOCTL_DEBUG_NOTIFICATION_DESCRIPTOR:
            return kDiagnosticDescriptorRequestLength;

        case IOCTL_STREAM_VERSION:
        case IOCTL_STREAM_OPEN:
        case IOCTL_STREAM_CLOSE:
        case IOCTL_STREAM_GET_STATE:
        case IOCTL_STREAM_SET_STATE:
        case IOCTL_STREAM_FORMAT_INFO:
        case IOCTL_STREAM_PROPOSE_FORMAT:
        case IOCTL_STREAM_SET_FORMAT:
        case IOCTL_STREAM_DEVICE_ID:
        case IOCTL_STREAM_READ:
            return sizeof(StreamHeader);

        case IOCTL_VPI_VERSION:
        case IOCTL_VPI_DEVICE_ID:
        case IOCTL_VPI_PROPERTY_GET:
        case IOCTL_VPI_PROPERTY_SET:
        case IOCTL_VPI_NOTIFICATION_SET:
        case IOCTL_VPI_NOTIFICATION_CLEAR:
        case IOCTL_VPI_PROPERTY_DEFAULT:
        case IOCTL_VPI_ABORT_VFW:
            return sizeof(PropertyHeader);

        case IOCTL_PTP_VERSION:
        case IOCTL_PTP_OPEN:
        case IOCTL_PTP_CLOSE:
        case IOCTL_PTP_LOCK:
        case IOCTL_PTP_UNLOCK:
        case IOCTL_PTP_TRANSFER:
        case IOCTL_PTP_COMMAND:
        case IOCTL_PTP_WAIT_EVENT:
        case IOCTL_PTP_OPEN_WIA:
            return sizeof(PtpHeader);
        default:
            return 0;
    }
}

// Little-endian fields of request buffers and datasets at any offset: a
// buffer promises no alignment.
namespace fields {
inline void put16(std::uint8_t* b, std::size_t at, std::uint16_t v) { std::memcpy(b + at, &v, 2); }
inline void put32(std::uint8_t* b, std::size_t at, std::uint32_t v) { std::memcpy(b + at, &v, 4); }
inline std::uint16_t get16(const std::uint8_t* b, std::size_t at) {
    std::uint16_t v;
    std::memcpy(&v, b + at, 2);
    return v;
}
inline std::uint32_t get32(const std::uint8_t* b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b + at, 4);
    return v;
}
}  // namespace fields

namespace detail {
inline std::uint32_t readU16(const void* buffer, std::size_t offset) {
    std::uint16_t v;
    std::memcpy(&v, static_cast<const std::uint8_t*>(buffer) + offset, sizeof v);
    return v;
}
inline std::uint32_t readU32(const void* buffer, std::size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, static_cast<const std::uint8_t*>(buffer) + offset, sizeof v);
    return v;
}
}  // namespace detail

// The whole length a buffer of the code must have: the fixed part plus the data
// area its header announces. `buffer` must hold at least minimumLength(code)
// bytes. 64-bit, so a hostile length field cannot wrap.
inline std::uint64_t requiredLength(std::uint32_t code, const void* buffer) {
    const std::uint64_t fixed = minimumLength(code);
    switch (code) {
        case IOCTL_DEBUG_USB_COMMAND:
            return kDiagnosticDataOffset + std::uint64_t{detail::readU16(buffer, 16)};
        case IOCTL_DEBUG_USB_TRANSFER:
            return kDiagnosticDataOffset + std::uint64_t{detail::readU32(buffer, 12)};
        case IOCTL_STREAM_READ:
            return kStreamDataOffset + std::uint64_t{detail::readU32(buffer, 8)};
        case IOCTL_VPI_PROPERTY_GET:
        case IOCTL_VPI_PROPERTY_SET:
            return kPropertyDataOffset + std::uint64_t{detail::readU32(buffer, 24)};
        case IOCTL_PTP_TRANSFER:
            return kPtpDataOffset + std::uint64_t{detail::readU32(buffer, 20)};
        case IOCTL_PTP_COMMAND:
            return kPtpDataOffset + std::uint64_t{detail::readU32(buffer, 8)};
        default:
            return fixed;
    }
}

// Where each family's version request carries the 16-bit interface version.
constexpr std::uint32_t versionOffset(std::uint32_t versionCode) {
    switch (versionCode) {
        case IOCTL_CTI_VERSION:
            return kCommandVersionOffset;
        case IOCTL_DEBUG_VERSION:
            return offsetof(DiagnosticVersionReply, version);
        case IOCTL_STREAM_VERSION:
            return kStreamVersionOffset;
        case IOCTL_VPI_VERSION:
            return kPropertyVersionOffset;
        case IOCTL_PTP_VERSION:
            return kPtpVersionOffset;
        default:
            return 0;
    }
}

}  // namespace pav512
