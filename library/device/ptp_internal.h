// What the rest of the library (the still-camera interface) uses of the PTP
// client beyond its exports.
#pragma once

#include <cstdint>

#include "pav512u/ptp.h"

namespace pavu {

// Which connect request an open sends.
enum class PtpConnect {
    Plain,           // 0x221004; a camera that refuses ends the open
    PictureService,  // 0x221020; a camera that refuses is passed over for the next
};

// PTPHandleOpen with the connect variant chosen.
PTPSTATUS ptpOpen(std::uint8_t cameraNumber, std::uint8_t* cameraOpened, PTP_HANDLE* handle,
                  PtpConnect variant);
// The session identifier the driver's connect returned (0 for a handle that
// is not valid): the PTP session's connection identifier.
std::uint32_t ptpSessionIdentifier(PTP_HANDLE handle);

// The result byte of a PTP-family request as a PTP status, and the names.
PTPSTATUS mapPtpResult(std::uint8_t result);
const char* ptpStatusName(PTPSTATUS status);

// Library unload: closes every PTP handle still open.
void ptpDetach();

}  // namespace pavu
