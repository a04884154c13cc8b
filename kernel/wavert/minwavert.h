// CMiniportWaveRT: the PortCls WaveRT miniport of the device's one filter.
// It asks the adapter for the filter description (pins, nodes, data
// ranges), decides which formats the pins accept, and offers the streaming
// engine IMiniportEngineSink, through which the engine moves bytes between
// the streams' cyclic buffers and the USB transfers. One instance lives per
// registered subdevice, so for exactly one device sample rate.
//
// Faces, in this order: the primary one (IMiniportWaveRT followed by
// IMiniportEngineSink's operations), IPowerNotify,
// IMiniportAudioSignalProcessing, and the non-delegating unknown.
#pragma once

#include <ntddk.h>
#include <portcls.h>
#include <stdunk.h>

#include "engine/audio_control_cache.h"
#include "filter_description.h"
#include "wavert/miniport_engine_sink.h"
#include "common/locks.h"
#include "common/rundown_gate.h"
#include "adapter/usb_audio_adapter.h"
#include "wavert/wavert_engine_stream.h"

// Creates the miniport for PcNewPort's port: the object with one reference.
NTSTATUS CreateMiniportWaveRT(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType);

class CMiniportWaveRT : public IMiniportWaveRT,
                        public IMiniportEngineSink,
                        public IPowerNotify,
                        public IMiniportAudioSignalProcessing,
                        public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveRT(PUNKNOWN outer);
    ~CMiniportWaveRT() override;

    // ---- IMiniport, IMiniportWaveRT
    IMP_IMiniportWaveRT;

    // ---- IMiniportEngineSink
    STDMETHODIMP_(void) FillSilence(BOOLEAN Capture, PVOID Address, ULONG Length) override;
    STDMETHODIMP_(void) AdvancePosition(BOOLEAN Capture, ULONG Bytes) override;
    STDMETHODIMP_(BOOLEAN) TryEnterRunningStream(BOOLEAN Capture) override;
    STDMETHODIMP_(void) LeaveRunningStream(BOOLEAN Capture) override;
    STDMETHODIMP_(void) StopAllStreams() override;
    STDMETHODIMP_(void) TransferData(BOOLEAN Capture, ULONG Bytes) override;
    STDMETHODIMP_(NTSTATUS) RemoveSubdevice(PDEVICE_OBJECT DeviceObject) override;
    STDMETHODIMP_(NTSTATUS) GetStreamPosition(BOOLEAN Capture, PKSAUDIO_POSITION Position) override;
    STDMETHODIMP_(const PCFILTER_DESCRIPTOR*) GetFilterDescription() override;

    // ---- IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;

    // ---- IMiniportAudioSignalProcessing
    STDMETHODIMP_(NTSTATUS) GetModes(ULONG Pin, GUID* SignalProcessingModes, ULONG* NumSignalProcessingModes) override;

    // Where each direction stands with the adapter.
    enum DirectionState : ULONG { Idle = 0, Reserved = 1, FormatSet = 2, Prepared = 3 };

    // Drops the references (the port and its DRM face) on a port whose
    // subdevice never got registered: the port and the miniport hold each
    // other, and nothing else would break the cycle. PASSIVE_LEVEL.
    void ReleaseUnregisteredPort();

    // ---- for the filter's streams and property handlers (PASSIVE_LEVEL)

    // Runs `work(adapter, directionState)` under the binding mutex while the
    // binding is active and returns its status; STATUS_DELETE_PENDING once
    // StopAllStreams made it inactive.
    template <typename Work>
    NTSTATUS WithBinding(BOOLEAN capture, Work work) {
        vq7::MutexLock guard(binding_.mutex);
        if (!binding_.active) {
            return STATUS_DELETE_PENDING;
        }
        return work(*binding_.adapter, binding_.states[capture ? 1 : 0]);
    }
    // Closes the direction's gate, waits for the engine to leave the stream,
    // and forgets the stream if it is the direction's.
    void DetachStream(BOOLEAN capture, const vq7::WaveRtEngineStream* stream);
    IUsbAudioAdapter* Adapter() const { return adapter_; }
    PDRMPORT2 DrmPort() const { return drmPort_; }
    const FilterDescriptionBlock& Description() const { return description_; }
    vq7::AudioControlCache& Controls() { return controls_; }

    ULONG DevicePowerState() const { return devicePowerState_; }
    ULONG DeviceSampleRate() const { return deviceSampleRate_; }
    bool BindingActive() const { return binding_.active; }

private:
    struct EngineBinding {
        KMUTEX mutex;
        bool active;
        IUsbAudioAdapter* adapter;  // not counted
        CMiniportWaveRT* miniport;
        ULONG states[2];            // render, capture
    };

    vq7::RundownGate& Gate(BOOLEAN capture) { return capture ? captureGate_ : renderGate_; }
    vq7::WaveRtEngineStream* Stream(BOOLEAN capture) const { return capture ? captureStream_ : renderStream_; }
    void ClearStream(BOOLEAN capture) { (capture ? captureStream_ : renderStream_) = nullptr; }
    // The stream of the direction while its gate lets the caller in; the
    // caller leaves the gate afterwards.
    vq7::WaveRtEngineStream* EnterStream(BOOLEAN capture);
    // Runs `work` on the direction's stream inside its gate; nothing
    // without a stream.
    template <typename Work>
    void WithStream(BOOLEAN capture, Work work) {
        vq7::WaveRtEngineStream* stream = EnterStream(capture);
        if (stream != nullptr) {
            work(*stream);
            Gate(capture).Leave();
        }
    }
    void UnwindDirection(BOOLEAN capture);
    void ReleaseReservation(BOOLEAN capture);
    void ReleaseAdapter();
    NTSTATUS Intersect(ULONG pin, const KSDATARANGE_AUDIO& client, const KSDATARANGE_AUDIO& mine,
                       PVOID resultFormat);

    IUsbAudioAdapter* adapter_ = nullptr;
    PPORTWAVERT port_ = nullptr;
    vq7::WaveRtEngineStream* captureStream_ = nullptr;
    vq7::WaveRtEngineStream* renderStream_ = nullptr;
    vq7::RundownGate captureGate_{false};
    vq7::RundownGate renderGate_{false};
    EngineBinding binding_ = {};
    ULONG devicePowerState_ = 0;
    FilterDescriptionBlock description_ = {};
    ULONG deviceSampleRate_ = 0;
    PDRMPORT2 drmPort_ = nullptr;
    vq7::AudioControlCache controls_;
};
