// The WaveRT doubles: real memory behind the port stream's MDLs, and an
// adapter that writes down each request.

#include "wavert_doubles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "wavert/miniport_engine_sink.h"

namespace wavert_test {

namespace {
const char* Direction(BOOLEAN capture) { return capture ? "capture" : "render"; }
void Record(std::vector<std::string>& calls, std::mutex& lock, std::string call) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(std::move(call));
}
}  // namespace

// ---------------------------------------------------------------- port stream

PortStreamDouble::~PortStreamDouble() = default;

STDMETHODIMP_(NTSTATUS) PortStreamDouble::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPortWaveRTStream)) {
        *object = static_cast<IPortWaveRTStream*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(PMDL) PortStreamDouble::AllocatePagesForMdl(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) {
    lastHighAddress = HighAddress.QuadPart;
    if (failPages || TotalBytes == 0) return nullptr;
    auto mdl = std::make_unique<MDL>();
    mdl->ByteCount = static_cast<ULONG>(TotalBytes);
    PMDL key = mdl.get();
    pages_[key] = {std::move(mdl), std::vector<UCHAR>(TotalBytes, 0xCD)};
    ++counts.allocated;
    return key;
}

STDMETHODIMP_(PMDL) PortStreamDouble::AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS, PHYSICAL_ADDRESS HighAddress,
                                                                    SIZE_T TotalBytes) {
    return AllocatePagesForMdl(HighAddress, TotalBytes);
}

STDMETHODIMP_(PVOID) PortStreamDouble::MapAllocatedPages(PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) {
    lastCacheType = CacheType;
    auto found = pages_.find(MemoryDescriptorList);
    if (failMapping || found == pages_.end()) return nullptr;
    ++counts.mapped;
    return found->second.second.data();
}

STDMETHODIMP_(VOID) PortStreamDouble::UnmapAllocatedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    auto found = pages_.find(MemoryDescriptorList);
    EXPECT_TRUE(found != pages_.end() && found->second.second.data() == BaseAddress);
    ++counts.unmapped;
}

STDMETHODIMP_(VOID) PortStreamDouble::FreePagesFromMdl(PMDL MemoryDescriptorList) {
    EXPECT_EQ(pages_.erase(MemoryDescriptorList), 1u);
    ++counts.freed;
}

STDMETHODIMP_(ULONG) PortStreamDouble::GetPhysicalPagesCount(PMDL MemoryDescriptorList) {
    return static_cast<ULONG>(BYTES_TO_PAGES(MemoryDescriptorList->ByteCount));
}

STDMETHODIMP_(PHYSICAL_ADDRESS) PortStreamDouble::GetPhysicalPageAddress(PMDL, ULONG Index) {
    PHYSICAL_ADDRESS address;
    address.QuadPart = static_cast<LONGLONG>(Index) << PAGE_SHIFT;
    return address;
}

// ---------------------------------------------------------------- ports

STDMETHODIMP_(NTSTATUS) DrmPortDouble::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IDrmPort) || IsEqualGUID(iid, IID_IDrmPort2)) {
        *object = static_cast<IDrmPort2*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) DrmPortDouble::ForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved,
                                                                    PCDRMFORWARD DrmForward) {
    forwardedId = ContentId;
    forwardedReserved = Reserved;
    forwarded = *DrmForward;
    return forwardStatus;
}

PortDouble::~PortDouble() {
    if (drm != nullptr) drm->Release();
}

STDMETHODIMP_(NTSTATUS) PortDouble::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, IID_IPortWaveRT)) {
        *object = static_cast<IPortWaveRT*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    if (IsEqualGUID(iid, IID_IDrmPort2) && drm != nullptr) {
        return drm->QueryInterface(iid, object);
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

// ---------------------------------------------------------------- adapter

STDMETHODIMP_(NTSTATUS) AdapterDouble::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IUsbAudioAdapter)) {
        *object = static_cast<IUsbAudioAdapter*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

size_t AdapterDouble::Count(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(callsLock);
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const std::string& call) {
        return call.rfind(prefix, 0) == 0;
    }));
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::ReserveDirections(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Exclusive) {
    Record(calls, callsLock, std::string("reserve ") + (Capture ? "capture" : "") + (Render ? "render" : "") +
                    (Exclusive ? " exclusive" : ""));
    return reserveStatus;
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::ReleaseDirections(BOOLEAN Capture, BOOLEAN Render) {
    Record(calls, callsLock, std::string("release ") + (Capture ? "capture" : "") + (Render ? "render" : ""));
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::RegisterMiniport(IMiniportEngineSink* Sink) {
    sink = Sink;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::UnregisterMiniport(IMiniportEngineSink* Sink) {
    if (sink == Sink) sink = nullptr;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::SetFormat(BOOLEAN Capture, USHORT FormatTag, ULONG Channels,
                                                 ULONG BitsPerSample, ULONG Rate) {
    Record(calls, callsLock, std::string("format ") + Direction(Capture) + " " + std::to_string(FormatTag) + "/" +
                    std::to_string(Channels) + "/" + std::to_string(BitsPerSample) + "/" + std::to_string(Rate));
    if (formatDelayMs != 0) {
        LARGE_INTEGER delay;
        delay.QuadPart = -formatDelayMs * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    return formatStatus;
}

STDMETHODIMP_(void) AdapterDouble::ClearFormat(BOOLEAN Capture) {
    Record(calls, callsLock, std::string("clear ") + Direction(Capture));
}

STDMETHODIMP_(void) AdapterDouble::QueueRenderSpan(PVOID Address, LONG Length) {
    spans.push_back({false, static_cast<PUCHAR>(Address), Length});
}

STDMETHODIMP_(void) AdapterDouble::QueueCaptureSpan(PVOID Address, LONG Length) {
    spans.push_back({true, static_cast<PUCHAR>(Address), Length});
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::JackProperty(PPCPROPERTY_REQUEST Request) {
    jackRequest = Request;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::GetSampleRate(ULONG* Rate) {
    *Rate = 48000;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::BuildFilterDescription(FilterDescriptionBlock* Block) {
    filterAutomation = Block->descriptor.AutomationTable;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::Prepare(BOOLEAN Capture, ULONG BufferBytes) {
    Record(calls, callsLock, std::string("prepare ") + Direction(Capture) + " " + std::to_string(BufferBytes));
    preparedBytes = BufferBytes;
    return prepareStatus;
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::Unprepare(BOOLEAN Capture) {
    Record(calls, callsLock, std::string("unprepare ") + Direction(Capture));
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) AdapterDouble::GetDrmForward(BOOLEAN Capture, PDRMFORWARD Forward) {
    Record(calls, callsLock, std::string("drm ") + Direction(Capture));
    Forward->Context = reinterpret_cast<PVOID>(0x1234);
    return drmStatus;
}

}  // namespace wavert_test
