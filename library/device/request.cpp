#include "library/device/request.h"

namespace pavu {
namespace {

// A failure that says the device went away rather than that the request went
// wrong.
bool deviceGone(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_ACCESS_DENIED ||
           error == ERROR_INVALID_HANDLE || error == ERROR_DEV_NOT_EXIST ||
           error == ERROR_DEVICE_REMOVED;
}

}  // namespace

std::uint8_t sendRequest(HANDLE channel, DWORD code, void* buffer, DWORD size) {
    return sendRequestFrom(channel, code, buffer, size, nullptr, 0);
}

std::uint8_t sendRequestFrom(HANDLE channel, DWORD code, void* buffer, DWORD headSize,
                             const void* rest, DWORD restSize) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    bytes[0] = 0xFF;
    if (channel == INVALID_HANDLE_VALUE || channel == nullptr) return kResultRemoved;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return kResultRemoved;
    const DWORD size = headSize + restSize;
    DWORD returned = 0;
    BOOL ok = DeviceIoControlParts(channel, code, buffer, headSize, rest, restSize, buffer, size,
                                   nullptr, 0, &returned, &ov);
    std::uint8_t result;
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // A pending request that then fails is not answered: its buffer was
        // never copied back, so byte 0 still holds the preset, which some
        // families read as success. Only a full-length answer counts.
        if (GetOverlappedResult(channel, &ov, &returned, TRUE))
            result = returned == size ? bytes[0] : kResultShortReply;
        else
            result = deviceGone(GetLastError()) ? kResultRemoved : kResultShortReply;
    } else if (!ok) {
        // The same rule as for a pending call: only a device that is gone is
        // reported as removed (which closes the handle's channel); a request
        // the driver refused is a failed request, not a lost camera.
        result = deviceGone(GetLastError()) ? kResultRemoved : kResultShortReply;
    } else {
        result = returned == size ? bytes[0] : kResultShortReply;
    }
    CloseHandle(ov.hEvent);
    return result;
}

std::uint8_t submitRequest(HANDLE channel, DWORD code, void* buffer, DWORD size,
                           OVERLAPPED* overlapped) {
    static_cast<std::uint8_t*>(buffer)[0] = 0xFF;
    if (channel == INVALID_HANDLE_VALUE || channel == nullptr) return kResultRemoved;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(channel, code, buffer, size, buffer, size, &returned, overlapped);
    if (ok || GetLastError() == ERROR_IO_PENDING) return kResultPending;
    return kResultRemoved;
}

}  // namespace pavu
