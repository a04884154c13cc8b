// IPortWaveRTStream on the stand-in's memory services. The port stream keeps
// the MDLs it allocated and which of them are mapped, so that the verifier
// stops a miniport that maps, unmaps or frees what this port stream did not
// give it (or gave it and took back already), and one that lets its port
// stream go with pages still allocated.

#include "port_wavert_stream.h"

#include <map>
#include <mutex>

#include "../verifier.h"

namespace pc {

namespace {

class CPortWaveRTStream : public IPortWaveRTStream, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(CPortWaveRTStream);
    ~CPortWaveRTStream() override;

    IMP_IPortWaveRTStream;

private:
    // The MDL must be one of this stream's; returns whether it is mapped.
    bool RequireOwned(PMDL mdl, const void* caller, const char* service);
    PMDL Allocate(PHYSICAL_ADDRESS low, PHYSICAL_ADDRESS high, SIZE_T bytes, ULONG flags);

    std::mutex lock_;
    std::map<PMDL, bool> mdls_;  // allocated MDL -> mapped
};

STDMETHODIMP_(NTSTATUS) CPortWaveRTStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPortWaveRTStream)) {
        *object = static_cast<PPORTWAVERTSTREAM>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

CPortWaveRTStream::~CPortWaveRTStream() {
    if (!mdls_.empty()) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr,
                 "a WaveRT port stream goes with %zu page allocations its miniport stream never freed",
                 mdls_.size());
    }
}

bool CPortWaveRTStream::RequireOwned(PMDL mdl, const void* caller, const char* service) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = mdls_.find(mdl);
    if (found == mdls_.end()) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "IPortWaveRTStream::%s of the MDL at %p, which this port stream did not allocate or has freed",
                 service, static_cast<void*>(mdl));
    }
    return found->second;
}

// PortCls asks for the whole size or nothing.
PMDL CPortWaveRTStream::Allocate(PHYSICAL_ADDRESS low, PHYSICAL_ADDRESS high, SIZE_T bytes, ULONG flags) {
    PHYSICAL_ADDRESS skip{};
    PMDL mdl = MmAllocatePagesForMdlEx(low, high, skip, bytes, MmCached, flags | MM_ALLOCATE_FULLY_REQUIRED);
    if (mdl != nullptr) {
        std::lock_guard<std::mutex> guard(lock_);
        mdls_[mdl] = false;
    }
    return mdl;
}

STDMETHODIMP_(PMDL) CPortWaveRTStream::AllocatePagesForMdl(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IPortWaveRTStream::AllocatePagesForMdl");
    PHYSICAL_ADDRESS low{};
    return Allocate(low, HighAddress, TotalBytes, 0);
}

STDMETHODIMP_(PMDL) CPortWaveRTStream::AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS LowAddress,
                                                                     PHYSICAL_ADDRESS HighAddress,
                                                                     SIZE_T TotalBytes) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IPortWaveRTStream::AllocateContiguousPagesForMdl");
    return Allocate(LowAddress, HighAddress, TotalBytes, MM_ALLOCATE_REQUIRE_CONTIGUOUS_CHUNKS);
}

STDMETHODIMP_(PVOID) CPortWaveRTStream::MapAllocatedPages(PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IPortWaveRTStream::MapAllocatedPages");
    if (RequireOwned(MemoryDescriptorList, caller, "MapAllocatedPages")) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "IPortWaveRTStream::MapAllocatedPages of the MDL at %p, which is mapped already",
                 static_cast<void*>(MemoryDescriptorList));
    }
    PVOID address = MmMapLockedPagesSpecifyCache(MemoryDescriptorList, KernelMode, CacheType, nullptr, FALSE,
                                                 NormalPagePriority);
    if (address != nullptr) {
        std::lock_guard<std::mutex> guard(lock_);
        mdls_[MemoryDescriptorList] = true;
    }
    return address;
}

STDMETHODIMP_(VOID) CPortWaveRTStream::UnmapAllocatedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IPortWaveRTStream::UnmapAllocatedPages");
    if (!RequireOwned(MemoryDescriptorList, caller, "UnmapAllocatedPages")) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "IPortWaveRTStream::UnmapAllocatedPages of %p: the MDL at %p is not mapped", BaseAddress,
                 static_cast<void*>(MemoryDescriptorList));
    }
    MmUnmapLockedPages(BaseAddress, MemoryDescriptorList);
    std::lock_guard<std::mutex> guard(lock_);
    mdls_[MemoryDescriptorList] = false;
}

STDMETHODIMP_(VOID) CPortWaveRTStream::FreePagesFromMdl(PMDL MemoryDescriptorList) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IPortWaveRTStream::FreePagesFromMdl");
    if (RequireOwned(MemoryDescriptorList, caller, "FreePagesFromMdl")) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "IPortWaveRTStream::FreePagesFromMdl of the MDL at %p while its pages are still mapped",
                 static_cast<void*>(MemoryDescriptorList));
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        mdls_.erase(MemoryDescriptorList);
    }
    MmFreePagesFromMdl(MemoryDescriptorList);
    ExFreePool(MemoryDescriptorList);
}

STDMETHODIMP_(ULONG) CPortWaveRTStream::GetPhysicalPagesCount(PMDL MemoryDescriptorList) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IPortWaveRTStream::GetPhysicalPagesCount");
    RequireOwned(MemoryDescriptorList, caller, "GetPhysicalPagesCount");
    return static_cast<ULONG>(ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(MemoryDescriptorList),
                                                             MmGetMdlByteCount(MemoryDescriptorList)));
}

STDMETHODIMP_(PHYSICAL_ADDRESS) CPortWaveRTStream::GetPhysicalPageAddress(PMDL MemoryDescriptorList, ULONG Index) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IPortWaveRTStream::GetPhysicalPageAddress");
    RequireOwned(MemoryDescriptorList, caller, "GetPhysicalPageAddress");
    ULONG pages = static_cast<ULONG>(ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(MemoryDescriptorList),
                                                                    MmGetMdlByteCount(MemoryDescriptorList)));
    if (Index >= pages) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "IPortWaveRTStream::GetPhysicalPageAddress of page %lu of an MDL with %lu pages",
                 static_cast<unsigned long>(Index), static_cast<unsigned long>(pages));
    }
    PHYSICAL_ADDRESS address;
    address.QuadPart = static_cast<LONGLONG>(MmGetMdlPfnArray(MemoryDescriptorList)[Index] << PAGE_SHIFT);
    return address;
}

}  // namespace

NTSTATUS NewPortWaveRTStream(PPORTWAVERTSTREAM* stream) {
    auto* made = new (NonPagedPool, kPortClsTag) CPortWaveRTStream(nullptr);
    if (made == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *stream = static_cast<PPORTWAVERTSTREAM>(made);
    (*stream)->AddRef();
    return STATUS_SUCCESS;
}

}  // namespace pc
