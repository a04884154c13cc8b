// Memory descriptor lists and their system-space mappings.

#include <gtest/gtest.h>

#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

constexpr ULONG kTag = kmsim::PoolTag("USBA");

TEST(Mdls, NonPagedPoolMdlMapsToTheBufferItself) {
    kmsim::Simulation sim;
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10000, kTag));
    PMDL mdl = IoAllocateMdl(buffer + 100, 9000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer + 100);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 9000u);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute), buffer + 100);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(buffer, kTag);
}

TEST(Mdls, AllocatedPagesAreZeroedMappedAndFreed) {
    kmsim::Simulation sim;
    PHYSICAL_ADDRESS low{};
            PHYSICAL_ADDRESS high{};
            PHYSICAL_ADDRESS skip{};
    high.QuadPart = -1;
    PMDL mdl = MmAllocatePagesForMdlEx(low, high, skip, 3 * PAGE_SIZE + 10, MmCached, MM_ALLOCATE_FULLY_REQUIRED);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 3u * PAGE_SIZE + 10);
    auto* mapped = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute));
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mapped) % PAGE_SIZE, 0u);
    for (ULONG i = 0; i < MmGetMdlByteCount(mdl); ++i) {
        ASSERT_EQ(mapped[i], 0);
    }
    mapped[3 * PAGE_SIZE + 9] = 0x5A;  // the last byte is writable
    MmUnmapLockedPages(mapped, mdl);
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
}

TEST(Mdls, MappingCanBeMadeToFail) {
    kmsim::Simulation sim;
    PHYSICAL_ADDRESS low{};
            PHYSICAL_ADDRESS high{};
            PHYSICAL_ADDRESS skip{};
    high.QuadPart = -1;
    PMDL mdl = MmAllocatePagesForMdl(low, high, skip, PAGE_SIZE);
    kmsim::FailAllocationsWithTag(kmsim::PoolTag("Mdl "));
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    kmsim::ClearAllocationFailures();
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
}

TEST(MdlsDeathTest, FreeingPagesWhileMappedStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            PHYSICAL_ADDRESS low{};
            PHYSICAL_ADDRESS high{};
            PHYSICAL_ADDRESS skip{};
            high.QuadPart = -1;
            PMDL mdl = MmAllocatePagesForMdl(low, high, skip, PAGE_SIZE);
            MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
            MmFreePagesFromMdl(mdl);
        },
        "still mapped");
}

TEST(MdlsDeathTest, NoExecuteMappingBeforeWindows8Stops) {
    EXPECT_DEATH(
        {
            kmsim::Options options;
            options.ntddiVersion = NTDDI_WIN7;
            kmsim::Simulation sim(options);
            PHYSICAL_ADDRESS low{};
            PHYSICAL_ADDRESS high{};
            PHYSICAL_ADDRESS skip{};
            high.QuadPart = -1;
            PMDL mdl = MmAllocatePagesForMdl(low, high, skip, PAGE_SIZE);
            MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute);
        },
        "MdlMappingNoExecute");
}

TEST(MdlsDeathTest, AnMdlNotFreedIsALeak) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            static UCHAR buffer[64];
            IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
        },
        "pool tag \"Mdl \"");
}

}  // namespace

namespace {

PHYSICAL_ADDRESS Address(LONGLONG value) {
    PHYSICAL_ADDRESS address;
    address.QuadPart = value;
    return address;
}

ULONGLONG FrameAddress(PMDL mdl, ULONG i) { return static_cast<ULONGLONG>(MmGetMdlPfnArray(mdl)[i]) << PAGE_SHIFT; }

TEST(Mdls, AllocatedPagesStayWithinTheirPhysicalBounds) {
    kmsim::Simulation sim;
    constexpr ULONG kPages = 5;
    PMDL below4g = MmAllocatePagesForMdl(Address(0), Address(0xFFFFFFFF), Address(0), kPages * PAGE_SIZE);
    PMDL anywhere = MmAllocatePagesForMdl(Address(0), Address(-1), Address(0), kPages * PAGE_SIZE);
    PMDL window = MmAllocatePagesForMdlEx(Address(0x10000000), Address(0x10003FFF), Address(0), 4 * PAGE_SIZE,
                                          MmCached, MM_ALLOCATE_REQUIRE_CONTIGUOUS_CHUNKS);
    ASSERT_NE(below4g, nullptr);
    ASSERT_NE(anywhere, nullptr);
    ASSERT_NE(window, nullptr);
    bool anyAbove4g = false;
    for (ULONG i = 0; i < kPages; ++i) {
        EXPECT_LE(FrameAddress(below4g, i) + PAGE_SIZE - 1, 0xFFFFFFFFull);
        anyAbove4g |= FrameAddress(anywhere, i) > 0xFFFFFFFFull;
        for (ULONG j = 0; j < kPages; ++j) {
            EXPECT_NE(FrameAddress(below4g, i), FrameAddress(anywhere, j));
        }
    }
    EXPECT_TRUE(anyAbove4g);  // the bound is what kept the first one low
    for (ULONG i = 0; i < 4; ++i) {
        EXPECT_EQ(FrameAddress(window, i), 0x10000000ull + i * PAGE_SIZE);  // one ascending run
    }
    // The window is full: one more page does not fit.
    EXPECT_EQ(MmAllocatePagesForMdl(Address(0x10000000), Address(0x10003FFF), Address(0), PAGE_SIZE), nullptr);

    // What is written through the mapping is in the pages the frames name.
    auto* mapped = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(below4g, NormalPagePriority));
    ASSERT_NE(mapped, nullptr);
    mapped[kPages * PAGE_SIZE - 1] = 0x77;
    MmUnmapLockedPages(mapped, below4g);
    for (PMDL mdl : {below4g, anywhere, window}) {
        MmFreePagesFromMdl(mdl);
        ExFreePool(mdl);
    }
    // Freed frames are free again.
    PMDL again = MmAllocatePagesForMdl(Address(0x10000000), Address(0x10003FFF), Address(0), 4 * PAGE_SIZE);
    ASSERT_NE(again, nullptr);
    MmFreePagesFromMdl(again);
    ExFreePool(again);
}

}  // namespace
