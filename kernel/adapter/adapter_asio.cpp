// The adapter's side of the ASIO channel: the owner flag, preparing and
// unpreparing the ASIO stream (reservations, PCM/DSD mode, ring sizes),
// starting and stopping it, the channel's format and rate requests, and
// the binding of the ASIO source and sink to their mixers. Every function
// here runs at PASSIVE_LEVEL under the ASIO channel mutex.

#include "adapter/adapter.h"

#include "common/delay.h"
#include "common/locks.h"
#include "common/trace.h"
#include "wavert/performance_parameters.h"

namespace {

constexpr ULONG kReserveAttempts = 10;
constexpr ULONG kReserveRetry_ms = 1;
constexpr ULONG kRingPeriods = 3;          // client buffers (or transfers) a ring holds
constexpr ULONG kHighestBaseRate = 44099;  // rates up to this need no rate multiple

// Frames per millisecond, rounded up.
ULONG FramesPerMs(ULONG rate) { return (rate + 999) / 1000; }

// How many base-rate periods the output ring of a duplex stream spans: the
// rate's multiple of 44100 or 48000 Hz; 0 for a rate that is neither.
ULONG RateMultiple(ULONG rate) {
    if (rate <= kHighestBaseRate) {
        return 1;
    }
    if (rate % 44100 == 0) {
        return rate / 44100;
    }
    if (rate % 48000 == 0) {
        return rate / 48000;
    }
    return 0;
}

ULONG Larger(ULONG a, ULONG b) { return a > b ? a : b; }

}  // namespace

void CUSBAudioAdapter::BindAsioMixers() {
    asioStream_.Bind(deviceObject_);
    mixers_.asioRender.Bind(&asioRenderSource_);
    mixers_.asioCapture.Bind(&asioCaptureSink_);
}

