// TransferPipelines: the capture pipeline. The thread starts one
// submission chain per capture credit; each completion is checked for
// frame continuity in the capture DPC, its data goes to the capture-paced
// render mixers, the implicit-feedback bookkeeping and the capture mixers,
// and the same buffer and context are submitted again.

#include "engine/transfer_pipelines.h"

#include "common/delay.h"
#include "common/pool.h"
#include "common/trace.h"
#include "wavert/performance_parameters.h"

namespace vq7 {

// PASSIVE_LEVEL, the capture thread.
void TransferPipelines::RunCapture() {
    DirectionObjects& capture = engine_.Direction(true);
    for (;;) {
        PVOID creditOrStop[] = {&capture.credits, &capture.stop};
        const bool credit = KeWaitForMultipleObjects(2, creditOrStop, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                                     nullptr) == STATUS_WAIT_0;
        PVOID events[] = {&capture.stop, &capture.error, &capture.go};
        const NTSTATUS seen =
            KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (seen != STATUS_WAIT_2 && credit) {
            KeReleaseSemaphore(&capture.credits, IO_NO_INCREMENT, 1, FALSE);
        }
        if (seen == STATUS_WAIT_0) {
            KeWaitForSingleObject(&capture.drained, Executive, KernelMode, FALSE, nullptr);
            ResetPipe(classLayer_.CaptureStream() != nullptr ? classLayer_.CaptureStream()->dataPipe : nullptr, false);
            return;
        }
        if (seen == STATUS_WAIT_1) {
            RecoverCapture();
            continue;
        }
        CountChainUp(captureChains_, capture.drained);
        if (!SubmitCapture(nullptr, nullptr)) {
            SleepMilliseconds(1);  // what could not be submitted now is tried again shortly, not in a busy loop
        }
    }
}

// IRQL <= DISPATCH_LEVEL. Submits one capture transfer of the chain with
// the given buffer and context, or new ones; false (and the chain ends,
// its credit given back) when nothing was submitted.
bool TransferPipelines::SubmitCapture(PVOID buffer, TransferContext* context) {
    DirectionObjects& capture = engine_.Direction(true);
    const bool paced = classLayer_.RenderFollowsCapture();
    if (DeviceGone() || KeReadStateEvent(&capture.stop) != 0 || KeReadStateEvent(&capture.error) != 0 ||
        (KeReadStateEvent(&capture.go) == 0 && !paced)) {
        ReleaseCaptureChain(buffer, context);
        return false;
    }
    const ULONG bytes = capture.transferBytes;
    if (!TakeBufferAndContext(&buffer, &context, bytes)) {
        ReleaseCaptureChain(buffer, context);
        return false;
    }
    NTSTATUS status = classLayer_.SubmitCaptureTransfer(
        buffer, bytes, CaptureFramesPerTransfer,
        Completed<FailNextCaptureCompletion, &TransferPipelines::captureCompletions_>, context);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "capture submission failed: 0x%08lx", static_cast<ULONG>(status));
        KeSetEvent(&capture.error, IO_NO_INCREMENT, FALSE);
        ReleaseCaptureChain(buffer, context);
        return false;
    }
    return true;
}

// IRQL <= DISPATCH_LEVEL.
void TransferPipelines::ReleaseCaptureChain(PVOID buffer, TransferContext* context) {
    DirectionObjects& capture = engine_.Direction(true);
    if (context != nullptr) {
        engine_.FreeTransferContext(context);
    }
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, kPoolTagUsba);
    }
    KeReleaseSemaphore(&capture.credits, IO_NO_INCREMENT, 1, FALSE);
    CountChainDown(captureChains_, capture.drained);
}

// PASSIVE_LEVEL, the capture thread. Whatever is in flight is cancelled
// and the pipe starts afresh; render, when it follows capture, starts over
// with it.
void TransferPipelines::RecoverCapture() {
    DirectionObjects& capture = engine_.Direction(true);
    Count(statistics_.captureRecoveries);
    const USB_AS_INTERFACE* stream = classLayer_.CaptureStream();
    PUSBD_PIPE_INFORMATION pipe = stream != nullptr ? stream->dataPipe : nullptr;
    if (pipe != nullptr && !NT_SUCCESS(classLayer_.AbortPipe(pipe))) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "capture pipe not aborted");
    }
    KeWaitForSingleObject(&capture.drained, Executive, KernelMode, FALSE, nullptr);
    ResetPipe(pipe, false);
    KeClearEvent(&capture.firstCompletion);
    KeClearEvent(&capture.error);
    const bool asioPaced = mixers_.asioRender.IsAttached() && mixers_.asioRender.IsCapturePaced();
    if (AnyRenderMixerCapturePaced() || classLayer_.RenderFollowsCapture()) {
        KeSetEvent(&engine_.Direction(false).error, IO_NO_INCREMENT, FALSE);
    }
    if (asioPaced) {
        host_.FailAsioStream();
    }
}

// IRQL == DISPATCH_LEVEL.
void TransferPipelines::ProcessCaptureCompletion(TransferContext* context) {
    DirectionObjects& capture = engine_.Direction(true);
    const bool first = KeReadStateEvent(&capture.firstCompletion) == 0;
    NTSTATUS status = CheckContinuity(capture, captureContinuity_, context,
                                      CaptureTransfersInFlight * CaptureFramesPerTransfer, CaptureFramesPerTransfer);
    // A device hands over what it sampled while nobody polled in the first
    // packets of a (re)start; they may be longer than a running stream's.
    // Refusing them would restart capture for ever.
    if (first && status == STATUS_UNEXPECTED_IO_ERROR) {
        status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status)) {
        Count(statistics_.captureTransfersCompleted);
        DeliverCapture(context);
    } else {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "capture completion failed at frame %lu: 0x%08lx (length %lu)",
                  context->completionFrame, static_cast<ULONG>(status), context->length);
        Count(statistics_.failedCompletions);
        MarkDeviceGone(status, capture.stop);
        KeSetEvent(&capture.error, IO_NO_INCREMENT, FALSE);
    }
    SubmitCapture(context->buffer, context);
}

// IRQL == DISPATCH_LEVEL. A capture transfer that carries no frames is
// handled like any other.
void TransferPipelines::DeliverCapture(const TransferContext* context) {
    DirectionObjects& capture = engine_.Direction(true);
    const ULONG endFrame = context->startFrame + CaptureFramesPerTransfer;
    RenderMixer* renderMixers[] = {&mixers_.asioRender, &mixers_.waveRtRender};
    for (RenderMixer* mixer : renderMixers) {
        if (mixer->IsAttached() && mixer->IsCapturePaced()) {
            mixer->MixCaptured(context->length, endFrame);
        }
    }
    CountCaptureForSync(context->length);
    if (classLayer_.RenderFollowsCapture() && KeReadStateEvent(&engine_.Direction(false).firstCompletion) != 0) {
        AccumulateCaptureDeviation(context->length);
    }
    const ULONG frameBytes = capture.usbFormat.frameBytes;
    if (frameBytes == 0) {
        return;
    }
    const ULONG frames = context->length / frameBytes;
    InterlockedExchangeAdd64(&statistics_.captureFramesReceived, frames);
    if (KeReadStateEvent(&capture.go) == 0) {
        return;
    }
    CaptureMixer* captureMixers[] = {&mixers_.asioCapture, &mixers_.waveRtCapture};
    for (CaptureMixer* mixer : captureMixers) {
        if (mixer->IsAttached()) {
            mixer->Deliver(static_cast<const UCHAR*>(context->buffer), frames);
        }
    }
}

}  // namespace vq7
