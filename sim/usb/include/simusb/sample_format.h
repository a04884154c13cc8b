// The layout of one audio frame on the wire, and conversion of samples
// between layouts.
//
// A sample is held as the signed integer its subslot carries (16-bit: -32768
// to 32767; 24 bits in a 4-byte subslot: the 32-bit container value, low byte
// zero). IEEE float samples are held as their bit pattern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace simusb {

struct SampleFormat {
    uint8_t channels = 2;
    uint8_t subslotBytes = 4;
    uint8_t bitResolution = 24;
    bool ieeeFloat = false;

    size_t FrameBytes() const { return static_cast<size_t>(channels) * subslotBytes; }
    bool operator==(const SampleFormat&) const = default;
};

int32_t ReadSample(std::span<const uint8_t> bytes, size_t offset, uint8_t subslotBytes);
void WriteSample(std::span<uint8_t> bytes, size_t offset, uint8_t subslotBytes, int32_t sample);

// `sample` of format `from` as format `to` would carry it: integer samples
// keep their place relative to full scale, float and integer convert by
// value, the bits below `to`'s resolution are cleared.
int32_t ConvertSample(int32_t sample, const SampleFormat& from, const SampleFormat& to);

// Clears the container bits below the format's resolution (24 bits in a
// 4-byte subslot leave the low byte zero).
int32_t MaskToResolution(int32_t sample, const SampleFormat& format);

}  // namespace simusb
