#include "demo_signal.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

namespace vq7demo {

namespace {

constexpr double kToneHz = 1000;
constexpr double kToneLevel = 0.25;  // -12 dBFS

// Little-endian integer of `bytes` bytes at `offset`, sign-extended.
int32_t ReadSigned(std::span<const uint8_t> data, size_t offset, uint32_t bytes) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(data[offset + i]) << (8 * i);
    const uint32_t shift = 32 - 8 * bytes;
    return static_cast<int32_t>(value << shift) >> shift;
}

void WriteLe(std::span<uint8_t> data, size_t offset, uint32_t bytes, uint32_t value) {
    for (uint32_t i = 0; i < bytes; ++i) data[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t PcmCode(double value, uint32_t bits) {
    const double full = std::ldexp(1.0, static_cast<int>(bits) - 1);
    const double scaled = std::clamp(std::round(value * full), -full, full - 1);
    return static_cast<uint32_t>(static_cast<int32_t>(scaled));
}

// 32 one-bit samples of `value` through a first-order sigma-delta modulator.
uint32_t DsdWord(double value, double& integrator) {
    uint32_t word = 0;
    for (int bit = 31; bit >= 0; --bit) {
        const double output = integrator >= 0 ? 1.0 : -1.0;
        if (output > 0) word |= 1u << bit;
        integrator += value - output;
    }
    return word;
}

}  // namespace

TestSignal::TestSignal(uint32_t rate, const simusb::AudioClip* programme)
    : rate_(rate), markerFrame_(rate / 5), programmeFrame_(rate / 5 + rate / 10) {
    if (programme == nullptr || programme->Frames() == 0) return;
    const simusb::SampleFormat asFloat{programme->format.channels, 4, 32, true};
    const double step = static_cast<double>(programme->rate) / rate;
    const size_t frames = static_cast<size_t>(static_cast<double>(programme->Frames() - 1) / step) + 1;
    programme_.assign(programme->format.channels, std::vector<float>(frames));
    for (uint32_t c = 0; c < programme->format.channels; ++c) {
        auto sample = [&](size_t f) {
            return std::bit_cast<float>(
                simusb::ConvertSample(programme->samples[f * programme->format.channels + c], programme->format, asFloat));
        };
        for (size_t f = 0; f < frames; ++f) {
            const double at = static_cast<double>(f) * step;
            const size_t before = std::min(static_cast<size_t>(at), programme->Frames() - 1);
            const size_t after = std::min(before + 1, programme->Frames() - 1);
            const double weight = at - static_cast<double>(before);
            programme_[c][f] = static_cast<float>(sample(before) * (1 - weight) + sample(after) * weight);
        }
    }
}

double TestSignal::Programme(uint64_t frame, uint32_t channel) const {
    if (programme_.empty()) {
        return kToneLevel * std::sin(2 * std::numbers::pi * kToneHz * static_cast<double>(frame) / rate_);
    }
    const std::vector<float>& samples = programme_[channel % programme_.size()];
    return frame < samples.size() ? std::clamp<double>(samples[frame], -1, 1) : 0;
}

double TestSignal::Value(uint64_t frame, uint32_t channel) const {
    if (frame == markerFrame_) return kMarkerLevel;
    if (frame < programmeFrame_) return 0;
    return Programme(frame - programmeFrame_, channel);
}

void EncodeFrames(const TestSignal& signal, const WireFormat& format, uint64_t firstFrame, uint32_t frames,
                  std::vector<double>& dsdState, std::span<uint8_t> out) {
    const uint32_t bytes = format.bitsPerSample / 8;
    dsdState.resize(format.channels, 0.0);
    for (uint32_t f = 0; f < frames; ++f) {
        const uint64_t frame = firstFrame + f;
        for (uint32_t c = 0; c < format.channels; ++c) {
            const double value = signal.Value(frame, c);
            const size_t offset = (static_cast<size_t>(f) * format.channels + c) * bytes;
            uint32_t code = 0;
            if (format.kind == SampleKind::Float) {
                code = std::bit_cast<uint32_t>(static_cast<float>(value));
            } else if (format.kind == SampleKind::Dsd) {
                code = frame == signal.MarkerFrame() ? 0xFFFFFFFFu : DsdWord(value * 0.5, dsdState[c]);
            } else {
                code = PcmCode(value, format.bitsPerSample);
            }
            WriteLe(out, offset, bytes, code);
        }
    }
}

int32_t HeldSample(const WireFormat& format, std::span<const uint8_t> bytes, size_t index) {
    const uint32_t size = format.bitsPerSample / 8;
    return ReadSigned(bytes, index * size, size);
}

double DecodeSample(const WireFormat& format, std::span<const uint8_t> bytes, size_t index) {
    const int32_t held = HeldSample(format, bytes, index);
    switch (format.kind) {
    case SampleKind::Float: return std::bit_cast<float>(held);
    case SampleKind::Dsd: return (2.0 * std::popcount(static_cast<uint32_t>(held)) - 32) / 32;
    case SampleKind::Pcm: break;
    }
    return std::ldexp(static_cast<double>(held), 1 - static_cast<int>(format.bitsPerSample));
}

simusb::SampleFormat HeldFormat(const WireFormat& format) {
    const uint8_t bytes = static_cast<uint8_t>(format.bitsPerSample / 8);
    return simusb::SampleFormat{static_cast<uint8_t>(format.channels), bytes,
                                static_cast<uint8_t>(format.bitsPerSample), format.kind == SampleKind::Float};
}

}  // namespace vq7demo
