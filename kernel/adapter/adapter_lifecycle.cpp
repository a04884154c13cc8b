// The adapter's life: construction, Init (the start sequence that builds the
// class layer and decides the settings), the interface answers, removal and
// destruction.

#include "adapter/adapter.h"

#include "adapter/device_extension.h"
#include "adapter/device_settings.h"
#include "common/locks.h"
#include "wavert/miniport_engine_sink.h"
#include "wavert/performance_parameters.h"
#include "common/trace.h"

namespace {
constexpr ULONG kClassLayerIrps = 24;
}

CUSBAudioAdapter::CUSBAudioAdapter(PUNKNOWN outer) : CUnknown(outer) {
    KeInitializeSpinLock(&miniportLock_);
    KeInitializeMutex(&asioChannelMutex_, 0);
}

CUSBAudioAdapter::~CUSBAudioAdapter() {
    // Removal stopped every use; a pipeline left by a failed start goes here.
    pipelines_.StopPipeline(false);
    pipelines_.StopPipeline(true);
    TearDownMixing();
    if (deviceObject_ != nullptr) {
        // A newer start may have installed its own adapter meanwhile.
        vq7::DeviceExtension* extension = vq7::ExtensionOf(deviceObject_);
        vq7::MutexLock guard(extension->ExtensionLock);
        if (extension->Adapter == this) {
            extension->Adapter = nullptr;
        }
    }
    if (deviceKey_ != nullptr) {
        ZwClose(deviceKey_);
    }
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IUsbAudioAdapter)) {
        *object = static_cast<IUsbAudioAdapter*>(this);
    } else if (IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
        *object = static_cast<IAdapterPowerManagement*>(this);
    } else if (IsEqualGUID(iid, IID_IUsbAudioDsdControl) && dsdSupported_) {
        *object = static_cast<IUsbAudioDsdControl*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*object)->AddRef();
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. The first failing step ends Init; what it created is
// released by the destructor.
STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::Init(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    physicalDeviceObject_ = PhysicalDeviceObject;
    deviceObject_ = DeviceObject;
    requestedRate_ = 0;
    asioOwnerPresent_ = 0;
    asioOwnerFlag_ = 0;
    asioFormatTag_ = vq7::AudioFormat::kTagPcm;
    asioBufferFrames_ = 0;
    asioLatencyPercent_ = 0;
    powerState_ = PowerDeviceD0;
    removalGate_.Reopen();
    engine_.Initialize();

    NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &deviceKey_);
    if (!NT_SUCCESS(status)) {
        deviceKey_ = nullptr;
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceAdapter, "device key not opened: 0x%08lx", static_cast<ULONG>(status));
        return status;
    }
    status = classLayer_.Start(PhysicalDeviceObject, kClassLayerIrps);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceAdapter, "class layer start failed: 0x%08lx", static_cast<ULONG>(status));
        return status;
    }
    amdQuirk_ = vq7::DecideAmdQuirk(classLayer_, deviceKey_);
    pipelines_.Bind(DeviceObject, amdQuirk_);
    status = classLayer_.SelectConfiguration();
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceAdapter, "configuration failed: 0x%08lx", static_cast<ULONG>(status));
        return status;
    }
    status = classLayer_.GetSerialNumberString(deviceName_, 0);
    if (status == STATUS_INVALID_DEVICE_REQUEST) {
        deviceName_.Reset();  // the device has no serial number
    } else if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceAdapter, "device name not read: 0x%08lx", static_cast<ULONG>(status));
        return status;
    }
    status = DecideSettings();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BindMixers();
    BindAsioMixers();
    return STATUS_SUCCESS;
}

// Steps 8 to 10 of Init: DSD, the dump setting, the transfer sizing and the
// sample rate.
NTSTATUS CUSBAudioAdapter::DecideSettings() {
    currentDsdMode_ = 0;
    dsdSupported_ = vq7::DecideDsdSupport(classLayer_, deviceKey_);
    vq7::ReadDumpSetting(deviceKey_);
    playbackOnly_ = vq7::AdjustPerformanceValues(classLayer_, amdQuirk_);
    // The credits follow the sizing just read, not the one before it.
    engine_.InitializeCredits(vq7::CaptureTransfersInFlight, vq7::PlaybackTransfersInFlight);
    deviceSampleRate_ = 0;
    if (playbackOnly_) {
        return STATUS_SUCCESS;  // no fixed rate: streams open at any supported rate
    }
    NTSTATUS status = vq7::DecideDeviceSampleRate(classLayer_, deviceKey_, &deviceSampleRate_);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceAdapter, "sample rate not decided: 0x%08lx",
                  static_cast<ULONG>(status));
    }
    return status;
}

// PASSIVE_LEVEL. Removal: new formats and streaming are refused from now
// on, callers that came in through an ASIO channel file object are waited
// for, the ASIO stream is stopped and unprepared, and every remaining use
// of a direction is stopped, render first.
STDMETHODIMP_(void) CUSBAudioAdapter::PrepareForRemoval() {
    PAGED_CODE();
    KeSetEvent(&engine_.removing, IO_NO_INCREMENT, FALSE);
    removalGate_.CloseAndWait();
    {
        // No channel request is inside the gate any more; the mutex keeps
        // the lock order of every other stop of the ASIO stream.
        vq7::MutexLock guard(asioChannelMutex_);
        asioStream_.Stop();
        if (asioStream_.HasInputRing() || asioStream_.HasOutputRing()) {
            AsioUnprepare();
        }
    }
    // A stop that fails (duplex counts that disagree) would fail again.
    while (engine_.Direction(false).useCount > 0 && NT_SUCCESS(StopDirection(false))) {
    }
    while (engine_.Direction(true).useCount > 0 && NT_SUCCESS(StopDirection(true))) {
    }
}

void CUSBAudioAdapter::NoteTransferStatus(NTSTATUS status) {
    if (status != STATUS_NO_SUCH_DEVICE && status != STATUS_DELETE_PENDING && status != STATUS_DEVICE_NOT_CONNECTED) {
        return;
    }
    if (deviceObject_ != nullptr) {
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&vq7::ExtensionOf(deviceObject_)->DeviceFailed), 1);
    }
}

// ---------------------------------------------------------------- the miniport

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::RegisterMiniport(IMiniportEngineSink* Sink) {
    if (Sink == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    vq7::InStackLock guard(miniportLock_);
    miniport_ = Sink;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::UnregisterMiniport(IMiniportEngineSink* Sink) {
    if (Sink == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    vq7::InStackLock guard(miniportLock_);
    if (miniport_ == Sink) {
        miniport_ = nullptr;
    }
    return STATUS_SUCCESS;
}

IMiniportEngineSink* CUSBAudioAdapter::ReferenceMiniport() {
    vq7::InStackLock guard(miniportLock_);
    if (miniport_ != nullptr) {
        miniport_->AddRef();
    }
    return miniport_;
}

// ---------------------------------------------------------------- reservations

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::ReserveDirections(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Exclusive) {
    return engine_.ReserveDirections(Capture != FALSE, Render != FALSE, Exclusive != FALSE, playbackOnly_);
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::ReleaseDirections(BOOLEAN Capture, BOOLEAN Render) {
    engine_.ReleaseDirections(Capture != FALSE, Render != FALSE);
    return STATUS_SUCCESS;
}
