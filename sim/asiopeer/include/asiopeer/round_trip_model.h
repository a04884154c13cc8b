// The ASIO channel's round trip as a model of the system: from the
// channel's, the driver's and the device's parameters, how many frames lie
// between a frame a duplex client writes and the same frame arriving in the
// client's input when the device loops its playback back into its capture.
// Computed, not measured: each term is a formula of the parameters (the
// driver's own for the output pre-fill, the render lead and the render
// packets), named so that a caller can show where the frames go.
//
// The device is one whose render follows its capture (the driver sizes
// render transfers from what capture delivers) at one rate, on one sample
// clock or on two that loop back by time, with a packet every (micro)frame
// each way; that begins sampling at the host's first capture poll (that
// packet is empty), sends in each capture packet the frames of the interval
// before it, and starts playing at the render packet that fills its FIFO to
// the start threshold. The client arms its input as soon as START returns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace asiopeer {

struct RoundTripParameters {
    uint32_t rate_hz = 48000;
    uint32_t bufferFrames = 64;          // the client's ASIO buffer
    uint32_t latencyPercent = 0;         // PREPARE's LatencyPercent; above 100 counts as 100
    uint32_t outputFrameBytes = 8;       // the device's render format: channels x bits / 8
    bool classOne = false;               // a USB Audio Class 1.0 device
    uint32_t playbackFramesPerTransfer = 8;   // USB frames per render transfer
    uint32_t playbackTransfersInFlight = 8;
    uint32_t captureFramesPerTransfer = 1;    // USB frames per capture transfer
    uint32_t captureTransfersInFlight = 16;
    uint32_t loopbackDelay_frames = 0;   // the device's own playback-to-capture delay
    // The render FIFO level the device starts playing at; 0: the simulated
    // device's default for `rate_hz` with packets of `deviceMaxPacketFrames`.
    uint32_t deviceStartThreshold_frames = 0;
    uint32_t deviceMaxPacketFrames = 0;  // the render endpoint's largest packet in frames
    bool highSpeed = true;               // the device runs at high speed (8 packets per USB frame)
    // The device's sample clocks: their offset from the bus clock, and how
    // far into a frame period each stood at the capture stream's first packet
    // (the poll at which the device began sampling), in units of 1e-18 frame.
    // A device with one clock has the same phase for both.
    int64_t deviceClockOffset_ppb = 0;
    uint64_t captureClockPhase_e18 = 0;
    uint64_t renderClockPhase_e18 = 0;
    uint32_t hostAsapLatency_frames = 2;  // an idle pipe's first ASAP packet goes this many USB frames on
    uint32_t prefillOverride_frames = 0;  // SET_OUTPUT_PREFILL; 0 = computed
    uint32_t leadOverride_frames = 0;     // SET_PLAYBACK_LEAD; 0 = computed
};

struct RoundTripTerm {
    std::string name;     // short, stable: "pre-fill", "lead", ...
    int64_t frames = 0;   // at the stream's rate; a term may be negative
    std::string meaning;  // one line: what the frames are
};

struct RoundTrip {
    std::vector<RoundTripTerm> terms;  // in the order a frame meets them
    int64_t total_frames = 0;          // the sum of the terms
};

// The round trip of a duplex stream started with `p`: input frame index
// minus output frame index of the same frame, counted from the first frame
// of the first write and the first frame of the first completed read.
RoundTrip ComputeRoundTrip(const RoundTripParameters& p);

// The breakdown as text, one term a line and the total, for logs and tests.
std::string DescribeRoundTrip(const RoundTrip& trip, uint32_t rate_hz);

}  // namespace asiopeer
