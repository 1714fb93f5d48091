#include "tools/pav512/camera.h"

#include <cstdio>
#include <cstring>

#include "tools/pav512/errors.h"

namespace pav512 {

const PAV_GUID kDeviceSet = {0x2BBD8342u, 0x6AA2u, 0x11D3u, {0xA0, 0x76, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
const PAV_GUID kPictureSet = {0x38CE9640u, 0xDB87u, 0x11D6u, {0xA4, 0x06, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0x71}};
const PAV_GUID kBandwidthSet = {0xB22B1ADEu, 0x17F3u, 0x487Au, {0x97, 0x5C, 0x61, 0x11, 0xEC, 0xF5, 0xF9, 0xD1}};
const PAV_GUID kControlSet = {0xD0520B30u, 0xF8B4u, 0x11D6u, {0xA4, 0x0C, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0x71}};
const PAV_GUID kFirmwareSet = {0xA4EA9080u, 0xB407u, 0x11D4u, {0xA4, 0x46, 0x00, 0x50, 0x04, 0x47, 0x8C, 0xB4}};

std::string pavpiStatusName(PAVPI_STATUS status) {
    char text[64] = {};
    if (PAVPI_GetErrorText(status, text, sizeof text) == PAVPI_STATUS_SUCCESS) return text;
    std::snprintf(text, sizeof text, "status 0x%X", status);
    return text;
}

void failPavpi(PAVPI_STATUS status, const std::string& what, std::uint32_t camera) {
    switch (status) {
        case PAVPI_STATUS_CAMERA_NOT_FOUND:
            throw ToolError(kExitNoCamera, "There is no camera " + std::to_string(camera) + " (see pav512 cameras).");
        case PAVPI_STATUS_CAMERA_REMOVED:
            throw ToolError(kExitRemoved, "Camera " + std::to_string(camera) + " was unplugged while " + what + ".");
        case PAVPI_STATUS_IN_USE:
        case PAVPI_STATUS_ALREADY_LOCKED:
            throw ToolError(kExitBusy, "Camera " + std::to_string(camera) + " is busy in another program (" + what + ").");
        case PAVPI_STATUS_BAD_PARAMETER:
            throw ToolError(kExitUsage, "Camera " + std::to_string(camera) + " refused the value (" + what + ").");
        default:
            throw ToolError(kExitFailure,
                            "Camera " + std::to_string(camera) + " failed " + what + " (" + pavpiStatusName(status) + ").");
    }
}

std::vector<std::uint32_t> cameraNumbers() {
    std::uint32_t numbers[256] = {};
    std::uint32_t count = 0;
    PAVPI_STATUS st = PAVPI_CameraEnum(0, 0, numbers, 256, &count);
    if (st != PAVPI_STATUS_SUCCESS)
        throw ToolError(kExitFailure, "The cameras could not be listed (" + pavpiStatusName(st) + ").");
    if (count > 256) count = 256;
    return std::vector<std::uint32_t>(numbers, numbers + count);
}

std::uint32_t pickCamera(std::uint32_t requested) {
    std::vector<std::uint32_t> present = cameraNumbers();
    if (present.empty()) throw ToolError(kExitNoCamera, "No camera is connected.");
    if (requested == 0) return present.front();
    for (std::uint32_t n : present)
        if (n == requested) return n;
    std::string list;
    for (std::uint32_t n : present) list += (list.empty() ? "" : ", ") + std::to_string(n);
    throw ToolError(kExitNoCamera, "There is no camera " + std::to_string(requested) +
                                       "; the cameras connected are " + list + ".");
}

VideoHandle::VideoHandle(std::uint32_t cameraNumber) : number_(cameraNumber) {
    PAVPI_STATUS st = PAVPI_HandleOpen(cameraNumber, &h_);
    if (st != PAVPI_STATUS_SUCCESS) failPavpi(st, "opening it", cameraNumber);
}

VideoHandle::~VideoHandle() {
    if (h_) PAVPI_HandleClose(&h_);
}

PAVPI_STATUS VideoHandle::tryRead(const PAV_GUID& set, std::uint32_t id, void* value, std::uint32_t size) {
    return PAVPI_PropertyGet(h_, &set, id, size, value);
}

void VideoHandle::read(const PAV_GUID& set, std::uint32_t id, void* value, std::uint32_t size,
                       const std::string& what) {
    PAVPI_STATUS st = PAVPI_PropertyGet(h_, &set, id, size, value);
    if (st != PAVPI_STATUS_SUCCESS) failPavpi(st, "reading " + what, number_);
}

void VideoHandle::write(const PAV_GUID& set, std::uint32_t id, const void* value, std::uint32_t size,
                        const std::string& what) {
    PAVPI_STATUS st = PAVPI_PropertySet(h_, &set, id, size, const_cast<void*>(value));
    if (st != PAVPI_STATUS_SUCCESS) failPavpi(st, "setting " + what, number_);
}

CameraInfo describeCamera(std::uint32_t number) {
    CameraInfo info;
    info.number = number;
    VideoHandle h(number);
    char name[33] = {};
    if (h.tryRead(kDeviceSet, 2, name, 32) == PAVPI_STATUS_SUCCESS) info.name = std::string(name, strnlen(name, 32));
    std::uint8_t fw[2] = {};
    if (h.tryRead(kDeviceSet, 0, fw, 2) == PAVPI_STATUS_SUCCESS) {
        char text[16];
        std::snprintf(text, sizeof text, "%01d-%02d", fw[0], fw[1]);
        info.firmware = text;
    }
    std::uint8_t sensor[2] = {};
    if (h.tryRead(kDeviceSet, 1, sensor, 2) == PAVPI_STATUS_SUCCESS) {
        char text[16];
        std::snprintf(text, sizeof text, "%02X%02X", sensor[0], sensor[1]);
        info.sensor = text;
    }
    std::uint32_t size[2] = {};
    if (h.tryRead(kDeviceSet, 16, size, 8) == PAVPI_STATUS_SUCCESS) {
        info.maxWidth = size[0];
        info.maxHeight = size[1];
    }
    return info;
}

}  // namespace pav512
