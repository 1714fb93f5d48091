#include "platform/kernel/pool.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/kernel/verifier.h"

namespace kpool {
namespace {

constexpr ULONG kLiveMagic = 0x4C4F4F50;  // "POOL"
constexpr ULONG kFreedMagic = 0x45455246;  // "FREE"

// Each block carries this header in front; 32 bytes keep the body 16-aligned.
struct alignas(16) BlockHeader {
    ULONG magic;
    ULONG tag;
    SIZE_T size;
    ULONG poolType;
    ULONG reserved[3];
};
static_assert(sizeof(BlockHeader) == 32);

struct TagSlot {
    std::atomic<ULONG> tag{0};
    std::atomic<LONGLONG> bytes{0};
    std::atomic<LONGLONG> allocations{0};
    std::atomic<ULONGLONG> total{0};
};

// Open-addressed table of tags: lookups are lock-free, insertion takes the lock.
constexpr size_t kSlots = 1024;

struct Accounting {
    std::array<TagSlot, kSlots> slots;
    std::mutex insertLock;
    std::mutex faultLock;
    ULONG faultTag = 0;
    int faultSkip = 0;
    int faultCount = 0;
    // Any failure armed at all: read without the lock by every allocation,
    // so that the common case takes no lock.
    std::atomic<bool> faultArmed{false};
};

Accounting& acct() {
    static Accounting* a = new Accounting();
    return *a;
}

TagSlot* slotFor(ULONG tag, bool create) {
    Accounting& a = acct();
    size_t h = (tag * 2654435761u) % kSlots;
    for (size_t i = 0; i < kSlots; ++i) {
        TagSlot& s = a.slots[(h + i) % kSlots];
        ULONG t = s.tag.load(std::memory_order_acquire);
        if (t == tag) return &s;
        if (t == 0) {
            if (!create) return nullptr;
            std::lock_guard<std::mutex> g(a.insertLock);
            t = s.tag.load(std::memory_order_acquire);
            if (t == 0) {
                s.tag.store(tag, std::memory_order_release);
                return &s;
            }
            if (t == tag) return &s;
        }
    }
    return nullptr;  // table full: the tag goes unaccounted
}

bool shouldFail(ULONG tag) {
    Accounting& a = acct();
    if (!a.faultArmed.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> g(a.faultLock);
    if (a.faultCount <= 0) return false;
    if (a.faultTag != 0 && a.faultTag != tag) return false;
    if (a.faultSkip > 0) {
        --a.faultSkip;
        return false;
    }
    if (--a.faultCount <= 0) a.faultArmed.store(false, std::memory_order_release);
    return true;
}

BlockHeader* headerOf(PVOID p) {
    return reinterpret_cast<BlockHeader*>(static_cast<char*>(p) - sizeof(BlockHeader));
}

}  // namespace

std::string tagName(ULONG tag) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

LONGLONG liveBytes(ULONG tag) {
    TagSlot* s = slotFor(tag, false);
    return s ? s->bytes.load() : 0;
}

LONGLONG liveAllocations(ULONG tag) {
    TagSlot* s = slotFor(tag, false);
    return s ? s->allocations.load() : 0;
}

ULONGLONG totalAllocations(ULONG tag) {
    TagSlot* s = slotFor(tag, false);
    return s ? s->total.load() : 0;
}

std::vector<TagUsage> snapshot() {
    std::vector<TagUsage> out;
    for (TagSlot& s : acct().slots) {
        ULONG t = s.tag.load();
        if (t != 0) out.push_back(TagUsage{t, s.bytes.load(), s.allocations.load(), s.total.load()});
    }
    return out;
}

void failAllocations(ULONG tag, int count) {
    std::lock_guard<std::mutex> g(acct().faultLock);
    acct().faultTag = tag;
    acct().faultSkip = 0;
    acct().faultCount = count;
    acct().faultArmed.store(count > 0, std::memory_order_release);
}

void failAllocationAfter(ULONG tag, int skip) {
    std::lock_guard<std::mutex> g(acct().faultLock);
    acct().faultTag = tag;
    acct().faultSkip = skip;
    acct().faultCount = 1;
    acct().faultArmed.store(true, std::memory_order_release);
}

bool injectedFailure(ULONG tag) { return shouldFail(tag); }

SIZE_T blockSize(PVOID p) { return p ? headerOf(p)->size : 0; }

}  // namespace kpool

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    using namespace kpool;
    if (shouldFail(Tag)) return nullptr;
    if (NumberOfBytes > (SIZE_T{1} << 34)) return nullptr;
    void* raw = std::aligned_alloc(16, (sizeof(BlockHeader) + NumberOfBytes + 15) / 16 * 16);
    if (!raw) return nullptr;
    auto* h = static_cast<BlockHeader*>(raw);
    h->magic = kLiveMagic;
    h->tag = Tag;
    h->size = NumberOfBytes;
    h->poolType = static_cast<ULONG>(PoolType);
    if (TagSlot* s = slotFor(Tag, true)) {
        s->bytes.fetch_add(static_cast<LONGLONG>(NumberOfBytes));
        s->allocations.fetch_add(1);
        s->total.fetch_add(1);
    }
    return static_cast<char*>(raw) + sizeof(BlockHeader);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, PoolTag("None"));
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    using namespace kpool;
    if (P == nullptr) {
        kverifier::report("pool-null-free", "ExFreePool of a null pointer");
        return;
    }
    BlockHeader* h = headerOf(P);
    if (h->magic != kLiveMagic) {
        kverifier::report("pool-double-free", h->magic == kFreedMagic
                                                   ? "pool block freed twice (tag " + tagName(h->tag) + ")"
                                                   : "free of memory that is not a pool block");
        return;
    }
    if (Tag != 0 && Tag != h->tag) {
        kverifier::report("pool-tag-mismatch",
                          "freed with tag " + tagName(Tag) + ", allocated with " + tagName(h->tag));
    }
    if (TagSlot* s = slotFor(h->tag, false)) {
        s->bytes.fetch_sub(static_cast<LONGLONG>(h->size));
        s->allocations.fetch_sub(1);
    }
    h->magic = kFreedMagic;
    std::free(h);
}

void ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG, SIZE_T Size, ULONG Tag,
                                     USHORT Depth) {
    GENERAL_LOOKASIDE& L = Lookaside->L;
    L.ListHead.Next = nullptr;
    L.Depth = 0;
    L.MaximumDepth = Depth ? Depth : 256;
    L.TotalAllocates = L.AllocateMisses = L.TotalFrees = L.FreeMisses = 0;
    L.Type = NonPagedPool;
    L.Tag = Tag;
    L.Size = static_cast<ULONG>(Size < sizeof(SINGLE_LIST_ENTRY) ? sizeof(SINGLE_LIST_ENTRY) : Size);
    L.Allocate = Allocate ? Allocate : ExAllocatePoolWithTag;
    L.Free = Free ? Free : ExFreePool;
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    GENERAL_LOOKASIDE& L = Lookaside->L;
    for (;;) {
        PSINGLE_LIST_ENTRY e = ExInterlockedPopEntryList(&L.ListHead, &Lookaside->Lock);
        if (!e) break;
        L.Free(e);
    }
    L.Depth = 0;
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    GENERAL_LOOKASIDE& L = Lookaside->L;
    KIRQL irql = KfAcquireSpinLock(&Lookaside->Lock);
    ++L.TotalAllocates;
    PSINGLE_LIST_ENTRY e = L.ListHead.Next;
    if (e) {
        L.ListHead.Next = e->Next;
        --L.Depth;
    } else {
        ++L.AllocateMisses;
    }
    KfReleaseSpinLock(&Lookaside->Lock, irql);
    if (e) return e;
    return L.Allocate(L.Type, L.Size, L.Tag);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    GENERAL_LOOKASIDE& L = Lookaside->L;
    KIRQL irql = KfAcquireSpinLock(&Lookaside->Lock);
    ++L.TotalFrees;
    if (L.Depth < L.MaximumDepth) {
        auto* e = static_cast<PSINGLE_LIST_ENTRY>(Entry);
        e->Next = L.ListHead.Next;
        L.ListHead.Next = e;
        ++L.Depth;
        KfReleaseSpinLock(&Lookaside->Lock, irql);
        return;
    }
    ++L.FreeMisses;
    KfReleaseSpinLock(&Lookaside->Lock, irql);
    L.Free(Entry);
}
