#include <gtest/gtest.h>

#include "platform/kernel/wdm.h"
#include "tests/support/kernel_test.h"

namespace {

constexpr ULONG kTag = PoolTag("tst1");
constexpr ULONG kOther = PoolTag("tst2");

TEST(Pool, CountsLiveBytesPerTagUntilFreed) {
    EXPECT_EQ(kpool::tagName(kTag), "tst1");
    const ULONGLONG before = kpool::totalAllocations(kTag);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
    void* c = ExAllocatePoolWithTag(PagedPool, 7, kOther);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(kpool::liveBytes(kTag), 128);
    EXPECT_EQ(kpool::liveAllocations(kTag), 2);
    EXPECT_EQ(kpool::liveBytes(kOther), 7);
    ExFreePool(a);
    ExFreePoolWithTag(b, kTag);
    ExFreePool(c);
    EXPECT_EQ(kpool::liveBytes(kTag), 0);
    EXPECT_EQ(kpool::liveBytes(kOther), 0);
    EXPECT_EQ(kpool::totalAllocations(kTag) - before, 2u);
}

TEST(Pool, InjectedFailuresHitOnlyTheirTag) {
    kpool::failAllocations(kTag, 2);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(third, nullptr);
    ExFreePool(other);
    ExFreePool(third);

    kpool::failAllocationAfter(kTag, 1);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    ExFreePool(first);
}

TEST(Pool, WrongTagAndDoubleFreeAreVerifierFindings) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    {
        pavtest::ExpectViolation v("pool-tag-mismatch");
        ExFreePoolWithTag(p, kOther);
    }
    EXPECT_EQ(kpool::liveBytes(kTag), 0);
    {
        pavtest::ExpectViolation v("pool-null-free");
        ExFreePool(nullptr);
    }
}

TEST(Lookaside, ReusesEntriesAndReturnsEveryByteWhenDeleted) {
    NPAGED_LOOKASIDE_LIST list;
    const auto allocationsBefore = kpool::totalAllocations(kTag);  // a count for the process
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 20, kTag, 4);
    void* a = ExAllocateFromNPagedLookasideList(&list);
    void* b = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(kpool::liveBytes(kTag), 40);
    ExFreeToNPagedLookasideList(&list, a);
    void* c = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(c, a);  // came back from the list, not the pool
    EXPECT_EQ(kpool::totalAllocations(kTag) - allocationsBefore, 2u);
    ExFreeToNPagedLookasideList(&list, b);
    ExFreeToNPagedLookasideList(&list, c);
    EXPECT_EQ(kpool::liveBytes(kTag), 40);  // cached entries still belong to the tag
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(kpool::liveBytes(kTag), 0);
}

TEST(Lookaside, AFailedPoolAllocationIsReportedAsNone) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 20, kTag, 4);
    kpool::failAllocations(kTag, 1);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    ExDeleteNPagedLookasideList(&list);
}

}  // namespace
