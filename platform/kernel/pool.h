// Pool allocation with four-character tags and live-byte accounting per tag,
// and lookaside lists. Tests assert that a device gives every tag back to zero,
// as a driver verifier's pool tracking would.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/basetypes.h"
#include "platform/kernel/spinlock.h"

enum POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
};

// The tag as the bytes appear in memory: PoolTag("usbi") reads "usbi" in a dump.
constexpr ULONG PoolTag(const char (&s)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(s[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(s[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(s[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(s[3])) << 24;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void ExFreePool(PVOID P);
void ExFreePoolWithTag(PVOID P, ULONG Tag);

namespace kpool {

struct TagUsage {
    ULONG tag;
    LONGLONG liveBytes;
    LONGLONG liveAllocations;
    ULONGLONG totalAllocations;
};

std::string tagName(ULONG tag);
LONGLONG liveBytes(ULONG tag);
LONGLONG liveAllocations(ULONG tag);
ULONGLONG totalAllocations(ULONG tag);
std::vector<TagUsage> snapshot();
// Makes the next `count` allocations with `tag` fail (0 clears), so tests can
// walk the out-of-pool paths. Tag 0 matches every tag.
void failAllocations(ULONG tag, int count);
// Fails the allocation that comes `skip` allocations of `tag` from now.
void failAllocationAfter(ULONG tag, int skip);
// Whether an allocation of `tag` is to fail now, as ExAllocatePoolWithTag
// asks (it counts as that allocation). For a cache of pool blocks: a block
// it hands out again meets the failures injected for its tag.
bool injectedFailure(ULONG tag);
// Size of a pool block (as allocated).
SIZE_T blockSize(PVOID p);

}  // namespace kpool

// Lookaside lists: fixed-size entries with a cache of freed ones.
using PALLOCATE_FUNCTION = PVOID (*)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
using PFREE_FUNCTION = void (*)(PVOID Buffer);

struct GENERAL_LOOKASIDE {
    SINGLE_LIST_ENTRY ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
};

struct NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
    KSPIN_LOCK Lock;
};
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;
using PAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST;
using PPAGED_LOOKASIDE_LIST = PAGED_LOOKASIDE_LIST*;

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
