// The WaveRT render source: what a WaveRT render mixer reads, the spans of
// the render stream's cyclic buffer. Per read it enters the running
// stream, has it queue the spans for the bytes asked, copies them out,
// writes silence behind itself and advances the stream's position. A
// stream that is not running reads as silence.
//
// On a device without capture the render mixer is paced by render
// submissions alone; a 1 ms timer then polls the stream's position while
// the mixer is attached, with the system timer resolution raised to its finest
// for as long as it runs.
#pragma once

#include <ntddk.h>

#include "common/pool.h"
#include "engine/engine_state.h"
#include "engine/miniport_link.h"
#include "engine/render_source.h"
#include "engine/span_list.h"

namespace vq7 {

class WaveRtRenderSource final : public RenderSource, public PoolObject<kPoolTagUsba> {
public:
    // `format` is the render format the client set; it changes only while
    // no mixer is attached.
    WaveRtRenderSource(MiniportLink& miniport, SpanList& spans, const DirectionFormat& format);
    ~WaveRtRenderSource() override;
    WaveRtRenderSource(const WaveRtRenderSource&) = delete;
    WaveRtRenderSource& operator=(const WaveRtRenderSource&) = delete;

    // Whether the device captures, so that capture paces the mixer. Set
    // once at the adapter's start.
    void SetCapturePaced(bool paced) { capturePaced_ = paced; }
    bool PositionTimerArmed() const { return InterlockedCompareExchange(&timerArmed_, 0, 0) != 0; }

    AudioFormat Format() const override;
    ULONG Read(UCHAR* destination, ULONG frames) override;
    bool CapturePaced() const override { return capturePaced_; }
    bool Primed() const override { return true; }
    NTSTATUS OnAttach() override;
    void AfterRead() override {}
    void OnDetach() override { StopPositionTimer(); }

private:
    static KDEFERRED_ROUTINE PositionTimerDpc;
    void StartPositionTimer();
    void StopPositionTimer();

    MiniportLink& miniport_;
    SpanList& spans_;
    const DirectionFormat& format_;
    bool capturePaced_ = false;
    KTIMER timer_;
    KDPC timerDpc_;
    mutable volatile LONG timerArmed_ = 0;  // read by the DPC while Stop clears it
};

}  // namespace vq7
