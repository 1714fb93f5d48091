// The PAVDebug_* exports: diagnostic requests on raw control channels, the
// driver's version and flags through the first camera, and the camera-number
// registry.
#include <cstring>
#include <new>

#include "library/device/device_registry.h"
#include "library/device/export_guard.h"
#include "library/device/pavdebug_internal.h"
#include "library/device/request.h"
#include "pav512/buffers.h"

namespace pavu {
namespace {

// Blocks below this number are the library's own, which this build keeps none of.
constexpr std::uint32_t kFirstDriverFlagBlock = 5;
constexpr char kVersionText[] = "2-03 build 05";
constexpr std::uint32_t kMaxDebugCamera = 255;

bool invalidChannel(HANDLE channel) {
    return channel == INVALID_HANDLE_VALUE || channel == nullptr;
}

struct Params {
    std::uint32_t p0 = 0, p1 = 0, p2 = 0;
};

// One diagnostic request: the 20-byte header with the parameters, then the
// payload; parameters and payload come back to the caller whatever the
// status.
PAVDEBUG_STATUS debugRequest(HANDLE channel, DWORD code, Params* params, void* payload,
                             std::uint32_t payloadLength) {
    const std::uint64_t total = std::uint64_t{pav512::kDiagnosticDataOffset} + payloadLength;
    if (total > 0xFFFFFFFFull) return PAVDEBUG_STATUS_BAD_PARAMETER;
    auto* buffer = new (std::nothrow) std::uint8_t[total]();
    if (!buffer) return PAVDEBUG_STATUS_ALLOC_FAILED;
    pav512::DiagnosticHeader header{};
    header.totalLength = static_cast<std::uint32_t>(total);
    header.p0 = params->p0;
    header.p1 = params->p1;
    header.p2 = params->p2;
    std::memcpy(buffer, &header, sizeof header);
    if (payloadLength) std::memcpy(buffer + pav512::kDiagnosticDataOffset, payload, payloadLength);
    std::uint8_t result = sendRequest(channel, code, buffer, static_cast<DWORD>(total));
    std::memcpy(&header, buffer, sizeof header);
    params->p0 = header.p0;
    params->p1 = header.p1;
    params->p2 = header.p2;
    if (payloadLength) std::memcpy(payload, buffer + pav512::kDiagnosticDataOffset, payloadLength);
    delete[] buffer;
    return mapDebugResult(result);
}

// Which channel a request goes on.
enum class Channel {
    Given,              // the caller's; invalid: INVALID_HANDLE
    FirstIfInvalid,     // the caller's, or the first camera for this request
    FirstCamera,        // always the first camera, for this request
};

PAVDEBUG_STATUS onChannel(Channel rule, HANDLE channel, DWORD code, Params* params, void* payload,
                          std::uint32_t payloadLength) {
    const bool own = rule == Channel::FirstCamera ||
                     (rule == Channel::FirstIfInvalid && invalidChannel(channel));
    if (!own) {
        if (invalidChannel(channel)) return PAVDEBUG_STATUS_INVALID_HANDLE;
        return debugRequest(channel, code, params, payload, payloadLength);
    }
    HANDLE first = INVALID_HANDLE_VALUE;
    if (!openControlChannel(&first, 1, true, nullptr)) return PAVDEBUG_STATUS_DRIVER_NOT_FOUND;
    PAVDEBUG_STATUS st = debugRequest(first, code, params, payload, payloadLength);
    CloseHandle(first);
    return st;
}

PAVDEBUG_STATUS usbCommand(HANDLE channel, std::uint32_t direction, std::uint8_t request,
                           std::uint16_t value, void* buffer, std::uint16_t length) {
    if (length && !buffer) return PAVDEBUG_STATUS_BAD_PARAMETER;
    // Direction at 8; request, value at 12; length, index (0) at 16.
    Params p;
    p.p0 = direction;
    p.p1 = std::uint32_t{request} | (std::uint32_t{value} << 16);
    p.p2 = length;
    return onChannel(Channel::Given, channel, pav512::IOCTL_DEBUG_USB_COMMAND, &p, buffer, length);
}

PAVDEBUG_STATUS descriptor(DWORD code, HANDLE channel, std::uint32_t index, void* buffer,
                           std::uint32_t length) {
    if (!buffer) return PAVDEBUG_STATUS_BAD_PARAMETER;
    Params p;
    p.p0 = index;
    return onChannel(Channel::FirstIfInvalid, channel, code, &p, buffer, length);
}

}  // namespace
}  // namespace pavu

using namespace pavu;

