// The video-capture (VfW) lock: one record for the whole system in the shared
// data section, guarded by "PAV512_VPI_MUTEX". The holder's heartbeat thread
// refreshes the record's tick; a record whose tick is more than a second old
// belongs to a holder that died and is taken over.
#include <unistd.h>

#include <atomic>

#include "library/device/export_guard.h"
#include "library/device/pavpi_internal.h"
#include "platform/user/shared_area.h"
#include "platform/user/synch.h"

namespace pavu {
namespace {

constexpr char kVpiMutexName[] = "PAV512_VPI_MUTEX";
constexpr DWORD kStaleAfterMs = 1000;
constexpr DWORD kHeartbeatMs = 250;
constexpr DWORD kUnlockHoldMs = 500;

std::atomic<HANDLE> vpiMutexHandle{nullptr};
std::atomic<HANDLE> shutdown{nullptr};
VfwLockRecord fallbackRecord{};  // when there is no shared area: this process only

static_assert(sizeof(VfwLockRecord) <= ushared::kDataSectionSize);

// The heartbeat thread reads and writes the record without the mutex; every
// access to a field is one atomic 32-bit access.
std::uint32_t load(std::uint32_t& field) {
    return std::atomic_ref<std::uint32_t>(field).load(std::memory_order_acquire);
}
void store(std::uint32_t& field, std::uint32_t v) {
    std::atomic_ref<std::uint32_t>(field).store(v, std::memory_order_release);
}

void clearRecord(VfwLockRecord* r, bool all) {
    store(r->camera, 0);
    store(r->processId, 0);
    store(r->handle, 0);
    store(r->heartbeat, 0);
    if (all) {
        store(r->vendorId, 0);
        store(r->productId, 0);
    }
}

std::uint32_t self() { return static_cast<std::uint32_t>(::getpid()); }

bool heldBy(VfwLockRecord* r, PAVPI_HANDLE h) {
    return load(r->camera) != 0 && load(r->processId) == self() && load(r->handle) == h->token;
}

void beat(PAVPI_HANDLE h) {
    VfwLockRecord* r = lockRecord();
    while (load(r->processId) == self() && load(r->handle) == h->token) {
        store(r->heartbeat, GetTickCount());
        if (WaitForSingleObject(h->heartbeatStop, kHeartbeatMs) == WAIT_OBJECT_0) break;
    }
}

void joinHeartbeat(PAVPI_HANDLE h) {
    if (!h->heartbeat.joinable()) return;
    SetEvent(h->heartbeatStop);
    h->heartbeat.join();
    ResetEvent(h->heartbeatStop);
}

class MutexHold {
  public:
    explicit MutexHold(HANDLE m) : m_(m) { WaitForSingleObject(m_, INFINITE); }
    ~MutexHold() { ReleaseMutex(m_); }

  private:
    HANDLE m_;
};

}  // namespace

VfwLockRecord* lockRecord() {
    void* section = ushared::dataSection();
    return section ? static_cast<VfwLockRecord*>(section) : &fallbackRecord;
}

HANDLE vpiMutex() { return vpiMutexHandle.load(); }
HANDLE shutdownEvent() { return shutdown.load(); }

bool vpiAttach() {
    shutdown.store(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE m = CreateMutexA(nullptr, TRUE, kVpiMutexName);
    // The first to make the mutex owns it from its making and starts with a
    // clear record. A mutex that existed (another process, or a second copy
    // of the library in this one) is not taken for the caller: it has
    // nothing to release, and releasing it would free a lock another thread
    // holds.
    if (m && GetLastError() != ERROR_ALREADY_EXISTS) {
        clearRecord(lockRecord(), true);
        ReleaseMutex(m);
    }
    vpiMutexHandle.store(m);
    return m != nullptr && shutdown.load() != nullptr;
}

void vpiDetach() {
    if (HANDLE s = shutdown.load()) SetEvent(s);
    closeAllHandles();
    if (HANDLE m = vpiMutexHandle.exchange(nullptr)) {
        {
            MutexHold hold(m);
            VfwLockRecord* r = lockRecord();
            if (load(r->camera) != 0 && load(r->processId) == self()) clearRecord(r, false);
        }
        CloseHandle(m);
    }
    stopDispatcher();
    if (HANDLE s = shutdown.exchange(nullptr)) CloseHandle(s);
}

void releaseLockOf(PAVPI_HANDLE h) {
    HANDLE m = vpiMutex();
    if (m) {
        MutexHold hold(m);
        VfwLockRecord* r = lockRecord();
        if (heldBy(r, h)) clearRecord(r, true);
    }
    joinHeartbeat(h);
}

}  // namespace pavu

using namespace pavu;

extern "C" {

PAV512U_API PAVPI_STATUS PAVPI_HandleLockVfWOpen(PAVPI_HANDLE handle) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!validHandle(handle)) return PAVPI_STATUS_BAD_PARAMETER;
        HANDLE m = vpiMutex();
        if (!m) return PAVPI_STATUS_NULL_POINTER;
        std::uint32_t vendor = 0, product = 0;
        PAVPI_STATUS st = deviceIds(handle->channel.load(), &vendor, &product);
        if (st != PAVPI_STATUS_SUCCESS) return st;
        MutexHold hold(m);
        VfwLockRecord* r = lockRecord();
        if (load(r->camera) != 0) {
            if (static_cast<DWORD>(GetTickCount() - load(r->heartbeat)) <= kStaleAfterMs)
                return PAVPI_STATUS_IN_USE;
            clearRecord(r, true);  // its owner stopped beating: taken to be dead
        }
        // A heartbeat of an earlier hold of this handle has ended or will
        // end now that the record names someone else.
        joinHeartbeat(handle);
        store(r->camera, handle->camera);
        store(r->processId, self());
        store(r->handle, handle->token);
        store(r->heartbeat, GetTickCount());
        store(r->vendorId, vendor);
        store(r->productId, product);
        try {
            handle->heartbeat = std::thread(beat, handle);
        } catch (...) {
            clearRecord(r, true);
            return PAVPI_STATUS_ALLOC_FAILED;
        }
        return PAVPI_STATUS_SUCCESS;
    });
}

PAV512U_API PAVPI_STATUS PAVPI_HandleUnLockVfWOpen(PAVPI_HANDLE handle) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED, [&] {
        if (!validHandle(handle)) return PAVPI_STATUS_BAD_PARAMETER;
        HANDLE m = vpiMutex();
        if (!m) return PAVPI_STATUS_NULL_POINTER;
        {
            MutexHold hold(m);
            VfwLockRecord* r = lockRecord();
            if (load(r->camera) != handle->camera || load(r->processId) != self())
                return PAVPI_STATUS_BAD_PARAMETER;
            clearRecord(r, false);
            // Held a while so that the capture driver that gave the camera up
            // has let it go before the next holder starts.
            Sleep(kUnlockHoldMs);
        }
        return PAVPI_STATUS_SUCCESS;
    });
}

}  // extern "C"
