// Memory manager (Mm) part of <wdm.h>: memory descriptor lists and their
// system-space mappings.
#pragma once

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L

#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(PAGE_SIZE - 1)))
#define BYTES_TO_PAGES(Size) (((Size) >> PAGE_SHIFT) + (((Size) & (PAGE_SIZE - 1)) != 0))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((BYTE_OFFSET(Va) + ((SIZE_T)(Size)) + (PAGE_SIZE - 1)) >> PAGE_SHIFT)

typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

struct _EPROCESS;

typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;
typedef MDL* PMDLX;

static_assert(sizeof(MDL) == 48, "MDL layout");

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_LOCKED_PAGE_TABLES 0x0100
#define MDL_FREE_EXTRA_PTES 0x0200
#define MDL_DESCRIBES_AWE 0x0400
#define MDL_IO_SPACE 0x0800
#define MDL_NETWORK_HEADER 0x1000
#define MDL_MAPPING_CAN_FAIL 0x2000
#define MDL_PAGE_CONTENTS_INVARIANT 0x4000
#define MDL_ALLOCATED_MUST_SUCCEED 0x4000
#define MDL_INTERNAL 0x8000

#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached,
    MmNonCachedUnordered,
    MmUSWCCached,
    MmMaximumCacheType,
    MmNotMapped = -1
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY { LowPagePriority, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;

#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

#define MM_ALLOCATE_FULLY_REQUIRED 0x00000004
#define MM_DONT_ZERO_ALLOCATION 0x00000001
#define MM_ALLOCATE_REQUIRE_CONTIGUOUS_CHUNKS 0x00000020

NTKERNELAPI PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                     BOOLEAN ChargeQuota, PIRP Irp);
NTKERNELAPI VOID NTAPI IoFreeMdl(PMDL Mdl);
NTKERNELAPI VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                     ULONG BugCheckOnFailure, ULONG Priority);
NTKERNELAPI VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
NTKERNELAPI PMDL NTAPI MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                             PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes);
NTKERNELAPI PMDL NTAPI MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                               PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes,
                                               MEMORY_CACHING_TYPE CacheType, ULONG Flags);
NTKERNELAPI VOID NTAPI MmFreePagesFromMdl(PMDL MemoryDescriptorList);

FORCEINLINE PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return Mdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, Priority);
}
