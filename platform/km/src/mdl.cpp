// Memory descriptor lists. An MDL built for pool names its host pages
// directly (a host address shifted by the page size); pages allocated for an
// MDL get simulated physical frames (physical_memory.h), so that their
// address bounds hold. Mapping an MDL gives back the host address its pages
// live at.

#include <cstdlib>

#include "kernel_state.h"
#include "physical_memory.h"
#include "pool_internal.h"
#include "verifier.h"

namespace {

constexpr ULONG kMdlTag = 0x206C644D;    // 'Mdl '
constexpr ULONG kPagesTag = 0x67506D4D;  // 'MmPg', pages allocated for an MDL

SIZE_T MdlSize(PVOID address, SIZE_T length) {
    return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(address, length);
}

void FillPfnArray(PMDL mdl, const char* base, SIZE_T length) {
    PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
    SIZE_T pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(base, length);
    ULONG_PTR first = reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(base)) >> PAGE_SHIFT;
    for (SIZE_T i = 0; i < pages; ++i) {
        pfns[i] = first + i;
    }
}

PVOID AddressOfPages(PMDL mdl) {
    PFN_NUMBER first = MmGetMdlPfnArray(mdl)[0];
    char* host = km::HostPageOfFrame(first);
    if (host == nullptr) {
        host = reinterpret_cast<char*>(first << PAGE_SHIFT);
    }
    return host + mdl->ByteOffset;
}

// The frames wholly inside [low, high].
PFN_NUMBER LowestFrame(PHYSICAL_ADDRESS low) {
    return static_cast<PFN_NUMBER>((static_cast<ULONGLONG>(low.QuadPart) + PAGE_SIZE - 1) >> PAGE_SHIFT);
}

PFN_NUMBER HighestFrame(PHYSICAL_ADDRESS high) {
    ULONGLONG last = static_cast<ULONGLONG>(high.QuadPart);
    if (last == ~0ull) {
        return static_cast<PFN_NUMBER>(last >> PAGE_SHIFT);
    }
    ULONGLONG frames = (last + 1) >> PAGE_SHIFT;
    return frames == 0 ? 0 : static_cast<PFN_NUMBER>(frames - 1);
}

}  // namespace

char* km::HostAddressOfMdl(PMDL mdl) { return static_cast<char*>(AddressOfPages(mdl)); }

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IoAllocateMdl");
    if (SecondaryBuffer || Irp != nullptr) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "IoAllocateMdl with an IRP to attach to: this stand-in supports stand-alone MDLs only");
    }
    SIZE_T size = MdlSize(VirtualAddress, Length);
    auto* mdl = static_cast<PMDL>(km::PoolAllocate(NonPagedPool, size, kMdlTag, true, caller, "IoAllocateMdl"));
    if (mdl == nullptr) {
        return nullptr;
    }
    mdl->Size = static_cast<CSHORT>(size);
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    const void* caller = KM_CALLER;
    if ((Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "IoFreeMdl of the MDL at %p while it is still mapped",
                 static_cast<void*>(Mdl));
    }
    km::PoolFree(Mdl, kMdlTag, true, caller, "IoFreeMdl");
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    char* base = static_cast<char*>(MmGetMdlVirtualAddress(mdl));
    if (km::IsPagedPool(base)) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER,
                 "MmBuildMdlForNonPagedPool of the paged pool block at %p", static_cast<void*>(base));
    }
    FillPfnArray(mdl, base, mdl->ByteCount);
    mdl->MappedSystemVa = base;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE,
                                         PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority) {
    const void* caller = KM_CALLER;
    PMDL mdl = MemoryDescriptorList;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "MmMapLockedPagesSpecifyCache");
    if (AccessMode != KernelMode || RequestedAddress != nullptr) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "MmMapLockedPagesSpecifyCache: only system-space mappings are supported");
    }
    if ((Priority & MdlMappingNoExecute) != 0 && !RtlIsNtDdiVersionAvailable(NTDDI_WIN8)) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "MmMapLockedPagesSpecifyCache with MdlMappingNoExecute, which Windows before 8 does not have");
    }
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "mapping the MDL at %p, whose pages are not locked",
                 static_cast<void*>(mdl));
    }
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "mapping the MDL at %p a second time",
                 static_cast<void*>(mdl));
    }
    if (km::ShouldFailSystemAllocation(kMdlTag)) {
        if (BugCheckOnFailure) {
            km::Stop(0x41 /* MUST_SUCCEED_POOL_EMPTY */, caller, "a system-space mapping failed");
        }
        return nullptr;
    }
    mdl->MappedSystemVa = AddressOfPages(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0 || mdl->MappedSystemVa != BaseAddress) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "MmUnmapLockedPages of %p, which this MDL has not mapped",
                 BaseAddress);
    }
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = nullptr;
}

