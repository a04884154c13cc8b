#include "engine/engine_state.h"

#include "common/locks.h"
#include "common/pool.h"
#include "common/trace.h"

namespace vq7 {

namespace {
constexpr LONG kFeedbackCredits = 8;
}

EngineState::~EngineState() {
    if (lookasidesCreated_) {
        ExDeleteNPagedLookasideList(&spanLookaside_);
        ExDeleteNPagedLookasideList(&transferLookaside_);
    }
}

void EngineState::InitializeDirection(DirectionObjects& direction) {
    KeInitializeEvent(&direction.stop, NotificationEvent, TRUE);
    KeInitializeEvent(&direction.go, NotificationEvent, FALSE);
    KeInitializeEvent(&direction.error, NotificationEvent, FALSE);
    KeInitializeEvent(&direction.drained, NotificationEvent, TRUE);
    KeInitializeEvent(&direction.firstCompletion, NotificationEvent, FALSE);
}

void EngineState::Initialize() {
    KeInitializeMutex(&streamStateMutex, 0);
    KeInitializeMutex(&reservationMutex, 0);
    KeInitializeEvent(&removing, NotificationEvent, FALSE);
    KeInitializeEvent(&feedbackGo, NotificationEvent, FALSE);
    KeInitializeEvent(&feedbackDrained, NotificationEvent, TRUE);
    KeInitializeEvent(&implicitFeedbackSync, NotificationEvent, FALSE);
    KeInitializeSemaphore(&feedbackCredits, kFeedbackCredits, kFeedbackCredits);
    InitializeDirection(render_);
    InitializeDirection(capture_);
    if (!lookasidesCreated_) {
        ExInitializeNPagedLookasideList(&spanLookaside_, nullptr, nullptr, LookasideFlags(), sizeof(SpanRecord),
                                        kPoolTagUsba, 0);
        ExInitializeNPagedLookasideList(&transferLookaside_, nullptr, nullptr, LookasideFlags(),
                                        sizeof(TransferContext), kPoolTagUsba, 0);
        lookasidesCreated_ = true;
    }
}

void EngineState::InitializeCredits(ULONG captureTransfersInFlight, ULONG playbackTransfersInFlight) {
    KeInitializeSemaphore(&render_.credits, 0, static_cast<LONG>(playbackTransfersInFlight));
    KeInitializeSemaphore(&capture_.credits, static_cast<LONG>(captureTransfersInFlight),
                          static_cast<LONG>(captureTransfersInFlight));
}

NTSTATUS EngineState::ReserveDirections(bool capture, bool render, bool exclusiveUse, bool playbackOnly) {
    MutexLock guard(reservationMutex);
    if (exclusive != 0) {
        return STATUS_DEVICE_BUSY;
    }
    if (exclusiveUse && (capture_.reservations > 0 || render_.reservations > 0)) {
        return STATUS_DEVICE_BUSY;
    }
    if (playbackOnly && ((capture && capture_.reservations > 0) || (render && render_.reservations > 0))) {
        return STATUS_DEVICE_BUSY;
    }
    if (capture) capture_.reservations += 1;
    if (render) render_.reservations += 1;
    exclusive = exclusiveUse ? 1 : 0;
    return STATUS_SUCCESS;
}

void EngineState::ReleaseOne(DirectionObjects& direction) {
    if (direction.reservations > 0) {
        direction.reservations -= 1;
    } else {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "release of a direction without reservation");
    }
}

void EngineState::ReleaseDirections(bool capture, bool render) {
    MutexLock guard(reservationMutex);
    if (capture) ReleaseOne(capture_);
    if (render) ReleaseOne(render_);
    exclusive = 0;
}

TransferContext* EngineState::AllocateTransferContext() {
    auto* context = static_cast<TransferContext*>(ExAllocateFromNPagedLookasideList(&transferLookaside_));
    if (context != nullptr) {
        RtlZeroMemory(context, sizeof(*context));
    }
    return context;
}

void EngineState::FreeTransferContext(TransferContext* context) {
    ExFreeToNPagedLookasideList(&transferLookaside_, context);
}

bool EngineState::AnyDirectionInUse() const {
    return render_.useCount > 0 || capture_.useCount > 0 || render_.formatSet != 0 || capture_.formatSet != 0;
}

void EngineState::CloseDirection(CUSBAudioCL& classLayer, bool capture) {
    const UCHAR direction = capture ? 1 : 0;
    if (classLayer.Stream(direction) == nullptr || classLayer.GetCurrentAlternate(direction) == 0) {
        return;
    }
    ULONG channels = 0;
    ULONG bits = 0;
    ULONG bytes = 0;
    NTSTATUS status;
    if (classLayer.RenderFollowsCapture()) {
        status = classLayer.SelectStreamingFormat(direction, 0, 0, 0, 0, 0, &channels, &bits, nullptr, nullptr, nullptr,
                                                  &bytes);
    } else {
        status = classLayer.SelectStreamingFormat(direction, 0, 0, 0, 0, 0, &channels, &bits, &bytes);
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "closing direction %u failed: 0x%08lx", direction,
                  static_cast<ULONG>(status));
    }
}

}  // namespace vq7
