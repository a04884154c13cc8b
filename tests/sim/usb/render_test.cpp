// Render streams: FIFO play-out at the device clock, when playback starts,
// underruns (a dry FIFO, missing packets) and overruns.

#include <gtest/gtest.h>

#include <algorithm>

#include "simusb/byte_order.h"
#include "simusb/descriptor_builder.h"
#include "simusb/ready_made_devices.h"
#include "test_host.h"

namespace simusb {
namespace {

using testing::Marker;
using testing::PackFrames;
using testing::TestHost;

constexpr uint8_t kRenderEndpoint = 0x01;
constexpr size_t kFramesPerMicroframe = 6;  // 48 kHz at high speed
constexpr SampleFormat kFormat{2, 4, 24, false};

// A Q7 rendering 24 bits in 32 at 48 kHz; the host sends 6 frames each
// microframe, frames numbered from 0 in the order it sends them.
struct RenderFixture : ::testing::Test {
    std::unique_ptr<AudioDevice> device;
    std::unique_ptr<TestHost> host;
    RenderStream* render = nullptr;
    uint64_t sent = 0;

    void Build(AudioDescription description) {
        device = MakeAudioDevice(description);
        host = std::make_unique<TestHost>(*device);
        ASSERT_TRUE(host->Configure());
        ASSERT_TRUE(host->SetInterface(1, 1));
        render = device->Render(1);
    }
    void SetUp() override { Build(FindReadyMadeDevice("q7-0b31")->describe()); }

