// The adapter's directions: opening a direction on the device (choosing
// the USB format and selecting its alternate setting), and starting and
// stopping uses of a direction, which run its transfer pipeline. On a
// device with both directions the two run together: their use counts
// always move as one.

#include "adapter/adapter.h"

#include "common/delay.h"
#include "common/locks.h"
#include "common/trace.h"
#include "wavert/performance_parameters.h"

namespace {

constexpr LONG kStartStopFree = 0;
constexpr LONG kStartStopRunning = 1;
constexpr LONG kRenderResynchronising = 2;

UCHAR DirectionOf(bool capture) { return capture ? 1 : 0; }

}  // namespace

// ---------------------------------------------------------------- the start/stop flag

// PASSIVE_LEVEL. Keeps starts and stops away from the render pipeline's
// resynchronisation, which runs only while the flag is free.
void CUSBAudioAdapter::TakeStartStopFlag() {
    if (InterlockedExchange(&engine_.startStopFlag, kStartStopRunning) != kRenderResynchronising) {
        return;
    }
    // The resynchronisation frees the flag when it is done.
    while (InterlockedCompareExchange(&engine_.startStopFlag, kStartStopRunning, kStartStopFree) != kStartStopFree) {
        vq7::SleepMilliseconds(1);
    }
}

void CUSBAudioAdapter::ReleaseStartStopFlag() { InterlockedExchange(&engine_.startStopFlag, kStartStopFree); }

bool CUSBAudioAdapter::HasBothDirections() const {
    return classLayer_.RenderStream() != nullptr && classLayer_.CaptureStream() != nullptr;
}

// ---------------------------------------------------------------- opening

// The format tag the engine opens a direction with when no client's format
// decides it: PCM in DSD mode; the prepared ASIO stream's own tag when it
// has a ring for the direction, since its mixer converts only between
// formats of one tag (so a PCM stream on a device that also offers float
// opens the PCM alternate setting); else float, the widest.
USHORT CUSBAudioAdapter::EngineFormatTag(bool capture) const {
    if (currentDsdMode_ != 0) {
        return vq7::AudioFormat::kTagPcm;
    }
    const bool asioRing = capture ? asioStream_.HasInputRing() : asioStream_.HasOutputRing();
    if (asioRing) {
        return capture ? asioStream_.InputFormat().formatTag : asioStream_.OutputFormat().formatTag;
    }
    return vq7::AudioFormat::kTagIeeeFloat;
}

