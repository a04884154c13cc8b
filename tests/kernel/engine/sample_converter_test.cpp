// SampleConverter: which formats it converts between, and that every copy
// and mix gives what a plain model of the rules gives (scale keeping the
// most significant bits; a mix saturates at the destination's limits), at
// the limits in every position of the loops' blocks, at every frame count
// around the block size, at any alignment of either buffer, and with frames
// that hold more channels on either side.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/sample_converter.h"

namespace {

using vq7::AudioFormat;
using vq7::SampleConverter;

AudioFormat Format(USHORT mode, USHORT tag, ULONG bits, ULONG channels) {
    return AudioFormat{mode, tag, bits, channels, 48000};
}

AudioFormat Pcm(ULONG bits, ULONG channels = 2) {
    return Format(AudioFormat::kModePcm, AudioFormat::kTagPcm, bits, channels);
}

constexpr ULONG kWidths[] = {16, 24, 32};

// The model: samples as plain integers of their width.
int64_t Min(ULONG bits) { return -(int64_t{1} << (bits - 1)); }
int64_t Max(ULONG bits) { return (int64_t{1} << (bits - 1)) - 1; }

int64_t Read(const UCHAR* p, ULONG bits) {
    uint64_t u = 0;
    for (ULONG b = 0; b < bits / 8; ++b) {
        u |= uint64_t{p[b]} << (8 * b);
    }
    int64_t v = static_cast<int64_t>(u);
    return v > Max(bits) ? v - (int64_t{1} << bits) : v;
}

void Write(UCHAR* p, ULONG bits, int64_t v) {
    for (ULONG b = 0; b < bits / 8; ++b) {
        p[b] = static_cast<UCHAR>(static_cast<uint64_t>(v) >> (8 * b));
    }
}

int64_t Scale(int64_t v, ULONG from, ULONG to) {
    if (to >= from) {
        return v * (int64_t{1} << (to - from));
    }
    int64_t divisor = int64_t{1} << (from - to);
    return v >= 0 ? v / divisor : -((-v + divisor - 1) / divisor);  // floor
}

int64_t ModelCopy(int64_t s, ULONG from, ULONG to) { return Scale(s, from, to); }

int64_t ModelMix(int64_t d, int64_t s, ULONG from, ULONG to) {
    return std::clamp(d + Scale(s, from, to), Min(to), Max(to));
}

// The samples a contiguous run converts per block (sample_block.h).
constexpr ULONG kBlockSamples = 16;

// Applies the model to whole buffers, frame by frame.
void ModelConvert(bool mix, UCHAR* destination, const UCHAR* source, const AudioFormat& from, const AudioFormat& to,
                  ULONG frames) {
    ULONG channels = std::min(from.channels, to.channels);
    for (ULONG f = 0; f < frames; ++f) {
        for (ULONG c = 0; c < channels; ++c) {
            const UCHAR* s = source + f * from.FrameBytes() + c * from.bitsPerSample / 8;
            UCHAR* d = destination + f * to.FrameBytes() + c * to.bitsPerSample / 8;
            int64_t sv = Read(s, from.bitsPerSample);
            int64_t v = mix ? ModelMix(Read(d, to.bitsPerSample), sv, from.bitsPerSample, to.bitsPerSample)
                            : ModelCopy(sv, from.bitsPerSample, to.bitsPerSample);
            Write(d, to.bitsPerSample, v);
        }
    }
}

std::vector<UCHAR> Noise(size_t bytes, ULONG seed) {
    std::vector<UCHAR> data(bytes);
    ULONG x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<UCHAR>(x >> 7);
    }
    return data;
}

SampleConverter SetUpOrFail(const AudioFormat& from, const AudioFormat& to) {
    SampleConverter converter;
    EXPECT_EQ(converter.SetUp(from, to), STATUS_SUCCESS);
    return converter;
}

