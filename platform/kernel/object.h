// The object manager of the kernel model: reference-counted objects with a
// header in front of the body, kernel handles, and the lookup of handles that a
// client process passed in a request (its event handles).
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "platform/kernel/basetypes.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/ntstatus.h"

struct OBJECT_TYPE {
    const char* Name;
};
using POBJECT_TYPE = OBJECT_TYPE*;

// As in the DDK these are pointers to the type pointers: callers pass *ExEventObjectType.
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* ExSemaphoreObjectType;
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* IoFileObjectType;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    UNICODE_STRING* ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, UNICODE_STRING* n, ULONG a, HANDLE r,
                                       PVOID s) {
    p->Length = sizeof(OBJECT_ATTRIBUTES);
    p->RootDirectory = r;
    p->Attributes = a;
    p->ObjectName = n;
    p->SecurityDescriptor = s;
    p->SecurityQualityOfService = nullptr;
}

struct OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
};
using POBJECT_HANDLE_INFORMATION = OBJECT_HANDLE_INFORMATION*;

constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK EVENT_MODIFY_STATE = 0x0002;
constexpr ACCESS_MASK THREAD_ALL_ACCESS = 0x001F03FF;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0xF003F;
constexpr ACCESS_MASK KEY_READ = 0x20019;
constexpr ACCESS_MASK KEY_WRITE = 0x20006;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR ObfReferenceObject(PVOID Object);
LONG_PTR ObfDereferenceObject(PVOID Object);
inline LONG_PTR ObReferenceObject(PVOID Object) { return ObfReferenceObject(Object); }
inline LONG_PTR ObDereferenceObject(PVOID Object) { return ObfDereferenceObject(Object); }
NTSTATUS ZwClose(HANDLE Handle);

namespace kobj {

struct Header {
    std::int64_t refs;  // atomic through std::atomic_ref
    POBJECT_TYPE type;
    void (*destroy)(void* body);
    std::uint64_t reserved;
};
static_assert(sizeof(Header) == 32);

void* allocateRaw(size_t bodySize, POBJECT_TYPE type, void (*destroy)(void*));
void freeRaw(void* body);

// Creates a reference-counted object (one reference, the caller's).
template <typename T, typename... Args>
T* create(POBJECT_TYPE type, Args&&... args) {
    void* mem = allocateRaw(sizeof(T), type, [](void* b) { static_cast<T*>(b)->~T(); });
    if (!mem) return nullptr;
    return new (mem) T(std::forward<Args>(args)...);
}

POBJECT_TYPE typeOf(PVOID body);
LONG_PTR referenceCount(PVOID body);
// Live objects created through create(); tests check it returns to its start.
LONGLONG liveObjects();

// Kernel handles (ZwClose closes them).
HANDLE insertHandle(PVOID body);  // takes a new reference

// The rights a registry key handle gets when `desired` is asked for: the
// generic rights (read, write, execute, all, maximum allowed) stand for the
// key rights they map to, and only the object-specific and standard bits
// stay.
ACCESS_MASK mapKeyAccess(ACCESS_MASK desired);

// What resolves a handle that came from a client process: the channel that
// carried the request installs its table while the request is dispatched.
class ClientObjectTable {
public:
    virtual ~ClientObjectTable() = default;
    // Returns a referenced event object for the client's handle, or an error status.
    virtual NTSTATUS referenceEvent(std::uint32_t handle, PKEVENT* event) = 0;
};

// Installs `table` as the current client of this thread for its lifetime.
class ClientScope {
public:
    explicit ClientScope(ClientObjectTable* table);
    ~ClientScope();
    ClientScope(const ClientScope&) = delete;
    ClientScope& operator=(const ClientScope&) = delete;

private:
    ClientObjectTable* previous_;
};
ClientObjectTable* currentClient();

// The kernel table holds only kernel handles: a handle value that came
// from a client (UserMode) never resolves there.
bool isKernelHandle(HANDLE handle);

// An event object that stands for a client's event: signalling it calls the
// forwarder (outside the dispatcher lock).
PKEVENT createForwardingEvent(DispatcherSignalHook forward, void* context);

}  // namespace kobj

// The process a request came from. In the model a process is the table that
// resolves its handles (null: no client, e.g. a system thread).
using PEPROCESS = kobj::ClientObjectTable*;
struct KAPC_STATE {
    PEPROCESS previous;
};
using PRKAPC_STATE = KAPC_STATE*;
// Makes `process` the current one of this thread (its handles resolve) until
// KeUnstackDetachProcess; calls nest.
void KeStackAttachProcess(PEPROCESS process, PRKAPC_STATE state);
void KeUnstackDetachProcess(PRKAPC_STATE state);
PEPROCESS PsGetCurrentProcess();
