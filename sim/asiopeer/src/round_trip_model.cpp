#include "asiopeer/round_trip_model.h"

#include <ntddk.h>

#include <algorithm>
#include <cstdio>

#include "engine/asio_stream.h"
#include "engine/mixer_lead.h"
#include "simusb/render_stream.h"

namespace asiopeer {

namespace {

int64_t FramesPerMsUp(uint32_t rate) { return (static_cast<int64_t>(rate) + 999) / 1000; }

// The output ring PREPARE builds for a duplex stream, in frames.
int64_t DuplexOutputRingFrames(const RoundTripParameters& p) {
    const int64_t f1 = FramesPerMsUp(p.rate_hz);
    int64_t m = 1;
    if (p.rate_hz > 44099) {
        m = p.rate_hz % 44100 == 0 ? p.rate_hz / 44100 : p.rate_hz / 48000;
    }
    return 3 * m * std::max<int64_t>(f1, p.bufferFrames);
}

// Frames the device captured by the end of capture transfer `k` (1 the first).
int64_t CapturedBy(const RoundTripParameters& p, int64_t k) {
    return k * p.captureFramesPerTransfer * static_cast<int64_t>(p.rate_hz) / 1000;
}

int64_t Prefill(const RoundTripParameters& p) {
    int64_t frames = p.prefillOverride_frames != 0 ? p.prefillOverride_frames
                                                   : vq7::OutputPrefillFrames(p.rate_hz, p.bufferFrames);
    return std::min(frames, DuplexOutputRingFrames(p));
}

int64_t FirstInput(const RoundTripParameters& p) {
    int64_t k = 1;
    while (CapturedBy(p, k) < p.bufferFrames) ++k;
    return CapturedBy(p, k);
}

int64_t Lead(const RoundTripParameters& p) {
    const vq7::LeadInputs inputs{p.outputFrameBytes,          p.rate_hz,
                                 std::min<uint32_t>(p.latencyPercent, 100), p.classOne,
                                 p.playbackFramesPerTransfer, p.playbackTransfersInFlight,
                                 p.captureFramesPerTransfer,  p.leadOverride_frames};
    return p.outputFrameBytes != 0 ? vq7::ComputeLead(inputs) / static_cast<int64_t>(p.outputFrameBytes) : 0;
}

int64_t DeviceThreshold(const RoundTripParameters& p) {
    if (p.deviceStartThreshold_frames != 0) return p.deviceStartThreshold_frames;
    return simusb::DefaultFifoFrames(p.rate_hz, p.deviceMaxPacketFrames) / 2;
}

}  // namespace

RoundTrip ComputeRoundTrip(const RoundTripParameters& p) {
    RoundTrip trip;
    trip.terms = {
        {"first input", FirstInput(p), "input frames captured before the first read completes and the client writes"},
        {"pre-fill", Prefill(p), "silence the output ring holds ahead of the client's first frame"},
        {"capture transfer", vq7::LeadCorrection(1, p.rate_hz, p.captureFramesPerTransfer),
         "the output frames of one capture transfer, read a transfer before they are mixed"},
        {"lead", Lead(p), "how far ahead of the oldest submitted render packet the mixer writes"},
        {"device FIFO", DeviceThreshold(p), "frames the device's playback FIFO holds ahead of a new packet"},
        {"loopback", p.loopbackDelay_frames, "the device's own playback-to-capture delay"},
    };
    for (const RoundTripTerm& term : trip.terms) trip.total_frames += term.frames;
    return trip;
}

std::string DescribeRoundTrip(const RoundTrip& trip, uint32_t rate_hz) {
    std::string text;
    char line[160];
    for (const RoundTripTerm& term : trip.terms) {
        std::snprintf(line, sizeof(line), "  %-18s %6lld frames\n", term.name.c_str(),
                      static_cast<long long>(term.frames));
        text += line;
    }
    const double ms = rate_hz != 0 ? static_cast<double>(trip.total_frames) * 1000.0 / rate_hz : 0.0;
    std::snprintf(line, sizeof(line), "  %-18s %6lld frames (%.3f ms)\n", "round trip",
                  static_cast<long long>(trip.total_frames), ms);
    return text + line;
}

}  // namespace asiopeer
