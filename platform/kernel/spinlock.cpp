#include "platform/kernel/spinlock.h"

#include <atomic>

namespace {
thread_local KIRQL currentIrql = PASSIVE_LEVEL;

template <typename T>
std::atomic_ref<T> ref(volatile T* p) {
    return std::atomic_ref<T>(*const_cast<T*>(p));
}
}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK) {
    // The mutex inside is ready when the record is constructed.
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    SpinLock->m.lock();
    KIRQL old = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    return old;
}

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    currentIrql = NewIrql;
    SpinLock->m.unlock();
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) { SpinLock->m.lock(); }
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { SpinLock->m.unlock(); }

KIRQL KeGetCurrentIrql() { return currentIrql; }

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    return old;
}

void KeLowerIrql(KIRQL NewIrql) { currentIrql = NewIrql; }

LONG InterlockedIncrement(volatile LONG* Addend) { return ref(Addend).fetch_add(1) + 1; }
LONG InterlockedDecrement(volatile LONG* Addend) { return ref(Addend).fetch_sub(1) - 1; }
LONG InterlockedExchange(volatile LONG* Target, LONG Value) { return ref(Target).exchange(Value); }
LONG InterlockedExchangeAdd(volatile LONG* Addend, LONG Value) {
    return ref(Addend).fetch_add(Value);
}
LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comparand) {
    ref(Destination).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return ref(Target).exchange(Value);
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand) {
    ref(Destination).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                              PSINGLE_LIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    KIRQL irql = KfAcquireSpinLock(Lock);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    ListEntry->Next = first;
    ListHead->Next = ListEntry;
    KfReleaseSpinLock(Lock, irql);
    return first;
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL irql = KfAcquireSpinLock(Lock);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    if (first) ListHead->Next = first->Next;
    KfReleaseSpinLock(Lock, irql);
    return first;
}
