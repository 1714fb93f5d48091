// Command transport sessions: opening one on a camera (any camera, or exactly
// one), the removal watcher, closing, the session and thread locks, and the
// reset of every task of a session.
#include <cstring>
#include <new>

#include "library/device/cti_internal.h"
#include "library/device/device_registry.h"
#include "library/device/export_guard.h"
#include "library/device/request.h"
#include "pav512/buffers.h"
#include "pav512/guids.h"

namespace pavu {

HandleList<CtiHandle>& ctiHandles() {
    // Never destroyed: a watcher thread may still take it while the process ends.
    static auto* list = new HandleList<CtiHandle>(kCtiHandleMagic);
    return *list;
}

namespace {

// The header of a plain request on `channel`.
std::uint8_t sendPlain(HANDLE channel, DWORD code, std::uint32_t session, std::uint32_t* value) {
    pav512::CommandHeader header{};
    header.sessionId = session;
    header.threadId = GetCurrentThreadId();
    header.taskId = 0;
    header.value = *value;
    std::uint8_t result = sendRequest(channel, code, &header, sizeof header);
    *value = header.value;
    return result;
}

void closeFile(CtiHandle* h) {
    HANDLE old = h->file.exchange(INVALID_HANDLE_VALUE);
    if (old != INVALID_HANDLE_VALUE && old != nullptr) CloseHandle(old);
}

PAV_GUID cameraEventSet() {
    PAV_GUID g;
    std::memcpy(&g, &pav512::kEventSetCamera, sizeof g);
    return g;
}

// The camera left: its channel and property handle go, so that every later
// request answers CAMERA_REMOVED; the handle stays listed until its close.
void watch(CtiHandle* h) {
    HANDLE events[2] = {h->removal, h->stop};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) return;
    PAVPI_HANDLE property;
    {
        std::lock_guard<std::mutex> g(ctiHandles().lock());
        closeFile(h);
        property = h->property;
        h->property = nullptr;
    }
    // Closed outside the list lock: its close asks the driver, and a driver
    // slow to answer must not hold up every other session's checks.
    if (property) PAVPI_HandleClose(&property);
}

// Everything but the list entry; the handle must be unlisted or never listed.
void destroy(CtiHandle* h) {
    if (h->session) {
        // The driver forgets the session (and with it the camera, when it was
        // the last); the answer changes nothing here.
        std::uint32_t value = 0;
        sendPlain(h->file.load(), pav512::IOCTL_CTI_CLOSE, h->session, &value);
    }
    if (h->watcher.joinable()) {
        SetEvent(h->stop);
        h->watcher.join();
    }
    closeFile(h);
    ctiForgetTasks(h);
    PAVPI_HANDLE property;
    {
        std::lock_guard<std::mutex> g(ctiHandles().lock());
        property = h->property;
        h->property = nullptr;
    }
    if (property) {
        if (h->removal) PAVPI_NotificationClear(property, h->removal);
        PAVPI_HandleClose(&property);
    }
    if (h->removal) CloseHandle(h->removal);
    if (h->stop) CloseHandle(h->stop);
    h->magic = 0;
    delete h;
}

// Opens the channel of the camera and the session on it. Any camera: every
// camera from 1 upward until one accepts; then the number is in h->camera.
CTISTATUS connect(CtiHandle* h, std::uint8_t camera, bool exclusive) {
    const std::uint32_t wish = exclusive ? 1 : 0;
    if (camera != 0) {
        HANDLE channel = INVALID_HANDLE_VALUE;
        if (!openControlChannel(&channel, camera, false, nullptr)) return CTISTATUS_CAMERA_NOT_FOUND;
        std::uint32_t value = wish;
        CTISTATUS st = mapCtiResult(sendPlain(channel, pav512::IOCTL_CTI_OPEN, 0, &value));
        if (st != CTISTATUS_SUCCESS) {
            CloseHandle(channel);
            return st;
        }
        h->file.store(channel);
        h->session = value;
        h->camera = camera;
        return CTISTATUS_SUCCESS;
    }
    DWORD from = 1;
    // The camera number travels as one byte: the search ends at 255.
    while (from <= 0xFF) {
        HANDLE channel = INVALID_HANDLE_VALUE;
        DWORD found = 0;
        if (!openControlChannel(&channel, from, true, &found)) break;
        if (found > 0xFF) {
            CloseHandle(channel);
            break;
        }
        std::uint32_t value = wish;
        if (sendPlain(channel, pav512::IOCTL_CTI_OPEN, 0, &value) == pav512::kModuleStatusSuccess) {
            h->file.store(channel);
            h->session = value;
            h->camera = found;
            return CTISTATUS_SUCCESS;
        }
        CloseHandle(channel);
        from = found + 1;
    }
    return CTISTATUS_CAMERA_NOT_FOUND;
}

CTISTATUS open(std::int32_t mode, std::uint8_t camera, CtiHandle** out) {
    auto* h = new (std::nothrow) CtiHandle();
    if (!h) return CTISTATUS_ALLOC_FAILED;
    h->magic = kCtiHandleMagic;
    h->taskCounter.store(kCtiFirstTaskId);
    CTISTATUS st = connect(h, camera, mode == CTI_MODE_EXCLUSIVE);
    if (st != CTISTATUS_SUCCESS) {
        destroy(h);
        return st;
    }
    if (PAVPI_HandleOpen(h->camera, &h->property) != PAVPI_STATUS_SUCCESS) {
        // The session goes too: the driver keeps no table of them, and one left
        // open would hold the camera (and an exclusive one shut others out).
        destroy(h);
        return CTISTATUS_TRANSPORT_FAILED;
    }
    ctiHandles().insert(h);
    std::uint32_t version = 0;
    st = ctiRequest(h, pav512::IOCTL_CTI_VERSION, &version);
    if (st == CTISTATUS_SUCCESS && (version & 0xFFFF) != CTI_VERSION)
        st = CTISTATUS_DRIVER_VERSION_MISMATCH;
    if (st == CTISTATUS_SUCCESS) {
        h->removal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        h->stop = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        PAV_GUID set = cameraEventSet();
        if (!h->removal || !h->stop) {
            st = CTISTATUS_ALLOC_FAILED;
        } else if (PAVPI_NotificationSet(h->property, &set, pav512::kEventCameraRemoved,
                                         h->removal) != PAVPI_STATUS_SUCCESS) {
            st = CTISTATUS_TRANSPORT_FAILED;
        } else {
            try {
                h->watcher = std::thread(watch, h);
            } catch (...) {
                st = CTISTATUS_ALLOC_FAILED;
            }
        }
    }
    if (st != CTISTATUS_SUCCESS) {
        ctiHandles().remove(h);
        destroy(h);
        return st;
    }
    *out = h;
    return CTISTATUS_SUCCESS;
}

CTISTATUS close(CtiHandle* h) {
    // Whoever unlists the handle closes it; a second close finds it gone.
    if (!ctiHandles().valid(h) || !ctiHandles().remove(h)) return CTISTATUS_INVALID_HANDLE;
    destroy(h);
    return CTISTATUS_SUCCESS;
}

CTISTATUS lock(CtiHandle* h, std::uint32_t timeoutMs, bool thread) {
    if (!ctiHandles().valid(h)) return CTISTATUS_INVALID_HANDLE;
    // The driver's refusal (another session holds the lock) is the one answer
    // worth asking again.
    return repeatLock<CTISTATUS>(timeoutMs, CTISTATUS_LOCK_TIMEDOUT, [&] {
        return ctiRequest(h, pav512::IOCTL_CTI_LOCK, thread ? 1u : 0u);
    });
}

}  // namespace

