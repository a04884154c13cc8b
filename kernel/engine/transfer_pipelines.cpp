// TransferPipelines: construction, the pipeline threads' lifecycle, and
// what the capture, render and feedback slices share (chain counts,
// completion queues, device-gone handling, work items, pipe resets).

#include "engine/transfer_pipelines.h"

#include "common/delay.h"
#include "common/locks.h"
#include "common/pool.h"
#include "common/trace.h"
#include "wavert/performance_parameters.h"

namespace vq7 {

namespace {

constexpr ULONG kClockPollMilliseconds = 1;
constexpr ULONG kClockPollLimitMilliseconds = 100;
constexpr LONGLONG kFirstCompletionTimeout_hns = -10LL * 1000 * 1000 * 10;  // 10 s
constexpr LONGLONG kRenderDrainTimeout_hns = -1000LL * 1000 * 10;           // 1 s
constexpr UCHAR kDsdSilence = 0x96;

}  // namespace

TransferPipelines::TransferPipelines(CUSBAudioCL& classLayer, EngineState& engine, MixerSet& mixers,
                                     PipelineHost& host)
    : classLayer_(classLayer), engine_(engine), mixers_(mixers), host_(host) {
    KeInitializeSpinLock(&captureCompletions_.lock);
    InitializeListHead(&captureCompletions_.list);
    KeInitializeDpc(&captureCompletions_.dpc,
                    CompletionDpc<&TransferPipelines::captureCompletions_, &TransferPipelines::ProcessCaptureCompletion>,
                    this);
    KeInitializeSpinLock(&renderCompletions_.lock);
    InitializeListHead(&renderCompletions_.list);
    KeInitializeDpc(&renderCompletions_.dpc,
                    CompletionDpc<&TransferPipelines::renderCompletions_, &TransferPipelines::ProcessRenderCompletion>,
                    this);
    KeInitializeSpinLock(&renderFreeLock_);
    InitializeListHead(&renderFree_);
    KeInitializeSpinLock(&accumulatorLock_);
    KeInitializeSpinLock(&syncLock_);
}

// PASSIVE_LEVEL. Both threads have been stopped by then (removal stops
// every use); a DPC that was still finishing its last entry is waited for.
TransferPipelines::~TransferPipelines() {
    captureThread_.Stop();
    renderThread_.Stop();
    KeFlushQueuedDpcs();
}

void TransferPipelines::Bind(PDEVICE_OBJECT deviceObject, bool amdQuirk) {
    deviceObject_ = deviceObject;
    amdQuirk_ = amdQuirk;
    InterlockedExchange(&deviceGone_, 0);
}

// ---------------------------------------------------------------- thread lifecycle

void TransferPipelines::CaptureRunner::Run() { pipelines_.RunCapture(); }
void TransferPipelines::RenderRunner::Run() { pipelines_.RunRender(); }

// PASSIVE_LEVEL, under the stream-state mutex.
NTSTATUS TransferPipelines::CreatePipelineThread(bool capture) {
    PAGED_CODE();
    DirectionObjects& direction = engine_.Direction(capture);
    KeClearEvent(&direction.stop);
    const UCHAR which = capture ? 1 : 0;
    bool stable = classLayer_.IsClockStable(which);
    for (ULONG waited = 0; !stable && waited < kClockPollLimitMilliseconds; waited += kClockPollMilliseconds) {
        SleepMilliseconds(kClockPollMilliseconds);
        stable = classLayer_.IsClockStable(which);
    }
    if (!stable) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "clock of direction %u not stable", which);
        KeSetEvent(&direction.stop, IO_NO_INCREMENT, FALSE);
        return STATUS_UNSUCCESSFUL;
    }
    SystemThread& thread = capture ? captureThread_ : renderThread_;
    SystemThreadOwner* owner = capture ? static_cast<SystemThreadOwner*>(&captureRunner_) : &renderRunner_;
    NTSTATUS status = thread.Start(owner);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "pipeline thread not created: 0x%08lx", static_cast<ULONG>(status));
        KeSetEvent(&direction.stop, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

// PASSIVE_LEVEL, under the stream-state mutex.
void TransferPipelines::StopPipeline(bool capture) {
    PAGED_CODE();
    SystemThread& thread = capture ? captureThread_ : renderThread_;
    if (!thread.IsStarted()) {
        return;
    }
    DirectionObjects& direction = engine_.Direction(capture);
    KeSetEvent(&direction.stop, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&direction.go);
    if (!capture) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kRenderDrainTimeout_hns;
        KeWaitForSingleObject(&direction.drained, Executive, KernelMode, FALSE, &timeout);
    }
    thread.Stop();
    KeClearEvent(&direction.firstCompletion);
}

