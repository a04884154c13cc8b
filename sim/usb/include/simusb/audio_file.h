// Audio files a capture stream can play from, and that a test or tool
// writes, through libsndfile: any file it reads (WAV, AIFF, FLAC, Ogg, ...)
// comes in as integer PCM of 16, 24 or 32 bits or as 32-bit IEEE float;
// files are written as WAV in the clip's own format.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "simusb/sample_format.h"

namespace simusb {

struct AudioClip {
    SampleFormat format;           // subslotBytes is the file's container size
    uint32_t rate = 48000;
    std::vector<int32_t> samples;  // interleaved, as sample_format.h holds them

    size_t Frames() const { return format.channels == 0 ? 0 : samples.size() / format.channels; }
};

// Throws std::runtime_error naming the file and what is wrong with it.
// Integer files of 8 or 16 bits come in as 16-bit PCM, 24 bits as 24-bit
// PCM in 3 bytes, 32 bits as 32-bit PCM; every other encoding (float,
// double, compressed) as 32-bit float.
AudioClip ReadAudioFile(const std::filesystem::path& path);
// A WAV file of the clip's channels, rate and container (float, 16, 24 or
// 32-bit integer). Throws std::runtime_error when it cannot be written.
void WriteWavFile(const std::filesystem::path& path, const AudioClip& audio);

}  // namespace simusb
