// The ASIO stream's operations for the channel: building and freeing the
// rings, starting and stopping a run, arming input, the position and its
// synchronisation, and failing a run.

#include "engine/asio_stream.h"

#include "common/locks.h"
#include "common/trace.h"

namespace vq7 {

namespace {

constexpr UCHAR kDsdSilence = 0x96;  // DSD idle pattern: as many ones as zeros
constexpr ULONG kPrefillBaseFrames = 64;   // buffers at this size get no growth share
constexpr LONGLONG kPrefillGrowthDivisor = 448;
constexpr ULONG kPrefillExtraAt48k = 4;

}  // namespace

// Any IRQL. The growth share only grows: for buffers below 64 frames it
// is 0. Taken as negative it would shorten the pre-fill below the one
// capture transfer the render mixer consumes before the client's first
// write lands, and the output would underflow at every start; taken in
// unsigned arithmetic it would fill the whole ring and add its length to
// the latency.
ULONG OutputPrefillFrames(ULONG rate, ULONG bufferFrames) {
    const ULONG framesPerMs = (rate + 500) / 1000;
    ULONG head = bufferFrames;
    if (framesPerMs != 0 && bufferFrames >= framesPerMs) {
        head = bufferFrames % framesPerMs;
        if (head == 0) {
            head = framesPerMs;
        }
    }
    LONGLONG growth = 0;
    if (bufferFrames > kPrefillBaseFrames) {
        growth = (static_cast<LONGLONG>(rate) * 8 / 1000) *
                 (static_cast<LONGLONG>(bufferFrames) - kPrefillBaseFrames) / kPrefillGrowthDivisor;
    }
    if (rate == 48000) {
        growth += kPrefillExtraAt48k;
    }
    const LONGLONG frames = static_cast<LONGLONG>(head) + growth;
    return frames > MAXULONG ? MAXULONG : static_cast<ULONG>(frames);
}

AsioStream::AsioStream(AsioStreamHost& host, MixerSet& mixers) : host_(host), mixers_(mixers) {
    KeInitializeSpinLock(&runningLock_);
    KeInitializeSpinLock(&listLock_);
    InitializeListHead(&pending_);
    KeInitializeEvent(&outputStop_, NotificationEvent, FALSE);
    KeInitializeEvent(&writeAvailable_, SynchronizationEvent, FALSE);
}

AsioStream::~AsioStream() {
    StopOutputThread();
    input_.Free();
    output_.Free();
}

bool AsioStream::IsRunning() const {
    InStackLock guard(runningLock_);
    return running_;
}

AudioFormat AsioStream::InputFormat() const {
    return AudioFormat{dsdMode_, formatTag_, inputBits_, inputChannels_, rate_};
}

AudioFormat AsioStream::OutputFormat() const {
    return AudioFormat{dsdMode_, formatTag_, outputBits_, outputChannels_, rate_};
}

void AsioStream::ClearFormat() {
    rate_ = 0;
    dsdMode_ = AudioFormat::kModePcm;
    formatTag_ = AudioFormat::kTagPcm;
    inputChannels_ = 0;
    inputBits_ = 0;
    outputChannels_ = 0;
    outputBits_ = 0;
}

// PASSIVE_LEVEL. Any failure leaves neither ring.
NTSTATUS AsioStream::BuildRings(const AsioRingPlan& plan) {
    PAGED_CODE();
    if (plan.inputFrames == 0 && plan.outputFrames == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    rate_ = plan.rate;
    dsdMode_ = plan.dsdMode;
    formatTag_ = plan.formatTag;
    inputChannels_ = plan.inputChannels;
    inputBits_ = plan.inputBits;
    outputChannels_ = plan.outputChannels;
    outputBits_ = plan.outputBits;
    const UCHAR fill = plan.dsdMode == AudioFormat::kModeDsd ? kDsdSilence : 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (plan.inputFrames != 0) {
        status = input_.Allocate(plan.inputFrames, plan.inputFrameBytes, fill);
    }
    if (NT_SUCCESS(status) && plan.outputFrames != 0) {
        status = output_.Allocate(plan.outputFrames, plan.outputFrameBytes, fill);
    }
    if (!NT_SUCCESS(status)) {
        input_.Free();
        output_.Free();
        ClearFormat();
    }
    return status;
}

// PASSIVE_LEVEL.
void AsioStream::FreeRings() {
    PAGED_CODE();
    StopOutputThread();
    input_.Free();
    output_.Free();
    ClearFormat();
}

void AsioStream::ResetStream() {
    InStackLock guard(listLock_);
    streamError_ = 0;
    lastPosition_ = 0;
    firstPeriod_ = 1;
}

// PASSIVE_LEVEL, under the channel mutex.
NTSTATUS AsioStream::Start(const AsioStartParams& params) {
    PAGED_CODE();
    if (IsRunning()) {
        return STATUS_SUCCESS;
    }
    const bool hasInput = HasInputRing();
    const bool hasOutput = HasOutputRing();
    ASIO_FORMAT_INFO info = {};
    info.FormatTag = params.formatTag;
    NTSTATUS status = host_.AsioStreamFormat(&info);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "ASIO start: format not queried: 0x%08lx",
                  static_cast<ULONG>(status));
    } else if (hasInput && hasOutput) {
        const ULONG frameBytes = info.OutBitsPerSample / 8 * info.OutChannels;
        output_.SetPrefill(OutputPrefillFrames(info.SampleRate, params.bufferFrames) * frameBytes);
        mixers_.asioRender.SetLatencyPercent(params.latencyPercent);
    }
    bool captureStarted = false;
    bool renderStarted = false;
    ResetStream();
    status = STATUS_SUCCESS;
    if (hasInput) {
        status = host_.StartDirection(true);
        captureStarted = NT_SUCCESS(status);
        if (captureStarted) {
            status = mixers_.asioCapture.Attach(host_.StreamLayout());
        }
    } else {
        status = StartOutputThread();
    }
    if (NT_SUCCESS(status) && hasOutput) {
        status = host_.StartDirection(false);
        renderStarted = NT_SUCCESS(status);
        if (renderStarted) {
            status = mixers_.asioRender.Attach(host_.StreamLayout());
        }
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "ASIO start failed: 0x%08lx", static_cast<ULONG>(status));
        UnwindStart(captureStarted, renderStarted);
        return status;
    }
    InStackLock guard(runningLock_);
    running_ = true;
    return STATUS_SUCCESS;
}

