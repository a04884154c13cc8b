// What a capture stream records: silence, a test signal that names every
// sample, a WAV file, or the device's own render stream looped back.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "simusb/audio_settings.h"
#include "simusb/clock_model.h"
#include "simusb/loopback_tap.h"
#include "simusb/sample_format.h"
#include "simusb/audio_file.h"

namespace simusb {

class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    // Fills one frame of `format`: `index` counts the frames the stream
    // produced since it started, `deviceFrame` is the stream clock's count.
    virtual void Fill(uint64_t index, uint64_t deviceFrame, const SampleFormat& format, std::span<int32_t> frame) = 0;
    // The stream samples on `clock` from now on.
    virtual void Follow(const ClockModel*) {}
};

// The test signal: channel c of frame n carries the counter n * 16 + c,
// wrapped to the format's bit resolution and placed in the top bits of the
// subslot, so that every sample is known and a dropped or repeated frame shows.
int32_t TestSignalSample(const SampleFormat& format, uint64_t index, uint8_t channel);

// `tap` is the looped-back render stream's (Loopback only). Throws
// std::runtime_error for a WAV file that cannot be read.
std::unique_ptr<CaptureSource> MakeCaptureSource(const CaptureOptions& options, const LoopbackTap* tap);

}  // namespace simusb
