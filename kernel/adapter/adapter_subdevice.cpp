// The WaveRT subdevice: registered under a name that carries the device
// sample rate, so that a filter instance lives for exactly one rate, and
// registered anew when the rate changes.

#include "adapter/adapter.h"

#include "adapter/device_settings.h"
#include "common/locks.h"
#include "wavert/minwavert.h"
#include "wavert/miniport_engine_sink.h"
#include "common/pool.h"
#include "common/trace.h"

namespace {

struct SubdeviceName {
    ULONG rate;
    PCWSTR name;
};

// User-mode clients find the device by the GUID text at the start of every name.
const SubdeviceName kSubdeviceNames[] = {
    {32000, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_32000"},
    {44100, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_44100"},
    {48000, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_48000"},
    {88200, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_88200"},
    {96000, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_96000"},
    {176400, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_176400"},
    {192000, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_192000"},
    {352800, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_352800"},
    {384000, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_384000"},
    {705600, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_705600"},
    {768000, L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}_768000"},
    {0, nullptr},
};

// The name of a device without a fixed rate.
const WCHAR kRatelessName[] = L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}";

// The subdevice name for a device sample rate (0: no fixed rate), or null.
PCWSTR SubdeviceNameFor(ULONG rate) {
    if (rate == 0) {
        return kRatelessName;
    }
    for (const SubdeviceName* row = kSubdeviceNames; row->name != nullptr; ++row) {
        if (row->rate == rate) {
            return row->name;
        }
    }
    return nullptr;
}

}  // namespace

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioAdapter::RegisterWaveSubdevice() {
    PAGED_CODE();
    ULONG rate = 0;
    (void)GetSampleRate(&rate);
    PCWSTR name = SubdeviceNameFor(rate);
    if (name == nullptr) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceAdapter, "no subdevice name for %lu Hz", rate);
        return STATUS_UNSUCCESSFUL;
    }
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveRT);
    PUNKNOWN miniport = nullptr;
    if (NT_SUCCESS(status)) {
        status = CreateMiniportWaveRT(&miniport, CLSID_PortWaveRT, nullptr, vq7::NonPagedPoolType());
    }
    if (NT_SUCCESS(status)) {
        status = port->Init(deviceObject_, nullptr, miniport, static_cast<IUsbAudioAdapter*>(this), nullptr);
        if (NT_SUCCESS(status)) {
            status = PcRegisterSubdevice(deviceObject_, const_cast<PWSTR>(name), port);
            if (!NT_SUCCESS(status)) {
                static_cast<CMiniportWaveRT*>(static_cast<IMiniportWaveRT*>(miniport))->ReleaseUnregisteredPort();
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceAdapter, "subdevice not registered: 0x%08lx",
                  static_cast<ULONG>(status));
    }
    if (miniport != nullptr) miniport->Release();
    if (port != nullptr) port->Release();
    return status;
}

// PASSIVE_LEVEL. Stops the registered miniport's streams and takes its
// subdevice down.
NTSTATUS CUSBAudioAdapter::RemoveWaveSubdevice() {
    IMiniportEngineSink* sink = ReferenceMiniport();
    if (sink == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }
    sink->StopAllStreams();
    NTSTATUS status = sink->RemoveSubdevice(deviceObject_);
    sink->Release();
    return status;
}

// PASSIVE_LEVEL. A rate the device offers but that has no subdevice name is
// refused before anything is torn down: the device would otherwise be left
// without a subdevice, unreachable for every client, until its persisted
// rate changed.
STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::ChangeSampleRate(ULONG Rate) {
    PAGED_CODE();
    if (playbackOnly_) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Rate == deviceSampleRate_ && (requestedRate_ == 0 || requestedRate_ == Rate)) {
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(classLayer_.IsRateSupported(Rate)) || SubdeviceNameFor(Rate) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        vq7::MutexLock guard(engine_.streamStateMutex);
        if (engine_.AnyDirectionInUse()) {
            return STATUS_DEVICE_BUSY;
        }
    }
    NTSTATUS status = RemoveWaveSubdevice();
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceAdapter, "subdevice not removed: 0x%08lx", static_cast<ULONG>(status));
        return status;
    }
    {
        vq7::MutexLock guard(engine_.streamStateMutex);
        requestedRate_ = 0;
        deviceSampleRate_ = Rate;
        NTSTATUS set = classLayer_.SetSampleRate(Rate);
        if (!NT_SUCCESS(set)) {
            VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceAdapter, "clock not set to %lu: 0x%08lx", Rate,
                      static_cast<ULONG>(set));
        }
        NTSTATUS written = vq7::WriteDeviceDword(deviceKey_, L"SampleRate", Rate);
        if (!NT_SUCCESS(written)) {
            VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceAdapter, "SampleRate not persisted: 0x%08lx",
                      static_cast<ULONG>(written));
        }
    }
    return RegisterWaveSubdevice();
}
