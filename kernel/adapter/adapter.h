// CUSBAudioAdapter: the one object per started device that every other part
// of the driver hangs off. It embeds the USB audio class layer and the
// streaming engine's state, decides the device's settings at Init, registers
// the WaveRT subdevice under the name of the device's sample rate, and tears
// streaming down at removal.
//
// Faces, in this order: IUsbAudioAdapter (primary), IAdapterPowerManagement,
// IUsbAudioDsdControl (offered only while the device supports DSD), and the
// non-delegating unknown of CUnknown. The adapter is never aggregated: its
// outer unknown is itself.
#pragma once

#include <ntddk.h>
#include <portcls.h>
#include <stdunk.h>

#include "asio_channel.h"
#include "engine/asio_capture_sink.h"
#include "engine/asio_render_source.h"
#include "engine/asio_stream.h"
#include "engine/asio_stream_host.h"
#include "engine/engine_state.h"
#include "engine/miniport_link.h"
#include "engine/mixer_set.h"
#include "engine/pipeline_host.h"
#include "engine/span_list.h"
#include "engine/transfer_pipelines.h"
#include "engine/wavert_capture_sink.h"
#include "engine/wavert_render_source.h"
#include "common/rundown_gate.h"
#include "adapter/usb_audio_adapter.h"
#include "usbaudiocl.h"

class CUSBAudioTerminal;

class CUSBAudioAdapter : public IUsbAudioAdapter,
                         public IAdapterPowerManagement,
                         public IUsbAudioDsdControl,
                         public CUnknown,
                         public vq7::MiniportLink,
                         public vq7::PipelineHost,
                         public vq7::AsioStreamHost {
public:
    DECLARE_STD_UNKNOWN();
    explicit CUSBAudioAdapter(PUNKNOWN outer);
    ~CUSBAudioAdapter() override;

    // ---- IUsbAudioAdapter
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT DeviceObject) override;
    STDMETHODIMP_(NTSTATUS) ReserveDirections(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Exclusive) override;
    STDMETHODIMP_(NTSTATUS) ReleaseDirections(BOOLEAN Capture, BOOLEAN Render) override;
    STDMETHODIMP_(NTSTATUS) RegisterMiniport(IMiniportEngineSink* Sink) override;
    STDMETHODIMP_(NTSTATUS) UnregisterMiniport(IMiniportEngineSink* Sink) override;
    STDMETHODIMP_(NTSTATUS) SetFormat(BOOLEAN Capture, USHORT FormatTag, ULONG Channels, ULONG BitsPerSample,
                                      ULONG Rate) override;
    STDMETHODIMP_(void) ClearFormat(BOOLEAN Capture) override;
    STDMETHODIMP_(void) QueueRenderSpan(PVOID Address, LONG Length) override;
    STDMETHODIMP_(void) QueueCaptureSpan(PVOID Address, LONG Length) override;
    STDMETHODIMP_(void) FlushRenderSpans() override;
    STDMETHODIMP_(void) FlushCaptureSpans() override;
    STDMETHODIMP_(void) PrepareForRemoval() override;
    STDMETHODIMP_(NTSTATUS) JackProperty(PPCPROPERTY_REQUEST Request) override;
    STDMETHODIMP_(NTSTATUS) GetSignalProcessingModes(ULONG PinId, GUID* Modes, ULONG* Count) override;
    STDMETHODIMP_(NTSTATUS) GetSampleRate(ULONG* Rate) override;
    STDMETHODIMP_(NTSTATUS) ChangeSampleRate(ULONG Rate) override;
    STDMETHODIMP_(NTSTATUS) GetRateRange(ULONG* Minimum, ULONG* Maximum) override;
    STDMETHODIMP_(NTSTATUS) NarrowRateRange(BOOLEAN Capture, ULONG* Minimum, ULONG* Maximum) override;
    STDMETHODIMP_(NTSTATUS) BuildFilterDescription(FilterDescriptionBlock* Block) override;
    STDMETHODIMP_(void) FreeFilterDescription(FilterDescriptionBlock* Block) override;
    STDMETHODIMP_(NTSTATUS) Prepare(BOOLEAN Capture, ULONG BufferBytes) override;
    STDMETHODIMP_(NTSTATUS) Unprepare(BOOLEAN Capture) override;
    STDMETHODIMP_(NTSTATUS) GetDrmForward(BOOLEAN Capture, PDRMFORWARD Forward) override;

    // ---- IAdapterPowerManagement
    IMP_IAdapterPowerManagement;

    // ---- IUsbAudioDsdControl
    STDMETHODIMP_(NTSTATUS) SetDsdMode(USHORT Mode) override;
    STDMETHODIMP_(ULONG) IsDsdSupported() override;

    // ---- for the driver's own hooks
    // Registers the WaveRT subdevice under the name of the device sample
    // rate. PASSIVE_LEVEL.
    NTSTATUS RegisterWaveSubdevice();
    // The status a USB transfer finished with: a device-gone status marks
    // the device failed, and the ASIO channel refuses opens from then on
    // until the next start. IRQL <= DISPATCH_LEVEL.
    void NoteTransferStatus(NTSTATUS status) override;
    // Counts a caller that reaches the adapter through an ASIO channel file
    // object; false once removal closed the gate. IRQL <= DISPATCH_LEVEL.
    bool EnterRemovalGate() { return removalGate_.TryEnter(); }
    void LeaveRemovalGate() { removalGate_.Leave(); }

    // The registered miniport with a reference, or null. IRQL <= DISPATCH_LEVEL.
    IMiniportEngineSink* ReferenceMiniport() override;

    // Read-only views for the ASIO channel and the engine.
    CUSBAudioCL& ClassLayer() { return classLayer_; }
    bool AmdQuirk() const { return amdQuirk_; }
    bool PlaybackOnly() const { return playbackOnly_; }
    const CUSBStringDescriptor& DeviceName() const { return deviceName_; }
    ULONG PowerState() const { return powerState_; }

    // ---- directions and transfer pipelines (adapter_directions.cpp)
    // Starts one use of a direction: the first use opens the direction,
    // starts its pipeline and returns once its first transfer completed.
    // On a device with both directions both start and stop together.
    // PASSIVE_LEVEL.
    NTSTATUS StartDirection(bool capture) override;
    // Ends one use; the last one stops the pipeline and closes the
    // direction. STATUS_UNSUCCESSFUL when the two directions' counts of a
    // duplex device disagree. PASSIVE_LEVEL.
    NTSTATUS StopDirection(bool capture) override;
    LONG DirectionUseCount(bool capture) const { return engine_.Direction(capture).useCount; }
    const vq7::EngineStatistics& Statistics() const { return pipelines_.Statistics(); }
    // ---- vq7::PipelineHost (StreamLayout and RenderSpansQueued with the mixing below)
    void FailAsioStream() override;

