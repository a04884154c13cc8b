// Streaming through the ASIO channel on the Q7, as the user-mode driver
// streams: reads pending per slot, one output period written per input
// period. Every input frame must arrive exactly once and in order, every
// output frame must reach the device exactly once and in order, at every
// rate and buffer size, with the device clock off by up to 1000 ppm.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "asio_channel_client.h"
#include "asio_duplex_client.h"
#include "simusb/frame_record.h"
#include "simusb/render_stream.h"

namespace {

using asiotest::ChannelClient;
using asiotest::CounterSample;
using asiotest::DuplexClient;
using asiotest::Params;
using kerneltest::DriverWorld;
using kerneltest::PluggedDevice;

constexpr int64_t kSecond_ns = 1000000000;

// The simulated seconds each configuration streams: VQ7_ASIO_SOAK_SECONDS
// lengthens the run (600 for the ten-minute soak).
int64_t StreamSeconds(int64_t normal) {
    const char* soak = std::getenv("VQ7_ASIO_SOAK_SECONDS");
    return soak != nullptr ? std::atoll(soak) : normal;
}

// Follows the device's render record: after any leading silence every
// frame must be the counter's next.
struct PlayedChecker {
    uint64_t played = 0;
    uint64_t outOfOrder = 0;
    uint64_t silentBefore = 0;
    int32_t previous = 0;
    void operator()(uint64_t, std::span<const int32_t> frame) {
        if (played == 0 && frame[0] == 0) {
            silentBefore += 1;
            return;
        }
        if (played > 0 && frame[0] != CounterSample(static_cast<uint32_t>(previous) >> 8)) {
            if (outOfOrder < 5) {
                std::printf("  out of order at played frame %llu: %d after %d\n",
                            static_cast<unsigned long long>(played), frame[0] >> 8, previous >> 8);
            }
            outOfOrder += 1;
        }
        previous = frame[0];
        played += 1;
    }
};

struct DuplexCase {
    ULONG rate;
    ULONG bufferFrames;
    int64_t clockOffsetPpm;
};

std::string Name(const ::testing::TestParamInfo<DuplexCase>& info) {
    std::string name = std::to_string(info.param.rate) + "Hz_" + std::to_string(info.param.bufferFrames) + "frames";
    if (info.param.clockOffsetPpm != 0) {
        name += info.param.clockOffsetPpm > 0 ? "_plus" : "_minus";
        name += std::to_string(std::llabs(info.param.clockOffsetPpm)) + "ppm";
    }
    return name;
}

class DuplexStreaming : public ::testing::TestWithParam<DuplexCase> {};

TEST_P(DuplexStreaming, EveryFrameArrivesOnceAndInOrderBothWays) {
    const DuplexCase c = GetParam();
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    CUSBAudioAdapter& adapter = *world.Adapter(q7.pdo);
    ChannelClient channel(world, q7.pdo, "asio-host");
    ASSERT_EQ(channel.Open(), STATUS_SUCCESS);
    ASSERT_EQ(channel.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, c.rate), STATUS_SUCCESS);
    ASSERT_EQ(channel.OpenPrepareStart(Params(c.bufferFrames, true, true)), STATUS_SUCCESS);
    const vq7::AudioFormat in = adapter.Asio().InputFormat();
    const vq7::AudioFormat out = adapter.Asio().OutputFormat();
    ASSERT_EQ(out.bitsPerSample, 32u);  // the counter is written as 32-bit samples

    PlayedChecker checker;
    world.Bus().WithDevice(q7.pdo, [&](simusb::Device& device) {
        auto& usb = static_cast<simusb::AudioDevice&>(device);
        usb.SetClockOffsetPpm(c.clockOffsetPpm, kmsim::NowNs());
        simusb::FrameRecord& played = usb.FirstRender()->Played();
        played.KeepSamples(false);
        played.SetChecker(std::ref(checker));
    });

    // Reads complete once per capture transfer: a buffer shorter than a
    // transfer needs as many reads pending as one transfer fills, and one more.
    const ULONG transferFrames = (c.rate + 999) / 1000;
    const ULONG slots = std::max(2u, (transferFrames + c.bufferFrames - 1) / c.bufferFrames + 1);
    DuplexClient client(channel, c.bufferFrames, in.FrameBytes(), out.channels, slots);
    ASSERT_EQ(channel.Send(IOCTL_ASIO_ARM_INPUT).status, STATUS_SUCCESS);
    client.Begin();
    client.RunUntil(kmsim::NowNs() + StreamSeconds(2) * kSecond_ns);
    // The record is judged up to the stop: what plays after it is silence.
    world.Bus().WithDevice(q7.pdo, [&](simusb::Device& device) {
        static_cast<simusb::AudioDevice&>(device).FirstRender()->Played().SetChecker(nullptr);
    });
    EXPECT_EQ(channel.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    client.Drain();
    std::printf("%lu Hz, %lu frames, %lld ppm: %llu reads, %llu frames in, %llu out, %llu played after %llu silent\n",
                static_cast<unsigned long>(c.rate), static_cast<unsigned long>(c.bufferFrames),
                static_cast<long long>(c.clockOffsetPpm), static_cast<unsigned long long>(client.figures.reads),
                static_cast<unsigned long long>(client.figures.framesIn),
                static_cast<unsigned long long>(client.figures.framesOut),
                static_cast<unsigned long long>(checker.played),
                static_cast<unsigned long long>(checker.silentBefore));

    EXPECT_EQ(client.figures.failure, STATUS_SUCCESS);
    EXPECT_EQ(client.figures.inputDiscontinuities, 0u);
    EXPECT_EQ(checker.outOfOrder, 0u);
    const uint64_t expectedPeriods = static_cast<uint64_t>(c.rate) * StreamSeconds(2) / c.bufferFrames;
    EXPECT_GE(client.figures.reads, expectedPeriods * 95 / 100);
    // What was written and not played is what the rings and packets held at the stop.
    EXPECT_GT(checker.played, 0u);
    EXPECT_LE(checker.played, client.figures.framesOut);
    EXPECT_LE(client.figures.framesOut - checker.played, 4u * c.bufferFrames + c.rate / 50);
    EXPECT_EQ(channel.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    EXPECT_EQ(channel.Send(IOCTL_ASIO_CLOSE).status, STATUS_SUCCESS);
    EXPECT_EQ(channel.Close(), STATUS_SUCCESS);
}

std::vector<DuplexCase> DuplexCases() {
    std::vector<DuplexCase> cases;
    for (ULONG rate : {44100u, 48000u, 96000u, 192000u}) {
        for (ULONG frames : {32u, 64u, 128u, 256u, 1024u}) {
            cases.push_back({rate, frames, 0});
        }
    }
    for (int64_t ppm : {1000, -1000}) {
        for (ULONG frames : {32u, 256u}) {
            cases.push_back({48000, frames, ppm});
        }
        cases.push_back({192000, 64, ppm});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Q7, DuplexStreaming, ::testing::ValuesIn(DuplexCases()), Name);

}  // namespace
