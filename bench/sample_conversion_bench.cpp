// Each copy and saturating mix between 16-, 24- and 32-bit samples, with 2
// and 8 channels, over one 1 ms packet at 48 kHz and over a 64 KiB block of
// destination bytes; and memcpy of every destination size measured, as the
// baseline each figure is divided by (scripts/bench computes the ratios).

#include <benchmark/benchmark.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/sample_converter.h"

namespace {

constexpr ULONG kWidths[] = {16, 24, 32};
constexpr ULONG kChannelCounts[] = {2, 8};
constexpr ULONG kPacketFrames = 48;        // 1 ms at 48 kHz
constexpr ULONG kBlockBytes = 64 * 1024;  // destination bytes of a block

vq7::AudioFormat Pcm(ULONG bits, ULONG channels) {
    return vq7::AudioFormat{vq7::AudioFormat::kModePcm, vq7::AudioFormat::kTagPcm, bits, channels, 48000};
}

std::vector<UCHAR> Noise(size_t bytes) {
    std::vector<UCHAR> data(bytes);
    ULONG x = 2463534242u;
    for (auto& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<UCHAR>(x);
    }
    return data;
}

void Convert(benchmark::State& state, bool mix, ULONG sourceBits, ULONG destinationBits, ULONG channels,
             ULONG frames) {
    vq7::SampleConverter converter;
    if (!NT_SUCCESS(converter.SetUp(Pcm(sourceBits, channels), Pcm(destinationBits, channels)))) {
        state.SkipWithError("no converter");
        return;
    }
    std::vector<UCHAR> source = Noise(size_t{frames} * converter.SourceStride());
    std::vector<UCHAR> destination = Noise(size_t{frames} * converter.DestinationStride());
    for (auto _ : state) {
        if (mix) {
            converter.Mix(destination.data(), source.data(), frames);
        } else {
            converter.Copy(destination.data(), source.data(), frames);
        }
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(destination.size()));
    state.counters["sourceBits"] = sourceBits;
    state.counters["destinationBits"] = destinationBits;
    state.counters["channels"] = channels;
    state.counters["bytes"] = static_cast<double>(destination.size());
}

void Memcpy(benchmark::State& state, size_t bytes) {
    std::vector<UCHAR> source = Noise(bytes);
    std::vector<UCHAR> destination(bytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.counters["bytes"] = static_cast<double>(bytes);
}

void RegisterAll() {
    std::set<size_t> baselines;
    for (bool mix : {false, true}) {
        for (ULONG from : kWidths) {
            for (ULONG to : kWidths) {
                for (ULONG channels : kChannelCounts) {
                    ULONG frameBytes = channels * to / 8;
                    for (ULONG frames : {kPacketFrames, kBlockBytes / frameBytes}) {
                        std::string name = std::string(mix ? "mix" : "copy") + "/" + std::to_string(from) + "/" +
                                           std::to_string(to) + "/" + std::to_string(channels) + "/" +
                                           std::to_string(frames * frameBytes);
                        benchmark::RegisterBenchmark(name.c_str(), Convert, mix, from, to, channels, frames);
                        baselines.insert(size_t{frames} * frameBytes);
                    }
                }
            }
        }
    }
    for (size_t bytes : baselines) {
        benchmark::RegisterBenchmark(("memcpy/" + std::to_string(bytes)).c_str(), Memcpy, bytes);
    }
}

}  // namespace

int main(int argc, char** argv) {
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
