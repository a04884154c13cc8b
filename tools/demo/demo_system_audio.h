// The system's audio beside the ASIO session: the simulated audio engine
// plays a quiet tone, or an audio file, through the device's WaveRT filter
// while the ASIO client streams, so that the device plays the sum of both.
// What the engine saw is kept for the report: the format the filter's
// intersection chose, its glitches and how far its position drifted from
// the device's clock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "demo_options.h"
#include "demo_signal.h"
#include "simusb/audio_file.h"

namespace audioengine {
class AudioEngine;
class EngineStream;
}  // namespace audioengine

namespace vq7demo {

struct SystemAudioResult {
    bool ran = false;
    std::string refused;        // why the engine could not play, if it could not
    uint32_t rate = 0;
    uint32_t channels = 0;
    uint32_t bits = 0;
    uint64_t framesPlayed = 0;  // the position's advance, in frames
    uint64_t glitches = 0;
    int64_t positionDriftFrames = 0;
};

class SystemAudio {
public:
    // Reads the file, if one is asked for (throws DemoError when it cannot).
    explicit SystemAudio(const DemoOptions& options);
    ~SystemAudio();
    SystemAudio(const SystemAudio&) = delete;
    SystemAudio& operator=(const SystemAudio&) = delete;

    // Opens the device's filter (`instancePath` names the device) and plays;
    // a refusal is kept, not thrown: the ASIO session goes on without it.
    void Start(const std::string& instancePath);
    void Stop();
    const SystemAudioResult& Result() const { return result_; }

    // Channel `channel` of frame `frame` of what the engine plays, in [-1, 1]:
    // the tone, or the file resampled to the stream's rate.
    double Value(uint64_t frame, uint32_t channel) const;

private:
    const DemoOptions& options_;
    std::optional<simusb::AudioClip> file_;
    std::optional<TestSignal> fileSignal_;  // its programme is the file, resampled
    std::unique_ptr<audioengine::AudioEngine> engine_;
    audioengine::EngineStream* stream_ = nullptr;
    SystemAudioResult result_;
};

}  // namespace vq7demo