// PASSIVE_LEVEL.
void TransferPipelines::ResetRenderCredits() {
    DirectionObjects& render = engine_.Direction(false);
    const LONG inFlight = static_cast<LONG>(PlaybackTransfersInFlight);
    if (ExplicitFeedback()) {
        KeInitializeSemaphore(&engine_.feedbackCredits, kFeedbackCredits, kFeedbackCredits);
        KeInitializeSemaphore(&render.credits, 0, inFlight);
    } else {
        KeInitializeSemaphore(&engine_.feedbackCredits, 0, kFeedbackCredits);
        KeInitializeSemaphore(&render.credits, inFlight, inFlight);
    }
}

// PASSIVE_LEVEL.
NTSTATUS TransferPipelines::WaitForFirstCompletion(bool capture) {
    DirectionObjects& direction = engine_.Direction(capture);
    PVOID objects[] = {&direction.firstCompletion, &direction.stop};
    LARGE_INTEGER timeout;
    timeout.QuadPart = kFirstCompletionTimeout_hns;
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
    if (status == STATUS_WAIT_0) {
        return STATUS_SUCCESS;
    }
    return status == STATUS_WAIT_1 ? STATUS_CANCELLED : STATUS_UNSUCCESSFUL;
}

// ---------------------------------------------------------------- shared

// IRQL <= DISPATCH_LEVEL. Render is paced by an explicit feedback endpoint:
// the device has its own clock for render and reports its rate.
bool TransferPipelines::ExplicitFeedback() const {
    const USB_AS_INTERFACE* render = classLayer_.RenderStream();
    return !classLayer_.SharedClock() && render != nullptr && render->feedbackPipe != nullptr;
}

// IRQL <= DISPATCH_LEVEL.
bool TransferPipelines::AnyRenderMixerCapturePaced() const {
    return (mixers_.asioRender.IsAttached() && mixers_.asioRender.IsCapturePaced()) ||
           (mixers_.waveRtRender.IsAttached() && mixers_.waveRtRender.IsCapturePaced());
}

// IRQL <= DISPATCH_LEVEL. A device-gone status ends the direction.
void TransferPipelines::MarkDeviceGone(NTSTATUS status, KEVENT& stopEvent) {
    if (status != STATUS_NO_SUCH_DEVICE && status != STATUS_DELETE_PENDING && status != STATUS_DEVICE_NOT_CONNECTED) {
        return;
    }
    host_.NoteTransferStatus(status);
    InterlockedExchange(&deviceGone_, 1);
    KeSetEvent(&stopEvent, IO_NO_INCREMENT, FALSE);
}

// IRQL <= DISPATCH_LEVEL. A submission chain starts: the first one makes
// the kind of transfer no longer drained.
void TransferPipelines::CountChainUp(volatile LONG& chains, KEVENT& drained) {
    if (InterlockedIncrement(&chains) == 1) {
        KeClearEvent(&drained);
    }
}

// IRQL <= DISPATCH_LEVEL.
void TransferPipelines::CountChainDown(volatile LONG& chains, KEVENT& drained) {
    if (InterlockedDecrement(&chains) == 0) {
        KeSetEvent(&drained, IO_NO_INCREMENT, FALSE);
    }
}

// IRQL <= DISPATCH_LEVEL, from a completion routine.
void TransferPipelines::RecordCompletion(TransferContext* context, NTSTATUS status, ULONG bytes, ULONG startFrame,
                                         ULONG duration) {
    ULONG frame = 0;
    const USB_BUS_INTERFACE_USBDI_V1& bus = classLayer_.BusInterface();
    if (bus.QueryBusTime == nullptr || !NT_SUCCESS(bus.QueryBusTime(bus.BusContext, &frame))) {
        frame = 0;
    }
    context->completionFrame = frame;
    context->completionTime = KeQueryPerformanceCounter(nullptr).QuadPart;
    context->status = status;
    context->length = bytes;
    context->startFrame = startFrame;
    context->duration = duration;
}

