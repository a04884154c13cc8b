// TransferPipelines: the render pipeline. A render run owns a fixed set of
// contexts, each with a buffer and its MDL, kept on the free list while
// not in flight. The thread starts one chain per render credit (and one
// per feedback credit on devices with explicit feedback); a completion,
// checked in the render DPC, resubmits its context at once, a failed one
// goes back through a work item. Every submission runs under the free
// list's lock, which serialises the class layer's packet pattern.

#include "engine/transfer_pipelines.h"

#include "adapter/device_settings.h"
#include "common/delay.h"
#include "common/locks.h"
#include "common/pool.h"
#include "common/trace.h"
#include "engine/render_packet_dump.h"
#include "wavert/performance_parameters.h"

namespace vq7 {

// PASSIVE_LEVEL, the render thread.
void TransferPipelines::RunRender() {
    DirectionObjects& render = engine_.Direction(false);
    if (!AllocateRenderContexts()) {
        // A short set would leave credits that no context can use.
        VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "render contexts not allocated");
        FreeRenderContexts();
        KeSetEvent(&render.stop, IO_NO_INCREMENT, FALSE);
        return;
    }
    KeClearEvent(&render.error);
    PrepareRenderContexts();
    for (;;) {
        PVOID creditOrStop[] = {&render.credits, &engine_.feedbackCredits, &render.stop};
        const NTSTATUS credit =
            KeWaitForMultipleObjects(3, creditOrStop, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        PVOID events[] = {&render.stop, &render.error, &render.go};
        const NTSTATUS seen =
            KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (seen != STATUS_WAIT_2 && credit != STATUS_WAIT_2) {
            KeReleaseSemaphore(credit == STATUS_WAIT_0 ? &render.credits : &engine_.feedbackCredits, IO_NO_INCREMENT,
                               1, FALSE);
        }
        if (seen == STATUS_WAIT_0) {
            KeWaitForSingleObject(&render.drained, Executive, KernelMode, FALSE, nullptr);
            if (ExplicitFeedback()) {
                KeClearEvent(&engine_.feedbackGo);
                KeWaitForSingleObject(&engine_.feedbackDrained, Executive, KernelMode, FALSE, nullptr);
            }
            break;
        }
        if (seen == STATUS_WAIT_1) {
            RecoverRender();
            continue;
        }
        bool submitted;
        if (credit == STATUS_WAIT_0) {
            CountChainUp(renderChains_, render.drained);
            submitted = SubmitRender(nullptr);
        } else {
            CountChainUp(feedbackChains_, engine_.feedbackDrained);
            submitted = SubmitFeedback(nullptr, nullptr);
        }
        if (!submitted) {
            SleepMilliseconds(1);  // what could not be submitted now is tried again shortly, not in a busy loop
        }
    }
    ClearMixerLists();
    FreeRenderContexts();
}

// PASSIVE_LEVEL. Every context of the run, or false.
bool TransferPipelines::AllocateRenderContexts() {
    const ULONG wanted = amdQuirk_ ? 2 * PlaybackTransfersInFlight + 1 : PlaybackTransfersInFlight;
    const ULONG count = wanted < kMaximumRenderContexts ? wanted : kMaximumRenderContexts;
    const ULONG bytes = engine_.Direction(false).transferBytes;
    if (bytes == 0) {
        return false;
    }
    for (ULONG i = 0; i < count; ++i) {
        TransferContext* context = engine_.AllocateTransferContext();
        if (context == nullptr) {
            return false;
        }
        renderContexts_[renderContextCount_++] = context;
        context->index = static_cast<UCHAR>(i);
        context->adapter = this;
        InitializeListHead(&context->asioMixerLink);
        InitializeListHead(&context->waveRtMixerLink);
        context->buffer = ExAllocatePoolWithTag(NonPagedPoolType(), bytes, kPoolTagUsba);
        if (context->buffer == nullptr) {
            return false;
        }
        context->mdl = IoAllocateMdl(context->buffer, bytes, FALSE, FALSE, nullptr);
        if (context->mdl == nullptr) {
            return false;
        }
        MmBuildMdlForNonPagedPool(context->mdl);
    }
    InStackLock lock(renderFreeLock_);
    for (ULONG i = 0; i < renderContextCount_; ++i) {
        InsertTailList(&renderFree_, &renderContexts_[i]->link);
    }
    return true;
}

// PASSIVE_LEVEL, with nothing in flight.
void TransferPipelines::FreeRenderContexts() {
    {
        InStackLock lock(renderFreeLock_);
        InitializeListHead(&renderFree_);
    }
    for (ULONG i = 0; i < renderContextCount_; ++i) {
        TransferContext* context = renderContexts_[i];
        if (context->mdl != nullptr) {
            IoFreeMdl(context->mdl);
        }
        if (context->buffer != nullptr) {
            ExFreePoolWithTag(context->buffer, kPoolTagUsba);
        }
        engine_.FreeTransferContext(context);
        renderContexts_[i] = nullptr;
    }
    renderContextCount_ = 0;
}

// PASSIVE_LEVEL, the render thread at its start and after a
// resynchronisation: silent packets, and the pacing armed.
void TransferPipelines::PrepareRenderContexts() {
    const UCHAR silence = SilenceByte();
    const ULONG bytes = engine_.Direction(false).transferBytes;
    {
        InStackLock lock(renderFreeLock_);
        for (ULONG i = 0; i < renderContextCount_; ++i) {
            RtlFillMemory(renderContexts_[i]->buffer, bytes, silence);
        }
    }
    if (classLayer_.RenderFollowsCapture()) {
        SynchroniseWithCapture();
    } else if (ExplicitFeedback()) {
        InterlockedExchange(&renderPrimedByFeedback_, 0);
        KeSetEvent(&engine_.feedbackGo, IO_NO_INCREMENT, FALSE);
    }
    if (!amdQuirk_) {
        return;
    }
    InStackLock lock(renderFreeLock_);
    sizingCursor_ = classLayer_.CurrentRenderCursor();
    for (LIST_ENTRY* entry = renderFree_.Flink; entry != &renderFree_; entry = entry->Flink) {
        TransferContext* context = CONTAINING_RECORD(entry, TransferContext, link);
        if (!classLayer_.RenderFollowsCapture()) {
            context->size = NextRenderSize(context);
        }
        FillAndAttach(context);
    }
}

// IRQL <= DISPATCH_LEVEL. Submits one render transfer of the chain: the
// given context returns to the free list and the oldest free one goes out.
// False (and the chain ends, its credit given back) when nothing was
// submitted.
bool TransferPipelines::SubmitRender(TransferContext* context) {
    DirectionObjects& render = engine_.Direction(false);
    TransferContext* taken = nullptr;
    bool submitted;
    {
        InStackLock lock(renderFreeLock_);
        if (context != nullptr) {
            InsertTailList(&renderFree_, &context->link);
        }
        submitted = TakeRenderSubmission(&taken);
        if (!submitted && taken != nullptr) {
            InsertHeadList(&renderFree_, &taken->link);
        }
    }
    if (!submitted) {
        KeReleaseSemaphore(&render.credits, IO_NO_INCREMENT, 1, FALSE);
        CountChainDown(renderChains_, render.drained);
    }
    return submitted;
}

// IRQL == DISPATCH_LEVEL, under the free list's lock. Sizes, fills and
// submits the first free context; *taken is the context it took off the
// list, if any.
bool TransferPipelines::TakeRenderSubmission(TransferContext** taken) {
    DirectionObjects& render = engine_.Direction(false);
    if (DeviceGone() || KeReadStateEvent(&render.go) == 0 || KeReadStateEvent(&render.error) != 0 ||
        IsListEmpty(&renderFree_) || (KeReadStateEvent(&render.stop) != 0 && !host_.RenderSpansQueued())) {
        return false;
    }
    TransferContext* context = CONTAINING_RECORD(RemoveHeadList(&renderFree_), TransferContext, link);
    *taken = context;
    if (!amdQuirk_ &&
        !(classLayer_.RenderFollowsCapture() && KeReadStateEvent(&render.firstCompletion) == 0)) {
        context->size = NextRenderSize(context);
    }
    if (context->size == 0 || context->size > render.transferBytes) {
        // A size the setting cannot carry: the thread recovers rather than
        // retrying the same size for ever.
        KeSetEvent(&render.error, IO_NO_INCREMENT, FALSE);
        return false;
    }
    auto* packet = static_cast<UCHAR*>(context->buffer);
    if (!amdQuirk_) {
        RtlFillMemory(packet, context->size, SilenceByte());
        RenderMixer* mixers[] = {&mixers_.asioRender, &mixers_.waveRtRender};
        for (RenderMixer* mixer : mixers) {
            if (mixer->IsAttached() && !mixer->IsCapturePaced()) {
                mixer->MixAtSubmission(packet, context->size);
            }
        }
    }
    if (DumpCaptureSetting == kDumpRenderPackets) {
        DumpRenderPacket(packet, context->size);
    }
    context->inFlight = TRUE;
    NTSTATUS status = classLayer_.SubmitRenderTransfer(context->buffer, context->mdl, context->size,
                                                       PlaybackFramesPerTransfer,
        Completed<FailNextRenderCompletion, &TransferPipelines::renderCompletions_>, context);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "render submission failed: 0x%08lx", static_cast<ULONG>(status));
        context->inFlight = FALSE;
        KeSetEvent(&render.error, IO_NO_INCREMENT, FALSE);
        return false;
    }
    if (!amdQuirk_) {
        mixers_.asioRender.AttachContext(context);
        mixers_.waveRtRender.AttachContext(context);
    }
    return true;
}

