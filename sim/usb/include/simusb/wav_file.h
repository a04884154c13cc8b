// WAV files a capture stream can play from, and that a test or tool writes:
// integer PCM of 16, 24 or 32 bits and 32-bit IEEE float, any channel count,
// in the plain or the extensible format.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "simusb/sample_format.h"

namespace simusb {

struct WavAudio {
    SampleFormat format;           // subslotBytes is the file's container size
    uint32_t rate = 48000;
    std::vector<int32_t> samples;  // interleaved, as sample_format.h holds them

    size_t Frames() const { return format.channels == 0 ? 0 : samples.size() / format.channels; }
};

// Throws std::runtime_error naming the file and what is wrong with it.
WavAudio ReadWavFile(const std::filesystem::path& path);
void WriteWavFile(const std::filesystem::path& path, const WavAudio& audio);

}  // namespace simusb
