// The PACI status family: what the PTP client's statuses become, and the text
// table (each text is the status's name).
#include "library/stills/paci_internal.h"

namespace paci {

PACI_STATUS mapPtpStatus(std::uint32_t ptp) {
    switch (ptp) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
            return ptp;
        case 6:
            return PACI_STATUS_MORE_DATA;
        case 7:
            return PACI_STATUS_BULK_FAILED;
        case 8:
            return PACI_STATUS_ALLOC_FAILED;
        case 11:
            return PACI_STATUS_TASK_INVALID;
        case 12:
            return PACI_STATUS_TASK_PENDING;
        case 13:
            return PACI_STATUS_TASK_ABORT_FAILED;
        case 14:
            return PACI_STATUS_TASK_ABORTED;
        case 16:
            return PACI_STATUS_LOCKED;
        case 17:
            return PACI_STATUS_TIMEDOUT;
        case 18:
            return PACI_STATUS_CAMERA_NOT_FOUND;
        case 19:
            return PACI_STATUS_IN_USE;
        case 20:
            return 17;  // the camera went away: the video-property family's CAMERA_REMOVED
        case 21:
            return PACI_STATUS_CAMERA_ERROR;
        case 22:
            return PACI_STATUS_COMMAND_INVALID;
        case 23:
            return PACI_STATUS_COMMAND_FAILED;
        case 24:
            return PACI_STATUS_COMMAND_NOT_ATTEMPTED;
        case 25:
            return PACI_STATUS_TRANSPORT_FAILED;
        case 26:
            return PACI_STATUS_DRIVER_VERSION_MISMATCH;
        case 28:
            return PACI_STATUS_NOT_LOCKED;
        default:
            // 9, 10, 15, 27, anything above 28 and 0xF0000000 + response code.
            return ptp;
    }
}

const char* statusName(PACI_STATUS status) {
    switch (status) {
#define PACI_NAME(n) \
    case n:          \
        return #n;
        PACI_NAME(PACI_STATUS_SUCCESS)
        PACI_NAME(PACI_STATUS_INVALID_STATUS)
        PACI_NAME(PACI_STATUS_BAD_PARAMETER)
        PACI_NAME(PACI_STATUS_BUFFER_TOO_SMALL)
        PACI_NAME(PACI_STATUS_BUFFER_TOO_LARGE)
        PACI_NAME(PACI_STATUS_NULL_POINTER)
        PACI_NAME(PACI_STATUS_ALLOC_FAILED)
        PACI_NAME(PACI_STATUS_DRIVER_VERSION_MISMATCH)
        PACI_NAME(PACI_STATUS_ALREADY_LOCKED)
        PACI_NAME(PACI_STATUS_NOT_IMPLEMENTED)
        PACI_NAME(PACI_STATUS_CAMERA_NOT_FOUND)
        PACI_NAME(PACI_STATUS_CAMERA_ERROR)
        PACI_NAME(PACI_STATUS_BAD_GUID)
        PACI_NAME(PACI_STATUS_BAD_ID)
        PACI_NAME(PACI_STATUS_IN_USE)
        PACI_NAME(PACI_STATUS_BULK_FAILED)
        PACI_NAME(PACI_STATUS_BLOCK_CORRUPT)
        PACI_NAME(PACI_STATUS_BLOCK_BAD_SIZE)
        PACI_NAME(PACI_STATUS_TASK_INVALID)
        PACI_NAME(PACI_STATUS_TASK_PENDING)
        PACI_NAME(PACI_STATUS_TASK_ABORT_FAILED)
        PACI_NAME(PACI_STATUS_TASK_ABORTED)
        PACI_NAME(PACI_STATUS_LOCKED)
        PACI_NAME(PACI_STATUS_TIMEDOUT)
        PACI_NAME(PACI_STATUS_COMMAND_INVALID)
        PACI_NAME(PACI_STATUS_COMMAND_FAILED)
        PACI_NAME(PACI_STATUS_COMMAND_NOT_ATTEMPTED)
        PACI_NAME(PACI_STATUS_TRANSPORT_FAILED)
        PACI_NAME(PACI_STATUS_NOT_LOCKED)
        PACI_NAME(PACI_STATUS_BAD_PROP_STREAM)
        PACI_NAME(PACI_STATUS_PROP_NOT_FOUND)
        PACI_NAME(PACI_STATUS_BAD_BUFFER_LENGTH)
        PACI_NAME(PACI_STATUS_PROP_READ_ONLY)
        PACI_NAME(PACI_STATUS_BLOCK_TRANSFER_IN_PROGRESS)
        PACI_NAME(PACI_STATUS_NO_CURRENT_BLOCK_TRANSFER)
        PACI_NAME(PACI_STATUS_DLL_LOAD_ERROR)
        PACI_NAME(PACI_STATUS_NO_PREVIEW)
        PACI_NAME(PACI_STATUS_SCALE_FAILED)
        PACI_NAME(PACI_STATUS_DECODE_FAILED)
#undef PACI_NAME
        default:
            return nullptr;
    }
}

}  // namespace paci
