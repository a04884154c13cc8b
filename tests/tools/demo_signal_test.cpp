// The demo's signal on the wire: the marker is the only frame above the
// threshold before the programme in every format, integer containers keep
// their sign, and a DSD word reads back as its density of ones.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "demo_signal.h"

namespace {

using vq7demo::SampleKind;
using vq7demo::TestSignal;
using vq7demo::WireFormat;

std::vector<double> RoundTrip(const WireFormat& format, const TestSignal& signal, uint64_t first, uint32_t frames) {
    std::vector<uint8_t> bytes(static_cast<size_t>(frames) * format.FrameBytes());
    std::vector<double> dsdState;
    vq7demo::EncodeFrames(signal, format, first, frames, dsdState, bytes);
    std::vector<double> values;
    for (uint32_t f = 0; f < frames; ++f) values.push_back(vq7demo::DecodeSample(format, bytes, f * format.channels));
    return values;
}

TEST(DemoSignal, OnlyTheMarkerCrossesTheThresholdInEveryFormat) {
    const TestSignal signal(48000, nullptr);
    for (const WireFormat format : {WireFormat{SampleKind::Pcm, 2, 16}, WireFormat{SampleKind::Pcm, 2, 24},
                                    WireFormat{SampleKind::Pcm, 2, 32}, WireFormat{SampleKind::Float, 2, 32},
                                    WireFormat{SampleKind::Dsd, 2, 32}}) {
        const std::vector<double> values = RoundTrip(format, signal, 0, 48000);
        size_t above = 0;
        for (size_t f = 0; f < values.size(); ++f) {
            if (values[f] > vq7demo::kMarkerThreshold) {
                EXPECT_EQ(f, signal.MarkerFrame()) << format.bitsPerSample << "-bit kind " << static_cast<int>(format.kind);
                above += 1;
            }
        }
        EXPECT_EQ(above, 1u) << format.bitsPerSample << "-bit kind " << static_cast<int>(format.kind);
    }
}

TEST(DemoSignal, IntegerContainersKeepTheToneAndItsSign) {
    const TestSignal signal(48000, nullptr);
    const uint64_t quarter = signal.ProgrammeFrame() + 12;  // a quarter of the 1 kHz period: the tone's peak
    for (uint32_t bits : {16u, 24u, 32u}) {
        const std::vector<double> values = RoundTrip(WireFormat{SampleKind::Pcm, 1, bits}, signal, quarter, 25);
        EXPECT_NEAR(values[0], 0.25, 1e-4) << bits;
        EXPECT_NEAR(values[24], -0.25, 1e-4) << bits << ": half a period later";
    }
}

TEST(DemoSignal, DsdWordsCarryTheToneAsTheirDensity) {
    const TestSignal signal(88200, nullptr);
    const WireFormat dsd{SampleKind::Dsd, 1, 32};
    std::vector<double> silence = RoundTrip(dsd, signal, 0, 100);
    for (double value : silence) EXPECT_NEAR(value, 0.0, 2.0 / 32);
    // Over a whole tone period the density averages out to nothing.
    const uint64_t start = signal.ProgrammeFrame();
    std::vector<double> tone = RoundTrip(dsd, signal, start, 882);
    double sum = 0;
    for (double value : tone) sum += value;
    EXPECT_NEAR(sum / 882, 0.0, 0.01);
    EXPECT_GT(*std::max_element(tone.begin(), tone.end()), 0.1) << "the tone is there";
}

}  // namespace