// IRQL == DISPATCH_LEVEL, under the free list's lock. The bytes of the
// next transfer: what capture delivered beyond nominal on a device whose
// render follows capture, else what the schedule or the latest feedback
// value gives. 0 when the transfer would be empty.
ULONG TransferPipelines::NextRenderSize(TransferContext* context) {
    const DirectionObjects& render = engine_.Direction(false);
    if (classLayer_.RenderFollowsCapture()) {
        const LONG deviation = TakeAccumulatedDeviation();
        const LONG size = static_cast<LONG>(render.implicitFeedback.nominalBytes) +
                          deviation * static_cast<LONG>(render.usbFormat.frameBytes);
        return size > 0 ? static_cast<ULONG>(size) : 0;
    }
    const USB_AS_INTERFACE* stream = classLayer_.RenderStream();
    const ULONG feedback = stream != nullptr && stream->feedbackPipe != nullptr ? classLayer_.ApplyPendingFeedback() : 0;
    context->feedbackUsed = feedback;
    if (!amdQuirk_) {
        return classLayer_.GetRenderTransferBytes(PlaybackFramesPerTransfer, feedback);
    }
    // Sized ahead of its submission: the pattern continues from the
    // transfers sized before it, which go out first.
    const ULONG bytes = classLayer_.GetRenderTransferBytes(PlaybackFramesPerTransfer, feedback, sizingCursor_);
    RenderPacketPlan plan;
    if (bytes != 0 && NT_SUCCESS(classLayer_.PlanRenderPackets(bytes, PlaybackFramesPerTransfer, sizingCursor_, &plan))) {
        sizingCursor_ = plan.after;
    }
    return bytes;
}

