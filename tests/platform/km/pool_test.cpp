// Pool with tags, the verifier's pool checks, the allocation failure plan and
// lookaside lists.

#include <gtest/gtest.h>

#include <vector>

#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

constexpr ULONG kTag = kmsim::PoolTag("USBA");
constexpr ULONG kOtherTag = kmsim::PoolTag("PcCr");

TEST(Pool, TagsAreTheFourCharactersTheyAreWrittenAs) {
    static_assert(kTag == 0x41425355);
    EXPECT_EQ(kmsim::TagText(kTag), "USBA");
}

TEST(Pool, AllocationsAreTrackedPerTagUntilFreed) {
    kmsim::Simulation sim;
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 28, kTag);
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kOtherTag);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(kmsim::OutstandingAllocations(kTag), 2u);
    EXPECT_EQ(kmsim::OutstandingBytes(kTag), 128u);
    EXPECT_EQ(kmsim::OutstandingAllocations(), 3u);
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);
    ExFreePool(c);
    EXPECT_EQ(kmsim::OutstandingAllocations(), 0u);
}

TEST(Pool, AllocatePool2ZeroesUnlessAskedNotTo) {
    kmsim::Simulation sim;
    auto* zeroed = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    auto* raw = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, 64, kTag));
    auto* withTag = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag));
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(zeroed[i], 0);
        EXPECT_NE(raw[i], 0);      // a fill pattern makes uninitialised reads visible
        EXPECT_NE(withTag[i], 0);
    }
    ExFreePoolWithTag(zeroed, kTag);
    ExFreePoolWithTag(raw, kTag);
    ExFreePoolWithTag(withTag, kTag);
}

TEST(PoolDeathTest, LeaksAreReportedPerTagAtTeardown) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            ExAllocatePoolWithTag(NonPagedPoolNx, 56, kTag);
            ExAllocatePoolWithTag(NonPagedPoolNx, 920, kTag);
        },
        "pool tag \"USBA\": 2 block\\(s\\), 976 bytes outstanding");
}

TEST(PoolDeathTest, FreeingWithTheWrongTagStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
            ExFreePoolWithTag(block, kOtherTag);
        },
        "STOP: 0x000000C2(.|\n)*tag \"PcCr\"; it was allocated with the tag \"USBA\"");
}

TEST(PoolDeathTest, FreeingTwiceStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
            ExFreePoolWithTag(block, kTag);
            ExFreePoolWithTag(block, kTag);
        },
        "freed twice");
}

TEST(PoolDeathTest, PagedPoolAtDispatchLevelStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 8, kTag);
        },
        "paged pool at IRQL 2");
}

TEST(PoolDeathTest, FreeingPagedPoolAtDispatchLevelStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            void* block = ExAllocatePoolWithTag(PagedPool, 8, kTag);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExFreePoolWithTag(block, kTag);
        },
        "ExFreePoolWithTag of paged pool at 0x[0-9a-f]+ at IRQL 2");
}

TEST(PoolDeathTest, DescribingPagedPoolAsNonPagedStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            void* block = ExAllocatePoolWithTag(PagedPool, 64, kTag);
            PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(mdl);
        },
        "MmBuildMdlForNonPagedPool of the paged pool block at 0x[0-9a-f]+");
}

// A driver-like routine that keeps using its buffer after handing it back.
DECLSPEC_NOINLINE void ReleaseAndKeepCounting(ULONG* counters) {
    ExFreePoolWithTag(counters, kTag);
    counters[3] += 1;
}

TEST(PoolDeathTest, AWriteAfterFreeIsReportedWithTheCallerThatFreed) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            ReleaseAndKeepCounting(static_cast<ULONG*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag)));
        },
        "pool block at 0x[0-9a-f]+ \\(tag \"USBA\", 64 bytes\\) was written after it was freed: byte 12"
        "(.|\n)*caller: [^\n]*ReleaseAndKeepCounting");
}

// The check reads a block a page at a time: a write far into a large
// block, past its first pages, is still found, at its own offset.
TEST(PoolDeathTest, AWriteAfterFreeDeepInALargeBlockIsReportedAtItsByte) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            auto* bytes = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 3 * PAGE_SIZE + 100, kTag));
            ExFreePoolWithTag(bytes, kTag);
            bytes[2 * PAGE_SIZE + 77] = 0;
        },
        "\\(tag \"USBA\", [0-9]+ bytes\\) was written after it was freed: byte 8269 is 0x00");
}

TEST(PoolDeathTest, ASecondFreeNamesTheFirstFreeingCaller) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            auto* block = static_cast<ULONG*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTag));
            ReleaseAndKeepCounting(block);  // the write is not what this test is about
            void* other = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTag);  // the address is not handed out again
            EXPECT_NE(other, block);
            ExFreePoolWithTag(block, kTag);
        },
        "freed twice; first freed by [^\n]*ReleaseAndKeepCounting");
}

