#include "engine/wavert_render_source.h"

namespace vq7 {

namespace {

constexpr LONG kPositionPeriod_hns = 10000;  // 1 ms
constexpr LONG kPositionPeriod_ms = 1;
// The resolution asked for while the timer runs: the period counted in
// milliseconds, taken as 100 ns units, asks for far less than any system
// clock offers, so the system runs its finest clock and the 1 ms timer
// fires on time.
constexpr ULONG kRequestedResolution = kPositionPeriod_hns / 10000 > 0 ? kPositionPeriod_hns / 10000 : 1;

}  // namespace

WaveRtRenderSource::WaveRtRenderSource(MiniportLink& miniport, SpanList& spans, const DirectionFormat& format)
    : miniport_(miniport), spans_(spans), format_(format) {
    KeInitializeTimerEx(&timer_, NotificationTimer);
    KeInitializeDpc(&timerDpc_, PositionTimerDpc, this);
}

WaveRtRenderSource::~WaveRtRenderSource() { StopPositionTimer(); }

AudioFormat WaveRtRenderSource::Format() const {
    return AudioFormat{AudioFormat::kModePcm, format_.formatTag, format_.bitsPerSample, format_.channels,
                       format_.rate};
}

// Under the render mixer's lock (DISPATCH_LEVEL). What the spans do not
// cover reads as silence, so stale conversion-buffer bytes never reach a
// packet.
ULONG WaveRtRenderSource::Read(UCHAR* destination, ULONG frames) {
    const ULONG bytes = frames * format_.frameBytes;
    ULONG copied = 0;
    MiniportReference sink(miniport_);
    if (sink && sink->TryEnterRunningStream(FALSE)) {
        sink->TransferData(FALSE, bytes);
        copied = spans_.Consume(bytes, [&](UCHAR* span, ULONG length) {
            RtlCopyMemory(destination + copied, span, length);
            copied += length;
            sink->FillSilence(FALSE, span, length);
        });
        sink->AdvancePosition(FALSE, copied);
        sink->LeaveRunningStream(FALSE);
    }
    RtlZeroMemory(destination + copied, bytes - copied);
    return frames;
}

// PASSIVE_LEVEL.
NTSTATUS WaveRtRenderSource::OnAttach() {
    if (!capturePaced_) {
        StartPositionTimer();
    }
    return STATUS_SUCCESS;
}

void WaveRtRenderSource::StartPositionTimer() {
    StopPositionTimer();
    ExSetTimerResolution(kRequestedResolution, TRUE);
    InterlockedExchange(&timerArmed_, 1);
    LARGE_INTEGER due;
    due.QuadPart = -kPositionPeriod_hns;  // relative
    KeSetTimerEx(&timer_, due, kPositionPeriod_ms, &timerDpc_);
}

// PASSIVE_LEVEL. Once cancelled and with no timer DPC left running, the
// raised resolution is given back.
void WaveRtRenderSource::StopPositionTimer() {
    if (InterlockedExchange(&timerArmed_, 0) == 0) {
        return;
    }
    KeCancelTimer(&timer_);
    KeFlushQueuedDpcs();
    ExSetTimerResolution(0, FALSE);
}

// DISPATCH_LEVEL. Polls the render stream's position every millisecond
// while a render-paced mixer is attached; the answer is not used and the
// poll changes nothing in the stream.
void WaveRtRenderSource::PositionTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* source = static_cast<WaveRtRenderSource*>(context);
    if (InterlockedCompareExchange(&source->timerArmed_, 0, 0) == 0) {
        return;
    }
    MiniportReference sink(source->miniport_);
    if (sink) {
        KSAUDIO_POSITION position;
        (void)sink->GetStreamPosition(FALSE, &position);
    }
}

}  // namespace vq7
