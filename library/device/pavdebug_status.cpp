// The diagnostic interface's status family, its mapping and its texts.
#include <cstring>

#include "library/device/export_guard.h"
#include "library/device/pavdebug_internal.h"

namespace pavu {

PAVDEBUG_STATUS mapDebugResult(std::uint8_t result) {
    switch (result) {
        case 0x00:
            return PAVDEBUG_STATUS_SUCCESS;
        case 0x03:
            return PAVDEBUG_STATUS_BAD_PARAMETER;
        case 0x04:
            return PAVDEBUG_STATUS_BUFFER_TOO_SMALL;
        case 0x06:
            return PAVDEBUG_STATUS_ALLOC_FAILED;
        case 0x40:
            return PAVDEBUG_STATUS_UNKNOWN_FLAG_BLOCK;
        case 0x41:
            return PAVDEBUG_STATUS_UNKNOWN_FLAG;
        case 0x42:
            return PAVDEBUG_STATUS_RELEASE_DRIVER;
        case 0x80:
            return PAVDEBUG_STATUS_DEVICE_REMOVED;
        case 0x81:
            return PAVDEBUG_STATUS_INVALID_HANDLE;
        case 0x82:
            return PAVDEBUG_STATUS_VERSION_MISMATCH;
        default:
            return PAVDEBUG_STATUS_OPERATION_FAILED;
    }
}

const char* debugStatusName(PAVDEBUG_STATUS status) {
    switch (status) {
#define DEBUG_NAME(n) \
    case n:           \
        return #n;
        DEBUG_NAME(PAVDEBUG_STATUS_SUCCESS)
        DEBUG_NAME(PAVDEBUG_STATUS_BAD_PARAMETER)
        DEBUG_NAME(PAVDEBUG_STATUS_BUFFER_TOO_SMALL)
        DEBUG_NAME(PAVDEBUG_STATUS_NOT_IMPLEMENTED)
        DEBUG_NAME(PAVDEBUG_STATUS_ALLOC_FAILED)
        DEBUG_NAME(PAVDEBUG_STATUS_OPERATION_FAILED)
        DEBUG_NAME(PAVDEBUG_STATUS_DRIVER_NOT_FOUND)
        DEBUG_NAME(PAVDEBUG_STATUS_DEVICE_NOT_FOUND)
        DEBUG_NAME(PAVDEBUG_STATUS_DEVICE_REMOVED)
        DEBUG_NAME(PAVDEBUG_STATUS_INVALID_HANDLE)
        DEBUG_NAME(PAVDEBUG_STATUS_RELEASE_DRIVER)
        DEBUG_NAME(PAVDEBUG_STATUS_UNKNOWN_FLAG)
        DEBUG_NAME(PAVDEBUG_STATUS_UNKNOWN_CODE)
        DEBUG_NAME(PAVDEBUG_STATUS_VERSION_MISMATCH)
        DEBUG_NAME(PAVDEBUG_STATUS_UNKNOWN_FLAG_BLOCK)
#undef DEBUG_NAME
        default:
            return nullptr;
    }
}

}  // namespace pavu

extern "C" {

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetStatusText(PAVDEBUG_STATUS status, char* text,
                                                   uint32_t length) {
    if (!text) return PAVDEBUG_STATUS_BAD_PARAMETER;
    const char* name = pavu::debugStatusName(status);
    if (!name) return PAVDEBUG_STATUS_UNKNOWN_CODE;
    std::size_t n = std::strlen(name);
    // Too small: the buffer is left as it was.
    if (length < n + 1) return PAVDEBUG_STATUS_BUFFER_TOO_SMALL;
    std::memcpy(text, name, n + 1);
    return PAVDEBUG_STATUS_SUCCESS;
}

}  // extern "C"
