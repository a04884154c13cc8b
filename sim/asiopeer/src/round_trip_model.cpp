#include "asiopeer/round_trip_model.h"

#include <ntddk.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/asio_stream.h"
#include "engine/mixer_lead.h"
#include "simusb/render_stream.h"
#include "usbaudio/render_packet_plan.h"

namespace asiopeer {

namespace {

constexpr int64_t kUsbFrame_ns = 1000000;

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

// The device's sample clock counted from the capture stream's first packet:
// whole frame periods completed `after_ns` later, as the device counts them.
class DeviceClock {
public:
    explicit DeviceClock(const RoundTripParameters& p)
        : step_(static_cast<Wide>(p.rate_hz) * static_cast<Wide>(kBillion + p.deviceClockOffset_ppb)),
          phase_(p.deviceClockPhase_e18) {}

    int64_t FramesAfter(int64_t after_ns) const {
        return static_cast<int64_t>((phase_ + static_cast<Wide>(after_ns) * step_) / kFrameUnit);
    }

private:
    using Wide = unsigned __int128;
    static constexpr int64_t kBillion = 1000000000;
    static constexpr Wide kFrameUnit = static_cast<Wide>(kBillion) * kBillion;
    Wide step_;
    Wide phase_;
};

// The bus and the packets both directions carry, one packet per (micro)frame.
struct Packets {
    int64_t unit_ns;       // between two packets
    int64_t perUsbFrame;   // packets per 1 ms
    int64_t nominal;       // frames of a nominal packet: the rate's whole frames per packet
    bool rateDivides;      // the rate fills packets exactly, so a packet may also carry one frame less
};

Packets PacketsOf(const RoundTripParameters& p) {
    const int64_t perSecond = p.highSpeed ? 8000 : 1000;
    return Packets{p.highSpeed ? kUsbFrame_ns / 8 : kUsbFrame_ns, perSecond / 1000, p.rate_hz / perSecond,
                   p.rate_hz % perSecond == 0};
}

// How the driver starts render from capture: the render transfers in flight
// are sized, in order, by groups of capture transfers, counting only those
// within a clock's reach of nominal (a packet a frame short when the rate
// divides into packets, a frame long), so that the transfers of the
// stream's start are left out. Render starts once the last group is in.
struct RenderStart {
    std::vector<int64_t> transferFrames;  // the render transfers in flight, oldest first
    int64_t firstPacket_ns = 0;           // after the capture stream's first packet
};

RenderStart StartRender(const RoundTripParameters& p, const DeviceClock& clock, const Packets& packets) {
    const int64_t captureTransfer_ns = static_cast<int64_t>(p.captureFramesPerTransfer) * kUsbFrame_ns;
    const int64_t perTransfer = std::max<int64_t>(p.captureFramesPerTransfer, 1) * packets.perUsbFrame;
    const int64_t nominal = packets.nominal * perTransfer;
    const int64_t below = packets.rateDivides ? -perTransfer : 0;
    const int64_t perGroup = p.captureFramesPerTransfer != 0 && p.playbackFramesPerTransfer >= p.captureFramesPerTransfer
                                 ? p.playbackFramesPerTransfer / p.captureFramesPerTransfer
                                 : 1;
    // Frames delivered by the first `j` capture transfers: the first packet is
    // empty, each later one carries what the clock completed before it.
    auto deliveredBy = [&](int64_t j) { return j == 0 ? 0 : clock.FramesAfter(j * captureTransfer_ns - packets.unit_ns); };
    RenderStart start;
    int64_t group = 0;
    int64_t inGroup = 0;
    int64_t j = 0;
    while (static_cast<int64_t>(start.transferFrames.size()) < p.playbackTransfersInFlight) {
        ++j;
        const int64_t frames = deliveredBy(j) - deliveredBy(j - 1);
        const int64_t deviation = frames - nominal;
        if (deviation < below || deviation > perTransfer) continue;
        group += frames;
        if (++inGroup < perGroup) continue;
        start.transferFrames.push_back(group);
        group = 0;
        inGroup = 0;
    }
    // The last group's delivery wakes render; an idle pipe starts a few USB
    // frames after the current one.
    start.firstPacket_ns = j * captureTransfer_ns + static_cast<int64_t>(p.hostAsapLatency_frames) * kUsbFrame_ns;
    return start;
}

// The packets after render's first at which the device's FIFO first holds
// its start threshold: its playback starts there. The packets are the
// driver's plan for each transfer's frames.
int64_t PacketsBeforePlaying(const RoundTripParameters& p, const RenderStart& start, const Packets& packets,
                             int64_t threshold) {
    const vq7::RenderPacing pacing{p.highSpeed, 1, p.outputFrameBytes};
    const ULONG nominalBytes = static_cast<ULONG>(packets.nominal * p.outputFrameBytes);
    int64_t held = 0;
    int64_t index = 0;
    for (int64_t frames : start.transferFrames) {
        vq7::RenderPacketPlan plan{};
        if (!NT_SUCCESS(vq7::PlanCapturePacedPackets(pacing, nominalBytes, packets.rateDivides,
                                                     static_cast<ULONG>(frames * p.outputFrameBytes),
                                                     p.playbackFramesPerTransfer, &plan))) {
            break;
        }
        for (ULONG i = 0; i < plan.count; ++i, ++index) {
            held += plan.lengths[i] / p.outputFrameBytes;
            if (held >= threshold) return index;
        }
    }
    return index;  // a threshold beyond the transfers in flight: playback starts no earlier than their end
}

int64_t Prefill(const RoundTripParameters& p) {
    int64_t frames = p.prefillOverride_frames != 0 ? p.prefillOverride_frames
                                                   : vq7::OutputPrefillFrames(p.rate_hz, p.bufferFrames);
    return std::min(frames, DuplexOutputRingFrames(p));
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

// Where the streams stand when the render mixer starts, at the end of
// render's first transfer: the frames that decide the round trip.
struct MixerStart {
    int64_t firstInput = 0;     // input frames the first completed read found
    int64_t deviceFifo = 0;     // frames the FIFO holds ahead of the render packet at the mixer's start
    int64_t capturePacket = 0;  // frames of the packet interval before the mixer's start
};

MixerStart StartMixer(const RoundTripParameters& p) {
    MixerStart m;
    if (p.rate_hz == 0 || p.outputFrameBytes == 0 || p.playbackTransfersInFlight == 0) return m;
    const DeviceClock clock(p);
    const Packets packets = PacketsOf(p);
    const RenderStart render = StartRender(p, clock, packets);
    const int64_t playing_ns =
        render.firstPacket_ns + PacketsBeforePlaying(p, render, packets, DeviceThreshold(p)) * packets.unit_ns;
    // The mixer starts at the end of render's first transfer; the client,
    // armed then, takes the capture transfers from there on.
    const int64_t start_ns = render.firstPacket_ns + static_cast<int64_t>(p.playbackFramesPerTransfer) * kUsbFrame_ns;
    // Render frame 0 plays at device frame FramesAfter(playing_ns), so the
    // packet at start_ns finds the first transfer's frames, less what the
    // device played since then.
    m.deviceFifo = render.transferFrames.front() - (clock.FramesAfter(start_ns) - clock.FramesAfter(playing_ns));
    const int64_t inputFrom = clock.FramesAfter(start_ns - packets.unit_ns);
    m.capturePacket = clock.FramesAfter(start_ns) - inputFrom;
    const int64_t captureTransfer_ns = static_cast<int64_t>(std::max<uint32_t>(p.captureFramesPerTransfer, 1)) * kUsbFrame_ns;
    for (int64_t end_ns = start_ns + captureTransfer_ns; m.firstInput < p.bufferFrames; end_ns += captureTransfer_ns) {
        m.firstInput = clock.FramesAfter(end_ns - packets.unit_ns) - inputFrom;
    }
    return m;
}

}  // namespace

RoundTrip ComputeRoundTrip(const RoundTripParameters& p) {
    const MixerStart start = StartMixer(p);
    RoundTrip trip;
    trip.terms = {
        {"first input", start.firstInput, "input frames captured before the first read completes and the client writes"},
        {"pre-fill", Prefill(p), "silence the output ring holds ahead of the client's first frame"},
        {"capture transfer", vq7::LeadCorrection(1, p.rate_hz, p.captureFramesPerTransfer),
         "the output frames of one capture transfer, read a transfer before they are mixed"},
        {"lead", Lead(p), "how far ahead of the oldest submitted render packet the mixer writes"},
        {"device FIFO", start.deviceFifo, "frames the device's playback FIFO holds ahead of a render packet"},
        {"loopback", p.loopbackDelay_frames, "the device's own playback-to-capture delay"},
        {"capture packet", start.capturePacket, "a capture packet carries the frames of the interval before it"},
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
