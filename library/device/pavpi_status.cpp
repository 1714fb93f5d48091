#include <cstring>

#include "library/device/pavpi_internal.h"

namespace pavu {

PAVPI_STATUS mapPavpiResult(std::uint8_t result) {
    switch (result) {
        case 0x00:
        case 0xFF:
            return PAVPI_STATUS_SUCCESS;
        case 0x01:
        case 0x02:
        case 0x03:
            return PAVPI_STATUS_BAD_PARAMETER;
        case 0x04:
            return PAVPI_STATUS_BUFFER_TOO_SMALL;
        case 0x05:
            return PAVPI_STATUS_BUFFER_TOO_LARGE;
        case 0x20:
            return PAVPI_STATUS_BAD_GUID;
        case 0x21:
            return PAVPI_STATUS_BAD_ID;
        case 0x22:
            return PAVPI_STATUS_IN_USE;
        case 0x80:
            return PAVPI_STATUS_CAMERA_REMOVED;
        default:
            return PAVPI_STATUS_INVALID_STATUS;
    }
}

const char* pavpiStatusName(PAVPI_STATUS status) {
    switch (status) {
#define PAVPI_NAME(n) \
    case n:           \
        return #n;
        PAVPI_NAME(PAVPI_STATUS_SUCCESS)
        PAVPI_NAME(PAVPI_STATUS_INVALID_STATUS)
        PAVPI_NAME(PAVPI_STATUS_BAD_PARAMETER)
        PAVPI_NAME(PAVPI_STATUS_BUFFER_TOO_SMALL)
        PAVPI_NAME(PAVPI_STATUS_BUFFER_TOO_LARGE)
        PAVPI_NAME(PAVPI_STATUS_NULL_POINTER)
        PAVPI_NAME(PAVPI_STATUS_ALLOC_FAILED)
        PAVPI_NAME(PAVPI_STATUS_DRIVER_VERSION_MISMATCH)
        PAVPI_NAME(PAVPI_STATUS_ALREADY_LOCKED)
        PAVPI_NAME(PAVPI_STATUS_NOT_IMPLEMENTED)
        PAVPI_NAME(PAVPI_STATUS_CAMERA_NOT_FOUND)
        PAVPI_NAME(PAVPI_STATUS_CAMERA_REMOVED)
        PAVPI_NAME(PAVPI_STATUS_CAMERA_ERROR)
        PAVPI_NAME(PAVPI_STATUS_BAD_GUID)
        PAVPI_NAME(PAVPI_STATUS_BAD_ID)
        PAVPI_NAME(PAVPI_STATUS_IN_USE)
#undef PAVPI_NAME
        default:
            return nullptr;
    }
}

}  // namespace pavu
