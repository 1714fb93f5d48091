// The PACI_* exports of the handle: open in both forms, close, the explicit
// camera lock, notifications, the worker that orphans a handle when the camera
// changes, the video-property functions under their second name, the status
// text and the exports that do nothing.
#include <algorithm>
#include <cstddef>
#include <new>

#include "library/device/export_guard.h"
#include "library/stills/paci_internal.h"
#include "pav512/guids.h"

static_assert(sizeof(PACI_OBJECT_INFO) == 300);
static_assert(offsetof(PACI_OBJECT_INFO, ThumbFormat) == 12 &&
              offsetof(PACI_OBJECT_INFO, ThumbSize) == 16 &&
              offsetof(PACI_OBJECT_INFO, ImageWidth) == 28 &&
              offsetof(PACI_OBJECT_INFO, ParentObject) == 36 &&
              offsetof(PACI_OBJECT_INFO, Reserved3) == 40);

namespace paci {
namespace {

std::mutex& listLock() {
    static auto* m = new std::mutex();
    return *m;
}
std::vector<PACI_HANDLE>& handleList() {
    static auto* v = new std::vector<PACI_HANDLE>();
    return *v;
}

bool unlist(PACI_HANDLE h) {
    std::lock_guard<std::mutex> g(listLock());
    auto& list = handleList();
    auto it = std::find(list.begin(), list.end(), h);
    if (it == list.end() || h->magic != kHandleMagic) return false;
    list.erase(it);
    return true;
}

// Waits for the camera-state notification or the close; on the notification
// the handle's PTP channel is closed, so that every later picture operation
// fails at once instead of talking to a camera that changed under it.
void work(PACI_HANDLE h) {
    HANDLE events[2] = {h->notification, h->stop};
    DWORD rc = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (rc != WAIT_OBJECT_0) return;
    std::lock_guard<std::mutex> g(h->channelLock);
    if (h->ptp) {
        ptpClose(h->ptp);
        h->ptp = nullptr;
    }
}

// Undoes a partial open: what exists is closed, the record freed.
void discard(PACI_HANDLE h) {
    if (h->video) PAVPI_HandleClose(&h->video);
    if (h->ptp) ptpClose(h->ptp);
    if (h->notification) CloseHandle(h->notification);
    if (h->stop) CloseHandle(h->stop);
    releaseDecoders(&h->decoders);
    h->magic = 0;
    delete h;
}

PACI_STATUS openHandle(std::uint32_t camera, bool pictureService, PACI_HANDLE* out) {
    if (!out) return PACI_STATUS_NULL_POINTER;
    *out = nullptr;
    // The PTP client names cameras in one byte; a larger number would wrap
    // round to another camera (256 to "the first one found").
    if (camera > 0xFF) return PACI_STATUS_BAD_PARAMETER;
    auto* h = new (std::nothrow) PACI_HANDLE_S();
    if (!h) return PACI_STATUS_ALLOC_FAILED;
    h->magic = kHandleMagic;
    if (loadDecoders(&h->decoders) != PACI_STATUS_SUCCESS) {
        discard(h);
        return PACI_STATUS_DLL_LOAD_ERROR;
    }
    std::uint32_t opened = 0;
    PACI_STATUS st = mapPtpStatus(ptpOpen(camera, pictureService, &h->ptp, &opened, &h->connection));
    if (st != PACI_STATUS_SUCCESS) {
        h->ptp = nullptr;
        discard(h);
        return st;
    }
    st = PAVPI_HandleOpen(opened, &h->video);
    if (st != PACI_STATUS_SUCCESS) {
        h->video = nullptr;
        discard(h);
        return st;
    }
    st = mapPtpStatus(ptpLock(h->ptp, kCallLockTimeout));
    if (st != PACI_STATUS_SUCCESS) {
        discard(h);
        return st;
    }
    // A camera that refuses the session still serves GetDeviceInfo; the
    // session number then stays 0.
    if (commandPhase(h, kOpenSession, {h->connection}) == PACI_STATUS_SUCCESS &&
        responsePhase(h, kOpenSession) == PACI_STATUS_SUCCESS)
        h->session = 1;
    ptpUnlock(h->ptp);
    h->notification = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    h->stop = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!h->notification || !h->stop) {
        discard(h);
        return PACI_STATUS_ALLOC_FAILED;
    }
    PAV_GUID cameraSet;
    std::memcpy(&cameraSet, &pav512::kEventSetCamera, sizeof cameraSet);
    PAVPI_NotificationSet(h->video, &cameraSet, pav512::kEventCameraRemoved, h->notification);
    try {
        h->worker = std::thread(work, h);
    } catch (...) {
        PAVPI_NotificationClear(h->video, h->notification);
        discard(h);
        return PACI_STATUS_ALLOC_FAILED;
    }
    {
        std::lock_guard<std::mutex> g(listLock());
        handleList().push_back(h);
    }
    *out = h;
    return PACI_STATUS_SUCCESS;
}

PACI_STATUS closeHandle(PACI_HANDLE h) {
    SetEvent(h->stop);
    // Joined rather than waited for a bounded time: the worker touches the
    // record until it ends, and it only ever blocks in the channel's close.
    if (h->worker.joinable()) h->worker.join();
    CloseHandle(h->stop);
    h->stop = nullptr;
    PAVPI_NotificationClear(h->video, h->notification);
    CloseHandle(h->notification);
    h->notification = nullptr;
    PAVPI_HandleClose(&h->video);
    h->video = nullptr;
    PACI_STATUS result = kPtpInvalidHandle;
    if (h->ptp) {
        // Refused by the driver unless this handle holds the lock; the
        // channel's close ends the connection's session either way.
        if (commandPhase(h, kCloseSession, {}) == PACI_STATUS_SUCCESS)
            responsePhase(h, kCloseSession);
        ptpUnlock(h->ptp);
        result = mapPtpStatus(ptpClose(h->ptp));
        h->ptp = nullptr;
    }
    releaseDecoders(&h->decoders);
    h->magic = 0;
    delete h;
    return result;
}

}  // namespace