// Runs the converter and the model over the same random buffers, the
// frames starting `sourceOffset` and `destinationOffset` bytes into them.
// The bytes before and past the destination's frames must stay as they
// were; the source ends where its buffer does, so that a read past it is
// one the address sanitizer sees.
void ExpectMatchesModel(bool mix, const AudioFormat& from, const AudioFormat& to, ULONG frames, ULONG seed,
                        ULONG sourceOffset = 0, ULONG destinationOffset = 0) {
    SCOPED_TRACE(::testing::Message() << (mix ? "mix " : "copy ") << from.bitsPerSample << "x" << from.channels
                                      << " -> " << to.bitsPerSample << "x" << to.channels << ", " << frames
                                      << " frames at source + " << sourceOffset << ", destination + "
                                      << destinationOffset);
    constexpr size_t kGuardBytes = 16;
    SampleConverter converter = SetUpOrFail(from, to);
    std::vector<UCHAR> source = Noise(sourceOffset + size_t{frames} * from.FrameBytes(), seed);
    std::vector<UCHAR> actual = Noise(destinationOffset + size_t{frames} * to.FrameBytes() + kGuardBytes, seed + 1000);
    std::vector<UCHAR> expected = actual;
    if (mix) {
        converter.Mix(actual.data() + destinationOffset, source.data() + sourceOffset, frames);
    } else {
        converter.Copy(actual.data() + destinationOffset, source.data() + sourceOffset, frames);
    }
    ModelConvert(mix, expected.data() + destinationOffset, source.data() + sourceOffset, from, to, frames);
    ASSERT_EQ(actual, expected);
}

TEST(SampleConverterSetUp, TakesEveryPairOfIntegerWidthsWithTheSharedChannels) {
    for (ULONG from : kWidths) {
        for (ULONG to : kWidths) {
            SampleConverter converter;
            ASSERT_EQ(converter.SetUp(Pcm(from, 6), Pcm(to, 2)), STATUS_SUCCESS) << from << " -> " << to;
            EXPECT_TRUE(converter.IsSetUp());
            EXPECT_EQ(converter.Channels(), 2u);
            EXPECT_EQ(converter.SourceStride(), 6 * from / 8);
            EXPECT_EQ(converter.DestinationStride(), 2 * to / 8);
        }
    }
}

TEST(SampleConverterSetUp, RefusesWhatNoRuleConverts) {
    const AudioFormat pcm16 = Pcm(16);
    const AudioFormat float32 = Format(AudioFormat::kModePcm, AudioFormat::kTagIeeeFloat, 32, 2);
    const AudioFormat dsd32 = Format(AudioFormat::kModeDsd, AudioFormat::kTagPcm, 32, 2);
    struct Case {
        const char* what;
        AudioFormat from, to;
    } cases[] = {
        {"PCM against DSD", Pcm(32), dsd32},
        {"DSD against PCM", dsd32, Pcm(32)},
        {"DSD in 24 bits", Format(AudioFormat::kModeDsd, AudioFormat::kTagPcm, 24, 2), dsd32},
        {"DSD into 16 bits", dsd32, Format(AudioFormat::kModeDsd, AudioFormat::kTagPcm, 16, 2)},
        {"an unknown mode", Format(2, AudioFormat::kTagPcm, 32, 2), Format(2, AudioFormat::kTagPcm, 32, 2)},
        {"integer into float", pcm16, float32},
        {"32-bit integer into float", Pcm(32), float32},
        {"float into integer", float32, Pcm(32)},
        {"64-bit float", Format(AudioFormat::kModePcm, AudioFormat::kTagIeeeFloat, 64, 2), float32},
        {"24-bit float", float32, Format(AudioFormat::kModePcm, AudioFormat::kTagIeeeFloat, 24, 2)},
        {"an unknown tag", Format(AudioFormat::kModePcm, 6, 16, 2), Format(AudioFormat::kModePcm, 6, 16, 2)},
        {"8-bit source", Pcm(8), pcm16},
        {"8-bit destination", pcm16, Pcm(8)},
        {"20 bits", Pcm(20), pcm16},
        {"12 bits", pcm16, Pcm(12)},
        {"40 bits", Pcm(40), pcm16},
        {"no bits", pcm16, Pcm(0)},
        {"no source channels", Pcm(16, 0), pcm16},
        {"no destination channels", pcm16, Pcm(16, 0)},
    };
    for (const Case& c : cases) {
        SampleConverter converter;
        ASSERT_EQ(converter.SetUp(Pcm(16), Pcm(24)), STATUS_SUCCESS);
        EXPECT_EQ(converter.SetUp(c.from, c.to), STATUS_NOT_SUPPORTED) << c.what;
        EXPECT_FALSE(converter.IsSetUp()) << c.what << ": a refused set-up keeps the old functions";
    }
}

