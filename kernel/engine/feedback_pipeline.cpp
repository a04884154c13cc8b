// TransferPipelines: the feedback pipeline of devices whose render clock
// is their own. The render thread starts one chain per feedback credit;
// each completion reports the device's average rate, which becomes the
// value the next render transfers are sized with. Render starts with the
// first value.

#include "engine/transfer_pipelines.h"

#include "common/pool.h"
#include "common/trace.h"
#include "wavert/performance_parameters.h"

namespace vq7 {

namespace {
constexpr ULONG kOneSample_Q16_16 = 0x10000;
}

// IRQL <= DISPATCH_LEVEL. False (and the chain ends) when nothing was submitted.
bool TransferPipelines::SubmitFeedback(PVOID buffer, TransferContext* context) {
    DirectionObjects& render = engine_.Direction(false);
    if (DeviceGone() || KeReadStateEvent(&render.error) != 0 || KeReadStateEvent(&engine_.feedbackGo) == 0) {
        ReleaseFeedbackChain(buffer, context);
        return false;
    }
    const ULONG bytes = classLayer_.GetFeedbackTransferBytes();
    if (!TakeBufferAndContext(&buffer, &context, bytes)) {
        ReleaseFeedbackChain(buffer, context);
        return false;
    }
    NTSTATUS status = classLayer_.RecvFeedback(buffer, bytes, FeedbackCompleted, context);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "feedback submission failed: 0x%08lx", static_cast<ULONG>(status));
        KeSetEvent(&render.error, IO_NO_INCREMENT, FALSE);
        ReleaseFeedbackChain(buffer, context);
        return false;
    }
    return true;
}

// IRQL <= DISPATCH_LEVEL.
void TransferPipelines::ReleaseFeedbackChain(PVOID buffer, TransferContext* context) {
    if (context != nullptr) {
        engine_.FreeTransferContext(context);
    }
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, kPoolTagUsba);
    }
    KeReleaseSemaphore(&engine_.feedbackCredits, IO_NO_INCREMENT, 1, FALSE);
    CountChainDown(feedbackChains_, engine_.feedbackDrained);
}

// IRQL <= DISPATCH_LEVEL. The device reports samples per bus interval
// (125 us at high speed, 1 ms at full speed), whatever its data endpoint's
// service interval; a value more than one sample from nominal, or below
// one sample, cannot be the device's rate.
ULONG TransferPipelines::PlausibleFeedback(ULONG value) {
    const ULONG nominal = classLayer_.GetFeedbackNominal(0);
    if (value < kOneSample_Q16_16 || value + kOneSample_Q16_16 < nominal || value > nominal + kOneSample_Q16_16) {
        Count(statistics_.feedbackValuesReplaced);
        return nominal;
    }
    return value;
}

// IRQL <= DISPATCH_LEVEL, the class layer's completion (no DPC: the value
// is stored at once).
VOID TransferPipelines::FeedbackCompleted(NTSTATUS status, ULONG value, ULONG, PVOID context, ULONG) {
    auto* transfer = static_cast<TransferContext*>(context);
    auto* self = static_cast<TransferPipelines*>(transfer->adapter);
    DirectionObjects& render = self->engine_.Direction(false);
    if (!NT_SUCCESS(status)) {
        Count(self->statistics_.failedCompletions);
        self->MarkDeviceGone(status, render.stop);
        KeSetEvent(&render.error, IO_NO_INCREMENT, FALSE);
        if (!self->QueueResubmission(transfer, FeedbackWorkItem)) {
            self->ReleaseFeedbackChain(transfer->buffer, transfer);
        }
        return;
    }
    Count(self->statistics_.feedbackTransfersCompleted);
    const ULONG plausible = self->PlausibleFeedback(value);
    InterlockedExchangeAdd64(&self->statistics_.feedbackValueSum, static_cast<LONG64>(plausible));
    self->classLayer_.StorePendingFeedback(plausible);
    if (InterlockedCompareExchange(&self->renderPrimedByFeedback_, 1, 0) == 0) {
        KeReleaseSemaphore(&render.credits, IO_NO_INCREMENT, static_cast<LONG>(PlaybackTransfersInFlight), FALSE);
    }
    self->SubmitFeedback(transfer->buffer, transfer);
}

// PASSIVE_LEVEL, a work item for a failed feedback transfer.
VOID TransferPipelines::FeedbackWorkItem(PDEVICE_OBJECT, PVOID context) {
    auto* transfer = static_cast<TransferContext*>(context);
    auto* self = static_cast<TransferPipelines*>(transfer->adapter);
    IoFreeWorkItem(transfer->workItem);
    transfer->workItem = nullptr;
    self->SubmitFeedback(transfer->buffer, transfer);
}

}  // namespace vq7