private:
    // ---- directions (adapter_directions.cpp), under the stream-state mutex
    NTSTATUS ChangeDirectionUse(bool capture, NTSTATUS (CUSBAudioAdapter::*both)(),
                                NTSTATUS (CUSBAudioAdapter::*one)(bool));
    bool DuplexCountsAgree() const;
    void TakeStartStopFlag();
    void ReleaseStartStopFlag();
    USHORT EngineFormatTag(bool capture) const;
    NTSTATUS OpenDirection(bool capture);
    NTSTATUS StartOneDirection(bool capture);
    NTSTATUS StartBothDirections();
    NTSTATUS StopOneDirection(bool capture);
    NTSTATUS StopBothDirections();
    void ClearFormatLocked(bool capture);
    bool HasBothDirections() const;
    bool Removing() const { return KeReadStateEvent(const_cast<KEVENT*>(&engine_.removing)) != 0; }

    NTSTATUS DecideSettings();
    NTSTATUS DecideSampleRate();
    NTSTATUS RemoveWaveSubdevice();
    // The pin record of the registered miniport's filter description, or null.
    NTSTATUS FindPin(IMiniportEngineSink* sink, ULONG pinId, const PCPIN_DESCRIPTOR** pin,
                     const CUSBAudioTerminal** terminal);

    PDEVICE_OBJECT physicalDeviceObject_ = nullptr;
    PDEVICE_OBJECT deviceObject_ = nullptr;
    HANDLE deviceKey_ = nullptr;
    vq7::RundownGate removalGate_{false};
    CUSBAudioCL classLayer_;
    vq7::EngineState engine_;
    KSPIN_LOCK miniportLock_;
    IMiniportEngineSink* miniport_ = nullptr;  // not counted
    ULONG powerState_ = 0;
    bool amdQuirk_ = false;
    CUSBStringDescriptor deviceName_;
    ULONG deviceSampleRate_ = 0;
    ULONG requestedRate_ = 0;
    bool dsdSupported_ = false;
    USHORT currentDsdMode_ = 0;
    bool playbackOnly_ = false;
    ULONG asioOwnerPresent_ = 0;
    KMUTEX asioChannelMutex_;

    // ================================================================
    // ---- the ASIO channel (adapter_asio.cpp): the adapter's side of the
    // channel's requests, its owner flag, the prepared parameters and the
    // ASIO stream with its mixers' source and sink. PASSIVE_LEVEL, under
    // the ASIO channel mutex, unless said otherwise.