    void Send(uint64_t microframe, size_t frames = kFramesPerMicroframe) {
        host->SendOut(kRenderEndpoint, microframe, PackFrames(kFormat, sent, frames, Marker));
        sent += frames;
    }
    void SendRange(uint64_t first, uint64_t end) {
        for (uint64_t i = first; i < end; ++i) Send(i);
    }
    static int64_t Ms(int64_t ms) { return ms * 1000000; }
};

TEST_F(RenderFixture, PlaysEveryFrameInOrderOnceTheStartThresholdIsReached) {
    ASSERT_EQ(render->FifoCapacity(), 194u) << "two largest packets (97 frames) exceed 4 ms at 48 kHz";
    ASSERT_EQ(render->StartThreshold(), 97u);
    SendRange(0, 800);  // 100 ms
    device->settle(Ms(100));
    // The 17th packet (2 ms) brings the FIFO to 102 frames >= 97: play from device frame 96.
    const FrameRecord& played = render->Played();
    ASSERT_EQ(played.Count(), 4800u - 96);
    for (uint64_t i = 0; i < played.Count(); ++i) {
        ASSERT_EQ(played.DeviceFrame(i), 96 + i);
        ASSERT_EQ(played.Frame(i)[0], Marker(i, 0)) << "frame " << i;
        ASSERT_EQ(played.Frame(i)[1], Marker(i, 1)) << "frame " << i;
    }
    EXPECT_TRUE(render->Events().All().empty());
    EXPECT_EQ(render->FifoFrames(), sent - played.Count());
}

TEST_F(RenderFixture, DryFifoAndMissingPacketsAreUnderruns) {
    SendRange(0, 80);     // 0 to 10 ms: 480 frames, playing from device frame 96
    SendRange(160, 200);  // 20 to 25 ms, after a gap of 80 microframes
    device->settle(Ms(25));

    std::vector<StreamEvent> underruns = render->Events().Underruns();
    ASSERT_EQ(underruns.size(), 2u);
    const StreamEvent& dry = underruns[0];
    EXPECT_EQ(dry.kind, StreamEvent::Kind::FifoDry);
    EXPECT_EQ(dry.deviceFrame, 96u + 480) << "the frame after the last one sent";
    EXPECT_EQ(dry.at.frame, 12u) << "device frame 576 is due at 12 ms";
    EXPECT_EQ(dry.at.microframe, 0u);
    // Playback resumes at the threshold: 17 packets after 20 ms, at 22 ms = device frame 1056.
    EXPECT_EQ(dry.count, 1056u - 576) << "frames of silence";

    const StreamEvent& missing = underruns[1];
    EXPECT_EQ(missing.kind, StreamEvent::Kind::MissingPacket);
    EXPECT_EQ(missing.at.frame, 10u) << "the first microframe without a packet";
    EXPECT_EQ(missing.at.microframe, 0u);
    EXPECT_EQ(missing.count, 80u);

    const FrameRecord& played = render->Played();
    ASSERT_EQ(played.Count(), 480u + (1200 - 1056));
    EXPECT_EQ(played.DeviceFrame(480), 1056u);
    EXPECT_EQ(played.Frame(480)[0], Marker(480, 0)) << "nothing the host sent is lost, only late";
}

TEST_F(RenderFixture, OversizedAndMalformedPacketsAreRecordedAndDropped) {
    Send(0, 98);  // 784 bytes, above the 776 of wMaxPacketSize
    host->SendOut(kRenderEndpoint, 1, std::vector<uint8_t>(7, 0));
    Send(2, 6);
    ASSERT_EQ(render->Events().All().size(), 2u);
    EXPECT_EQ(render->Events().All()[0].kind, StreamEvent::Kind::PacketTooLong);
    EXPECT_EQ(render->Events().All()[0].count, 784u);
    EXPECT_EQ(render->Events().All()[0].at.frame, 0u);
    EXPECT_EQ(render->Events().All()[1].kind, StreamEvent::Kind::MalformedPacket);
    EXPECT_EQ(render->Events().All()[1].at.microframe, 1u);
    EXPECT_EQ(render->FifoFrames(), 6u) << "only the good packet is queued";
}

TEST_F(RenderFixture, FramesBeyondTheFifoAreOverruns) {
    AudioDescription d = FindReadyMadeDevice("q7-0b31")->describe();
    d.streams[0].render.fifo_frames = 50;
    d.streams[0].render.startThreshold_frames = 40;
    Build(d);
    Send(0, 30);
    Send(1, 30);
    ASSERT_EQ(render->Events().Overruns().size(), 1u);
    EXPECT_EQ(render->Events().Overruns()[0].kind, StreamEvent::Kind::FifoFull);
    EXPECT_EQ(render->Events().Overruns()[0].count, 10u);
    EXPECT_EQ(render->FifoFrames(), 50u);
    EXPECT_TRUE(render->Playing());
}

TEST_F(RenderFixture, FifoDriftsWithTheDeviceClockOffset) {
    device->SetClockOffsetPpm(250, 0);
    SendRange(0, 8000 * 4);  // 4 s at exactly 48 kHz of the bus
    // The device plays 48012 frames a second: the FIFO loses 12 frames a second.
    const int64_t last_ns = (8000 * 4 - 1) * int64_t{125000};
    unsigned __int128 due = static_cast<unsigned __int128>(last_ns) * 48000 * 1000250 / 1000000000000000ull;
    uint64_t expectedLevel = sent - (static_cast<uint64_t>(due) - 96);
    EXPECT_EQ(render->FifoFrames(), expectedLevel);
    EXPECT_NEAR(static_cast<double>(expectedLevel), 102.0 - 48, 1.0) << "12 frames a second for 4 s";
    EXPECT_TRUE(render->Events().Underruns().empty());
}

TEST_F(RenderFixture, SettingZeroStopsTheStreamAndLaterPacketsAreNotPlayed) {
    SendRange(0, 40);
    host->now_ns = Ms(5);
    ASSERT_TRUE(host->SetInterface(1, 0));
    EXPECT_FALSE(render->Running());
    uint64_t playedAtStop = render->Played().Count();
    EXPECT_EQ(playedAtStop, 240u - 96);
    Send(48);
    device->settle(Ms(10));
    EXPECT_EQ(render->Played().Count(), playedAtStop);
    ASSERT_EQ(render->Events().Count(StreamEvent::Kind::NotStreaming), 1u);
    EXPECT_EQ(render->Events().Of(StreamEvent::Kind::NotStreaming)[0].at.frame, 6u);
}

// A host that follows the device's feedback but sends 1/1024 frame per
// microframe too little (7.8 frames a second): without the device closing
// the loop the FIFO would run dry within 15 s.
TEST_F(RenderFixture, FeedbackHoldsTheFifoAtItsThresholdAgainstAHostThatSendsTooLittle) {
    constexpr uint8_t kFeedbackEndpoint = 0x81;
    constexpr uint32_t kHostShortfall = 64;  // 2^-16 frames per microframe
    device->SetClockOffsetPpm(1000, 0);
    uint64_t fraction = 0;
    size_t lowest = SIZE_MAX;
    size_t highest = 0;
    for (uint64_t microframe = 0; microframe < 8 * 20000; ++microframe) {
        const std::vector<uint8_t> feedback = host->ReceiveIn(kFeedbackEndpoint, microframe, 4);
        ASSERT_EQ(feedback.size(), 4u);
        fraction += ReadLe(feedback, 0, 4) - kHostShortfall;
        Send(microframe, static_cast<size_t>(fraction >> 16));
        fraction &= 0xFFFF;
        if (microframe >= 8 * 2000) {  // after two seconds to settle
            lowest = std::min(lowest, render->FifoFrames());
            highest = std::max(highest, render->FifoFrames());
        }
    }
    EXPECT_TRUE(render->Events().Underruns().empty());
    EXPECT_TRUE(render->Events().Overruns().empty());
    const size_t threshold = render->StartThreshold();
    EXPECT_GE(lowest + 12, threshold) << "lowest FIFO level " << lowest;
    EXPECT_LE(highest, threshold + 12) << "highest FIFO level " << highest;
}

}  // namespace
}  // namespace simusb
