// Spin locks of the kernel model. Here they are blocking locks: the model runs
// on ordinary threads that may be preempted while holding one, where spinning
// would only burn the other core. IRQL is tracked per thread for the checks.
#pragma once

#include <mutex>

#include "platform/kernel/basetypes.h"

struct KSPIN_LOCK {
    std::mutex m;
};
using PKSPIN_LOCK = KSPIN_LOCK*;

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
inline void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KfAcquireSpinLock(SpinLock);
}
inline void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KfReleaseSpinLock(SpinLock, NewIrql);
}
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

KIRQL KeGetCurrentIrql();
// The model's IRQL: raised by spin locks and while deferred procedures and
// completion routines run.
KIRQL KeRaiseIrqlToDpcLevel();
void KeLowerIrql(KIRQL NewIrql);

// Interlocked operations on 32-bit values.
LONG InterlockedIncrement(volatile LONG* Addend);
LONG InterlockedDecrement(volatile LONG* Addend);
LONG InterlockedExchange(volatile LONG* Target, LONG Value);
LONG InterlockedExchangeAdd(volatile LONG* Addend, LONG Value);
LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comparand);
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand);
// A read of a value other threads change with the Interlocked calls: an
// acquire load, so the reader sees what the writer published before it.
inline LONG ReadAcquire(const volatile LONG* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

// Singly linked lists guarded by a spin lock.
PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                              PSINGLE_LIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock);

// Doubly linked list helpers of the DDK.
inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY blink = head->Blink;
    entry->Flink = head;
    entry->Blink = blink;
    blink->Flink = entry;
    head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY flink = head->Flink;
    entry->Flink = flink;
    entry->Blink = head;
    flink->Blink = entry;
    head->Flink = entry;
}
inline bool RemoveEntryList(PLIST_ENTRY entry) {
    PLIST_ENTRY flink = entry->Flink;
    PLIST_ENTRY blink = entry->Blink;
    blink->Flink = flink;
    flink->Blink = blink;
    return flink == blink;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}
