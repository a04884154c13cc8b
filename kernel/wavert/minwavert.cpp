// The WaveRT miniport: creation and interfaces, Init and destruction, the
// engine-facing sink, power and signal-processing modes.

#include "wavert/minwavert.h"

#include "wavert/filter_pins.h"
#include "wavert/filter_property_handlers.h"
#include "wavert/minwavert_stream.h"
#include "common/locks.h"
#include "common/pool.h"
#include "common/trace.h"

namespace {

// The filter's interface categories: audio and real-time always, render
// and capture for the streaming pins the description has.
const GUID kDuplexCategories[] = {STATICGUIDOF(KSCATEGORY_AUDIO), STATICGUIDOF(KSCATEGORY_REALTIME),
                                  STATICGUIDOF(KSCATEGORY_RENDER), STATICGUIDOF(KSCATEGORY_CAPTURE)};
const GUID kRenderCategories[] = {STATICGUIDOF(KSCATEGORY_AUDIO), STATICGUIDOF(KSCATEGORY_REALTIME),
                                  STATICGUIDOF(KSCATEGORY_RENDER)};
const GUID kCaptureCategories[] = {STATICGUIDOF(KSCATEGORY_AUDIO), STATICGUIDOF(KSCATEGORY_REALTIME),
                                   STATICGUIDOF(KSCATEGORY_CAPTURE)};

constexpr ULONG kRender = 0;
constexpr ULONG kCapture = 1;

void SetCategories(PCFILTER_DESCRIPTOR& filter) {
    bool render = false;
    bool capture = false;
    for (ULONG pin = 0; pin < filter.PinCount; ++pin) {
        const PCPIN_DESCRIPTOR* record = vq7::PinDescriptorAt(filter, pin);
        if (record->KsPinDescriptor.Communication != KSPIN_COMMUNICATION_SINK) continue;
        render = render || record->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN;
        capture = capture || record->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
    }
    if (render && capture) {
        filter.CategoryCount = RTL_NUMBER_OF(kDuplexCategories);
        filter.Categories = kDuplexCategories;
    } else if (capture) {
        filter.CategoryCount = RTL_NUMBER_OF(kCaptureCategories);
        filter.Categories = kCaptureCategories;
    } else {
        filter.CategoryCount = RTL_NUMBER_OF(kRenderCategories);
        filter.Categories = kRenderCategories;
    }
}

}  // namespace

// The class id is the port's (CLSID_PortWaveRT); this factory makes one kind.
NTSTATUS CreateMiniportWaveRT(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN UnknownOuter, POOL_TYPE PoolType) {
    auto* miniport = new (PoolType, vq7::kPoolTagPcCr) CMiniportWaveRT(UnknownOuter);
    if (miniport == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Unknown = static_cast<PUNKNOWN>(static_cast<IMiniportWaveRT*>(miniport));
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

CMiniportWaveRT::CMiniportWaveRT(PUNKNOWN outer) : CUnknown(outer) {
    KeInitializeMutex(&binding_.mutex, 0);
    binding_.states[kRender] = Idle;
    binding_.states[kCapture] = Idle;
}

CMiniportWaveRT::~CMiniportWaveRT() {
    ReleaseAdapter();
    if (drmPort_ != nullptr) drmPort_->Release();
    if (port_ != nullptr) port_->Release();
}

// Undoes what Init obtained from the adapter.
void CMiniportWaveRT::ReleaseAdapter() {
    if (adapter_ == nullptr) {
        return;
    }
    adapter_->UnregisterMiniport(this);
    controls_.Unbind();
    adapter_->FreeFilterDescription(&description_);
    adapter_->Release();
    adapter_ = nullptr;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveRT)) {
        *object = static_cast<IMiniportWaveRT*>(this);
    } else if (IsEqualGUID(iid, IID_IMiniportEngineSink)) {
        *object = static_cast<IMiniportEngineSink*>(this);
    } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
        *object = static_cast<IPowerNotify*>(this);
    } else if (IsEqualGUID(iid, IID_IMiniportAudioSignalProcessing)) {
        *object = static_cast<IMiniportAudioSignalProcessing*>(this);
    } else {
        *object = nullptr;  // IPinCount among them: the port's defaults apply
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*object)->AddRef();
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourceList);
    port_ = Port;
    port_->AddRef();
    NTSTATUS status = UnknownAdapter->QueryInterface(IID_IUsbAudioAdapter, reinterpret_cast<PVOID*>(&adapter_));
    if (!NT_SUCCESS(status)) {
        adapter_ = nullptr;
    }
    captureStream_ = nullptr;
    renderStream_ = nullptr;
    devicePowerState_ = PowerDeviceD0;
    if (NT_SUCCESS(status)) {
        description_.descriptor.AutomationTable = vq7::FilterAutomationTable();
        status = adapter_->BuildFilterDescription(&description_);
    }
    if (NT_SUCCESS(status)) {
        SetCategories(description_.descriptor);
        status = controls_.Bind(&description_);
    }
    if (NT_SUCCESS(status)) status = adapter_->GetSampleRate(&deviceSampleRate_);
    if (NT_SUCCESS(status)) status = adapter_->RegisterMiniport(this);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceWaveRt, "miniport Init failed: 0x%08lx", static_cast<ULONG>(status));
        ReleaseAdapter();
        port_->Release();
        port_ = nullptr;
        return status;
    }
    if (!NT_SUCCESS(port_->QueryInterface(IID_IDrmPort2, reinterpret_cast<PVOID*>(&drmPort_)))) {
        drmPort_ = nullptr;
    }
    vq7::MutexLock guard(binding_.mutex);
    binding_.adapter = adapter_;
    binding_.miniport = this;
    binding_.active = true;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
    *Description = &description_.descriptor;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. One stream per direction; the reservation made here is
