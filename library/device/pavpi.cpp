// The PAVPI_* exports: property handles, property and notification requests,
// camera enumeration and the video-capture lock.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "library/device/device_registry.h"
#include "library/device/export_guard.h"
#include "library/device/pavpi_internal.h"
#include "library/device/request.h"
#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "platform/user/synch.h"

namespace pavu {
namespace {

static_assert(sizeof(PAV_GUID) == sizeof(GUID));

std::mutex& listLock() {
    static auto* m = new std::mutex();
    return *m;
}
std::vector<PAVPI_HANDLE>& handleList() {
    static auto* v = new std::vector<PAVPI_HANDLE>();
    return *v;
}
std::atomic<std::uint32_t> nextToken{1};

GUID toGuid(const PAV_GUID* g) {
    GUID out;
    std::memcpy(&out, g, sizeof out);
    return out;
}

// Builds the 28-byte property header and the value bytes, sends the request
// and maps its result; on success the header's address block and the value
// come back to the caller.
PAVPI_STATUS propertyRequest(PAVPI_HANDLE h, DWORD code, const GUID& set, std::uint32_t id,
                             std::uint32_t sizeOrEvent, void* value, std::uint32_t valueSize,
                             GUID* setBack = nullptr, std::uint32_t* idBack = nullptr) {
    std::vector<std::uint8_t> buffer(pav512::kPropertyDataOffset + std::size_t{valueSize});
    pav512::PropertyHeader header{};
    header.moduleStatus = pav512::kModuleStatusUnanswered;
    header.propertySet = set;
    header.propertyId = id;
    header.dataLengthOrEvent = sizeOrEvent;
    std::memcpy(buffer.data(), &header, sizeof header);
    if (valueSize) std::memcpy(buffer.data() + pav512::kPropertyDataOffset, value, valueSize);
    std::uint8_t result =
        sendRequest(h->channel.load(), code, buffer.data(), static_cast<DWORD>(buffer.size()));
    PAVPI_STATUS status = mapPavpiResult(result);
    if (status == PAVPI_STATUS_SUCCESS) {
        std::memcpy(&header, buffer.data(), sizeof header);
        if (setBack) *setBack = header.propertySet;
        if (idBack) *idBack = header.propertyId;
        if (valueSize) std::memcpy(value, buffer.data() + pav512::kPropertyDataOffset, valueSize);
    }
    if (status == PAVPI_STATUS_CAMERA_REMOVED) closeChannel(h);
    return status;
}

void watch(PAVPI_HANDLE h) {
    HANDLE events[2] = {h->removal, h->stop};
    DWORD rc = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (rc == WAIT_OBJECT_0) closeChannel(h);
}

void freeHandle(PAVPI_HANDLE h) {
    if (h->removal) CloseHandle(h->removal);
    if (h->stop) CloseHandle(h->stop);
    if (h->heartbeatStop) CloseHandle(h->heartbeatStop);
    closeChannel(h);
    h->magic = 0;
    delete h;
}

PAVPI_STATUS closeHandle(PAVPI_HANDLE h) {
    {
        std::lock_guard<std::mutex> g(listLock());
        auto& list = handleList();
        auto it = std::find(list.begin(), list.end(), h);
        if (it == list.end() || h->magic != kPropertyHandleMagic) return PAVPI_STATUS_BAD_PARAMETER;
        list.erase(it);
    }
    releaseLockOf(h);
    SetEvent(h->stop);
    if (h->watcher.joinable()) h->watcher.join();
    // The driver forgets the removal event; its answer does not matter now.
    propertyRequest(h, pav512::IOCTL_VPI_NOTIFICATION_CLEAR, GUID{}, 0, uhandle::wireValue(h->removal),
                    nullptr, 0);
    freeHandle(h);
    return PAVPI_STATUS_SUCCESS;
}

}  // namespace

bool validHandle(PAVPI_HANDLE handle) {
    if (!handle) return false;
    std::lock_guard<std::mutex> g(listLock());
    auto& list = handleList();
    return std::find(list.begin(), list.end(), handle) != list.end() &&
           handle->magic == kPropertyHandleMagic;
}

void closeChannel(PAVPI_HANDLE handle) {
    HANDLE old = handle->channel.exchange(INVALID_HANDLE_VALUE);
    if (old != INVALID_HANDLE_VALUE && old != nullptr) CloseHandle(old);
}

PAVPI_STATUS deviceIds(HANDLE channel, std::uint32_t* vendor, std::uint32_t* product) {
    pav512::PropertyDeviceId reply{};
    std::uint8_t result =
        sendRequest(channel, pav512::IOCTL_VPI_DEVICE_ID, &reply, static_cast<DWORD>(sizeof reply));
    PAVPI_STATUS status = mapPavpiResult(result);
    // An unanswered identification names no camera, whatever 0xFF maps to.
    if (status == PAVPI_STATUS_SUCCESS && result == pav512::kModuleStatusUnanswered)
        status = PAVPI_STATUS_CAMERA_ERROR;
    if (status != PAVPI_STATUS_SUCCESS) return status;
    *vendor = reply.vendorId;
    *product = reply.productId;
    return PAVPI_STATUS_SUCCESS;
}

PAVPI_STATUS enumerateCameras(std::uint32_t vendor, std::uint32_t product, std::uint32_t* numbers,
                              std::uint32_t capacity, std::uint32_t* count) {
    *count = 0;
    DWORD from = 1;
    while (from <= kMaxCameraNumber) {
        HANDLE channel = INVALID_HANDLE_VALUE;
        DWORD found = 0;
        if (!openControlChannel(&channel, from, true, &found)) break;
        std::uint32_t v = 0, p = 0;
        if (deviceIds(channel, &v, &p) == PAVPI_STATUS_SUCCESS &&
            ((v == vendor && p == product) || (vendor == 0 && product == 0))) {
            if (*count < capacity) numbers[*count] = found;
            ++*count;
        }
        CloseHandle(channel);
        from = found + 1;
    }
    return PAVPI_STATUS_SUCCESS;
}

void closeAllHandles() {
    std::vector<PAVPI_HANDLE> left;
    {
        std::lock_guard<std::mutex> g(listLock());
        left = handleList();
    }
    for (PAVPI_HANDLE h : left) closeHandle(h);
}

std::uint32_t newToken() {
    std::uint32_t t = nextToken.fetch_add(1);
    if (t == 0) t = nextToken.fetch_add(1);
    return t;
}

}  // namespace pavu

