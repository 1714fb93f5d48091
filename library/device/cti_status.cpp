// The command transport's status family and texts, its version, camera
// enumeration and the camera name, which need no session.
#include <cstring>
#include <new>
#include <vector>

#include "library/device/cti_internal.h"
#include "library/device/export_guard.h"
#include "pav512/guids.h"

namespace pavu {

CTISTATUS mapCtiResult(std::uint8_t result) {
    switch (result) {
        case 0x00:
            return CTISTATUS_SUCCESS;
        case 0x02:
        case 0x04:
        case 0x05:
            return CTISTATUS_TRANSPORT_FAILED;
        case 0x07:
            return CTISTATUS_CAMERA_IN_USE;
        case 0x30:
            return CTISTATUS_CAMERA_ERROR;
        case 0x31:
            return CTISTATUS_LOCK_TIMEDOUT;
        case 0x32:
            return CTISTATUS_LOCKED;
        case 0x33:
            return CTISTATUS_TASK_ABORT_FAILED;
        case 0x34:
            return CTISTATUS_COMMAND_FAILED;
        case 0x35:
            return CTISTATUS_BULK_FAILED;
        case 0x36:
            return CTISTATUS_TASK_ABORTED;
        case 0x37:
            return CTISTATUS_BUFFER_TOO_SMALL;
        case 0x80:
            return CTISTATUS_CAMERA_REMOVED;
        case 0x83:
            return CTISTATUS_TASK_PENDING;
        case 0xFF:
            return CTISTATUS_COMMAND_NOT_ATTEMPTED;
        default:
            return CTISTATUS_INVALID_STATUS;
    }
}

const char* ctiStatusName(CTISTATUS status) {
    switch (status) {
#define CTI_NAME(n) \
    case n:         \
        return #n;
        CTI_NAME(CTISTATUS_SUCCESS)
        CTI_NAME(CTISTATUS_INVALID_STATUS)
        CTI_NAME(CTISTATUS_BAD_PARAMETER)
        CTI_NAME(CTISTATUS_BUFFER_TOO_SMALL)
        CTI_NAME(CTISTATUS_BUFFER_TOO_LARGE)
        CTI_NAME(CTISTATUS_NULL_POINTER)
        CTI_NAME(CTISTATUS_MORE_DATA)
        CTI_NAME(CTISTATUS_BULK_FAILED)
        CTI_NAME(CTISTATUS_ALLOC_FAILED)
        CTI_NAME(CTISTATUS_IMAGE_CORRUPT)
        CTI_NAME(CTISTATUS_IMAGE_BAD_SIZE)
        CTI_NAME(CTISTATUS_TASK_INVALID)
        CTI_NAME(CTISTATUS_TASK_PENDING)
        CTI_NAME(CTISTATUS_TASK_ABORT_FAILED)
        CTI_NAME(CTISTATUS_TASK_ABORTED)
        CTI_NAME(CTISTATUS_INVALID_HANDLE)
        CTI_NAME(CTISTATUS_LOCKED)
        CTI_NAME(CTISTATUS_LOCK_TIMEDOUT)
        CTI_NAME(CTISTATUS_CAMERA_NOT_FOUND)
        CTI_NAME(CTISTATUS_CAMERA_IN_USE)
        CTI_NAME(CTISTATUS_CAMERA_REMOVED)
        CTI_NAME(CTISTATUS_CAMERA_ERROR)
        CTI_NAME(CTISTATUS_COMMAND_INVALID)
        CTI_NAME(CTISTATUS_COMMAND_FAILED)
        CTI_NAME(CTISTATUS_COMMAND_NOT_ATTEMPTED)
        CTI_NAME(CTISTATUS_TRANSPORT_FAILED)
        CTI_NAME(CTISTATUS_DRIVER_VERSION_MISMATCH)
#undef CTI_NAME
        default:
            return nullptr;
    }
}

namespace {

constexpr std::uint32_t kNameField = 32;

PAV_GUID deviceSet() {
    PAV_GUID g;
    static_assert(sizeof g == sizeof pav512::kPropertySetDevice);
    std::memcpy(&g, &pav512::kPropertySetDevice, sizeof g);
    return g;
}

// Runs `body` on a property handle of exactly that camera, closed again on
// every way out; no camera there: BAD_PARAMETER.
template <typename F>
CTISTATUS withPropertyHandle(std::uint8_t camera, F&& body) {
    PAVPI_HANDLE p = nullptr;
    if (PAVPI_HandleOpen(camera, &p) != PAVPI_STATUS_SUCCESS) return CTISTATUS_BAD_PARAMETER;
    CTISTATUS st = body(p);
    PAVPI_HandleClose(&p);
    return st;
}

}  // namespace

}  // namespace pavu