// All or nothing: an allocation the range cannot satisfy in full fails,
// whether or not MM_ALLOCATE_FULLY_REQUIRED asked for that.
PMDL NTAPI MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, PHYSICAL_ADDRESS,
                                   SIZE_T TotalBytes, MEMORY_CACHING_TYPE, ULONG Flags) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "MmAllocatePagesForMdlEx");
    if (TotalBytes == 0 || TotalBytes > 0xFFFFFFFFu) {
        return nullptr;
    }
    SIZE_T pageCount = BYTES_TO_PAGES(TotalBytes);
    SIZE_T pageBytes = pageCount * PAGE_SIZE;
    // The pages are tracked like pool so that leaks show up per tag; they
    // are page aligned, as physical pages are.
    if (km::ShouldFailSystemAllocation(kPagesTag)) {
        return nullptr;
    }
    auto* pages = static_cast<char*>(aligned_alloc(PAGE_SIZE, pageBytes));
    if (pages == nullptr) {
        return nullptr;
    }
    if ((Flags & MM_DONT_ZERO_ALLOCATION) == 0) {
        memset(pages, 0, pageBytes);
    }
    SIZE_T size = MdlSize(pages, TotalBytes);
    auto* mdl = static_cast<PMDL>(km::PoolAllocate(NonPagedPool, size, kPagesTag, true, caller, "MmAllocatePagesForMdl"));
    if (mdl == nullptr) {
        free(pages);
        return nullptr;
    }
    bool contiguous = (Flags & MM_ALLOCATE_REQUIRE_CONTIGUOUS_CHUNKS) != 0;
    if (!km::AssignFrames(pages, pageCount, LowestFrame(LowAddress), HighestFrame(HighAddress), contiguous,
                          MmGetMdlPfnArray(mdl))) {
        km::PoolFree(mdl, kPagesTag, true, caller, "MmAllocatePagesForMdl");
        free(pages);
        return nullptr;
    }
    mdl->Size = static_cast<CSHORT>(size);
    mdl->StartVa = nullptr;
    mdl->ByteOffset = 0;
    mdl->ByteCount = static_cast<ULONG>(TotalBytes);
    mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_ALLOCATED_FIXED_SIZE;
    return mdl;
}

PMDL NTAPI MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                 PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes) {
    return MmAllocatePagesForMdlEx(LowAddress, HighAddress, SkipBytes, TotalBytes, MmCached, 0);
}

VOID NTAPI MmFreePagesFromMdl(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER,
                 "MmFreePagesFromMdl of the MDL at %p while its pages are still mapped", static_cast<void*>(mdl));
    }
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0 || mdl->ByteCount == 0) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER,
                 "MmFreePagesFromMdl of the MDL at %p, which holds no allocated pages", static_cast<void*>(mdl));
    }
    char* host = km::HostPageOfFrame(MmGetMdlPfnArray(mdl)[0]);
    km::ReleaseFrames(MmGetMdlPfnArray(mdl), BYTES_TO_PAGES(mdl->ByteCount));
    free(host);
    mdl->ByteCount = 0;
    mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
}
