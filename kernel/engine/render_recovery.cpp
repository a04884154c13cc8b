// TransferPipelines: render recovery. After a failed render (or feedback)
// transfer the render thread lets every chain end, resets the pipes,
// waits 25 ms and starts the chains again. Unless a start or stop of a
// direction is running, it also resynchronises the stream: the pacing is
// armed afresh, the packets are silent again and the mixers' lead starts
// over.

#include "engine/transfer_pipelines.h"

#include "common/delay.h"
#include "common/locks.h"
#include "common/trace.h"

namespace vq7 {

namespace {
constexpr ULONG kRecoveryPauseMilliseconds = 25;
constexpr LONG kStartStopFree = 0;
constexpr LONG kRenderResynchronising = 2;
}  // namespace

// PASSIVE_LEVEL, the render thread; the credit it held is back already.
void TransferPipelines::RecoverRender() {
    DirectionObjects& render = engine_.Direction(false);
    Count(statistics_.renderRecoveries);
    KeWaitForSingleObject(&render.drained, Executive, KernelMode, FALSE, nullptr);
    const bool feedback = ExplicitFeedback();
    if (feedback) {
        KeClearEvent(&engine_.feedbackGo);
        KeWaitForSingleObject(&engine_.feedbackDrained, Executive, KernelMode, FALSE, nullptr);
    }
    const USB_AS_INTERFACE* stream = classLayer_.RenderStream();
    ResetPipe(stream != nullptr ? stream->dataPipe : nullptr, false);
    if (feedback) {
        ResetPipe(stream != nullptr ? stream->feedbackPipe : nullptr, false);
        // The credits the first feedback gave are taken back with the
        // re-initialisation below.
        InterlockedExchange(&renderPrimedByFeedback_, 0);
    }
    ClearMixerLists();
    KeClearEvent(&render.error);
    SleepMilliseconds(kRecoveryPauseMilliseconds);
    ResetRenderCredits();
    if (InterlockedExchange(&engine_.startStopFlag, kRenderResynchronising) != kStartStopFree) {
        VQ7_TRACE(TRACE_LEVEL_INFORMATION, kTraceEngine, "render resynchronisation left to the running start or stop");
        return;
    }
    ResynchroniseRender();
    InterlockedExchange(&engine_.startStopFlag, kStartStopFree);
}

// PASSIVE_LEVEL, the render thread holding the start/stop flag at 2.
void TransferPipelines::ResynchroniseRender() {
    DirectionObjects& render = engine_.Direction(false);
    Count(statistics_.renderResynchronisations);
    MutexLock guard(engine_.streamStateMutex);
    {
        InStackLock lock(renderFreeLock_);
        KeClearEvent(&render.firstCompletion);
        ClearMixerLists();
    }
    if (mixers_.asioRender.IsAttached() && mixers_.asioRender.IsCapturePaced()) {
        host_.FailAsioStream();
    }
    PrepareRenderContexts();
    const DeviceStreamLayout layout = host_.StreamLayout();
    mixers_.asioRender.ResetLead(layout);
    mixers_.waveRtRender.ResetLead(layout);
}

}  // namespace vq7