// Every source value against every destination value: both directions of
// saturation, sign extension, and the bits a narrower destination drops;
// the run is rotated through every position of a block, so that each
// pairing lands in every lane (the first and last packed pairs of a block
// are loaded and stored apart from the others).
TEST(SampleConverterLimits, EveryCopyAndMixAgreesWithTheModelAtTheLimitsInEveryLane) {
    auto interesting = [](ULONG bits) {
        return std::vector<int64_t>{Min(bits), Min(bits) + 1, Min(bits) / 2, -257, -256, -255, -2, -1,
                                    0,         1,           255,           256,  257,  Max(bits) / 2,
                                    Max(bits) - 1, Max(bits)};
    };
    for (ULONG from : kWidths) {
        for (ULONG to : kWidths) {
            std::vector<int64_t> sources = interesting(from), destinations = interesting(to);
            const ULONG frames = static_cast<ULONG>(sources.size() * destinations.size());
            const AudioFormat f = Pcm(from, 1), t = Pcm(to, 1);
            for (ULONG rotation = 0; rotation < kBlockSamples; ++rotation) {
                std::vector<UCHAR> source(frames * from / 8), destination(frames * to / 8);
                for (ULONG k = 0; k < frames; ++k) {
                    ULONG pairing = (k + rotation) % frames;
                    Write(source.data() + k * from / 8, from, sources[pairing / destinations.size()]);
                    Write(destination.data() + k * to / 8, to, destinations[pairing % destinations.size()]);
                }
                for (bool mix : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << (mix ? "mix " : "copy ") << from << " -> " << to
                                                      << ", rotated by " << rotation);
                    SampleConverter converter = SetUpOrFail(f, t);
                    std::vector<UCHAR> actual = destination;
                    mix ? converter.Mix(actual.data(), source.data(), frames)
                        : converter.Copy(actual.data(), source.data(), frames);
                    for (ULONG k = 0; k < frames; ++k) {
                        int64_t s = Read(source.data() + k * from / 8, from);
                        int64_t d = Read(destination.data() + k * to / 8, to);
                        int64_t expected = mix ? ModelMix(d, s, from, to) : ModelCopy(s, from, to);
                        ASSERT_EQ(Read(actual.data() + k * to / 8, to), expected)
                            << "sample " << k << ": source " << s << ", destination " << d;
                    }
                }
            }
        }
    }
}

TEST(SampleConverterLimits, KnownValues) {
    struct Case {
        bool mix;
        ULONG from, to;
        int64_t source, destination, expected;
    } cases[] = {
        {false, 16, 24, -32768, 0, -32768 * 256},     // 16-bit into 24-bit is s x 256
        {false, 16, 24, 32767, 0, 32767 * 256},
        {false, 16, 24, -1, 0, -256},
        {false, 16, 32, -32768, 0, Min(32)},
        {false, 24, 16, -1, 0, -1},                    // right shifts of negatives round down
        {false, 24, 16, -257, 0, -2},
        {false, 32, 24, -1, 0, -1},
        {false, 32, 16, Min(32), 0, -32768},
        {false, 24, 32, Min(24), 0, Min(32)},          // packed sign bit reaches bit 31
        {false, 24, 32, 0x7FFFFF, 0, 0x7FFFFF00},
        {true, 16, 16, 32767, 32767, 32767},            // two full-scale sources saturate
        {true, 16, 16, -32768, -32768, -32768},
        {true, 16, 16, 32767, -32768, -1},
        {true, 32, 32, Max(32), 1, Max(32)},
        {true, 32, 32, Min(32), -1, Min(32)},
        {true, 32, 16, Max(32), 32767, 32767},
        {true, 16, 32, -32768, Min(32), Min(32)},
        {true, 24, 24, Max(24), Max(24), Max(24)},
        {true, 24, 24, Min(24), -1, Min(24)},
        {true, 32, 24, 255, 5, 5},                      // bits below 24 are dropped before the sum
        {true, 32, 24, -1, 5, 4},
    };
    for (const Case& c : cases) {
        SampleConverter converter = SetUpOrFail(Pcm(c.from, 1), Pcm(c.to, 1));
        UCHAR source[4] = {}, destination[4] = {};
        Write(source, c.from, c.source);
        Write(destination, c.to, c.destination);
        c.mix ? converter.Mix(destination, source, 1) : converter.Copy(destination, source, 1);
        EXPECT_EQ(Read(destination, c.to), c.expected)
            << (c.mix ? "mix " : "copy ") << c.from << " -> " << c.to << " of " << c.source << " onto " << c.destination;
    }
}