using namespace pavu;

extern "C" {

PAV512U_API PAVPI_STATUS PAVPI_GetVersion(uint16_t* version) {
    if (version) *version = PAVPI_VERSION;
    return PAVPI_STATUS_SUCCESS;
}

PAV512U_API PAVPI_STATUS PAVPI_GetErrorText(PAVPI_STATUS status, char* text, uint32_t length) {
    if (!text) return PAVPI_STATUS_NULL_POINTER;
    if (length == 0) return PAVPI_STATUS_BUFFER_TOO_SMALL;
    const char* name = pavpiStatusName(status);
    if (!name) return PAVPI_STATUS_INVALID_STATUS;
    std::size_t n = std::strlen(name);
    if (n > length - 1) return PAVPI_STATUS_BUFFER_TOO_SMALL;
    std::memcpy(text, name, n + 1);
    return PAVPI_STATUS_SUCCESS;
}

PAV512U_API PAVPI_STATUS PAVPI_CameraEnum(uint32_t vendorId, uint32_t productId,
                                          uint32_t* cameraNumbers, uint32_t capacity,
                                          uint32_t* count) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!count || !cameraNumbers) return PAVPI_STATUS_NULL_POINTER;
        return enumerateCameras(vendorId, productId, cameraNumbers, capacity, count);
    });
}

