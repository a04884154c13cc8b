#include "simusb/audio_file.h"

#include <sndfile.h>

#include <bit>
#include <memory>
#include <stdexcept>
#include <string>

namespace simusb {

namespace {

struct FileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SoundFile = std::unique_ptr<SNDFILE, FileCloser>;

[[noreturn]] void Fail(const std::filesystem::path& path, const std::string& what) {
    throw std::runtime_error(path.string() + ": " + what);
}

// The container a file's samples are held in here.
SampleFormat HeldFormat(const SF_INFO& info) {
    SampleFormat format;
    format.channels = static_cast<uint8_t>(info.channels);
    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16: format.subslotBytes = 2; format.bitResolution = 16; break;
    case SF_FORMAT_PCM_24: format.subslotBytes = 3; format.bitResolution = 24; break;
    case SF_FORMAT_PCM_32: format.subslotBytes = 4; format.bitResolution = 32; break;
    default: format.subslotBytes = 4; format.bitResolution = 32; format.ieeeFloat = true; break;
    }
    return format;
}

int WavSubtype(const SampleFormat& format) {
    if (format.ieeeFloat) return SF_FORMAT_FLOAT;
    switch (format.subslotBytes) {
    case 2: return SF_FORMAT_PCM_16;
    case 3: return SF_FORMAT_PCM_24;
    default: return SF_FORMAT_PCM_32;
    }
}

// libsndfile's ints are left-justified 32-bit values; a clip holds a sample
// as its container's signed integer.
int ContainerShift(const SampleFormat& format) { return 32 - 8 * format.subslotBytes; }

}  // namespace

AudioClip ReadAudioFile(const std::filesystem::path& path) {
    SF_INFO info = {};
    SoundFile file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) Fail(path, sf_strerror(nullptr));
    if (info.channels <= 0 || info.channels > 255) Fail(path, "has " + std::to_string(info.channels) + " channels");
    AudioClip audio;
    audio.format = HeldFormat(info);
    audio.rate = static_cast<uint32_t>(info.samplerate);
    const size_t count = static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels);
    audio.samples.resize(count);
    sf_count_t read = 0;
    if (audio.format.ieeeFloat) {
        std::vector<float> values(count);
        read = sf_readf_float(file.get(), values.data(), info.frames);
        for (size_t i = 0; i < count; ++i) audio.samples[i] = std::bit_cast<int32_t>(values[i]);
    } else {
        read = sf_readf_int(file.get(), audio.samples.data(), info.frames);
        const int shift = ContainerShift(audio.format);
        for (int32_t& sample : audio.samples) sample >>= shift;
    }
    if (read != info.frames) Fail(path, "ends early: " + std::string(sf_strerror(file.get())));
    return audio;
}

void WriteWavFile(const std::filesystem::path& path, const AudioClip& audio) {
    const SampleFormat& f = audio.format;
    SF_INFO info = {};
    info.channels = f.channels;
    info.samplerate = static_cast<int>(audio.rate);
    info.format = SF_FORMAT_WAV | WavSubtype(f);
    SoundFile file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) Fail(path, std::string("cannot be written: ") + sf_strerror(nullptr));
    const sf_count_t frames = static_cast<sf_count_t>(audio.Frames());
    sf_count_t written = 0;
    if (f.ieeeFloat) {
        std::vector<float> values(audio.samples.size());
        for (size_t i = 0; i < values.size(); ++i) values[i] = std::bit_cast<float>(audio.samples[i]);
        written = sf_writef_float(file.get(), values.data(), frames);
    } else {
        std::vector<int32_t> values(audio.samples.size());
        const int shift = ContainerShift(f);
        for (size_t i = 0; i < values.size(); ++i) {
            values[i] = static_cast<int32_t>(static_cast<uint32_t>(audio.samples[i]) << shift);
        }
        written = sf_writef_int(file.get(), values.data(), frames);
    }
    if (written != frames) Fail(path, std::string("cannot be written: ") + sf_strerror(file.get()));
}

}  // namespace simusb
