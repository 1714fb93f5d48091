#include "platform/kernel/object.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/verifier.h"

namespace {
OBJECT_TYPE eventType{"Event"};
OBJECT_TYPE semaphoreType{"Semaphore"};
OBJECT_TYPE threadType{"Thread"};
OBJECT_TYPE fileType{"File"};
POBJECT_TYPE eventTypePtr = &eventType;
POBJECT_TYPE semaphoreTypePtr = &semaphoreType;
POBJECT_TYPE threadTypePtr = &threadType;
POBJECT_TYPE fileTypePtr = &fileType;
}  // namespace

POBJECT_TYPE* ExEventObjectType = &eventTypePtr;
POBJECT_TYPE* ExSemaphoreObjectType = &semaphoreTypePtr;
POBJECT_TYPE* PsThreadType = &threadTypePtr;
POBJECT_TYPE* IoFileObjectType = &fileTypePtr;

namespace kobj {
namespace {

constexpr std::uint64_t kObjectMagic = 0x4A424F4C444F4D4BULL;
std::atomic<LONGLONG> liveCount{0};

Header* headerOf(PVOID body) {
    return reinterpret_cast<Header*>(static_cast<char*>(body) - sizeof(Header));
}

bool isObject(PVOID body) { return body && headerOf(body)->reserved == kObjectMagic; }

struct HandleTable {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, PVOID> objects;
    std::uintptr_t next = 1;
};

HandleTable& kernelHandles() {
    static HandleTable* t = new HandleTable();
    return *t;
}

// Kernel handles have the top bit of their 32-bit value set, as on the platform,
// so they can never be confused with a client's handle.
constexpr std::uintptr_t kKernelHandleBit = 0x80000000u;

thread_local ClientObjectTable* currentTable = nullptr;

}  // namespace

void* allocateRaw(size_t bodySize, POBJECT_TYPE type, void (*destroy)(void*)) {
    void* raw = std::aligned_alloc(16, (sizeof(Header) + bodySize + 15) / 16 * 16);
    if (!raw) return nullptr;
    auto* h = static_cast<Header*>(raw);
    h->refs = 1;
    h->type = type;
    h->destroy = destroy;
    h->reserved = kObjectMagic;
    liveCount.fetch_add(1);
    return static_cast<char*>(raw) + sizeof(Header);
}

void freeRaw(void* body) {
    Header* h = headerOf(body);
    h->reserved = 0;
    liveCount.fetch_sub(1);
    std::free(h);
}

POBJECT_TYPE typeOf(PVOID body) { return isObject(body) ? headerOf(body)->type : nullptr; }

LONG_PTR referenceCount(PVOID body) {
    return isObject(body) ? std::atomic_ref<std::int64_t>(headerOf(body)->refs).load() : 0;
}

LONGLONG liveObjects() { return liveCount.load(); }

HANDLE insertHandle(PVOID body) {
    ObfReferenceObject(body);
    HandleTable& t = kernelHandles();
    std::lock_guard<std::mutex> g(t.lock);
    std::uintptr_t value = kKernelHandleBit | (t.next++ & 0x7FFFFFFF);
    t.objects[value] = body;
    return reinterpret_cast<HANDLE>(value);
}

ClientScope::ClientScope(ClientObjectTable* table) : previous_(currentTable) {
    currentTable = table;
}
ClientScope::~ClientScope() { currentTable = previous_; }
ClientObjectTable* currentClient() { return currentTable; }

bool isKernelHandle(HANDLE handle) {
    return (reinterpret_cast<std::uintptr_t>(handle) & kKernelHandleBit) != 0;
}

namespace {
struct ForwardingEvent {
    KEVENT event;
};
}  // namespace

PKEVENT createForwardingEvent(DispatcherSignalHook forward, void* context) {
    auto* fe = create<ForwardingEvent>(*ExEventObjectType);
    if (!fe) return nullptr;
    KeInitializeEvent(&fe->event, SynchronizationEvent, FALSE);
    kdisp::setSignalHook(&fe->event.Header, forward, context);
    static_assert(offsetof(ForwardingEvent, event) == 0);
    return &fe->event;
}

ACCESS_MASK mapKeyAccess(ACCESS_MASK a) {
    constexpr ACCESS_MASK kGenericRead = 0x80000000;
    constexpr ACCESS_MASK kGenericWrite = 0x40000000;
    constexpr ACCESS_MASK kGenericExecute = 0x20000000;
    constexpr ACCESS_MASK kGenericAll = 0x10000000;
    constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
    if (a & (kGenericRead | kGenericExecute)) a |= KEY_READ;
    if (a & kGenericWrite) a |= KEY_WRITE;
    if (a & (kGenericAll | kMaximumAllowed)) a |= KEY_ALL_ACCESS;
    return a & 0x00FFFFFF;
}

}  // namespace kobj

LONG_PTR ObfReferenceObject(PVOID Object) {
    if (!kobj::isObject(Object)) {
        kverifier::report("ob-reference", "reference of something that is not an object");
        return 0;
    }
    return std::atomic_ref<std::int64_t>(kobj::headerOf(Object)->refs).fetch_add(1) + 1;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    if (!kobj::isObject(Object)) {
        kverifier::report("ob-dereference", "dereference of something that is not an object");
        return 0;
    }
    kobj::Header* h = kobj::headerOf(Object);
    std::int64_t left = std::atomic_ref<std::int64_t>(h->refs).fetch_sub(1) - 1;
    if (left == 0) {
        h->destroy(Object);
        kobj::freeRaw(Object);
    } else if (left < 0) {
        kverifier::report("ob-dereference", "object dereferenced below zero");
    }
    return left;
}

void KeStackAttachProcess(PEPROCESS process, PRKAPC_STATE state) {
    state->previous = kobj::currentTable;
    kobj::currentTable = process;
}

void KeUnstackDetachProcess(PRKAPC_STATE state) { kobj::currentTable = state->previous; }

PEPROCESS PsGetCurrentProcess() { return kobj::currentTable; }

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION) {
    auto value = reinterpret_cast<std::uintptr_t>(Handle);
    if (Object == nullptr) return STATUS_INVALID_PARAMETER;
    *Object = nullptr;
    if (value & kobj::kKernelHandleBit) {
        // A value a client sent is looked up for the client: guessing a
        // kernel handle must not hand it the driver's own objects.
        if (AccessMode != KernelMode) return STATUS_INVALID_HANDLE;
        kobj::HandleTable& t = kobj::kernelHandles();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.objects.find(value);
        if (it == t.objects.end()) return STATUS_INVALID_HANDLE;
        if (ObjectType && kobj::typeOf(it->second) != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
        ObfReferenceObject(it->second);
        *Object = it->second;
        return STATUS_SUCCESS;
    }
    kobj::ClientObjectTable* client = kobj::currentClient();
    if (client == nullptr || value == 0 || value > 0xFFFFFFFFu) return STATUS_INVALID_HANDLE;
    if (ObjectType != *ExEventObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    PKEVENT ev = nullptr;
    NTSTATUS st = client->referenceEvent(static_cast<std::uint32_t>(value), &ev);
    if (!NT_SUCCESS(st)) return st;
    *Object = ev;
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    auto value = reinterpret_cast<std::uintptr_t>(Handle);
    PVOID body = nullptr;
    {
        kobj::HandleTable& t = kobj::kernelHandles();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.objects.find(value);
        if (it == t.objects.end()) return STATUS_INVALID_HANDLE;
        body = it->second;
        t.objects.erase(it);
    }
    ObfDereferenceObject(body);
    return STATUS_SUCCESS;
}