TEST(Pool, BlocksArePageAlignedFromAPageOnAndSmallerOnesNeverCrossAPage) {
    kmsim::Simulation sim;
    std::vector<void*> blocks;
    for (SIZE_T size : {1u, 24u, 100u, 700u, 2000u, 4000u, 4096u, 5000u, 3u * PAGE_SIZE + 1}) {
        for (int copy = 0; copy < 4; ++copy) {
            void* block = ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag);
            ASSERT_NE(block, nullptr);
            auto at = reinterpret_cast<uintptr_t>(block);
            if (size >= PAGE_SIZE) {
                EXPECT_EQ(at % PAGE_SIZE, 0u) << size;
            } else {
                EXPECT_EQ(at / PAGE_SIZE, (at + size - 1) / PAGE_SIZE) << size;
                EXPECT_EQ(at % 16, 0u) << size;
            }
            blocks.push_back(block);
        }
    }
    for (void* block : blocks) {
        ExFreePoolWithTag(block, kTag);
    }
}

TEST(Pool, CacheAlignedPoolStartsOnACacheLine) {
    kmsim::Simulation sim;
    std::vector<void*> blocks;
    for (int i = 0; i < 8; ++i) {
        blocks.push_back(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_CACHE_ALIGNED, 20, kTag));
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, 20, kTag));
    }
    for (void* block : blocks) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 64, 0u);
        ExFreePoolWithTag(block, kTag);
    }
}

TEST(PoolDeathTest, NoExecutePoolDoesNotExistBeforeWindows8) {
    EXPECT_DEATH(
        {
            kmsim::Options options;
            options.ntddiVersion = NTDDI_WIN7;
            kmsim::Simulation sim(options);
            ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
        },
        "NonPagedPoolNx");
}

TEST(Pool, TheOsVersionAnswerCanBeSet) {
    kmsim::Simulation sim;
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN8));
    kmsim::SetNtddiVersion(NTDDI_WIN7);
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WIN8));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN7));
    void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePoolWithTag(block, kTag);
}

TEST(FailurePlan, FailsTheNthAllocation) {
    kmsim::Simulation sim;
    kmsim::FailNthAllocation(3);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void* fourth = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(kmsim::FailedAllocationCount(), 1u);
    ExFreePool(first);
    ExFreePool(second);
    ExFreePool(fourth);
}

TEST(FailurePlan, FailsEveryAllocationOfATagUntilCleared) {
    kmsim::Simulation sim;
    kmsim::FailAllocationsWithTag(kOtherTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag), nullptr);
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_NE(other, nullptr);
    kmsim::ClearAllocationFailures();
    void* again = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag);
    EXPECT_NE(again, nullptr);
    ExFreePool(other);
    ExFreePool(again);
}

TEST(FailurePlan, RandomFailuresRepeatForTheSameSeed) {
    auto pattern = [](uint64_t seed) {
        kmsim::Simulation sim;
        kmsim::FailRandomAllocations(seed, 300);
        std::vector<bool> failed;
        for (int i = 0; i < 64; ++i) {
            void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
            failed.push_back(block == nullptr);
            if (block != nullptr) ExFreePool(block);
        }
        return failed;
    };
    std::vector<bool> first = pattern(42);
    EXPECT_EQ(first, pattern(42));
    EXPECT_NE(first, pattern(43));
    size_t failures = static_cast<size_t>(std::count(first.begin(), first.end(), true));
    EXPECT_GT(failures, 5u);
    EXPECT_LT(failures, 40u);
}

TEST(Lookaside, FreedEntriesAreReusedAndMissesGoToPool) {
    kmsim::Simulation sim;
    NPAGED_LOOKASIDE_LIST list{};
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 56, kTag, 0);
    void* a = ExAllocateFromNPagedLookasideList(&list);
    void* b = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(kmsim::OutstandingAllocations(kTag), 2u);
    ExFreeToNPagedLookasideList(&list, a);
    void* c = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(c, a);
    EXPECT_EQ(list.L.TotalAllocates, 3u);
    EXPECT_EQ(list.L.AllocateMisses, 2u);
    ExFreeToNPagedLookasideList(&list, b);
    ExFreeToNPagedLookasideList(&list, c);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(kmsim::OutstandingAllocations(kTag), 0u);
}

TEST(Lookaside, AMissFailsUnderTheFailurePlan) {
    kmsim::Simulation sim;
    NPAGED_LOOKASIDE_LIST list{};
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 920, kTag, 0);
    kmsim::FailAllocationsWithTag(kTag);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    kmsim::ClearAllocationFailures();
    ExDeleteNPagedLookasideList(&list);
}

TEST(LookasideDeathTest, EntriesStillOutAtTeardownShowAsPoolLeaks) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            NPAGED_LOOKASIDE_LIST list{};
            ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 56, kTag, 0);
            ExAllocateFromNPagedLookasideList(&list);
            ExDeleteNPagedLookasideList(&list);
        },
        "pool tag \"USBA\": 1 block");
}

TEST(LookasideDeathTest, NoExecuteFlagBeforeWindows8Stops) {
    EXPECT_DEATH(
        {
            kmsim::Options options;
            options.ntddiVersion = NTDDI_WIN7;
            kmsim::Simulation sim(options);
            NPAGED_LOOKASIDE_LIST list{};
            ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 56, kTag, 0);
        },
        "POOL_NX_ALLOCATION");
}

}  // namespace
