// One low-latency session from plug to unplug: the driver started on a
// looped-back simulated device, a client on the ASIO channel streaming
// duplex for the asked time, and what it saw counted and kept.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "demo_options.h"
#include "demo_signal.h"
#include "demo_system_audio.h"
#include "simusb/audio_file.h"

namespace vq7demo {

// Running figures, for the progress line.
struct Progress {
    double simulatedSeconds = 0;
    double totalSeconds = 0;
    uint64_t framesMoved = 0;  // in plus out
    uint64_t periods = 0;      // buffer switches
    uint64_t xruns = 0;        // at the device and in the rings so far
};

// The rings' fill after the buffer switches of one stretch of the
// session, in frames: lowest, highest and mean.
struct FillRange {
    uint32_t low = UINT32_MAX;
    uint32_t high = 0;
    double mean = 0;
};

struct RingFill {
    double seconds = 0;  // where the stretch starts
    FillRange input;
    FillRange output;
};

struct Xruns {
    uint64_t deviceUnderruns = 0;  // render FIFO ran dry, or a service interval had no packet
    uint64_t deviceOverruns = 0;   // render FIFO full, packet too long, capture FIFO overflow
    uint64_t ringUnderruns = 0;    // ring reads padded with fill
    uint64_t ringOverruns = 0;     // ring writes that dropped bytes
    uint64_t Device() const { return deviceUnderruns + deviceOverruns; }
    uint64_t Rings() const { return ringUnderruns + ringOverruns; }
};

struct SessionResult {
    std::string device;      // as named on the command line
    std::string deviceName;  // as the driver reports it
    uint32_t rate = 0;
    uint32_t bufferFrames = 0;
    SampleKind format = SampleKind::Pcm;
    double seconds = 0;
    bool realtime = false;
    WireFormat input;
    WireFormat output;
    uint32_t readSlots = 0;

    uint64_t periods = 0;  // reads completed and answered with a write
    uint64_t framesIn = 0;
    uint64_t framesOut = 0;
    std::string failure;   // the request that failed while streaming, empty if none
    Xruns xruns;

    uint64_t markerOutputFrame = 0;                // where the client wrote the marker
    std::optional<uint64_t> markerInputFrame;      // where its echo was read, if it came back
    std::optional<int64_t> MeasuredFrames() const;
    std::optional<int64_t> computedFrames;         // from the channel's parameters
    std::vector<std::pair<std::string, int64_t>> computedTerms;  // what it is made of, in the order a frame meets them
    uint64_t BufferOnlyFrames() const { return 2ull * bufferFrames; }
    std::string computedWhyNot;  // why nothing was computed, when nothing was
    // Measured and computed are the same number of frames.
    bool LatencyAgrees() const;

    std::optional<double> clockOffsetPpm;  // the device clock against the bus clock, as the driver saw it
    std::string clockSource;               // what it was measured from
    double cpuSeconds = 0;                 // process CPU time while streaming (driver and simulation)
    double CpuPerPeriodUs() const { return periods == 0 ? 0 : cpuSeconds * 1e6 / static_cast<double>(periods); }
    double streamedSeconds = 0;            // simulated time from the start to the last period served
    double wallSeconds = 0;                // real time the streaming took

    // What the client wrote and read on channel 0, over the marker's
    // round trip, from `windowStart` (a client frame).
    uint64_t windowStart = 0;
    std::vector<float> windowWritten;
    std::vector<float> windowRead;
    std::vector<float> windowSystem;  // what the system's engine played on channel 0, by its own frames
    std::vector<RingFill> fills;

    SystemAudioResult systemAudio;  // the system's stream beside the session

    simusb::AudioClip recorded;  // what the client captured
    simusb::AudioClip played;    // what the device played
};

using ProgressSink = std::function<void(const Progress&)>;

// Throws DemoError for what the user asked that cannot be had: an unknown
// device, an unreadable input file, a rate or buffer the driver refuses.
SessionResult RunSession(const DemoOptions& options, const ProgressSink& progress = {});

}  // namespace vq7demo