// PASSIVE_LEVEL, under the stream-state mutex. A playback-only device
// opens at the format its client set; otherwise the engine streams the
// device's widest format at the device rate and converts for its clients.
NTSTATUS CUSBAudioAdapter::OpenDirection(bool capture) {
    PAGED_CODE();
    vq7::DirectionObjects& direction = engine_.Direction(capture);
    const UCHAR which = DirectionOf(capture);
    const bool paced = classLayer_.RenderFollowsCapture();
    USHORT tag;
    ULONG channels = 0;
    ULONG bits = 0;
    ULONG rate;
    NTSTATUS status;
    if (playbackOnly_ && direction.formatSet != 0 && !(capture && paced)) {
        tag = direction.format.formatTag;
        channels = direction.format.channels;
        bits = direction.format.bitsPerSample;
        rate = direction.format.rate;
    } else {
        tag = EngineFormatTag(capture);
        rate = requestedRate_ != 0 ? requestedRate_ : deviceSampleRate_;
        status = classLayer_.GetBestFormat(which, tag, rate, &channels, &bits);
        if (status == STATUS_NO_MATCH && tag == vq7::AudioFormat::kTagIeeeFloat) {
            tag = vq7::AudioFormat::kTagPcm;
            status = classLayer_.GetBestFormat(which, tag, rate, &channels, &bits);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (dsdSupported_ && classLayer_.GetVendorMode() != currentDsdMode_) {
        status = classLayer_.SetVendorMode(currentDsdMode_);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    const ULONG framesPerTransfer = capture ? vq7::CaptureFramesPerTransfer : vq7::PlaybackFramesPerTransfer;
    ULONG usbChannels = 0;
    ULONG containerBits = 0;
    ULONG transferBytes = 0;
    vq7::ImplicitFeedbackBounds bounds = {};
    if (paced) {
        status = classLayer_.SelectStreamingFormat(which, tag, channels, bits, rate, framesPerTransfer, &usbChannels,
                                                   &containerBits, &bounds.nominalBytes, &bounds.framesBelow,
                                                   &bounds.framesAbove, &transferBytes);
    } else {
        status = classLayer_.SelectStreamingFormat(which, tag, channels, bits, rate, framesPerTransfer, &usbChannels,
                                                   &containerBits, &transferBytes);
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceEngine, "direction %u not opened: 0x%08lx", which,
                  static_cast<ULONG>(status));
        return status;
    }
    direction.usbFormat = vq7::DirectionFormat{tag, usbChannels, containerBits, rate, usbChannels * containerBits / 8};
    direction.transferBytes = transferBytes;
    direction.implicitFeedback = bounds;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- starting

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioAdapter::StartDirection(bool capture) {
    PAGED_CODE();
    return ChangeDirectionUse(capture, &CUSBAudioAdapter::StartBothDirections, &CUSBAudioAdapter::StartOneDirection);
}

// PASSIVE_LEVEL. A start or a stop: under the start/stop flag and the
// stream-state mutex, both directions of a duplex device together.
NTSTATUS CUSBAudioAdapter::ChangeDirectionUse(bool capture, NTSTATUS (CUSBAudioAdapter::*both)(),
                                              NTSTATUS (CUSBAudioAdapter::*one)(bool)) {
    TakeStartStopFlag();
    NTSTATUS status;
    {
        vq7::MutexLock guard(engine_.streamStateMutex);
        status = HasBothDirections() ? (this->*both)() : (this->*one)(capture);
    }
    ReleaseStartStopFlag();
    return status;
}

// Under the stream-state mutex. The two use counts of a duplex device move
// as one; counts that disagree refuse every start and stop.
bool CUSBAudioAdapter::DuplexCountsAgree() const {
    const LONG render = engine_.Direction(false).useCount;
    const LONG capture = engine_.Direction(true).useCount;
    if (render != capture) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceEngine, "use counts disagree: render %ld, capture %ld", render,
                  capture);
    }
    return render == capture;
}

// PASSIVE_LEVEL, under the stream-state mutex.
NTSTATUS CUSBAudioAdapter::StartOneDirection(bool capture) {
    vq7::DirectionObjects& direction = engine_.Direction(capture);
    if (direction.useCount > 0) {
        direction.useCount += 1;
        return STATUS_SUCCESS;
    }
    pipelines_.StopPipeline(capture);
    bool captureStarted = false;
    NTSTATUS status = STATUS_SUCCESS;
    if (!capture && classLayer_.RenderFollowsCapture()) {
        status = StartOneDirection(true);
        captureStarted = NT_SUCCESS(status);
    }
    if (NT_SUCCESS(status) && Removing()) {
        status = STATUS_DELETE_PENDING;
    }
    if (NT_SUCCESS(status) && classLayer_.GetCurrentAlternate(DirectionOf(capture)) == 0) {
        status = OpenDirection(capture);
    }
    if (NT_SUCCESS(status)) {
        if (!capture) {
            pipelines_.ResetRenderCredits();
        }
        status = pipelines_.CreatePipelineThread(capture);
    }
    if (NT_SUCCESS(status)) {
        KeSetEvent(&direction.go, IO_NO_INCREMENT, FALSE);
        status = pipelines_.WaitForFirstCompletion(capture);
    }
    if (NT_SUCCESS(status)) {
        direction.useCount = 1;
        return STATUS_SUCCESS;
    }
    pipelines_.StopPipeline(capture);
    engine_.CloseDirection(classLayer_, capture);
    if (captureStarted) {
        StopOneDirection(true);
    }
    return status;
}

// PASSIVE_LEVEL, under the stream-state mutex. Capture starts first: on a
// device whose render follows capture, render's first packets are sized
// from it.
NTSTATUS CUSBAudioAdapter::StartBothDirections() {
    vq7::DirectionObjects& render = engine_.Direction(false);
    vq7::DirectionObjects& capture = engine_.Direction(true);
    if (!DuplexCountsAgree()) {
        return STATUS_UNSUCCESSFUL;
    }
    if (render.useCount > 0) {
        render.useCount += 1;
        capture.useCount += 1;
        return STATUS_SUCCESS;
    }
    pipelines_.StopPipeline(false);
    pipelines_.StopPipeline(true);
    NTSTATUS status = Removing() ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
    if (NT_SUCCESS(status) && classLayer_.GetCurrentAlternate(DirectionOf(true)) == 0) {
        status = OpenDirection(true);
    }
    if (NT_SUCCESS(status) && classLayer_.GetCurrentAlternate(DirectionOf(false)) == 0) {
        status = OpenDirection(false);
    }
    if (NT_SUCCESS(status)) {
        pipelines_.ResetRenderCredits();
        status = pipelines_.CreatePipelineThread(true);
    }
    if (NT_SUCCESS(status)) {
        status = pipelines_.CreatePipelineThread(false);
    }
    if (NT_SUCCESS(status)) {
        KeSetEvent(&capture.go, IO_NO_INCREMENT, FALSE);
        status = pipelines_.WaitForFirstCompletion(true);
    }
    if (NT_SUCCESS(status)) {
        KeSetEvent(&render.go, IO_NO_INCREMENT, FALSE);
        status = pipelines_.WaitForFirstCompletion(false);
    }
    if (NT_SUCCESS(status)) {
        render.useCount = 1;
        capture.useCount = 1;
        return STATUS_SUCCESS;
    }
    VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceEngine, "duplex start failed: 0x%08lx", static_cast<ULONG>(status));
    pipelines_.StopPipeline(false);
    pipelines_.StopPipeline(true);
    engine_.CloseDirection(classLayer_, false);
    engine_.CloseDirection(classLayer_, true);
    return status;
}