public:
    KMUTEX& AsioChannelMutex() { return asioChannelMutex_; }
    // ASIO_FORMAT_INFO for info->FormatTag at info->SampleRate.
    NTSTATUS AsioFormatInfo(ASIO_FORMAT_INFO* info);
    NTSTATUS AsioSetSampleRate(ULONG rate);
    // 2 at high speed, else 1.
    ULONG AsioUsbSpeed() const { return classLayer_.IsHighSpeed() ? 2 : 1; }
    // The owner flag by compare-and-swap: STATUS_DEVICE_BUSY when taken.
    NTSTATUS AsioOpen();
    void AsioClose();
    NTSTATUS AsioPrepare(const ASIO_PREPARE_PARAMS& params);
    void AsioUnprepare();
    NTSTATUS AsioStart();
    void AsioStop();
    vq7::AsioStream& Asio() { return asioStream_; }
    LONG AsioOwnerFlag() const { return asioOwnerFlag_; }
    // ---- vq7::AsioStreamHost (StartDirection, StopDirection and StreamLayout above and below)
    NTSTATUS AsioStreamFormat(ASIO_FORMAT_INFO* info) override;

private:
    // The rate the channel streams at: the device's, or the requested one
    // on a device without a fixed rate.
    ULONG AsioStreamRate() const { return deviceSampleRate_ != 0 ? deviceSampleRate_ : requestedRate_; }
    NTSTATUS ReserveAsioDirections(bool capture, bool render, bool exclusive);
    NTSTATUS PlanAsioRings(const ASIO_PREPARE_PARAMS& params, const ASIO_FORMAT_INFO& info,
                           vq7::AsioRingPlan* plan);
    // Binds the ASIO source and sink to their mixers. PASSIVE_LEVEL, at Init.
    void BindAsioMixers();

    volatile LONG asioOwnerFlag_ = 0;  // 0 free, 1 taken; only by compare-and-swap
    USHORT asioFormatTag_ = vq7::AudioFormat::kTagPcm;
    ULONG asioBufferFrames_ = 0;
    ULONG asioLatencyPercent_ = 0;
    // Declared before the mixers that read them, so that they outlive them.
    vq7::AsioStream asioStream_{*this, mixers_};
    vq7::AsioRenderSource asioRenderSource_{asioStream_};
    vq7::AsioCaptureSink asioCaptureSink_{asioStream_};
    // ---- end of the ASIO channel
    // ================================================================

    // ---- mixing (adapter_mixing.cpp)
public:
    // The opened device streams as the mixers see them. IRQL <= DISPATCH_LEVEL.
    vq7::DeviceStreamLayout StreamLayout() const override;
    // Whether the WaveRT render span list holds a span. IRQL <= DISPATCH_LEVEL.
    bool RenderSpansQueued() override { return renderSpans_.IsEmpty() == false; }
    vq7::MixerSet& Mixers() { return mixers_; }
    bool WaveRtPositionTimerArmed() const { return waveRtRenderSource_.PositionTimerArmed(); }

private:
    // Binds the WaveRT source and sink to their mixers once the audio
    // model is known. PASSIVE_LEVEL.
    void BindMixers();
    // Detaches every mixer (ending the position timer) and empties both
    // span lists. PASSIVE_LEVEL.
    void TearDownMixing();

    // Declared after the engine state, whose span lookaside they use, and
    // in this order so that the mixers go before their sources and sinks.
    vq7::SpanList renderSpans_{engine_.SpanLookaside()};
    vq7::SpanList captureSpans_{engine_.SpanLookaside()};
    vq7::WaveRtRenderSource waveRtRenderSource_{*this, renderSpans_, engine_.Direction(false).format};
    vq7::WaveRtCaptureSink waveRtCaptureSink_{*this, captureSpans_, engine_.Direction(true).format};
    vq7::MixerSet mixers_;
    // The transfer pipelines, after the class layer, the engine state and
    // the mixers they use.
    vq7::TransferPipelines pipelines_{classLayer_, engine_, mixers_, *this};
};
