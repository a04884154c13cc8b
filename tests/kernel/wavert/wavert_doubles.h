// Doubles of what a WaveRT miniport and its streams are given: the port
// stream's buffer services (real memory, counted, each allocation able to
// fail), a WaveRT port with an optional DRM port, and an adapter that
// records what the miniport asks of it and can refuse each request.
#pragma once

#include <ntddk.h>
#include <portcls.h>
#include <stdunk.h>

#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "adapter/usb_audio_adapter.h"
#include "filter_description.h"

namespace wavert_test {

class PortStreamDouble : public IPortWaveRTStream, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    PortStreamDouble() : CUnknown(nullptr) {}
    ~PortStreamDouble() override;
    IMP_IPortWaveRTStream;

    bool failPages = false;
    bool failMapping = false;
    struct Counts {
        int allocated = 0, mapped = 0, unmapped = 0, freed = 0;
    } counts;
    LONGLONG lastHighAddress = 0;
    MEMORY_CACHING_TYPE lastCacheType = MmNotMapped;
    int Outstanding() const { return static_cast<int>(pages_.size()); }
    // Where the pages of an MDL the double allocated are mapped.
    PUCHAR Address(PMDL mdl) { return pages_.at(mdl).second.data(); }

private:
    std::map<PMDL, std::pair<std::unique_ptr<MDL>, std::vector<UCHAR>>> pages_;
};

class DrmPortDouble : public IDrmPort2, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    DrmPortDouble() : CUnknown(nullptr) {}
    STDMETHODIMP_(NTSTATUS) CreateContentMixed(PULONG, ULONG, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) DestroyContent(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) ForwardContentToFileObject(ULONG, PFILE_OBJECT) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) ForwardContentToInterface(ULONG, PUNKNOWN, ULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) GetContentRights(ULONG, PDRMRIGHTS) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) AddContentHandlers(ULONG, PVOID*, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) ForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved,
                                                         PCDRMFORWARD DrmForward) override;

    ULONG forwardedId = 0;
    PVOID forwardedReserved = reinterpret_cast<PVOID>(1);
    DRMFORWARD forwarded = {};
    NTSTATUS forwardStatus = STATUS_SUCCESS;
};

class PortDouble : public IPortWaveRT, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    PortDouble() : CUnknown(nullptr) {}
    ~PortDouble() override;
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                                           PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    DrmPortDouble* drm = nullptr;  // offered as IDrmPort2 when set (counted by the port)
};

// Every adapter operation the miniport and its streams use; the rest
// answer STATUS_NOT_IMPLEMENTED.
class AdapterDouble : public IUsbAudioAdapter, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    AdapterDouble() : CUnknown(nullptr) {}
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT, PDEVICE_OBJECT) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) ReserveDirections(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Exclusive) override;
    STDMETHODIMP_(NTSTATUS) ReleaseDirections(BOOLEAN Capture, BOOLEAN Render) override;
    STDMETHODIMP_(NTSTATUS) RegisterMiniport(IMiniportEngineSink* Sink) override;
    STDMETHODIMP_(NTSTATUS) UnregisterMiniport(IMiniportEngineSink* Sink) override;
    STDMETHODIMP_(NTSTATUS) SetFormat(BOOLEAN Capture, USHORT FormatTag, ULONG Channels, ULONG BitsPerSample,
                                      ULONG Rate) override;
    STDMETHODIMP_(void) ClearFormat(BOOLEAN Capture) override;
    STDMETHODIMP_(void) QueueRenderSpan(PVOID Address, LONG Length) override;
    STDMETHODIMP_(void) QueueCaptureSpan(PVOID Address, LONG Length) override;
    STDMETHODIMP_(void) FlushRenderSpans() override {}
    STDMETHODIMP_(void) FlushCaptureSpans() override {}
    STDMETHODIMP_(void) PrepareForRemoval() override {}
    STDMETHODIMP_(NTSTATUS) JackProperty(PPCPROPERTY_REQUEST Request) override;
    STDMETHODIMP_(NTSTATUS) GetSignalProcessingModes(ULONG, GUID*, ULONG*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) GetSampleRate(ULONG* Rate) override;
    STDMETHODIMP_(NTSTATUS) ChangeSampleRate(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) GetRateRange(ULONG*, ULONG*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) NarrowRateRange(BOOLEAN, ULONG*, ULONG*) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) BuildFilterDescription(FilterDescriptionBlock* Block) override;
    STDMETHODIMP_(void) FreeFilterDescription(FilterDescriptionBlock*) override {}
    STDMETHODIMP_(NTSTATUS) Prepare(BOOLEAN Capture, ULONG BufferBytes) override;
    STDMETHODIMP_(NTSTATUS) Unprepare(BOOLEAN Capture) override;
    STDMETHODIMP_(NTSTATUS) GetDrmForward(BOOLEAN Capture, PDRMFORWARD Forward) override;

    struct Span {
        bool capture;
        PUCHAR address;
        LONG length;
    };
    // What was asked, in order ("reserve render", "format capture 1/2/16/48000", ...).
    std::vector<std::string> calls;
    std::mutex callsLock;  // calls may come from several simulation threads
    size_t Count(const std::string& prefix);
    std::vector<Span> spans;
    NTSTATUS reserveStatus = STATUS_SUCCESS;
    NTSTATUS formatStatus = STATUS_SUCCESS;
    NTSTATUS prepareStatus = STATUS_SUCCESS;
    NTSTATUS drmStatus = STATUS_SUCCESS;
    ULONG preparedBytes = 0;
    LONGLONG formatDelayMs = 0;  // SetFormat takes this long, as a device's control requests do
    const PCAUTOMATION_TABLE* filterAutomation = nullptr;  // what the miniport handed the build
    PPCPROPERTY_REQUEST jackRequest = nullptr;
    IMiniportEngineSink* sink = nullptr;
};

}  // namespace wavert_test
