// The transfer pipelines: while a direction runs, its system thread keeps
// isochronous transfers in flight, and each completion, queued to the
// direction's DPC, hands the data to the mixers and resubmits the same
// transfer context at once. So after a start the pipeline runs from
// completion to completion; the threads only fill gaps left by transfers
// that could not be resubmitted, and recover from failed ones.
//
// Three pipelines: capture (data in), render (data out) and, on devices
// with an explicit feedback endpoint, feedback (rate information in,
// driven by the render thread). The class layer lays out the packets; this
// class decides when to submit, how many bytes, where the data goes, and
// how to recover. Owned by the adapter; its slices are capture_pipeline,
// render_pipeline, feedback_pipeline, implicit_feedback_sync and
// render_recovery.
#pragma once

#include <ntddk.h>

#include "common/system_thread.h"
#include "engine/engine_state.h"
#include "engine/engine_statistics.h"
#include "engine/failure_hooks.h"
#include "engine/frame_continuity.h"
#include "engine/mixer_set.h"
#include "engine/pipeline_host.h"
#include "engine/transfer_context.h"
#include "usbaudiocl.h"

namespace vq7 {

class TransferPipelines {
public:
    // The most render contexts a run uses: twice the deepest playback
    // pipeline and one more, for the host controllers that need packets
    // prepared a whole pipeline ahead.
    static constexpr ULONG kMaximumRenderContexts = 2 * 8 + 1;
    static constexpr LONG kFeedbackCredits = 8;

    TransferPipelines(CUSBAudioCL& classLayer, EngineState& engine, MixerSet& mixers, PipelineHost& host);
    ~TransferPipelines();
    TransferPipelines(const TransferPipelines&) = delete;
    TransferPipelines& operator=(const TransferPipelines&) = delete;

    // At each adapter start: the device object work items run for, the
    // host controller quirk, and a device that is present again.
    // PASSIVE_LEVEL.
    void Bind(PDEVICE_OBJECT deviceObject, bool amdQuirk);

    // Direction lifecycle, PASSIVE_LEVEL under the stream-state mutex.
    // Creates the direction's thread once its clock is stable.
    [[nodiscard]] NTSTATUS CreatePipelineThread(bool capture);
    // Ends the direction's thread, if one runs, after its transfers drained.
    void StopPipeline(bool capture);
    // The render and feedback credits for a render start: with explicit
    // feedback, render waits for the first feedback value.
    void ResetRenderCredits();
    // Waits for the direction's first completion after its go event was
    // set: STATUS_SUCCESS, STATUS_CANCELLED when the pipeline stopped
    // first, STATUS_UNSUCCESSFUL after 10 seconds.
    [[nodiscard]] NTSTATUS WaitForFirstCompletion(bool capture);

    // Read from any completion path while another marks it: an interlocked read.
    bool DeviceGone() const {
        return InterlockedCompareExchange(const_cast<volatile LONG*>(&deviceGone_), 0, 0) != 0;
    }
    const EngineStatistics& Statistics() const { return statistics_; }
    // The fill byte of render packets for the current mode.
    UCHAR SilenceByte() const;

private:
    // The thread objects' owners.
    class CaptureRunner final : public SystemThreadOwner {
    public:
        explicit CaptureRunner(TransferPipelines& pipelines) : pipelines_(pipelines) {}
        void Run() override;
    private:
        TransferPipelines& pipelines_;
    };
    class RenderRunner final : public SystemThreadOwner {
    public:
        explicit RenderRunner(TransferPipelines& pipelines) : pipelines_(pipelines) {}
        void Run() override;
    private:
        TransferPipelines& pipelines_;
    };

    // A list of completed contexts and the DPC that works through it.
    struct CompletionQueue {
        KSPIN_LOCK lock;
        LIST_ENTRY list;
        KDPC dpc;
        bool draining;  // a DPC instance is working through the list
    };