extern "C" {

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetVersion(uint16_t* version, uint32_t* build, char* text,
                                                uint32_t textLength) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        Params p;
        PAVDEBUG_STATUS st =
            onChannel(Channel::FirstCamera, nullptr, pav512::IOCTL_DEBUG_VERSION, &p, nullptr, 0);
        if (st != PAVDEBUG_STATUS_SUCCESS) return st;
        if (p.p0 != 0 || (p.p1 & 0xFFFF) != PAVDEBUG_VERSION) return PAVDEBUG_STATUS_VERSION_MISMATCH;
        if (version) *version = PAVDEBUG_VERSION;
        if (build) *build = 0;
        if (text) {
            if (textLength < sizeof kVersionText) return PAVDEBUG_STATUS_BUFFER_TOO_SMALL;
            std::memcpy(text, kVersionText, sizeof kVersionText);
        }
        return PAVDEBUG_STATUS_SUCCESS;
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_EnumDevices(uint32_t* cameraNumbers, uint32_t capacity,
                                                 uint32_t* count) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (!count || (capacity && !cameraNumbers)) return PAVDEBUG_STATUS_BAD_PARAMETER;
        std::uint32_t n = 0;
        DWORD from = 1;
        while (from <= kMaxCameraNumber) {
            HANDLE channel = INVALID_HANDLE_VALUE;
            DWORD found = 0;
            if (!openControlChannel(&channel, from, true, &found)) break;
            CloseHandle(channel);
            if (n < capacity) cameraNumbers[n] = found;
            ++n;
            from = found + 1;
        }
        *count = n;
        return PAVDEBUG_STATUS_SUCCESS;
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_OpenDevice(uint32_t cameraNumber, PAVDEBUG_CHANNEL* channel) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (!channel) return PAVDEBUG_STATUS_BAD_PARAMETER;
        *channel = PAVDEBUG_INVALID_CHANNEL;
        if (cameraNumber == 0 || cameraNumber > kMaxDebugCamera) return PAVDEBUG_STATUS_BAD_PARAMETER;
        HANDLE opened = INVALID_HANDLE_VALUE;
        if (!openControlChannel(&opened, cameraNumber, false, nullptr))
            return PAVDEBUG_STATUS_DEVICE_NOT_FOUND;
        *channel = opened;
        return PAVDEBUG_STATUS_SUCCESS;
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_CloseDevice(PAVDEBUG_CHANNEL* channel) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (!channel) return PAVDEBUG_STATUS_BAD_PARAMETER;
        HANDLE h = *channel;
        if (invalidChannel(h)) return PAVDEBUG_STATUS_INVALID_HANDLE;
        // Only a channel is closed here: an event or mutex of the caller's
        // that was passed by mistake is left alone.
        void* file = uhandle::reference(h, uhandle::Kind::File);
        if (!file) return PAVDEBUG_STATUS_INVALID_HANDLE;
        ObfDereferenceObject(file);
        if (!CloseHandle(h)) return PAVDEBUG_STATUS_INVALID_HANDLE;
        *channel = PAVDEBUG_INVALID_CHANNEL;
        return PAVDEBUG_STATUS_SUCCESS;
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_DeviceIDGet(PAVDEBUG_CHANNEL channel, uint32_t* vendorId,
                                                 uint32_t* productId) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (invalidChannel(channel)) return PAVDEBUG_STATUS_INVALID_HANDLE;
        if (!vendorId || !productId) return PAVDEBUG_STATUS_BAD_PARAMETER;
        Params p;
        PAVDEBUG_STATUS st =
            onChannel(Channel::Given, channel, pav512::IOCTL_DEBUG_DEVICE_ID, &p, nullptr, 0);
        if (st == PAVDEBUG_STATUS_SUCCESS) {
            *vendorId = p.p0;
            *productId = p.p1;
        }
        return st;
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetConnectionString(uint32_t cameraNumber, char* path,
                                                         uint32_t length) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (!path) return PAVDEBUG_STATUS_BAD_PARAMETER;
        if (length < kPathRoom) return PAVDEBUG_STATUS_BUFFER_TOO_SMALL;
        char found[kPathRoom];
        if (pathOfCameraNumber(cameraNumber, found, sizeof found) == 0)
            return PAVDEBUG_STATUS_OPERATION_FAILED;
        std::memcpy(path, found, strnlen(found, kPathRoom - 1) + 1);
        path[kPathRoom - 1] = '\0';
        return PAVDEBUG_STATUS_SUCCESS;
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetConnectionID(uint32_t* cameraNumber, const char* path) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (!cameraNumber || !path) return PAVDEBUG_STATUS_BAD_PARAMETER;
        *cameraNumber = numberForPath(path);
        return *cameraNumber ? PAVDEBUG_STATUS_SUCCESS : PAVDEBUG_STATUS_OPERATION_FAILED;
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_USB_Set_Interface(PAVDEBUG_CHANNEL channel,
                                                       uint8_t interfaceNumber,
                                                       uint8_t alternateSetting) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        Params p;
        p.p0 = std::uint32_t{interfaceNumber} | (std::uint32_t{alternateSetting} << 8);
        return onChannel(Channel::Given, channel, pav512::IOCTL_DEBUG_SET_INTERFACE, &p, nullptr, 0);
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_USB_Command(PAVDEBUG_CHANNEL channel, uint32_t direction,
                                                 uint8_t request, uint16_t value, void* buffer,
                                                 uint16_t length) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        return usbCommand(channel, direction, request, value, buffer, length);
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_Command(PAVDEBUG_CHANNEL channel, uint32_t direction,
                                             uint8_t request, uint16_t value, void* buffer,
                                             uint16_t length) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        return usbCommand(channel, direction, request, value, buffer, length);
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_USB_Transfer(PAVDEBUG_CHANNEL channel, uint8_t endpoint,
                                                  void* buffer, uint32_t length,
                                                  uint32_t timeoutMs) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (invalidChannel(channel)) return PAVDEBUG_STATUS_INVALID_HANDLE;
        if (length && !buffer) return PAVDEBUG_STATUS_BAD_PARAMETER;
        Params p;
        p.p0 = endpoint;
        p.p1 = length;
        p.p2 = timeoutMs;
        return onChannel(Channel::Given, channel, pav512::IOCTL_DEBUG_USB_TRANSFER, &p, buffer,
                         length);
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetFlagBlockName(uint32_t block, char* name, uint32_t length) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (!name) return PAVDEBUG_STATUS_BAD_PARAMETER;
        if (block < kFirstDriverFlagBlock) return PAVDEBUG_STATUS_RELEASE_DRIVER;
        Params p;
        p.p0 = block - kFirstDriverFlagBlock;
        return onChannel(Channel::FirstCamera, nullptr, pav512::IOCTL_DEBUG_FLAG_BLOCK_NAME, &p,
                         name, length);
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetFlagName(uint32_t block, uint32_t flag, char* name,
                                                 uint32_t length) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (name && length) name[0] = '\0';
        if (block < kFirstDriverFlagBlock) return PAVDEBUG_STATUS_RELEASE_DRIVER;
        if (!name) return PAVDEBUG_STATUS_SUCCESS;
        Params p;
        p.p0 = block - kFirstDriverFlagBlock;
        p.p1 = flag;
        return onChannel(Channel::FirstCamera, nullptr, pav512::IOCTL_DEBUG_FLAG_NAME, &p, name,
                         length);
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetFlagInfo(uint32_t block, uint32_t flag, uint32_t* value) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (block < kFirstDriverFlagBlock) return PAVDEBUG_STATUS_RELEASE_DRIVER;
        Params p;
        p.p0 = block - kFirstDriverFlagBlock;
        p.p1 = flag;
        PAVDEBUG_STATUS st =
            onChannel(Channel::FirstCamera, nullptr, pav512::IOCTL_DEBUG_FLAG_NAME, &p, nullptr, 0);
        if (st != PAVDEBUG_STATUS_SUCCESS || !value) return st;
        // The flag's own parameters, as the name request returned them.
        st = onChannel(Channel::FirstCamera, nullptr, pav512::IOCTL_DEBUG_GET_FLAG, &p, nullptr, 0);
        if (st == PAVDEBUG_STATUS_SUCCESS) *value = p.p2;
        return st;
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_SetFlagInfo(uint32_t block, uint32_t flag, uint32_t value) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (block < kFirstDriverFlagBlock) return PAVDEBUG_STATUS_RELEASE_DRIVER;
        Params p;
        p.p0 = block - kFirstDriverFlagBlock;
        p.p1 = flag;
        p.p2 = value;
        return onChannel(Channel::FirstCamera, nullptr, pav512::IOCTL_DEBUG_SET_FLAG, &p, nullptr, 0);
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetPropertyDescriptor(PAVDEBUG_CHANNEL channel, uint32_t index,
                                                           void* buffer) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        return descriptor(pav512::IOCTL_DEBUG_PROPERTY_DESCRIPTOR, channel, index, buffer,
                          pav512::kDiagnosticDescriptorLength);
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetNotificationDescriptor(PAVDEBUG_CHANNEL channel,
                                                               uint32_t index, void* buffer) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        return descriptor(pav512::IOCTL_DEBUG_NOTIFICATION_DESCRIPTOR, channel, index, buffer,
                          pav512::kDiagnosticDescriptorLength);
    });
}

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetPropertyInformation(PAVDEBUG_CHANNEL channel,
                                                            uint32_t index, void* buffer,
                                                            uint32_t length) {
    return guarded<PAVDEBUG_STATUS>(PAVDEBUG_STATUS_ALLOC_FAILED, [&] {
        if (length && !buffer) return PAVDEBUG_STATUS_BAD_PARAMETER;
        Params p;
        p.p0 = index;
        return onChannel(Channel::FirstIfInvalid, channel, pav512::IOCTL_DEBUG_PROPERTY_INFORMATION,
                         &p, buffer, length);
    });
}

}  // extern "C"
