#include "platform/user/handles.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/kernel/object.h"
#include "platform/kernel/thread.h"
#include "platform/user/synch.h"

namespace uhandle {
namespace {

struct Entry {
    void* object;
    Kind kind;
};

struct Table {
    std::mutex lock;
    std::map<std::uintptr_t, Entry> entries;
    std::uintptr_t next = 4;
};

Table& table() {
    static Table* t = new Table();
    return *t;
}

thread_local DWORD lastError = 0;

struct UserEvent {
    KEVENT event;
};

LARGE_INTEGER timeoutFor(DWORD ms) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    return t;
}

}  // namespace

HANDLE insert(void* object, Kind kind) {
    ObfReferenceObject(object);
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    std::uintptr_t v = t.next;
    t.next += 4;
    if (t.next >= 0x7FFFFFF0) t.next = 4;  // stays a positive 32-bit value
    t.entries[v] = Entry{object, kind};
    return reinterpret_cast<HANDLE>(v);
}

void* reference(HANDLE handle, Kind kind) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.entries.end() || it->second.kind != kind) return nullptr;
    ObfReferenceObject(it->second.object);
    return it->second.object;
}

DISPATCHER_HEADER* referenceWaitable(HANDLE handle) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.entries.end()) return nullptr;
    if (it->second.kind != Kind::Event && it->second.kind != Kind::Thread) return nullptr;
    ObfReferenceObject(it->second.object);
    return static_cast<DISPATCHER_HEADER*>(it->second.object);
}

HANDLE duplicate(HANDLE handle) {
    void* object = nullptr;
    Kind kind;
    {
        Table& t = table();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == t.entries.end()) return nullptr;
        object = it->second.object;
        kind = it->second.kind;
        ObfReferenceObject(object);
    }
    HANDLE copy = insert(object, kind);
    ObfDereferenceObject(object);
    return copy;
}

LONG openHandles() {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    return static_cast<LONG>(t.entries.size());
}

}  // namespace uhandle

DWORD GetLastError() { return uhandle::lastError; }
void SetLastError(DWORD dwErrCode) { uhandle::lastError = dwErrCode; }

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
    auto* e = kobj::create<uhandle::UserEvent>(*ExEventObjectType);
    if (!e) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    KeInitializeEvent(&e->event, bManualReset ? NotificationEvent : SynchronizationEvent, bInitialState ? 1 : 0);
    HANDLE h = uhandle::insert(e, uhandle::Kind::Event);
    ObfDereferenceObject(e);
    return h;
}

namespace {

// Runs `change` on the event behind an event handle.
template <typename F>
BOOL changeEvent(HANDLE hEvent, F&& change) {
    auto* ev = static_cast<PKEVENT>(uhandle::reference(hEvent, uhandle::Kind::Event));
    if (!ev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    change(ev);
    ObfDereferenceObject(ev);
    return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE hEvent) {
    return changeEvent(hEvent, [](PKEVENT ev) { KeSetEvent(ev, 0, FALSE); });
}

BOOL ResetEvent(HANDLE hEvent) {
    return changeEvent(hEvent, [](PKEVENT ev) { KeResetEvent(ev); });
}

BOOL CloseHandle(HANDLE hObject) {
    void* obj = nullptr;
    {
        uhandle::Table& t = uhandle::table();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (it == t.entries.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        obj = it->second.object;
        t.entries.erase(it);
    }
    ObfDereferenceObject(obj);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    // Mutexes are not dispatcher objects of this model (a named one lives in
    // memory shared between processes), so they are waited for apart.
    if (void* m = uhandle::reference(hHandle, uhandle::Kind::Mutex)) {
        DWORD rc = umutex::wait(m, dwMilliseconds);
        ObfDereferenceObject(m);
        return rc;
    }
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<PVOID> objects;
    for (DWORD i = 0; i < nCount; ++i) {
        DISPATCHER_HEADER* h = uhandle::referenceWaitable(lpHandles[i]);
        if (!h) {
            for (PVOID o : objects) ObfDereferenceObject(o);
            void* m = uhandle::reference(lpHandles[i], uhandle::Kind::Mutex);
            if (m) ObfDereferenceObject(m);
            SetLastError(m ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(h);
    }
    LARGE_INTEGER t = uhandle::timeoutFor(dwMilliseconds);
    NTSTATUS st = KeWaitForMultipleObjects(nCount, objects.data(), bWaitAll ? WaitAll : WaitAny, UserRequest,
                                           UserMode, FALSE, dwMilliseconds == INFINITE ? nullptr : &t, nullptr);
    for (PVOID o : objects) ObfDereferenceObject(o);
    if (st == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    return WAIT_OBJECT_0 + static_cast<DWORD>(st - STATUS_WAIT_0);
}

void Sleep(DWORD dwMilliseconds) { kclock::sleepMs(dwMilliseconds); }

// Milliseconds since the machine started, on the model's clock: the same count
// in every process (of the same clock scale), as the platform's tick count is,
// so that a tick written by one process means something to another.
DWORD GetTickCount() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    double ms = (static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6) *
                kclock::scale();
    return static_cast<DWORD>(static_cast<unsigned long long>(ms));
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(PsGetCurrentThreadId()));
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