// IRQL == DISPATCH_LEVEL, under the free list's lock. A packet prepared
// ahead: silent, and on both render mixers' lists to be mixed into.
void TransferPipelines::FillAndAttach(TransferContext* context) {
    const ULONG bytes = engine_.Direction(false).transferBytes;
    RtlFillMemory(context->buffer, context->size < bytes ? context->size : bytes, SilenceByte());
    mixers_.asioRender.AttachContext(context);
    mixers_.waveRtRender.AttachContext(context);
}

// IRQL <= DISPATCH_LEVEL.
void TransferPipelines::ClearMixerLists() {
    mixers_.asioRender.ClearList();
    mixers_.waveRtRender.ClearList();
}

// IRQL == DISPATCH_LEVEL.
void TransferPipelines::ProcessRenderCompletion(TransferContext* context) {
    DirectionObjects& render = engine_.Direction(false);
    const NTSTATUS status = CheckContinuity(render, renderContinuity_, context,
                                            PlaybackTransfersInFlight * PlaybackFramesPerTransfer,
                                            PlaybackFramesPerTransfer);
    if (NT_SUCCESS(status) && context->length != context->size) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "render completion of %lu bytes for %lu", context->length,
                  context->size);
        KeSetEvent(&render.error, IO_NO_INCREMENT, FALSE);
    }
    {
        // The submission that attached this context to the mixers holds
        // this lock until it has; a completion never overtakes it.
        InStackLockForDpc lock(renderFreeLock_);
        context->inFlight = FALSE;
        // The mixers' lists hold the packets in submission order, so the
        // completed one leaves at their head, also when it is prepared
        // again at once for its next submission.
        const ULONG endFrame = context->startFrame + PlaybackFramesPerTransfer;
        mixers_.asioRender.PacketCompleted(endFrame);
        mixers_.waveRtRender.PacketCompleted(endFrame);
        if (amdQuirk_) {
            context->size = NextRenderSize(context);
            FillAndAttach(context);
        }
    }
    if (NT_SUCCESS(status)) {
        Count(statistics_.renderTransfersCompleted);
        SubmitRender(context);
        return;
    }
    VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "render completion failed at frame %lu: 0x%08lx",
              context->completionFrame, static_cast<ULONG>(status));
    Count(statistics_.failedCompletions);
    MarkDeviceGone(status, render.stop);
    KeSetEvent(&render.error, IO_NO_INCREMENT, FALSE);
    if (!QueueResubmission(context, RenderWorkItem)) {
        {
            InStackLockForDpc lock(renderFreeLock_);
            InsertTailList(&renderFree_, &context->link);
        }
        KeReleaseSemaphore(&render.credits, IO_NO_INCREMENT, 1, FALSE);
        CountChainDown(renderChains_, render.drained);
    }
}

// PASSIVE_LEVEL, a work item: the failed context returns to the free list
// and its chain tries once more (render error usually ends it).
VOID TransferPipelines::RenderWorkItem(PDEVICE_OBJECT, PVOID context) {
    auto* transfer = static_cast<TransferContext*>(context);
    auto* self = static_cast<TransferPipelines*>(transfer->adapter);
    IoFreeWorkItem(transfer->workItem);
    transfer->workItem = nullptr;
    self->SubmitRender(transfer);
}

}  // namespace vq7