    // ---- shared (transfer_pipelines.cpp)
    bool ExplicitFeedback() const;
    bool AnyRenderMixerCapturePaced() const;
    void MarkDeviceGone(NTSTATUS status, KEVENT& stopEvent);
    static void CountChainUp(volatile LONG& chains, KEVENT& drained);
    static void CountChainDown(volatile LONG& chains, KEVENT& drained);
    void Enqueue(CompletionQueue& queue, TransferContext* context);
    // The next context of the queue, or null when it is empty; clears the
    // draining flag then. IRQL == DISPATCH_LEVEL.
    TransferContext* NextCompleted(CompletionQueue& queue);
    bool BeginDraining(CompletionQueue& queue);
    // The first completion after a start sets the direction's first
    // completion and is the reference frame; later ones are checked for
    // continuity. The status to handle the completion with.
    NTSTATUS CheckContinuity(DirectionObjects& direction, FrameContinuity& continuity,
                             const TransferContext* context, ULONG limitFrames, ULONG stepFrames);
    void RecordCompletion(TransferContext* context, NTSTATUS status, ULONG bytes, ULONG startFrame, ULONG duration);
    // The class layer's completion of a capture or render transfer: the
    // failure hook applied, the completion recorded and queued to the
    // direction's DPC. IRQL <= DISPATCH_LEVEL.
    template <volatile LONG& Hook, CompletionQueue TransferPipelines::*Queue>
    static VOID Completed(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG duration) {
        auto* transfer = static_cast<TransferContext*>(context);
        auto* self = static_cast<TransferPipelines*>(transfer->adapter);
        self->RecordCompletion(transfer, ApplyFailureHook(Hook, status), bytes, startFrame, duration);
        self->Enqueue(self->*Queue, transfer);
    }
    // The direction's DPC: the queued completions, one at a time, in order.
    template <CompletionQueue TransferPipelines::*Queue, void (TransferPipelines::*Process)(TransferContext*)>
    static VOID NTAPI CompletionDpc(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<TransferPipelines*>(context);
        if (!self->BeginDraining(self->*Queue)) {
            return;
        }
        while (TransferContext* transfer = self->NextCompleted(self->*Queue)) {
            (self->*Process)(transfer);
        }
    }
    // A buffer of `bytes` and a context for a submission, the given ones or
    // new ones; false when either cannot be had.
    bool TakeBufferAndContext(PVOID* buffer, TransferContext** context, ULONG bytes);
    bool QueueResubmission(TransferContext* context, PIO_WORKITEM_ROUTINE routine);
    void ResetPipe(PUSBD_PIPE_INFORMATION pipe, bool abortFirst);

    // ---- capture (capture_pipeline.cpp)
    void RunCapture();
    bool SubmitCapture(PVOID buffer, TransferContext* context);
    void ReleaseCaptureChain(PVOID buffer, TransferContext* context);
    void RecoverCapture();
    void ProcessCaptureCompletion(TransferContext* context);
    void DeliverCapture(const TransferContext* context);

    // ---- render (render_pipeline.cpp)
    void RunRender();
    bool AllocateRenderContexts();
    void FreeRenderContexts();
    void PrepareRenderContexts();
    bool SubmitRender(TransferContext* context);
    bool TakeRenderSubmission(TransferContext** taken);
    ULONG NextRenderSize(TransferContext* context);
    void FillAndAttach(TransferContext* context);
    void ProcessRenderCompletion(TransferContext* context);
    void ClearMixerLists();
    static VOID NTAPI RenderWorkItem(PDEVICE_OBJECT, PVOID context);

    // ---- feedback (feedback_pipeline.cpp)
    bool SubmitFeedback(PVOID buffer, TransferContext* context);
    void ReleaseFeedbackChain(PVOID buffer, TransferContext* context);
    ULONG PlausibleFeedback(ULONG value);
    static VOID FeedbackCompleted(NTSTATUS status, ULONG value, ULONG startFrame, PVOID context, ULONG duration);
    static VOID NTAPI FeedbackWorkItem(PDEVICE_OBJECT, PVOID context);

    // ---- implicit feedback (implicit_feedback_sync.cpp)
    // Collects the first render sizes from capture; false when a stop came first.
    bool SynchroniseWithCapture();
    // The signed frames a capture transfer of `length` bytes deviates from
    // nominal; false outside the paced bounds.
    bool CaptureDeviation(ULONG length, LONG* deviation) const;
    void CountCaptureForSync(ULONG length);
    void AccumulateCaptureDeviation(ULONG length);
    // The signed frames the next render transfer deviates from nominal.
    LONG TakeAccumulatedDeviation();

    // ---- render recovery (render_recovery.cpp)
    void RecoverRender();
    void ResynchroniseRender();

    CUSBAudioCL& classLayer_;
    EngineState& engine_;
    MixerSet& mixers_;
    PipelineHost& host_;
    PDEVICE_OBJECT deviceObject_ = nullptr;
    bool amdQuirk_ = false;

    CaptureRunner captureRunner_{*this};
    RenderRunner renderRunner_{*this};
    SystemThread captureThread_;
    SystemThread renderThread_;

    CompletionQueue captureCompletions_ = {};
    CompletionQueue renderCompletions_ = {};
    FrameContinuity captureContinuity_;
    FrameContinuity renderContinuity_;

    volatile LONG captureChains_ = 0;
    volatile LONG renderChains_ = 0;
    volatile LONG feedbackChains_ = 0;
    volatile LONG deviceGone_ = 0;
    volatile LONG renderPrimedByFeedback_ = 0;

    // The render context set and its free list; the lock is held across
    // every render submission.
    KSPIN_LOCK renderFreeLock_;
    LIST_ENTRY renderFree_;
    TransferContext* renderContexts_[kMaximumRenderContexts] = {};
    ULONG renderContextCount_ = 0;
    // With packets sized ahead of their submission: where the class
    // layer's pattern will stand when the next sized packet goes out.
    RenderCursor sizingCursor_ = {};

    // Implicit feedback: frames capture delivered beyond what render sent.
    KSPIN_LOCK accumulatorLock_;
    LONG accumulator_ = 0;
    KSPIN_LOCK syncLock_;
    bool syncCollecting_ = false;
    ULONG syncIndex_ = 0;
    ULONG syncTransfers_ = 0;

    EngineStatistics statistics_ = {};
};

}  // namespace vq7