// With 1, 2, 3 and 8 channels a block is 16, 8, 5 1/3 and 2 frames: the
// counts put every number of tail samples after zero, one and more blocks.
TEST(SampleConverterRuns, EveryFrameCountAroundTheBlockSize) {
    const ULONG counts[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 15, 16, 17, 31, 32, 33, 63, 64, 65, 255, 257};
    ULONG seed = 1;
    for (ULONG from : kWidths) {
        for (ULONG to : kWidths) {
            for (ULONG channels : {1u, 2u, 3u, 8u}) {
                for (ULONG frames : counts) {
                    for (bool mix : {false, true}) {
                        ExpectMatchesModel(mix, Pcm(from, channels), Pcm(to, channels), frames, seed++);
                    }
                }
            }
        }
    }
}

// The blocks load and store at any address: every offset of either buffer
// within a 16-byte line, over runs of one block and tail and of several.
TEST(SampleConverterRuns, AnyAlignmentOfSourceAndDestination) {
    ULONG seed = 5000;
    for (ULONG from : kWidths) {
        for (ULONG to : kWidths) {
            for (ULONG sourceOffset : {0u, 1u, 2u, 3u, 5u, 8u, 13u}) {
                for (ULONG destinationOffset : {0u, 1u, 3u, 4u, 6u, 11u, 15u}) {
                    for (bool mix : {false, true}) {
                        ExpectMatchesModel(mix, Pcm(from, 1), Pcm(to, 1), kBlockSamples + 3, seed++, sourceOffset,
                                           destinationOffset);
                        ExpectMatchesModel(mix, Pcm(from, 2), Pcm(to, 2), 3 * kBlockSamples / 2, seed++,
                                           sourceOffset, destinationOffset);
                    }
                }
            }
        }
    }
}

TEST(SampleConverterRuns, OnlyTheSharedChannelsAreConvertedWhenEitherSideHasMore) {
    struct Geometry {
        ULONG fromChannels, toChannels;
    } geometries[] = {{6, 2}, {2, 6}, {3, 2}, {1, 2}, {8, 7}};
    ULONG seed = 7;
    for (const Geometry& g : geometries) {
        for (ULONG from : kWidths) {
            for (ULONG to : kWidths) {
                for (ULONG frames : {1u, 4u, 5u, 17u}) {
                    for (bool mix : {false, true}) {
                        ExpectMatchesModel(mix, Pcm(from, g.fromChannels), Pcm(to, g.toChannels), frames, seed++);
                    }
                }
            }
        }
    }
}

// DSD words and float samples pass through bit for bit; mixing them
// overwrites, since neither may be summed as integers.
TEST(SampleConverterRuns, DsdAndFloatAreCopiedEvenWhenMixed) {
    const AudioFormat dsd = Format(AudioFormat::kModeDsd, AudioFormat::kTagPcm, 32, 2);
    const AudioFormat float2 = Format(AudioFormat::kModePcm, AudioFormat::kTagIeeeFloat, 32, 2);
    const AudioFormat float4 = Format(AudioFormat::kModePcm, AudioFormat::kTagIeeeFloat, 32, 4);
    struct Case {
        AudioFormat from, to;
    } cases[] = {{dsd, dsd}, {float2, float2}, {float4, float2}};
    for (const Case& c : cases) {
        SampleConverter converter = SetUpOrFail(c.from, c.to);
        const ULONG frames = 17;
        std::vector<UCHAR> source = Noise(frames * c.from.FrameBytes(), 3);
        for (bool mix : {false, true}) {
            std::vector<UCHAR> actual = Noise(frames * c.to.FrameBytes(), 4);
            mix ? converter.Mix(actual.data(), source.data(), frames)
                : converter.Copy(actual.data(), source.data(), frames);
            for (ULONG f = 0; f < frames; ++f) {
                ASSERT_TRUE(std::equal(actual.begin() + f * c.to.FrameBytes(), actual.begin() + (f + 1) * c.to.FrameBytes(),
                                       source.begin() + f * c.from.FrameBytes()))
                    << "frame " << f << (mix ? " (mix)" : " (copy)");
            }
        }
    }
}

}  // namespace