void AsioStream::UnwindStart(bool captureStarted, bool renderStarted) {
    mixers_.asioRender.Detach();
    mixers_.asioCapture.Detach();
    if (renderStarted) {
        host_.StopDirection(false);
    }
    if (captureStarted) {
        host_.StopDirection(true);
    }
    StopOutputThread();
    ResetStream();
}

// PASSIVE_LEVEL, under the channel mutex. Once the running flag is down no
// new request is queued, so the pending list drains for good.
void AsioStream::Stop() {
    PAGED_CODE();
    {
        InStackLock guard(runningLock_);
        if (!running_) {
            return;
        }
        running_ = false;
    }
    StopOutputThread();
    ResetStream();
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    {
        InStackLock guard(listLock_);
        DrainLocked(&cancelled);
    }
    CompleteAll(&cancelled, STATUS_CANCELLED);
    mixers_.asioRender.Detach();
    mixers_.asioCapture.Detach();
    if (HasInputRing()) {
        NTSTATUS status = host_.StopDirection(true);
        if (!NT_SUCCESS(status)) {
            VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "ASIO stop: capture: 0x%08lx", static_cast<ULONG>(status));
        }
        input_.Reset();
    }
    if (HasOutputRing()) {
        NTSTATUS status = host_.StopDirection(false);
        if (!NT_SUCCESS(status)) {
            VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "ASIO stop: render: 0x%08lx", static_cast<ULONG>(status));
        }
        output_.Reset();
    }
}

// PASSIVE_LEVEL.
void AsioStream::ArmInput() { input_.Prime(); }

// PASSIVE_LEVEL. Until the run's first read completed there is no
// reference time: the position is 0, so a client never sees a position
// measured from an earlier run.
ULONG AsioStream::GetPosition() {
    LARGE_INTEGER frequency;
    const LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    InStackLock guard(listLock_);
    if (firstPeriod_ != 0 || frequency.QuadPart <= 0) {
        lastPosition_ = 0;
        return 0;
    }
    const ULONGLONG f = static_cast<ULONGLONG>(frequency.QuadPart);
    const ULONGLONG ticks = static_cast<ULONGLONG>(now.QuadPart - firstPeriodTime_.QuadPart);
    const ULONGLONG elapsed_us = (ticks * 1000000 + f / 2) / f;
    lastPosition_ = static_cast<ULONG>((elapsed_us * rate_ + 500000) / 1000000);
    return lastPosition_;
}

// PASSIVE_LEVEL.
void AsioStream::SyncPosition(ULONG clientFrames) {
    ULONG behind;
    {
        InStackLock guard(listLock_);
        behind = clientFrames < lastPosition_ ? lastPosition_ - clientFrames : 0;
    }
    if (behind == 0) {
        return;
    }
    if (HasInputRing()) {
        input_.Skip(behind);
    }
    if (HasOutputRing()) {
        output_.Skip(behind);
    }
}

// IRQL <= DISPATCH_LEVEL.
void AsioStream::FailStream() {
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    {
        InStackLock guard(listLock_);
        streamError_ = 1;
        DrainLocked(&cancelled);
    }
    VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "ASIO stream failed");
    CompleteAll(&cancelled, STATUS_CANCELLED);
}

}  // namespace vq7
