// The still camera interface's use of the PTP client: opening a channel (plain
// or picture-service form) with its connection identifier, the lock, one phase
// of a transaction and the class request Cancel. Statuses are the PTP
// client's own (PTPSTATUS_* and 0xF0000000 + response code), not yet mapped.
#pragma once

#include <cstdint>

namespace paci {

using PtpChannel = void*;

constexpr std::uint32_t kPtpSuccess = 0;
constexpr std::uint32_t kPtpInvalidHandle = 15;

enum PhaseKind : std::uint16_t { kPhaseCommand = 1, kPhaseData = 2, kPhaseResponse = 3 };

// What a phase sends and what the driver writes back into it.
struct PtpPhase {
    std::uint16_t kind = 0;
    std::uint16_t code = 0;  // operation; after a response phase the response code
    std::uint32_t session = 0;
    std::uint32_t total = 0;
    std::uint32_t chunkLength = 0;
    std::uint32_t chunkOffset = 0;
};

// `pictureService`: the imaging service's connect, which passes over a camera
// that refuses it. `opened` receives the number of the camera opened.
std::uint32_t ptpOpen(std::uint32_t camera, bool pictureService, PtpChannel* channel,
                      std::uint32_t* opened, std::uint32_t* connection);
std::uint32_t ptpClose(PtpChannel channel);
std::uint32_t ptpLock(PtpChannel channel, std::uint32_t milliseconds);
std::uint32_t ptpUnlock(PtpChannel channel);
std::uint32_t ptpTransfer(PtpChannel channel, PtpPhase* phase, std::uint32_t length, void* buffer);
// The class request 0x64 Cancel: cancel code 0x4001 and the session number.
std::uint32_t ptpCancel(PtpChannel channel, std::uint32_t session);

}  // namespace paci
