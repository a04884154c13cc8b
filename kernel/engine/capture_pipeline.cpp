// TransferPipelines: the capture pipeline. The thread starts one
// submission chain per capture credit; each completion is checked for
// frame continuity in the capture DPC, its data goes to the capture-paced
// render mixers, the implicit-feedback bookkeeping and the capture mixers,
// and the same buffer and context are submitted again.

#include "engine/transfer_pipelines.h"

#include "common/delay.h"
#include "common/pool.h"
#include "common/trace.h"
#include "engine/failure_hooks.h"
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
    if (buffer == nullptr) {
        buffer = ExAllocatePoolWithTag(NonPagedPoolType(), bytes, kPoolTagUsba);
    }
    if (context == nullptr) {
        context = engine_.AllocateTransferContext();
    }
    if (buffer == nullptr || context == nullptr) {
        ReleaseCaptureChain(buffer, context);
        return false;
    }
    context->buffer = buffer;
    context->size = bytes;
    context->adapter = this;
    NTSTATUS status =
        classLayer_.SubmitCaptureTransfer(buffer, bytes, CaptureFramesPerTransfer, CaptureCompleted, context);
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

// IRQL <= DISPATCH_LEVEL, the class layer's completion.
VOID TransferPipelines::CaptureCompleted(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context,
                                         ULONG duration) {
    auto* transfer = static_cast<TransferContext*>(context);
    auto* self = static_cast<TransferPipelines*>(transfer->adapter);
    status = ApplyFailureHook(FailNextCaptureCompletion, status);
    self->RecordCompletion(transfer, status, bytes, startFrame, duration);
    self->Enqueue(self->captureCompletions_, transfer);
}

// IRQL == DISPATCH_LEVEL.
VOID TransferPipelines::CaptureDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<TransferPipelines*>(context);
    if (!self->BeginDraining(self->captureCompletions_)) {
        return;
    }
    while (TransferContext* transfer = self->NextCompleted(self->captureCompletions_)) {
        self->ProcessCaptureCompletion(transfer);
    }
}

// IRQL == DISPATCH_LEVEL.
void TransferPipelines::ProcessCaptureCompletion(TransferContext* context) {
    DirectionObjects& capture = engine_.Direction(true);
    NTSTATUS status = context->status;
    if (KeReadStateEvent(&capture.firstCompletion) == 0) {
        captureContinuity_.Restart(context->completionFrame);
        KeSetEvent(&capture.firstCompletion, IO_NO_INCREMENT, FALSE);
    } else {
        const NTSTATUS checked =
            captureContinuity_.Check(context->completionFrame, status,
                                     CaptureTransfersInFlight * CaptureFramesPerTransfer, CaptureFramesPerTransfer);
        if (checked != status) {
            Count(statistics_.frameContinuityFailures);
            status = checked;
        }
    }
    if (NT_SUCCESS(status)) {
        Count(statistics_.captureTransfersCompleted);
        DeliverCapture(context);
    } else {
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
    if (KeReadStateEvent(&capture.go) == 0 || frameBytes == 0) {
        return;
    }
    const ULONG frames = context->length / frameBytes;
    CaptureMixer* captureMixers[] = {&mixers_.asioCapture, &mixers_.waveRtCapture};
    for (CaptureMixer* mixer : captureMixers) {
        if (mixer->IsAttached()) {
            mixer->Deliver(static_cast<const UCHAR*>(context->buffer), frames);
        }
    }
}

}  // namespace vq7