// IRQL <= DISPATCH_LEVEL. Appends a completed context; the DPC is queued
// when the list was empty (otherwise it is queued or working already).
void TransferPipelines::Enqueue(CompletionQueue& queue, TransferContext* context) {
    bool wasEmpty;
    {
        InStackLock lock(queue.lock);
        wasEmpty = IsListEmpty(&queue.list) != FALSE;
        InsertTailList(&queue.list, &context->link);
    }
    if (wasEmpty) {
        KeInsertQueueDpc(&queue.dpc, nullptr, nullptr);
    }
}

// IRQL == DISPATCH_LEVEL. Only one DPC instance works through a list at a
// time, so that completions are handled in the order they arrived even
// when the DPC is queued again on another processor meanwhile.
bool TransferPipelines::BeginDraining(CompletionQueue& queue) {
    InStackLockForDpc lock(queue.lock);
    if (queue.draining) {
        return false;
    }
    queue.draining = true;
    return true;
}

// IRQL == DISPATCH_LEVEL.
TransferContext* TransferPipelines::NextCompleted(CompletionQueue& queue) {
    InStackLockForDpc lock(queue.lock);
    if (IsListEmpty(&queue.list)) {
        queue.draining = false;
        return nullptr;
    }
    return CONTAINING_RECORD(RemoveHeadList(&queue.list), TransferContext, link);
}

// IRQL <= DISPATCH_LEVEL.
bool TransferPipelines::TakeBufferAndContext(PVOID* buffer, TransferContext** context, ULONG bytes) {
    if (*buffer == nullptr && bytes != 0) {
        *buffer = ExAllocatePoolWithTag(NonPagedPoolType(), bytes, kPoolTagUsba);
    }
    if (*context == nullptr) {
        *context = engine_.AllocateTransferContext();
    }
    if (*buffer == nullptr || *context == nullptr) {
        return false;
    }
    (*context)->buffer = *buffer;
    (*context)->size = bytes;
    (*context)->adapter = this;
    return true;
}

// IRQL == DISPATCH_LEVEL, the direction's DPC.
NTSTATUS TransferPipelines::CheckContinuity(DirectionObjects& direction, FrameContinuity& continuity,
                                            const TransferContext* context, ULONG limitFrames, ULONG stepFrames) {
    if (KeReadStateEvent(&direction.firstCompletion) == 0) {
        continuity.Restart(context->completionFrame);
        KeSetEvent(&direction.firstCompletion, IO_NO_INCREMENT, FALSE);
        return context->status;
    }
    const NTSTATUS checked = continuity.Check(context->completionFrame, context->status, limitFrames, stepFrames);
    if (checked != context->status) {
        Count(statistics_.frameContinuityFailures);
    }
    return checked;
}

// IRQL <= DISPATCH_LEVEL. A failed transfer goes back through a work item;
// false when none could be had.
bool TransferPipelines::QueueResubmission(TransferContext* context, PIO_WORKITEM_ROUTINE routine) {
    PIO_WORKITEM item = deviceObject_ != nullptr ? IoAllocateWorkItem(deviceObject_) : nullptr;
    if (item == nullptr) {
        return false;
    }
    context->workItem = item;
    IoQueueWorkItem(item, routine, DelayedWorkQueue, context);
    return true;
}

// PASSIVE_LEVEL. A pipe that is gone with its setting is left alone.
void TransferPipelines::ResetPipe(PUSBD_PIPE_INFORMATION pipe, bool abortFirst) {
    if (pipe == nullptr) {
        return;
    }
    NTSTATUS status = abortFirst ? classLayer_.AbortPipe(pipe) : STATUS_SUCCESS;
    if (NT_SUCCESS(status)) {
        status = classLayer_.ResetPipe(pipe);
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "pipe reset failed: 0x%08lx", static_cast<ULONG>(status));
    }
}

// IRQL <= DISPATCH_LEVEL.
UCHAR TransferPipelines::SilenceByte() const {
    return host_.StreamLayout().render.mode == AudioFormat::kModeDsd ? kDsdSilence : 0;
}

}  // namespace vq7
