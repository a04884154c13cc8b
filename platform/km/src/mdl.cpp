// Memory descriptor lists. Host memory is one flat space, so a page frame
// number here is simply a host address shifted by the page size; mapping an
// MDL gives back the address its pages live at.

#include <cstdlib>

#include "kernel_state.h"
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
    return reinterpret_cast<PVOID>((MmGetMdlPfnArray(mdl)[0] << PAGE_SHIFT) + mdl->ByteOffset);
}

}  // namespace

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

PMDL NTAPI MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS, PHYSICAL_ADDRESS, PHYSICAL_ADDRESS, SIZE_T TotalBytes,
                                   MEMORY_CACHING_TYPE, ULONG Flags) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "MmAllocatePagesForMdlEx");
    if (TotalBytes == 0 || TotalBytes > 0xFFFFFFFFu) {
        return nullptr;
    }
    SIZE_T pageBytes = BYTES_TO_PAGES(TotalBytes) * PAGE_SIZE;
    // The pages are tracked like pool so that leaks show up per tag; they
    // are page aligned, as physical pages are.
    if (km::ShouldFailSystemAllocation(kPagesTag)) {
        return nullptr;
    }
    void* pages = aligned_alloc(PAGE_SIZE, pageBytes);
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
    mdl->Size = static_cast<CSHORT>(size);
    mdl->StartVa = nullptr;
    mdl->ByteOffset = 0;
    mdl->ByteCount = static_cast<ULONG>(TotalBytes);
    mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_ALLOCATED_FIXED_SIZE;
    FillPfnArray(mdl, static_cast<char*>(pages), TotalBytes);
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
    free(reinterpret_cast<void*>(MmGetMdlPfnArray(mdl)[0] << PAGE_SHIFT));
    mdl->ByteCount = 0;
    mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
}
