// Handles and waitable objects of the user-mode model. A handle is a small
// number (a multiple of 4), so it fits the 32-bit fields that carry handles in
// control requests. Events are kernel-model dispatcher objects, so user waits
// and driver signals meet on the same object.
#pragma once

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/object.h"
#include "platform/user/win32.h"

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
BOOL CloseHandle(HANDLE hObject);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
void Sleep(DWORD dwMilliseconds);
DWORD GetTickCount();
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

namespace uhandle {

// Kinds of objects behind handles.
enum class Kind { Event, Thread, Mutex, File, Key, Other };

// Every handle refers to a kernel-model object (kobj) of the process; the
// table holds one reference per handle.
HANDLE insert(void* object, Kind kind);
// Returns a new reference to the object behind the handle (or null when the
// handle is not of that kind); release it with ObfDereferenceObject.
void* reference(HANDLE handle, Kind kind);
// The dispatcher header behind a waitable handle, referenced, or null.
DISPATCHER_HEADER* referenceWaitable(HANDLE handle);
// The 32-bit value of a handle as it travels in a request.
inline std::uint32_t wireValue(HANDLE h) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h));
}
inline HANDLE fromWire(std::uint32_t v) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(v)); }
// A second handle to the object behind `handle` (same kind), or null.
HANDLE duplicate(HANDLE handle);
LONG openHandles();

// A reference to the object behind a handle of `kind` whose object type is
// `type`, held for the scope; get() is null when the handle is no such object.
template <typename T>
class Ref {
public:
    Ref(HANDLE handle, Kind kind, POBJECT_TYPE type) : object_(static_cast<T*>(reference(handle, kind))) {
        if (object_ && kobj::typeOf(object_) != type) {
            ObfDereferenceObject(object_);
            object_ = nullptr;
        }
    }
    ~Ref() {
        if (object_) ObfDereferenceObject(object_);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_;
};

}  // namespace uhandle
