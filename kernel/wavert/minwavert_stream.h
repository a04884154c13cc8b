// CMiniportWaveRTStream: one WaveRT stream of the filter, render or
// capture. It owns the cyclic buffer the system's audio engine writes
// (render) or reads (capture), the stream's KS state, the reported position
// and the notification events. It times nothing itself: the streaming
// engine, paced by the USB transfers, hands bytes in and out through the
// filter's engine sink, and the position and notifications follow those
// calls alone.
//
// Faces, in this order: IMiniportWaveRTStreamNotification (the primary one),
// IDrmAudioStream, the non-delegating unknown, the tracker's
// NotificationSink, and the engine's view of a stream.
#pragma once

#include <ntddk.h>
#include <drmk.h>
#include <portcls.h>
#include <stdunk.h>

#include "common/rundown_gate.h"
#include "wavert/position_tracker.h"
#include "wavert/wave_format.h"
#include "wavert/wavert_engine_stream.h"

class CMiniportWaveRT;

class CMiniportWaveRTStream : public IMiniportWaveRTStreamNotification,
                              public IDrmAudioStream,
                              public CUnknown,
                              public vq7::NotificationSink,
                              public vq7::WaveRtEngineStream {
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveRTStream(PUNKNOWN outer);
    ~CMiniportWaveRTStream() override;

    // Binds the stream to its filter and takes the format (the filter's
    // NewStream calls it once). PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS Init(CMiniportWaveRT* filter, PPORTWAVERTSTREAM portStream, ULONG pin, BOOLEAN capture,
                                PKSDATAFORMAT dataFormat);

    // ---- IMiniportWaveRTStream (PASSIVE_LEVEL, except GetPosition: also the engine's, at DISPATCH_LEVEL)
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PKSAUDIO_POSITION Position) override;
    STDMETHODIMP_(NTSTATUS) AllocateAudioBuffer(ULONG RequestedSize, PMDL* AudioBufferMdl, ULONG* ActualSize,
                                                ULONG* OffsetFromFirstPage, MEMORY_CACHING_TYPE* CacheType) override;
    STDMETHODIMP_(VOID) FreeAudioBuffer(PMDL AudioBufferMdl, ULONG BufferSize) override;
    STDMETHODIMP_(VOID) GetHWLatency(PKSRTAUDIO_HWLATENCY hwLatency) override;
    STDMETHODIMP_(NTSTATUS) GetPositionRegister(PKSRTAUDIO_HWREGISTER Register) override;
    STDMETHODIMP_(NTSTATUS) GetClockRegister(PKSRTAUDIO_HWREGISTER Register) override;

    // ---- IMiniportWaveRTStreamNotification (PASSIVE_LEVEL)
    STDMETHODIMP_(NTSTATUS) AllocateBufferWithNotification(ULONG NotificationCount, ULONG RequestedSize,
                                                           PMDL* AudioBufferMdl, ULONG* ActualSize,
                                                           ULONG* OffsetFromFirstPage,
                                                           MEMORY_CACHING_TYPE* CacheType) override;
    STDMETHODIMP_(VOID) FreeBufferWithNotification(PMDL AudioBufferMdl, ULONG BufferSize) override;
    STDMETHODIMP_(NTSTATUS) RegisterNotificationEvent(PKEVENT NotificationEvent) override;
    STDMETHODIMP_(NTSTATUS) UnregisterNotificationEvent(PKEVENT NotificationEvent) override;

    // ---- IDrmAudioStream (PASSIVE_LEVEL)
    STDMETHODIMP_(NTSTATUS) SetContentId(ULONG contentId, PCDRMRIGHTS drmRights) override;

    // ---- NotificationSink
    void Notify(ULONG kind, ULONG position) override;

    // ---- the engine's calls, inside the filter's direction gate (IRQL <= DISPATCH_LEVEL)
    bool TryEnterRun() override { return runGate_.TryEnter(); }
    void LeaveRun() override { runGate_.Leave(); }
    ULONG BitsPerSample() const override { return bitsPerSample_; }
    void AdvancePosition(ULONG bytes) override;
    void TransferData(ULONG bytes) override;

    KSSTATE State() const { return state_; }
    ULONG NotificationCount() const { return notificationCount_; }

private:
    struct EventEntry {
        LIST_ENTRY links;
        PKEVENT event;
    };
    // One accepted transition: from, to, and what it does.
    struct Transition {
        KSSTATE from;
        KSSTATE to;
        NTSTATUS (CMiniportWaveRTStream::*step)();
        bool stateFollowsFailure;  // the state changes even when the step fails
    };
    static const Transition kTransitions[];

    NTSTATUS LocateFormat(PKSDATAFORMAT dataFormat, USHORT* tag, const vq7::WaveFormatExtensible** format);
    NTSTATUS NoStep() { return STATUS_SUCCESS; }
    NTSTATUS Prepare();
    NTSTATUS Unprepare();
    NTSTATUS Run();
    NTSTATUS Pause();
    void StepDownToStop();
    void ReleaseFromFilter();
    EventEntry* FindEvent(PKEVENT event);
    void QueueSpan(PUCHAR address, ULONG length);

    KSSTATE state_ = KSSTATE_STOP;
    vq7::RundownGate runGate_{false};
    CMiniportWaveRT* filter_ = nullptr;  // not counted: the filter outlives its streams
    ULONG pin_ = 0;
    bool capture_ = false;
    PUCHAR buffer_ = nullptr;
    ULONG bufferSize_ = 0;
    bool formatSet_ = false;
    USHORT formatTag_ = 0;
    USHORT channels_ = 0;
    USHORT bitsPerSample_ = 0;
    ULONG sampleRate_ = 0;
    USHORT blockAlign_ = 0;
    ULONG captureOffset_ = 0;
    ULONG renderOffset_ = 0;
    PPORTWAVERTSTREAM portStream_ = nullptr;  // not counted
    ULONG notificationCount_ = 0;
    LIST_ENTRY events_;
    KSPIN_LOCK eventsLock_;  // guards events_ between PortCls's registrations and Notify
    vq7::PositionTracker tracker_;
};