bool validHandle(PACI_HANDLE handle) {
    if (!handle) return false;
    std::lock_guard<std::mutex> g(listLock());
    auto& list = handleList();
    return std::find(list.begin(), list.end(), handle) != list.end() && handle->magic == kHandleMagic;
}

}  // namespace paci

using namespace paci;
using pavu::guarded;

extern "C" {

PAV512U_API PACI_STATUS PACI_GetVersion(uint16_t* version) { return PAVPI_GetVersion(version); }

PAV512U_API PACI_STATUS PACI_GetErrorText(PACI_STATUS status, char* text, uint32_t length) {
    if (!text) return PACI_STATUS_NULL_POINTER;
    if (length == 0) return PACI_STATUS_BUFFER_TOO_SMALL;
    const char* name = statusName(status);
    if (!name) name = "";
    std::size_t n = std::strlen(name);
    if (n + 1 > length) return PACI_STATUS_BUFFER_TOO_SMALL;
    std::memcpy(text, name, n + 1);
    return PACI_STATUS_SUCCESS;
}

PAV512U_API PACI_STATUS PACI_CameraEnum(uint32_t vendorId, uint32_t productId,
                                        uint32_t* cameraNumbers, uint32_t capacity,
                                        uint32_t* count) {
    return PAVPI_CameraEnum(vendorId, productId, cameraNumbers, capacity, count);
}

PAV512U_API PACI_STATUS PACI_CameraNotifyNew(uint32_t vendorId, uint32_t productId,
                                             PAV_EVENT event) {
    return PAVPI_CameraNotifyNew(vendorId, productId, event);
}

PAV512U_API PACI_STATUS PACI_CameraNotifyWokeSystem(PAV_EVENT event) {
    return PAVPI_CameraNotifyWokeSystem(event);
}

PAV512U_API PACI_STATUS PACI_HandleOpen(uint32_t cameraNumber, PACI_HANDLE* handle) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED,
                                [&] { return openHandle(cameraNumber, false, handle); });
}