CTISTATUS ctiRequest(CtiHandle* h, DWORD code, std::uint32_t* value) {
    return mapCtiResult(sendPlain(h->file.load(), code, h->session, value));
}

CTISTATUS ctiRequest(CtiHandle* h, DWORD code, std::uint32_t value) {
    return ctiRequest(h, code, &value);
}

void ctiDetach() {
    for (CtiHandle* h : ctiHandles().snapshot()) close(h);
}

}  // namespace pavu

using namespace pavu;

extern "C" {

PAV512U_API CTISTATUS CtiHandleOpen(int32_t mode, uint8_t cameraNumber, uint8_t* cameraOpened,
                                    CtiHandle** handle) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        if (mode < CTI_MODE_EXCLUSIVE || mode > CTI_MODE_SHARED) return CTISTATUS_BAD_PARAMETER;
        if (!handle) return CTISTATUS_NULL_POINTER;
        *handle = nullptr;
        CTISTATUS st = open(mode, cameraNumber, handle);
        if (cameraOpened)
            *cameraOpened = st == CTISTATUS_SUCCESS ? static_cast<uint8_t>((*handle)->camera) : 0;
        return st;
    });
}

PAV512U_API CTISTATUS CtiHandleClose(CtiHandle* handle) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] { return close(handle); });
}

PAV512U_API CTISTATUS CtiHandleLock(CtiHandle* handle, uint32_t timeoutMs) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] { return lock(handle, timeoutMs, false); });
}

PAV512U_API CTISTATUS CtiHandleLockThread(CtiHandle* handle, uint32_t timeoutMs) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] { return lock(handle, timeoutMs, true); });
}

PAV512U_API CTISTATUS CtiHandleUnLock(CtiHandle* handle) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        if (!ctiHandles().valid(handle)) return CTISTATUS_INVALID_HANDLE;
        return ctiRequest(handle, pav512::IOCTL_CTI_UNLOCK, 0u);
    });
}

PAV512U_API CTISTATUS CtiResetTransport(CtiHandle* handle) {
    return guarded<CTISTATUS>(CTISTATUS_ALLOC_FAILED, [&] {
        if (!ctiHandles().valid(handle)) return CTISTATUS_INVALID_HANDLE;
        return ctiRequest(handle, pav512::IOCTL_CTI_RESET, 0u);
    });
}

}  // extern "C"
