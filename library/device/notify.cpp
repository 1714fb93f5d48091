// System notifications: a new camera of given ids appeared, or the camera woke
// the system. Both watch registry keys; one dispatcher thread per process
// waits for every watch at once, in rounds of at most 64 handles.
#include <atomic>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "library/device/export_guard.h"
#include "library/device/pavpi_internal.h"
#include "library/device/registry_key.h"
#include "platform/user/synch.h"

namespace pavu {
namespace {

constexpr DWORD kRecheckMs = 1250;
constexpr char kCameraChangeKey[] = "Software\\Veltra\\USB Camera (PAV512)\\CameraChange";
constexpr char kWokeSystemValue[] = "CameraWokeSystem";

std::atomic<unsigned> rounds{0};

// `RegistryWatchDispatcher`: entries (callback, user data, event), a wake
// event and one thread. A callback gets (user data, 0) when its event was
// signalled and (user data, 1) when the dispatcher stops first.
class RegistryWatchDispatcher {
  public:
    using Callback = void (*)(void* user, int stopping);

    bool start() {
        wake_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!wake_) return false;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            CloseHandle(wake_);
            wake_ = nullptr;
            return false;
        }
        return true;
    }

    bool add(Callback callback, void* user, HANDLE event) {
        if (!callback || !event || WaitForSingleObject(event, 0) == WAIT_FAILED) return false;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (stopping_) return false;
            entries_.push_back(Entry{callback, user, event});
        }
        SetEvent(wake_);
        return true;
    }

    void stop() {
        {
            std::lock_guard<std::mutex> g(lock_);
            stopping_ = true;
        }
        SetEvent(wake_);
        // Callbacks may sleep up to their recheck time; the shutdown event has
        // already cut that short, so the thread ends promptly.
        if (thread_.joinable()) thread_.join();
        CloseHandle(wake_);
        wake_ = nullptr;
    }

  private:
    struct Entry {
        Callback callback;
        void* user;
        HANDLE event;
    };

    void run() {
        WaitForSingleObject(wake_, INFINITE);
        for (;;) {
            std::vector<HANDLE> handles{wake_};
            std::vector<Entry> shown;
            {
                std::lock_guard<std::mutex> g(lock_);
                if (stopping_) break;
                for (const Entry& e : entries_) {
                    if (handles.size() == MAXIMUM_WAIT_OBJECTS) break;
                    handles.push_back(e.event);
                    shown.push_back(e);
                }
            }
            DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                              FALSE, INFINITE);
            if (rc >= WAIT_OBJECT_0 + 1 && rc < WAIT_OBJECT_0 + handles.size()) {
                Entry e = shown[rc - WAIT_OBJECT_0 - 1];
                bool mine = take(e.event);
                if (mine) e.callback(e.user, 0);
                rounds.fetch_add(1);
            } else if (rc == WAIT_FAILED) {
                dropInvalid();
            }
            ResetEvent(wake_);
        }
        std::list<Entry> left;
        {
            std::lock_guard<std::mutex> g(lock_);
            left.swap(entries_);
        }
        for (const Entry& e : left) e.callback(e.user, 1);
    }

    bool take(HANDLE event) {
        std::lock_guard<std::mutex> g(lock_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->event == event) {
                entries_.erase(it);
                return true;
            }
        }
        return false;
    }

    // An entry whose event was closed under it would fail every round.
    void dropInvalid() {
        std::vector<Entry> bad;
        {
            std::lock_guard<std::mutex> g(lock_);
            for (auto it = entries_.begin(); it != entries_.end();) {
                if (WaitForSingleObject(it->event, 0) == WAIT_FAILED) {
                    bad.push_back(*it);
                    it = entries_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const Entry& e : bad) e.callback(e.user, 1);
    }

    std::mutex lock_;
    std::list<Entry> entries_;
    bool stopping_ = false;
    HANDLE wake_ = nullptr;
    std::thread thread_;
};

std::mutex& dispatcherGuard() {
    static auto* m = new std::mutex();
    return *m;
}
RegistryWatchDispatcher* dispatcher = nullptr;

RegistryWatchDispatcher* startedDispatcher() {
    std::lock_guard<std::mutex> g(dispatcherGuard());
    if (!shutdownEvent() || WaitForSingleObject(shutdownEvent(), 0) == WAIT_OBJECT_0) return nullptr;
    if (!dispatcher) {
        auto* d = new (std::nothrow) RegistryWatchDispatcher();
        if (!d || !d->start()) {
            delete d;
            return nullptr;
        }
        dispatcher = d;
    }
    return dispatcher;
}

// One watch: the caller's event (a duplicate the watch owns), what it watches
// for and its own watch event.
struct Watch {
    HANDLE callerEvent = nullptr;
    HANDLE watchEvent = nullptr;
    bool wokeSystem = false;
    std::uint32_t vendor = 0, product = 0;
    std::uint32_t last = 0;  // count of cameras, or the woke-system value
};

void endWatch(Watch* w) {
    if (w->callerEvent) CloseHandle(w->callerEvent);
    if (w->watchEvent) CloseHandle(w->watchEvent);
    delete w;
}

// Asks for the watch event on the next change of the watched key. The key is
// opened for this moment only; closing it signals the event too, so the watch
// comes round again about every recheck interval.
bool arm(Watch* w) {
    RegistryKey key;
    bool ok = w->wokeSystem ? key.open(HKEY_LOCAL_MACHINE, kProductKey, true, true)
                            : key.open(HKEY_LOCAL_MACHINE, kCameraChangeKey, true, true);
    return ok && key.watch(w->watchEvent);
}

bool readWokeSystem(std::uint32_t* value) {
    RegistryKey key;
    DWORD v = 0;
    if (!key.open(HKEY_LOCAL_MACHINE, kProductKey, true, true) ||
        !key.readNumber(kWokeSystemValue, &v))
        v = 0;  // never written: reads as 0 until a wake is recorded
    *value = v;
    return true;
}

bool countCameras(Watch* w, std::uint32_t* count) {
    std::uint32_t unused[1];
    return enumerateCameras(w->vendor, w->product, unused, 0, count) == PAVPI_STATUS_SUCCESS;
}

void onWatch(void* user, int stopping) {
    auto* w = static_cast<Watch*>(user);
    if (stopping || WaitForSingleObject(shutdownEvent(), kRecheckMs) == WAIT_OBJECT_0) {
        endWatch(w);
        return;
    }
    std::uint32_t now = 0;
    bool read = w->wokeSystem ? readWokeSystem(&now) : countCameras(w, &now);
    if (!read) {
        endWatch(w);
        return;
    }
    bool fire = w->wokeSystem ? now != w->last : now > w->last;
    if (fire) {
        SetEvent(w->callerEvent);
        endWatch(w);
        return;
    }
    w->last = now;
    RegistryWatchDispatcher* d = startedDispatcher();
    if (!ResetEvent(w->watchEvent) || !arm(w) || !d || !d->add(onWatch, w, w->watchEvent))
        endWatch(w);
}

PAVPI_STATUS startWatch(bool wokeSystem, std::uint32_t vendor, std::uint32_t product,
                        PAV_EVENT event) {
    RegistryWatchDispatcher* d = startedDispatcher();
    if (!d) return PAVPI_STATUS_NULL_POINTER;
    auto* w = new (std::nothrow) Watch();
    if (!w) return PAVPI_STATUS_ALLOC_FAILED;
    w->wokeSystem = wokeSystem;
    w->vendor = vendor;
    w->product = product;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &w->callerEvent, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        endWatch(w);
        return PAVPI_STATUS_ALLOC_FAILED;
    }
    if (wokeSystem) {
        readWokeSystem(&w->last);
    } else {
        PAVPI_STATUS st = enumerateCameras(vendor, product, nullptr, 0, &w->last);
        if (st != PAVPI_STATUS_SUCCESS) {
            endWatch(w);
            return st;
        }
    }
    w->watchEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!w->watchEvent || !arm(w) || !d->add(onWatch, w, w->watchEvent)) {
        endWatch(w);
        return PAVPI_STATUS_ALLOC_FAILED;
    }
    return PAVPI_STATUS_SUCCESS;
}

}  // namespace

void stopDispatcher() {
    RegistryWatchDispatcher* d;
    {
        std::lock_guard<std::mutex> g(dispatcherGuard());
        d = dispatcher;
        dispatcher = nullptr;
    }
    if (d) {
        d->stop();
        delete d;
    }
}

unsigned watchRounds() { return rounds.load(); }

}  // namespace pavu

using namespace pavu;

extern "C" {

PAV512U_API PAVPI_STATUS PAVPI_CameraNotifyNew(uint32_t vendorId, uint32_t productId,
                                               PAV_EVENT event) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED,
                                 [&] { return startWatch(false, vendorId, productId, event); });
}

PAV512U_API PAVPI_STATUS PAVPI_CameraNotifyWokeSystem(PAV_EVENT event) {
    return guarded<PAVPI_STATUS>(PAVPI_STATUS_ALLOC_FAILED,
                                 [&] { return startWatch(true, 0, 0, event); });
}

}  // extern "C"
