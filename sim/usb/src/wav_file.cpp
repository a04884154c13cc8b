#include "simusb/wav_file.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "simusb/byte_order.h"

namespace simusb {

namespace {

constexpr uint16_t kTagPcm = 0x0001;
constexpr uint16_t kTagFloat = 0x0003;
constexpr uint16_t kTagExtensible = 0xFFFE;

[[noreturn]] void Fail(const std::filesystem::path& path, const std::string& what) {
    throw std::runtime_error(path.string() + ": " + what);
}

bool IsTag(std::span<const uint8_t> bytes, size_t offset, const char* tag) {
    return offset + 4 <= bytes.size() && std::memcmp(bytes.data() + offset, tag, 4) == 0;
}

SampleFormat ReadFormatChunk(std::span<const uint8_t> fmt, const std::filesystem::path& path) {
    if (fmt.size() < 16) Fail(path, "the fmt chunk is too short");
    uint16_t tag = static_cast<uint16_t>(ReadLe(fmt, 0, 2));
    uint16_t channels = static_cast<uint16_t>(ReadLe(fmt, 2, 2));
    uint16_t blockAlign = static_cast<uint16_t>(ReadLe(fmt, 12, 2));
    uint16_t bits = static_cast<uint16_t>(ReadLe(fmt, 14, 2));
    uint16_t validBits = bits;
    if (tag == kTagExtensible) {
        if (fmt.size() < 40) Fail(path, "the extensible fmt chunk is too short");
        validBits = static_cast<uint16_t>(ReadLe(fmt, 18, 2));
        tag = static_cast<uint16_t>(ReadLe(fmt, 24, 2));  // the first two bytes of the sub-format GUID
    }
    if (channels == 0 || channels > 255 || blockAlign % channels != 0) Fail(path, "bad channel count or block size");
    SampleFormat format;
    format.channels = static_cast<uint8_t>(channels);
    format.subslotBytes = static_cast<uint8_t>(blockAlign / channels);
    format.bitResolution = static_cast<uint8_t>(validBits == 0 ? bits : validBits);
    format.ieeeFloat = tag == kTagFloat;
    bool pcm = tag == kTagPcm && format.subslotBytes >= 2 && format.subslotBytes <= 4;
    bool ieee = tag == kTagFloat && format.subslotBytes == 4;
    if (!pcm && !ieee) Fail(path, "only 16/24/32-bit PCM and 32-bit float are read");
    return format;
}

}  // namespace

WavAudio ReadWavFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(path, "cannot be opened");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::span<const uint8_t> all(bytes);
    if (!IsTag(all, 0, "RIFF") || !IsTag(all, 8, "WAVE")) Fail(path, "is not a RIFF WAVE file");
    WavAudio audio;
    bool haveFormat = false;
    bool haveData = false;
    for (size_t offset = 12; offset + 8 <= all.size();) {
        size_t size = ReadLe(all, offset + 4, 4);
        size_t body = offset + 8;
        size_t available = std::min(size, all.size() - body);
        if (IsTag(all, offset, "fmt ")) {
            audio.format = ReadFormatChunk(all.subspan(body, available), path);
            audio.rate = ReadLe(all, body + 4, 4);
            haveFormat = true;
        } else if (IsTag(all, offset, "data")) {
            if (!haveFormat) Fail(path, "the data chunk comes before the fmt chunk");
            size_t step = audio.format.subslotBytes;
            for (size_t i = 0; i + step <= available; i += step) audio.samples.push_back(ReadSample(all, body + i, static_cast<uint8_t>(step)));
            haveData = true;
        }
        offset = body + size + (size & 1);  // chunks are padded to an even size
    }
    if (!haveFormat || !haveData) Fail(path, "has no fmt or no data chunk");
    return audio;
}

void WriteWavFile(const std::filesystem::path& path, const WavAudio& audio) {
    const SampleFormat& f = audio.format;
    size_t dataBytes = audio.samples.size() * f.subslotBytes;
    std::vector<uint8_t> out;
    ByteWriter w(out);
    w.Bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("RIFF"), 4)).U32(static_cast<uint32_t>(36 + dataBytes));
    w.Bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("WAVEfmt "), 8)).U32(16);
    w.U16(f.ieeeFloat ? kTagFloat : kTagPcm).U16(f.channels).U32(audio.rate);
    w.U32(static_cast<uint32_t>(audio.rate * f.FrameBytes())).U16(static_cast<uint32_t>(f.FrameBytes())).U16(8u * f.subslotBytes);
    w.Bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("data"), 4)).U32(static_cast<uint32_t>(dataBytes));
    for (int32_t sample : audio.samples) w.Le(static_cast<uint32_t>(sample), f.subslotBytes);
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!file) throw std::runtime_error(path.string() + ": cannot be written");
}

}  // namespace simusb