// ---------------------------------------------------------------- stopping

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioAdapter::StopDirection(bool capture) {
    PAGED_CODE();
    return ChangeDirectionUse(capture, &CUSBAudioAdapter::StopBothDirections, &CUSBAudioAdapter::StopOneDirection);
}

// PASSIVE_LEVEL, under the stream-state mutex.
NTSTATUS CUSBAudioAdapter::StopOneDirection(bool capture) {
    vq7::DirectionObjects& direction = engine_.Direction(capture);
    if (direction.useCount <= 0) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceEngine, "stop of direction %u without users", DirectionOf(capture));
        return STATUS_SUCCESS;
    }
    direction.useCount -= 1;
    if (direction.useCount > 0) {
        return STATUS_SUCCESS;
    }
    pipelines_.StopPipeline(capture);
    engine_.CloseDirection(classLayer_, capture);
    if (capture) {
        FlushCaptureSpans();
    } else {
        FlushRenderSpans();
    }
    if (!capture && classLayer_.RenderFollowsCapture()) {
        StopOneDirection(true);
    }
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, under the stream-state mutex.
NTSTATUS CUSBAudioAdapter::StopBothDirections() {
    vq7::DirectionObjects& render = engine_.Direction(false);
    vq7::DirectionObjects& capture = engine_.Direction(true);
    if (!DuplexCountsAgree()) {
        return STATUS_UNSUCCESSFUL;
    }
    if (render.useCount <= 0) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceEngine, "stop of the directions without users");
        return STATUS_SUCCESS;
    }
    render.useCount -= 1;
    capture.useCount -= 1;
    if (render.useCount > 0) {
        return STATUS_SUCCESS;
    }
    pipelines_.StopPipeline(false);
    pipelines_.StopPipeline(true);
    engine_.CloseDirection(classLayer_, false);
    engine_.CloseDirection(classLayer_, true);
    FlushCaptureSpans();
    FlushRenderSpans();
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- what the pipelines ask of the adapter

// IRQL <= DISPATCH_LEVEL.
void CUSBAudioAdapter::FailAsioStream() { asioStream_.FailStream(); }