NTSTATUS CUSBAudioAdapter::AsioFormatInfo(ASIO_FORMAT_INFO* info) {
    PAGED_CODE();
    NTSTATUS status = classLayer_.IsRateSupported(info->SampleRate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    info->OutChannels = info->OutBitsPerSample = info->InChannels = info->InBitsPerSample = 0;
    if (info->FormatTag != vq7::AudioFormat::kTagPcm && info->FormatTag != vq7::AudioFormat::kTagIeeeFloat) {
        return STATUS_NOT_SUPPORTED;
    }
    // The record is packed: its fields are filled from aligned locals.
    ULONG channels = 0;
    ULONG bits = 0;
    if (classLayer_.RenderStream() != nullptr) {
        status = classLayer_.GetBestFormat(0, info->FormatTag, info->SampleRate, &channels, &bits);
        if (NT_SUCCESS(status)) {
            info->OutChannels = channels;
            info->OutBitsPerSample = bits;
        }
    }
    if (NT_SUCCESS(status) && classLayer_.CaptureStream() != nullptr) {
        status = classLayer_.GetBestFormat(1, info->FormatTag, info->SampleRate, &channels, &bits);
        if (NT_SUCCESS(status)) {
            info->InChannels = channels;
            info->InBitsPerSample = bits;
        }
    }
    return status;
}

NTSTATUS CUSBAudioAdapter::AsioStreamFormat(ASIO_FORMAT_INFO* info) {
    info->SampleRate = AsioStreamRate();
    return AsioFormatInfo(info);
}

// A device with a fixed rate changes it (and its subdevice's name); one
// without keeps the rate as the channel's request for its next stream.
NTSTATUS CUSBAudioAdapter::AsioSetSampleRate(ULONG rate) {
    PAGED_CODE();
    if (deviceSampleRate_ != 0) {
        return ChangeSampleRate(rate);
    }
    asioStream_.Stop();
    NTSTATUS status = classLayer_.IsRateSupported(rate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    vq7::MutexLock guard(engine_.streamStateMutex);
    requestedRate_ = rate;
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioAdapter::AsioOpen() {
    PAGED_CODE();
    if (InterlockedCompareExchange(&asioOwnerFlag_, 1, 0) != 0) {
        return STATUS_DEVICE_BUSY;
    }
    vq7::MutexLock guard(engine_.streamStateMutex);
    asioOwnerPresent_ = 1;  // WaveRT formats must now match the device rate
    return STATUS_SUCCESS;
}

void CUSBAudioAdapter::AsioClose() {
    PAGED_CODE();
    if (InterlockedCompareExchange(&asioOwnerFlag_, 0, 1) != 1) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceAdapter, "ASIO close: the owner flag was free");
    }
    vq7::MutexLock guard(engine_.streamStateMutex);
    asioOwnerPresent_ = 0;
}

// A refusal is usually a WaveRT stream starting or stopping: it is tried
// again for about ten milliseconds before the channel gives up.
NTSTATUS CUSBAudioAdapter::ReserveAsioDirections(bool capture, bool render, bool exclusive) {
    NTSTATUS status = STATUS_DEVICE_BUSY;
    for (ULONG attempt = 1; attempt <= kReserveAttempts; ++attempt) {
        status = ReserveDirections(capture, render, exclusive);
        if (NT_SUCCESS(status) || attempt == kReserveAttempts) {
            break;
        }
        vq7::SleepMilliseconds(kReserveRetry_ms);
    }
    return status;
}

// The ring sizes for the prepared directions at the stream's rate.
NTSTATUS CUSBAudioAdapter::PlanAsioRings(const ASIO_PREPARE_PARAMS& params, const ASIO_FORMAT_INFO& info,
                                         vq7::AsioRingPlan* plan) {
    const ULONG rate = info.SampleRate;
    const ULONG multiple = RateMultiple(rate);
    if (multiple == 0) {
        return STATUS_NOT_SUPPORTED;
    }
    const ULONG period = Larger(FramesPerMs(rate), params.BufferFrames);
    *plan = vq7::AsioRingPlan{};
    if (params.InputEnable != 0) {
        plan->inputFrames = kRingPeriods * period;
        if (params.OutputEnable != 0) {
            plan->outputFrames = kRingPeriods * multiple * period;
        }
    } else {
        plan->outputFrames =
            kRingPeriods * Larger(FramesPerMs(rate) * vq7::PlaybackFramesPerTransfer, params.BufferFrames);
    }
    plan->inputFrameBytes = info.InChannels * info.InBitsPerSample / 8;
    plan->outputFrameBytes = info.OutChannels * info.OutBitsPerSample / 8;
    plan->rate = rate;
    plan->dsdMode = params.DsdMode == ASIO_DSD_MODE_DSD ? vq7::AudioFormat::kModeDsd : vq7::AudioFormat::kModePcm;
    plan->formatTag = params.FormatTag;
    if (params.InputEnable != 0) {
        plan->inputChannels = info.InChannels;
        plan->inputBits = info.InBitsPerSample;
    } else {
        plan->inputFrameBytes = 0;
    }
    if (plan->outputFrames != 0) {
        plan->outputChannels = info.OutChannels;
        plan->outputBits = info.OutBitsPerSample;
    } else {
        plan->outputFrameBytes = 0;
    }
    return STATUS_SUCCESS;
}

// The first failing step ends PREPARE; what it had reserved and switched
// is undone, so a failed PREPARE leaves no reservation, no ring and PCM.
NTSTATUS CUSBAudioAdapter::AsioPrepare(const ASIO_PREPARE_PARAMS& params) {
    PAGED_CODE();
    const bool input = params.InputEnable != 0;
    const bool output = params.OutputEnable != 0;
    const bool dsd = params.DsdMode == ASIO_DSD_MODE_DSD;
    const bool tagKnown =
        params.FormatTag == ASIO_FORMAT_TAG_PCM || params.FormatTag == ASIO_FORMAT_TAG_IEEE_FLOAT;
    if (params.BufferFrames == 0 || (!input && !output)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((input && classLayer_.CaptureStream() == nullptr) || (output && classLayer_.RenderStream() == nullptr) ||
        (dsd && !dsdSupported_) || !tagKnown || (dsd && params.FormatTag == ASIO_FORMAT_TAG_IEEE_FLOAT)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const bool exclusive = dsd || params.FormatTag == ASIO_FORMAT_TAG_IEEE_FLOAT;
    NTSTATUS status = ReserveAsioDirections(input, output, exclusive);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SetDsdMode(dsd ? vq7::AudioFormat::kModeDsd : vq7::AudioFormat::kModePcm);
    if (!NT_SUCCESS(status)) {
        ReleaseDirections(input, output);
        return status;
    }
    ASIO_FORMAT_INFO info = {};
    info.FormatTag = params.FormatTag;
    status = AsioStreamFormat(&info);
    if (NT_SUCCESS(status) && ((input && (info.InChannels == 0 || info.InBitsPerSample == 0)) ||
                               (output && (info.OutChannels == 0 || info.OutBitsPerSample == 0)))) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    vq7::AsioRingPlan plan;
    if (NT_SUCCESS(status)) {
        status = PlanAsioRings(params, info, &plan);
    }
    if (NT_SUCCESS(status)) {
        status = asioStream_.BuildRings(plan);
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceAdapter, "ASIO prepare failed: 0x%08lx", static_cast<ULONG>(status));
        (void)SetDsdMode(vq7::AudioFormat::kModePcm);
        ReleaseDirections(input, output);
        return status;
    }
    asioFormatTag_ = params.FormatTag;
    asioBufferFrames_ = params.BufferFrames;
    asioLatencyPercent_ = params.LatencyPercent < 100 ? params.LatencyPercent : 100;
    return STATUS_SUCCESS;
}

void CUSBAudioAdapter::AsioUnprepare() {
    PAGED_CODE();
    const bool input = asioStream_.HasInputRing();
    const bool output = asioStream_.HasOutputRing();
    asioStream_.FreeRings();
    NTSTATUS status = SetDsdMode(vq7::AudioFormat::kModePcm);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceAdapter, "ASIO unprepare: PCM mode not set: 0x%08lx",
                  static_cast<ULONG>(status));
    }
    if (input || output) {
        ReleaseDirections(input, output);
    }
}

NTSTATUS CUSBAudioAdapter::AsioStart() {
    PAGED_CODE();
    return asioStream_.Start(vq7::AsioStartParams{asioFormatTag_, asioBufferFrames_, asioLatencyPercent_});
}

void CUSBAudioAdapter::AsioStop() {
    PAGED_CODE();
    asioStream_.Stop();
}