using namespace pavu;

extern "C" {

PAV512U_API CTISTATUS CtiGetVersion(uint32_t, uint16_t* version) {
    if (!version) return CTISTATUS_NULL_POINTER;
    *version = CTI_VERSION;
    return CTISTATUS_SUCCESS;
}

PAV512U_API CTISTATUS CtiGetErrorText(uint32_t, CTISTATUS status, char* text, uint32_t length) {
    if (!text) return CTISTATUS_NULL_POINTER;
    // No room even for the terminator: nothing is written.
    if (length == 0) return CTISTATUS_BUFFER_TOO_SMALL;
    return copyStatusText(ctiStatusName(status), text, length) ? CTISTATUS_SUCCESS
                                                               : CTISTATUS_INVALID_STATUS;
}

PAV512U_API CTISTATUS CtiCameraEnum(uint16_t vendorId, uint16_t productId, uint8_t capacity,
                                    uint8_t* cameraNumbers, uint8_t* count) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        if (capacity == 0) return CTISTATUS_BUFFER_TOO_SMALL;
        if (!cameraNumbers || !count) return CTISTATUS_NULL_POINTER;
        std::vector<std::uint32_t> numbers(capacity);
        std::uint32_t found = 0;
        if (PAVPI_CameraEnum(vendorId, productId, numbers.data(), capacity, &found) !=
            PAVPI_STATUS_SUCCESS)
            return CTISTATUS_CAMERA_ERROR;
        // Camera numbers travel as one byte here; 256 would read as "any
        // camera", so a camera of that number is not reported.
        std::uint8_t stored = 0;
        std::uint32_t counted = 0;
        for (std::uint32_t i = 0; i < found; ++i) {
            if (i < capacity) {
                if (numbers[i] > 0xFF) continue;
                cameraNumbers[stored++] = static_cast<std::uint8_t>(numbers[i]);
            }
            ++counted;
        }
        *count = static_cast<std::uint8_t>(counted > 0xFF ? 0xFF : counted);
        return CTISTATUS_SUCCESS;
    });
}

PAV512U_API CTISTATUS CtiCameraNameGet(uint8_t cameraNumber, uint32_t length, char* name) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        if (length == 0 || cameraNumber == 0) return CTISTATUS_BAD_PARAMETER;
        if (!name) return CTISTATUS_NULL_POINTER;
        return withPropertyHandle(cameraNumber, [&](PAVPI_HANDLE p) {
            char field[kNameField] = {};
            PAV_GUID set = deviceSet();
            if (PAVPI_PropertyGet(p, &set, pav512::kPropertyCameraName, kNameField, field) !=
                PAVPI_STATUS_SUCCESS)
                return CTISTATUS_BAD_PARAMETER;
            // The field is the driver's: its terminator is not relied on.
            std::size_t n = strnlen(field, kNameField);
            if (n >= length) return CTISTATUS_BUFFER_TOO_SMALL;
            std::memcpy(name, field, n);
            name[n] = '\0';
            return CTISTATUS_SUCCESS;
        });
    });
}

PAV512U_API CTISTATUS CtiCameraNameSet(uint8_t cameraNumber, uint32_t length, const char* name) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        if (length == 0 || cameraNumber == 0) return CTISTATUS_BAD_PARAMETER;
        if (!name) return CTISTATUS_NULL_POINTER;
        if (length >= kNameField) return CTISTATUS_BUFFER_TOO_LARGE;
        return withPropertyHandle(cameraNumber, [&](PAVPI_HANDLE p) {
            // The name up to its terminator or `length`, zero-filled.
            char field[kNameField] = {};
            std::memcpy(field, name, strnlen(name, length));
            PAV_GUID set = deviceSet();
            if (PAVPI_PropertySet(p, &set, pav512::kPropertyCameraName, kNameField, field) !=
                PAVPI_STATUS_SUCCESS)
                return CTISTATUS_BAD_PARAMETER;
            return CTISTATUS_SUCCESS;
        });
    });
}

}  // extern "C"
