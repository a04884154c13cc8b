#include "engine/mixer_lead.h"

#include "wavert/performance_parameters.h"

namespace vq7 {

volatile LONG PlaybackLeadOverride_frames = 0;

namespace {

constexpr LONGLONG kLeadCeiling_ms = 16;
constexpr LONGLONG kPercent = 100;

// Frames per millisecond, rounded up so that a fractional rate is covered.
LONGLONG FramesPerMsUp(ULONG rate) { return (static_cast<LONGLONG>(rate) + 999) / 1000; }

// Rounds to the nearest whole frame.
LONGLONG WholeFrames(LONGLONG bytes, LONGLONG frameBytes) {
    LONGLONG rounded = bytes + frameBytes / 2;
    return rounded - rounded % frameBytes;
}

}  // namespace

LONG MaximumLead_ms(const LeadInputs& inputs) {
    LONGLONG queued = (static_cast<LONGLONG>(inputs.playbackTransfersInFlight) - 1) *
                          static_cast<LONGLONG>(inputs.playbackFramesPerTransfer) -
                      2 * static_cast<LONGLONG>(inputs.captureFramesPerTransfer);
    if (queued < 0) {
        queued = 0;  // a queue too short for any lead: the floor alone remains
    }
    return static_cast<LONG>(queued < kLeadCeiling_ms ? queued : kLeadCeiling_ms);
}

LONG ComputeLead(const LeadInputs& inputs) {
    const LONGLONG b = inputs.frameBytes;
    if (b == 0) {
        return 0;
    }
    LONGLONG lead;
    if (inputs.overrideFrames != 0) {
        const LONGLONG ceiling = b * (static_cast<LONGLONG>(inputs.rate) + 999) * kLeadCeiling_ms / 1000;
        lead = static_cast<LONGLONG>(inputs.overrideFrames) * b;
        lead = lead < ceiling ? lead : ceiling;
    } else {
        LONGLONG floor_frames = static_cast<LONGLONG>(inputs.captureFramesPerTransfer) * FramesPerMsUp(inputs.rate);
        if (inputs.classOne) {
            floor_frames += 2 * FramesPerMsUp(inputs.rate) + 2;
        }
        const LONGLONG percent = inputs.latencyPercent < kPercent ? inputs.latencyPercent : kPercent;
        const LONGLONG ceiling = MaximumLead_ms(inputs) * (static_cast<LONGLONG>(inputs.rate) / 1000) * b;
        lead = b * floor_frames + (ceiling - b * floor_frames) * percent / kPercent;
    }
    return static_cast<LONG>(WholeFrames(lead, b));
}

LONG LeadCorrection(ULONG frameBytes, ULONG rate, ULONG elapsedUsbFrames) {
    // Rounded once over the whole time, so that a correction of several
    // frames does not gather one rounding per millisecond.
    return static_cast<LONG>(static_cast<LONGLONG>(frameBytes) *
                             ((static_cast<LONGLONG>(rate) * elapsedUsbFrames + 500) / 1000));
}

ULONG BufferLatencyPercent(ULONG bufferBytes, ULONG frameBytes, ULONG rate) {
    const ULONGLONG bytesPerSecond = static_cast<ULONGLONG>(frameBytes) * rate;
    if (bytesPerSecond == 0) {
        return 0;
    }
    const ULONGLONG duration_ms = static_cast<ULONGLONG>(bufferBytes) * 1000 / bytesPerSecond;
    return static_cast<ULONG>(duration_ms < kPercent ? duration_ms : kPercent);
}

LeadInputs CurrentLeadInputs(ULONG frameBytes, ULONG rate, ULONG latencyPercent, bool classOne) {
    LONG requested = PlaybackLeadOverride_frames;
    return LeadInputs{frameBytes,
                      rate,
                      latencyPercent,
                      classOne,
                      PlaybackFramesPerTransfer,
                      PlaybackTransfersInFlight,
                      CaptureFramesPerTransfer,
                      requested > 0 ? static_cast<ULONG>(requested) : 0};
}

}  // namespace vq7
