// The PTP client's status family: the mapping of a request's result byte and
// the texts, which are the names themselves.
#include "library/device/ptp_internal.h"

namespace pavu {

PTPSTATUS mapPtpResult(std::uint8_t result) {
    switch (result) {
        case 0x00:
            return PTPSTATUS_SUCCESS;
        case 0x02:
        case 0x04:
        case 0x05:
            return PTPSTATUS_TRANSPORT_FAILED;
        case 0x07:
            return PTPSTATUS_CAMERA_IN_USE;
        case 0x30:
            return PTPSTATUS_CAMERA_ERROR;
        case 0x31:
            return PTPSTATUS_LOCK_TIMEDOUT;
        case 0x32:
            return PTPSTATUS_LOCKED;
        case 0x33:
            return PTPSTATUS_TASK_ABORT_FAILED;
        case 0x34:
            return PTPSTATUS_COMMAND_FAILED;
        case 0x35:
            return PTPSTATUS_BULK_FAILED;
        case 0x36:
            return PTPSTATUS_TASK_ABORTED;
        case 0x37:
            return PTPSTATUS_BUFFER_TOO_SMALL;
        case 0x38:
            return PTPSTATUS_NOT_LOCKED;
        case 0x80:
            return PTPSTATUS_CAMERA_REMOVED;
        case 0x83:
            return PTPSTATUS_TASK_PENDING;
        case 0xFF:
            return PTPSTATUS_COMMAND_NOT_ATTEMPTED;
        default:
            return PTPSTATUS_INVALID_STATUS;
    }
}

const char* ptpStatusName(PTPSTATUS status) {
    switch (status) {
#define PTP_NAME(n) \
    case n:         \
        return #n;
        PTP_NAME(PTPSTATUS_SUCCESS)
        PTP_NAME(PTPSTATUS_INVALID_STATUS)
        PTP_NAME(PTPSTATUS_BAD_PARAMETER)
        PTP_NAME(PTPSTATUS_BUFFER_TOO_SMALL)
        PTP_NAME(PTPSTATUS_BUFFER_TOO_LARGE)
        PTP_NAME(PTPSTATUS_NULL_POINTER)
        PTP_NAME(PTPSTATUS_MORE_DATA)
        PTP_NAME(PTPSTATUS_BULK_FAILED)
        PTP_NAME(PTPSTATUS_ALLOC_FAILED)
        PTP_NAME(PTPSTATUS_IMAGE_CORRUPT)
        PTP_NAME(PTPSTATUS_IMAGE_BAD_SIZE)
        PTP_NAME(PTPSTATUS_TASK_INVALID)
        PTP_NAME(PTPSTATUS_TASK_PENDING)
        PTP_NAME(PTPSTATUS_TASK_ABORT_FAILED)
        PTP_NAME(PTPSTATUS_TASK_ABORTED)
        PTP_NAME(PTPSTATUS_INVALID_HANDLE)
        PTP_NAME(PTPSTATUS_LOCKED)
        PTP_NAME(PTPSTATUS_LOCK_TIMEDOUT)
        PTP_NAME(PTPSTATUS_CAMERA_NOT_FOUND)
        PTP_NAME(PTPSTATUS_CAMERA_IN_USE)
        PTP_NAME(PTPSTATUS_CAMERA_REMOVED)
        PTP_NAME(PTPSTATUS_CAMERA_ERROR)
        PTP_NAME(PTPSTATUS_COMMAND_INVALID)
        PTP_NAME(PTPSTATUS_COMMAND_FAILED)
        PTP_NAME(PTPSTATUS_COMMAND_NOT_ATTEMPTED)
        PTP_NAME(PTPSTATUS_TRANSPORT_FAILED)
        PTP_NAME(PTPSTATUS_DRIVER_VERSION_MISMATCH)
        PTP_NAME(PTPSTATUS_NOT_LOCKED)
#undef PTP_NAME
        default:
            return nullptr;
    }
}

}  // namespace pavu