PAV512U_API PACI_STATUS PACI_HandleOpenWIA(uint32_t cameraNumber, PACI_HANDLE* handle) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED,
                                [&] { return openHandle(cameraNumber, true, handle); });
}

PAV512U_API PACI_STATUS PACI_HandleClose(PACI_HANDLE* handle) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!handle || !*handle) return PACI_STATUS_NULL_POINTER;
        if (!unlist(*handle)) return PACI_STATUS_BAD_PARAMETER;
        PACI_STATUS st = closeHandle(*handle);
        *handle = nullptr;
        return st;
    });
}

PAV512U_API PACI_STATUS PACI_HandleLock(PACI_HANDLE handle, uint32_t milliseconds) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!handle) return PACI_STATUS_NULL_POINTER;
        if (!validHandle(handle)) return PACI_STATUS_BAD_PARAMETER;
        if (handle->locked) return PACI_STATUS_ALREADY_LOCKED;
        std::lock_guard<std::mutex> g(handle->channelLock);
        if (!handle->ptp) return PACI_STATUS{kPtpInvalidHandle};
        PACI_STATUS st = mapPtpStatus(ptpLock(handle->ptp, milliseconds));
        if (st != PACI_STATUS_SUCCESS) return st;
        handle->locked = 1;
        if (handle->blockOffset == 0) reopenSession(handle);
        return st;
    });
}

PAV512U_API PACI_STATUS PACI_HandleUnLock(PACI_HANDLE handle) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!handle) return PACI_STATUS_NULL_POINTER;
        if (!validHandle(handle)) return PACI_STATUS_BAD_PARAMETER;
        if (!handle->locked) return PACI_STATUS_NOT_LOCKED;
        std::lock_guard<std::mutex> g(handle->channelLock);
        if (!handle->ptp) return PACI_STATUS{kPtpInvalidHandle};
        PACI_STATUS st = mapPtpStatus(ptpUnlock(handle->ptp));
        if (st == PACI_STATUS_SUCCESS) handle->locked = 0;
        return st;
    });
}

PAV512U_API PACI_STATUS PACI_NotificationSet(PACI_HANDLE handle, const PAV_GUID* set, uint32_t id,
                                             PAV_EVENT event) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!handle) return PACI_STATUS_NULL_POINTER;
        if (!validHandle(handle)) return PACI_STATUS_BAD_PARAMETER;
        return PAVPI_NotificationSet(handle->video, set, id, event);
    });
}

PAV512U_API PACI_STATUS PACI_NotificationClear(PACI_HANDLE handle, PAV_EVENT event) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!handle) return PACI_STATUS_NULL_POINTER;
        if (!validHandle(handle)) return PACI_STATUS_BAD_PARAMETER;
        return PAVPI_NotificationClear(handle->video, event);
    });
}

// The camera takes nothing from the host and runs no background tasks.
PAV512U_API PACI_STATUS PACI_WriteObject(PACI_HANDLE, PACI_ID, const void*, uint32_t) {
    return PACI_STATUS_SUCCESS;
}
PAV512U_API PACI_STATUS PACI_WriteBlock(PACI_HANDLE, const void*, uint32_t) {
    return PACI_STATUS_SUCCESS;
}
PAV512U_API PACI_STATUS PACI_TaskQueryComplete(PACI_HANDLE, uint32_t) { return PACI_STATUS_SUCCESS; }
PAV512U_API PACI_STATUS PACI_TaskWaitComplete(PACI_HANDLE, uint32_t, uint32_t) {
    return PACI_STATUS_SUCCESS;
}
PAV512U_API PACI_STATUS PACI_TaskAbort(PACI_HANDLE, uint32_t) { return PACI_STATUS_SUCCESS; }

}  // extern "C"