PAV512U_API PAVPI_STATUS PAVPI_HandleOpen(uint32_t cameraNumber, PAVPI_HANDLE* handle) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!handle) return PAVPI_STATUS_NULL_POINTER;
        *handle = nullptr;
        if (cameraNumber == 0) return PAVPI_STATUS_BAD_PARAMETER;
        HANDLE channel = INVALID_HANDLE_VALUE;
        if (!openControlChannel(&channel, cameraNumber, false, nullptr))
            return PAVPI_STATUS_CAMERA_NOT_FOUND;
        auto* h = new (std::nothrow) PAVPI_HANDLE_S();
        if (!h) {
            CloseHandle(channel);
            return PAVPI_STATUS_ALLOC_FAILED;
        }
        h->magic = kPropertyHandleMagic;
        h->token = newToken();
        h->camera = cameraNumber;
        h->channel.store(channel);
        h->removal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        h->stop = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        h->heartbeatStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!h->removal || !h->stop || !h->heartbeatStop) {
            freeHandle(h);
            return PAVPI_STATUS_ALLOC_FAILED;
        }
        GUID set = pav512::kEventSetCamera;
        PAVPI_STATUS st = propertyRequest(h, pav512::IOCTL_VPI_NOTIFICATION_SET, set,
                                          pav512::kEventCameraRemoved,
                                          uhandle::wireValue(h->removal), nullptr, 0);
        if (st != PAVPI_STATUS_SUCCESS) {
            freeHandle(h);
            return st == PAVPI_STATUS_CAMERA_REMOVED ? PAVPI_STATUS_CAMERA_NOT_FOUND : st;
        }
        try {
            h->watcher = std::thread(watch, h);
        } catch (...) {
            freeHandle(h);
            return PAVPI_STATUS_ALLOC_FAILED;
        }
        {
            std::lock_guard<std::mutex> g(listLock());
            handleList().push_back(h);
        }
        *handle = h;
        return PAVPI_STATUS_SUCCESS;
    });
}

PAV512U_API PAVPI_STATUS PAVPI_HandleClose(PAVPI_HANDLE* handle) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!handle) return PAVPI_STATUS_NULL_POINTER;
        if (!*handle) return PAVPI_STATUS_BAD_PARAMETER;
        PAVPI_STATUS st = closeHandle(*handle);
        if (st == PAVPI_STATUS_SUCCESS) *handle = nullptr;
        return st;
    });
}

PAV512U_API PAVPI_STATUS PAVPI_HandleAbortVfW(PAVPI_HANDLE handle) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!validHandle(handle)) return PAVPI_STATUS_BAD_PARAMETER;
        return propertyRequest(handle, pav512::IOCTL_VPI_ABORT_VFW, GUID{}, 0, 0, nullptr, 0);
    });
}

PAV512U_API PAVPI_STATUS PAVPI_PropertySet(PAVPI_HANDLE handle, const PAV_GUID* set, uint32_t id,
                                           uint32_t size, void* value) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!value || !set) return PAVPI_STATUS_NULL_POINTER;
        if (size == 0 || !validHandle(handle)) return PAVPI_STATUS_BAD_PARAMETER;
        return propertyRequest(handle, pav512::IOCTL_VPI_PROPERTY_SET, toGuid(set), id, size, value,
                               size);
    });
}

PAV512U_API PAVPI_STATUS PAVPI_PropertyGet(PAVPI_HANDLE handle, const PAV_GUID* set, uint32_t id,
                                           uint32_t size, void* value) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!value || !set) return PAVPI_STATUS_NULL_POINTER;
        if (size == 0 || !validHandle(handle)) return PAVPI_STATUS_BAD_PARAMETER;
        return propertyRequest(handle, pav512::IOCTL_VPI_PROPERTY_GET, toGuid(set), id, size, value,
                               size);
    });
}

PAV512U_API PAVPI_STATUS PAVPI_PropertyDefault(PAVPI_HANDLE handle, const PAV_GUID* set,
                                               uint32_t id) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!validHandle(handle)) return PAVPI_STATUS_BAD_PARAMETER;
        if (!set) return PAVPI_STATUS_NULL_POINTER;
        return propertyRequest(handle, pav512::IOCTL_VPI_PROPERTY_DEFAULT, toGuid(set), id, 0,
                               nullptr, 0);
    });
}

PAV512U_API PAVPI_STATUS PAVPI_NotificationSet(PAVPI_HANDLE handle, const PAV_GUID* set,
                                               uint32_t id, PAV_EVENT event) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!set) return PAVPI_STATUS_NULL_POINTER;
        if (!validHandle(handle)) return PAVPI_STATUS_BAD_PARAMETER;
        return propertyRequest(handle, pav512::IOCTL_VPI_NOTIFICATION_SET, toGuid(set), id,
                               uhandle::wireValue(event), nullptr, 0);
    });
}

PAV512U_API PAVPI_STATUS PAVPI_NotificationClear(PAVPI_HANDLE handle, PAV_EVENT event) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!validHandle(handle)) return PAVPI_STATUS_BAD_PARAMETER;
        return propertyRequest(handle, pav512::IOCTL_VPI_NOTIFICATION_CLEAR, GUID{}, 0,
                               uhandle::wireValue(event), nullptr, 0);
    });
}

}  // extern "C"
