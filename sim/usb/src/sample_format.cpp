#include "simusb/sample_format.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace simusb {

namespace {

// The integer sample left-justified in 32 bits: full scale is 2^31 whatever the subslot.
int64_t LeftJustified(int32_t sample, uint8_t subslotBytes) {
    return static_cast<int64_t>(sample) * (int64_t{1} << (32 - 8 * subslotBytes));
}

int32_t FromLeftJustified(int64_t value, uint8_t subslotBytes) {
    return static_cast<int32_t>(value >> (32 - 8 * subslotBytes));
}

float AsFloat(int32_t bits) { return std::bit_cast<float>(bits); }
int32_t FloatBits(float value) { return std::bit_cast<int32_t>(value); }

}  // namespace

int32_t ReadSample(std::span<const uint8_t> bytes, size_t offset, uint8_t subslotBytes) {
    uint32_t raw = 0;
    for (size_t i = 0; i < subslotBytes; ++i) raw |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
    unsigned shift = 32 - 8u * subslotBytes;
    return static_cast<int32_t>(raw << shift) >> shift;  // sign-extend the subslot
}

void WriteSample(std::span<uint8_t> bytes, size_t offset, uint8_t subslotBytes, int32_t sample) {
    uint32_t raw = static_cast<uint32_t>(sample);
    for (size_t i = 0; i < subslotBytes; ++i) bytes[offset + i] = static_cast<uint8_t>(raw >> (8 * i));
}

int32_t MaskToResolution(int32_t sample, const SampleFormat& format) {
    int unused = 8 * format.subslotBytes - format.bitResolution;
    if (format.ieeeFloat || unused <= 0) return sample;
    return static_cast<int32_t>(static_cast<uint32_t>(sample) & ~((1u << unused) - 1));
}

int32_t ConvertSample(int32_t sample, const SampleFormat& from, const SampleFormat& to) {
    if (from.ieeeFloat && to.ieeeFloat) return sample;
    if (from.ieeeFloat) {
        double scaled = std::clamp(static_cast<double>(AsFloat(sample)), -1.0, 1.0) * 2147483648.0;
        int64_t value = std::clamp<int64_t>(std::llround(scaled), INT32_MIN, INT32_MAX);
        return MaskToResolution(FromLeftJustified(value, to.subslotBytes), to);
    }
    int64_t value = LeftJustified(sample, from.subslotBytes);
    if (to.ieeeFloat) return FloatBits(static_cast<float>(static_cast<double>(value) / 2147483648.0));
    return MaskToResolution(FromLeftJustified(value, to.subslotBytes), to);
}

}  // namespace simusb
