// The still camera interface over the library's PTP client.
#include "library/stills/paci_ptp.h"

#include "library/device/ptp_internal.h"
#include "pav512u/ptp.h"

namespace paci {
namespace {

PTP_HANDLE ptp(PtpChannel c) { return static_cast<PTP_HANDLE>(c); }

constexpr std::uint8_t kClassRequestCancel = 0x64;
constexpr std::uint16_t kCancelCode = 0x4001;

}  // namespace

std::uint32_t ptpOpen(std::uint32_t camera, bool pictureService, PtpChannel* channel,
                      std::uint32_t* opened, std::uint32_t* connection) {
    PTP_HANDLE h = nullptr;
    std::uint8_t number = 0;
    PTPSTATUS st = pavu::ptpOpen(static_cast<std::uint8_t>(camera), &number, &h,
                                 pictureService ? pavu::PtpConnect::PictureService
                                                : pavu::PtpConnect::Plain);
    *channel = st == PTPSTATUS_SUCCESS ? h : nullptr;
    *opened = number;
    *connection = st == PTPSTATUS_SUCCESS ? pavu::ptpSessionIdentifier(h) : 0;
    return st;
}

std::uint32_t ptpClose(PtpChannel channel) { return PTPHandleClose(ptp(channel)); }

std::uint32_t ptpLock(PtpChannel channel, std::uint32_t milliseconds) {
    return PTPHandleLock(ptp(channel), milliseconds);
}

std::uint32_t ptpUnlock(PtpChannel channel) { return PTPHandleUnlock(ptp(channel)); }

std::uint32_t ptpTransfer(PtpChannel channel, PtpPhase* phase, std::uint32_t length, void* buffer) {
    PtpTransferBlock b{};
    b.kind = phase->kind;
    b.code = phase->code;
    b.sessionNumber = phase->session;
    b.totalLength = phase->total;
    b.chunkLength = phase->chunkLength;
    b.chunkOffset = phase->chunkOffset;
    PTPSTATUS st = PTPTransfer(ptp(channel), &b, length, buffer);
    phase->kind = b.kind;
    phase->code = b.code;
    phase->session = b.sessionNumber;
    phase->total = b.totalLength;
    phase->chunkLength = b.chunkLength;
    phase->chunkOffset = b.chunkOffset;
    return st;
}

std::uint32_t ptpCancel(PtpChannel channel, std::uint32_t session) {
    std::uint8_t data[6] = {static_cast<std::uint8_t>(kCancelCode & 0xFF),
                            static_cast<std::uint8_t>(kCancelCode >> 8),
                            static_cast<std::uint8_t>(session),
                            static_cast<std::uint8_t>(session >> 8),
                            static_cast<std::uint8_t>(session >> 16),
                            static_cast<std::uint8_t>(session >> 24)};
    PtpCommandBlock b{};
    b.requestCode = kClassRequestCancel;
    b.direction = 0;
    b.commandValue = 0;
    b.dataLength = sizeof data;
    return PTPCommand(ptp(channel), &b, sizeof data, data);
}

}  // namespace paci
