// What the client plays and how it finds it again. The output starts with
// a lead-in of silence, then one marker frame at 0.9 of full scale, then
// silence and the programme: a 1 kHz tone at -12 dBFS, or an audio file.
// The marker is the only frame above half scale before the programme, so
// the first recorded frame above that is its echo.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "demo_options.h"
#include "simusb/audio_file.h"

namespace vq7demo {

// How one direction's frames are laid out in the channel's periods.
struct WireFormat {
    SampleKind kind = SampleKind::Pcm;
    uint32_t channels = 2;
    uint32_t bitsPerSample = 32;

    uint32_t FrameBytes() const { return channels * bitsPerSample / 8; }
};

class TestSignal {
public:
    // `programme` (may be null) is played at `rate` whatever its own rate,
    // resampled linearly; its channels go to the output's in turn.
    TestSignal(uint32_t rate, const simusb::AudioClip* programme);

    // Channel `channel` of output frame `frame`, in [-1, 1].
    double Value(uint64_t frame, uint32_t channel) const;
    uint64_t MarkerFrame() const { return markerFrame_; }
    uint64_t ProgrammeFrame() const { return programmeFrame_; }

private:
    double Programme(uint64_t frame, uint32_t channel) const;

    uint32_t rate_;
    uint64_t markerFrame_;
    uint64_t programmeFrame_;
    std::vector<std::vector<float>> programme_;  // per channel, at the stream's rate
};

inline constexpr double kMarkerLevel = 0.9;
inline constexpr double kMarkerThreshold = 0.4;

// Writes `frames` frames of `signal` from `firstFrame` in `format` (DSD:
// each 32-bit word is 32 one-bit samples of a first-order sigma-delta
// modulator, most significant bit first, whose state `dsdState` carries
// from call to call; the marker is a word of all ones).
void EncodeFrames(const TestSignal& signal, const WireFormat& format, uint64_t firstFrame, uint32_t frames,
                  std::vector<double>& dsdState, std::span<uint8_t> out);

// Sample `index` of `bytes` in `format` as a value in [-1, 1] (DSD: the
// word's density of ones).
double DecodeSample(const WireFormat& format, std::span<const uint8_t> bytes, size_t index);
// The sample as a WAV file holds it: the integer of its container, or the
// float's bit pattern.
int32_t HeldSample(const WireFormat& format, std::span<const uint8_t> bytes, size_t index);
simusb::SampleFormat HeldFormat(const WireFormat& format);

}  // namespace vq7demo