// given back by the stream's destruction (or at once when no stream could
// be made).
STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::NewStream(PMINIPORTWAVERTSTREAM* Stream, PPORTWAVERTSTREAM PortStream,
                                                   ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat) {
    PAGED_CODE();
    *Stream = nullptr;
    if (Gate(Capture).TryEnter()) {
        Gate(Capture).Leave();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = WithBinding(Capture, [&](IUsbAudioAdapter& adapter, ULONG& direction) {
        NTSTATUS result = adapter.ReserveDirections(Capture, !Capture, FALSE);
        if (NT_SUCCESS(result)) direction = Reserved;
        return result;
    });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* stream = new (vq7::NonPagedPoolType(), vq7::kPoolTagUsba) CMiniportWaveRTStream(nullptr);
    if (stream == nullptr) {
        ReleaseReservation(Capture);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    stream->AddRef();
    status = stream->Init(this, PortStream, Pin, Capture, DataFormat);
    if (NT_SUCCESS(status)) {
        // Published only while the binding is active: a StopAllStreams that
        // came in between has unwound the direction, and the engine must
        // not find the stream afterwards.
        status = WithBinding(Capture, [&](IUsbAudioAdapter&, ULONG&) {
            if (Capture) {
                captureStream_ = stream;
            } else {
                renderStream_ = stream;
            }
            Gate(Capture).Reopen();
            return STATUS_SUCCESS;
        });
    }
    if (NT_SUCCESS(status)) {
        *Stream = static_cast<IMiniportWaveRTStreamNotification*>(stream);
        (*Stream)->AddRef();
    }
    stream->Release();  // a stream that failed goes here, with its reservation
    return status;
}

void CMiniportWaveRT::ReleaseReservation(BOOLEAN capture) {
    (void)WithBinding(capture, [&](IUsbAudioAdapter& adapter, ULONG& direction) {
        adapter.ReleaseDirections(capture, !capture);
        direction = Idle;
        return STATUS_SUCCESS;
    });
}

// PASSIVE_LEVEL. Called by a stream's destruction, never under the binding
// mutex: the wait for the engine holds no lock.
void CMiniportWaveRT::DetachStream(BOOLEAN capture, const vq7::WaveRtEngineStream* stream) {
    PAGED_CODE();
    Gate(capture).CloseAndWait();
    // The pointer changes under the binding mutex, as NewStream publishes it,
    // so a StopAllStreams unwinding this direction meanwhile is ordered with it.
    vq7::MutexLock guard(binding_.mutex);
    if (Stream(capture) == stream) {
        ClearStream(capture);
    }
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::GetDeviceDescription(PDEVICE_DESCRIPTION DeviceDescription) {
    if (DeviceDescription == nullptr) {
        return STATUS_SUCCESS;
    }
    RtlZeroMemory(DeviceDescription, sizeof *DeviceDescription);
    DeviceDescription->Master = TRUE;
    DeviceDescription->ScatterGather = TRUE;
    DeviceDescription->Dma32BitAddresses = TRUE;
    DeviceDescription->InterfaceType = PCIBus;
    DeviceDescription->MaximumLength = 0xFFFFFFFF;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- the engine's sink

vq7::WaveRtEngineStream* CMiniportWaveRT::EnterStream(BOOLEAN capture) {
    if (!Gate(capture).TryEnter()) {
        return nullptr;
    }
    vq7::WaveRtEngineStream* stream = Stream(capture);
    if (stream == nullptr) {
        Gate(capture).Leave();
    }
    return stream;
}

STDMETHODIMP_(void) CMiniportWaveRT::FillSilence(BOOLEAN Capture, PVOID Address, ULONG Length) {
    WithStream(Capture, [&](vq7::WaveRtEngineStream& stream) {
        RtlFillMemory(Address, Length, stream.BitsPerSample() == 8 ? 0x80 : 0x00);
    });
}

STDMETHODIMP_(void) CMiniportWaveRT::AdvancePosition(BOOLEAN Capture, ULONG Bytes) {
    WithStream(Capture, [&](vq7::WaveRtEngineStream& stream) { stream.AdvancePosition(Bytes); });
}

STDMETHODIMP_(void) CMiniportWaveRT::TransferData(BOOLEAN Capture, ULONG Bytes) {
    WithStream(Capture, [&](vq7::WaveRtEngineStream& stream) { stream.TransferData(Bytes); });
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::GetStreamPosition(BOOLEAN Capture, PKSAUDIO_POSITION Position) {
    NTSTATUS status = STATUS_INVALID_PARAMETER;  // no stream of that direction
    WithStream(Capture, [&](vq7::WaveRtEngineStream& stream) { status = stream.GetPosition(Position); });
    return status;
}

STDMETHODIMP_(BOOLEAN) CMiniportWaveRT::TryEnterRunningStream(BOOLEAN Capture) {
    vq7::WaveRtEngineStream* stream = EnterStream(Capture);
    if (stream == nullptr) {
        return FALSE;
    }
    if (stream->TryEnterRun()) {
        return TRUE;
    }
    Gate(Capture).Leave();
    return FALSE;
}

STDMETHODIMP_(void) CMiniportWaveRT::LeaveRunningStream(BOOLEAN Capture) {
    Stream(Capture)->LeaveRun();
    Gate(Capture).Leave();
}

// PASSIVE_LEVEL. Once the binding is inactive no other path changes a
// direction's state, so the unwinding runs without the mutex.
void CMiniportWaveRT::UnwindDirection(BOOLEAN capture) {
    Gate(capture).CloseAndWait();
    {
        vq7::MutexLock guard(binding_.mutex);
        ClearStream(capture);
    }
    ULONG& state = binding_.states[capture ? kCapture : kRender];
    if (state == Prepared) adapter_->Unprepare(capture);
    if (state >= FormatSet) adapter_->ClearFormat(capture);
    if (state >= Reserved) adapter_->ReleaseDirections(capture, !capture);
    state = Idle;
}

STDMETHODIMP_(void) CMiniportWaveRT::StopAllStreams() {
    PAGED_CODE();
    {
        vq7::MutexLock guard(binding_.mutex);
        binding_.active = false;
    }
    UnwindDirection(FALSE);
    UnwindDirection(TRUE);
}

// PASSIVE_LEVEL.
STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::RemoveSubdevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    if (port_ == nullptr) {
        return STATUS_UNSUCCESSFUL;  // already removed
    }
    PUNREGISTERSUBDEVICE unregister = nullptr;
    NTSTATUS status = port_->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = unregister->UnregisterSubdevice(DeviceObject, port_);
    unregister->Release();
    if (NT_SUCCESS(status)) {
        PPORTWAVERT port = port_;
        port_ = nullptr;
        port->Release();
    }
    return status;
}

void CMiniportWaveRT::ReleaseUnregisteredPort() {
    StopAllStreams();
    if (drmPort_ != nullptr) {  // the port's other face: it holds the port too
        PDRMPORT2 drm = drmPort_;
        drmPort_ = nullptr;
        drm->Release();
    }
    if (port_ != nullptr) {
        PPORTWAVERT port = port_;
        port_ = nullptr;
        port->Release();
    }
}

STDMETHODIMP_(const PCFILTER_DESCRIPTOR*) CMiniportWaveRT::GetFilterDescription() { return &description_.descriptor; }

// ---------------------------------------------------------------- power and modes

STDMETHODIMP_(void) CMiniportWaveRT::PowerChangeNotify(POWER_STATE PowerState) {
    ULONG state = static_cast<ULONG>(PowerState.DeviceState);
    if (state == devicePowerState_ || state < PowerDeviceD0 || state > PowerDeviceD3) {
        return;
    }
    devicePowerState_ = state;  // streams are neither stopped nor paused
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::GetModes(ULONG Pin, GUID* SignalProcessingModes,
                                                  ULONG* NumSignalProcessingModes) {
    if (adapter_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return adapter_->GetSignalProcessingModes(Pin, SignalProcessingModes, NumSignalProcessingModes);
}
