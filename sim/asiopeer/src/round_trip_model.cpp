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

// A device sample clock counted from the capture stream's first packet:
// whole frame periods completed `after_ns` later, as the device counts them.
class DeviceClock {
public:
    DeviceClock(const RoundTripParameters& p, uint64_t phase_e18)
        : step_(static_cast<Wide>(p.rate_hz) * static_cast<Wide>(kBillion + p.deviceClockOffset_ppb)),
          phase_(phase_e18) {}

    int64_t FramesAfter(int64_t after_ns) const {
        return static_cast<int64_t>((phase_ + static_cast<Wide>(after_ns) * step_) / kFrameUnit);
    }

    // The first time, after the capture stream's first packet, by which
    // `frames` frame periods are complete.
    int64_t TimeOfFrames(int64_t frames) const {
        const Wide needed = static_cast<Wide>(frames) * kFrameUnit;
        return needed <= phase_ ? 0 : static_cast<int64_t>((needed - phase_ + step_ - 1) / step_);
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
    const int64_t perTransfer = static_cast<int64_t>(p.captureFramesPerTransfer) * packets.perUsbFrame;
    const int64_t nominal = packets.nominal * perTransfer;
    const int64_t below = packets.rateDivides ? -perTransfer : 0;
    const int64_t perGroup = std::max<int64_t>(p.playbackFramesPerTransfer / p.captureFramesPerTransfer, 1);
    // Frames delivered by the first `j` capture transfers: the first packet is
    // empty, each later one carries what the clock completed before it.
    auto deliveredBy = [&](int64_t j) {
        return j == 0 ? 0 : clock.FramesAfter(j * captureTransfer_ns - packets.unit_ns);
    };
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
// render's first transfer, and where the client's first frame comes back:
// the frames that decide the round trip.
struct MixerStart {
    int64_t firstInput = 0;     // input frames the first completed read found
    int64_t deviceFifo = 0;     // frames the FIFO holds ahead of the render packet at the mixer's start
    int64_t capturePacket = 0;  // frames of the packet interval before the mixer's start
    int64_t betweenClocks = 0;  // what the capture clock's count gained on the render clock's meanwhile
};

MixerStart StartMixer(const RoundTripParameters& p, int64_t mixedFrom) {
    MixerStart m;
    if (p.rate_hz == 0 || p.outputFrameBytes == 0 || p.playbackTransfersInFlight == 0 ||
        p.captureFramesPerTransfer == 0) {
        return m;
    }
    const DeviceClock capture(p, p.captureClockPhase_e18);
    const DeviceClock render(p, p.renderClockPhase_e18);
    const Packets packets = PacketsOf(p);
    const RenderStart start = StartRender(p, capture, packets);
    const int64_t playing_ns =
        start.firstPacket_ns + PacketsBeforePlaying(p, start, packets, DeviceThreshold(p)) * packets.unit_ns;
    // The mixer starts at the end of render's first transfer; the client,
    // armed then, takes the capture transfers from there on.
    const int64_t mixer_ns = start.firstPacket_ns + static_cast<int64_t>(p.playbackFramesPerTransfer) * kUsbFrame_ns;
    // Render frame 0 plays at render clock frame FramesAfter(playing_ns), so
    // the packet at the mixer's start finds the first transfer's frames, less
    // what the device played since then.
    const int64_t renderFrame0 = render.FramesAfter(playing_ns);
    m.deviceFifo = start.transferFrames.front() - (render.FramesAfter(mixer_ns) - renderFrame0);
    const int64_t inputFrom = capture.FramesAfter(mixer_ns - packets.unit_ns);
    m.capturePacket = capture.FramesAfter(mixer_ns) - inputFrom;
    const int64_t captureTransfer_ns = static_cast<int64_t>(p.captureFramesPerTransfer) * kUsbFrame_ns;
    for (int64_t end_ns = mixer_ns + captureTransfer_ns; m.firstInput < p.bufferFrames; end_ns += captureTransfer_ns) {
        m.firstInput = capture.FramesAfter(end_ns - packets.unit_ns) - inputFrom;
    }
    // The client's first frame plays as render frame `played`; the first
    // capture frame that completes after the render clock completed it (and
    // the loopback delay) carries it back.
    const int64_t played = start.transferFrames.front() + renderFrame0 + mixedFrom + m.firstInput;
    const int64_t returned = capture.FramesAfter(render.TimeOfFrames(played + p.loopbackDelay_frames + 1) - 1);
    // On one clock the other terms add up to the input frame it returns as.
    const int64_t terms = m.firstInput + mixedFrom + m.deviceFifo + p.loopbackDelay_frames + m.capturePacket;
    m.betweenClocks = returned - inputFrom - terms;
    return m;
}

}  // namespace

RoundTrip ComputeRoundTrip(const RoundTripParameters& p) {
    const int64_t prefill = Prefill(p);
    const int64_t captureTransfer = vq7::LeadCorrection(1, p.rate_hz, p.captureFramesPerTransfer);
    const int64_t lead = Lead(p);
    // The client's first frame lands this far past the render position of
    // the mixer's start, beyond the input the first read found.
    const MixerStart start = StartMixer(p, lead + captureTransfer + prefill);
    RoundTrip trip;
    trip.terms = {
        {"first input", start.firstInput, "input frames captured before the first read completes and the client writes"},
        {"pre-fill", prefill, "silence the output ring holds ahead of the client's first frame"},
        {"capture transfer", captureTransfer,
         "the output frames of one capture transfer, read a transfer before they are mixed"},
        {"lead", lead, "how far ahead of the oldest submitted render packet the mixer writes"},
        {"device FIFO", start.deviceFifo, "frames the device's playback FIFO holds ahead of a render packet"},
        {"loopback", p.loopbackDelay_frames, "the device's own playback-to-capture delay"},
        {"capture packet", start.capturePacket, "a capture packet carries the frames of the interval before it"},
        {"between clocks", start.betweenClocks,
         "what the capture clock's count gained on the render clock's meanwhile (0 on one clock)"},
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
