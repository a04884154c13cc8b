// The render mixers against a counting source and hand-built packets:
// conversion at submission (widths, channels, saturating sums of both
// mixers), the converter's refusal, and capture-paced mixing into the
// listed packets at the lead, across packet boundaries, with the start on
// a render completion, the lead correction, and the lead running past or
// behind the listed packets.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/mixer_lead.h"
#include "engine/mixer_set.h"
#include "kmsim/simulation.h"
#include "mixer_doubles.h"

namespace {

using kerneltest::CountingSource;
using kerneltest::Layout;
using kerneltest::Packet;
using kerneltest::Pcm;

class RenderMixerTest : public testing::Test {
protected:
    ~RenderMixerTest() override { vq7::PlaybackLeadOverride_frames = 0; }

    kmsim::Simulation sim_;
};

TEST_F(RenderMixerTest, SixteenBitSourceBecomesTwentyFourBitTimes256) {
    CountingSource source(Pcm(16, 2));
    vq7::MixerSet mixers_;  // after its sources: a mixer detaches from them as it goes
    mixers_.waveRtRender.Bind(&source);
    const vq7::AudioFormat device = Pcm(24, 2);
    ASSERT_EQ(mixers_.waveRtRender.Attach(Layout(device, Pcm(24, 2))), STATUS_SUCCESS);
    EXPECT_TRUE(mixers_.waveRtRender.IsAttached());
    EXPECT_FALSE(mixers_.waveRtRender.IsCapturePaced());
    Packet packet(48 * device.FrameBytes());
    mixers_.waveRtRender.MixAtSubmission(packet.data.data(), static_cast<ULONG>(packet.data.size()));
    EXPECT_EQ(source.framesRead, 48u);
    EXPECT_EQ(source.afterReads, 1);
    for (ULONG f = 0; f < 48; ++f) {
        for (ULONG c = 0; c < 2; ++c) {
            ASSERT_EQ(packet.Sample(device, f, c), CountingSource::Value(f, c) * 256) << f;
        }
    }
}

TEST_F(RenderMixerTest, BothMixersSumIntoOnePacketAndSaturate) {
    const vq7::AudioFormat device = Pcm(16, 2);
    CountingSource asio(Pcm(16, 2));
    CountingSource waveRt(Pcm(16, 2));
    vq7::MixerSet mixers_;
    mixers_.asioRender.Bind(&asio);
    mixers_.waveRtRender.Bind(&waveRt);
    ASSERT_EQ(mixers_.asioRender.Attach(Layout(device, device)), STATUS_SUCCESS);
    ASSERT_EQ(mixers_.waveRtRender.Attach(Layout(device, device)), STATUS_SUCCESS);
    for (int32_t full : {32767, -32768}) {
        asio.useConstant = waveRt.useConstant = true;
        asio.constant = waveRt.constant = full;
        Packet packet(16 * device.FrameBytes());
        mixers_.asioRender.MixAtSubmission(packet.data.data(), static_cast<ULONG>(packet.data.size()));
        mixers_.waveRtRender.MixAtSubmission(packet.data.data(), static_cast<ULONG>(packet.data.size()));
        for (ULONG f = 0; f < 16; ++f) {
            ASSERT_EQ(packet.Sample(device, f, 0), full);
            ASSERT_EQ(packet.Sample(device, f, 1), full);
        }
    }
    // Values that fit are summed exactly.
    asio.constant = 1000;
    waveRt.constant = -3000;
    Packet packet(4 * device.FrameBytes());
    mixers_.asioRender.MixAtSubmission(packet.data.data(), static_cast<ULONG>(packet.data.size()));
    mixers_.waveRtRender.MixAtSubmission(packet.data.data(), static_cast<ULONG>(packet.data.size()));
    EXPECT_EQ(packet.Sample(device, 3, 1), -2000);
}

TEST_F(RenderMixerTest, ChannelsTheDeviceLacksAreSkipped) {
    CountingSource source(Pcm(16, 6));
    vq7::MixerSet mixers_;
    mixers_.waveRtRender.Bind(&source);
    const vq7::AudioFormat device = Pcm(32, 2);
    ASSERT_EQ(mixers_.waveRtRender.Attach(Layout(device, device)), STATUS_SUCCESS);
    Packet packet(10 * device.FrameBytes());
    mixers_.waveRtRender.MixAtSubmission(packet.data.data(), static_cast<ULONG>(packet.data.size()));
    for (ULONG f = 0; f < 10; ++f) {
        EXPECT_EQ(packet.Sample(device, f, 0), CountingSource::Value(f, 0) * 65536);
        EXPECT_EQ(packet.Sample(device, f, 1), CountingSource::Value(f, 1) * 65536);
    }
}

TEST_F(RenderMixerTest, APacketLargerThanTheConversionBufferIsFilledInSteps) {
    CountingSource source(Pcm(16, 2));
    vq7::MixerSet mixers_;  // after its sources: a mixer detaches from them as it goes
    mixers_.waveRtRender.Bind(&source);
    const vq7::AudioFormat device = Pcm(16, 2);
    vq7::DeviceStreamLayout layout = Layout(device, device);
    layout.renderTransferBytes = 10 * device.FrameBytes();
    ASSERT_EQ(mixers_.waveRtRender.Attach(layout), STATUS_SUCCESS);
    Packet packet(25 * device.FrameBytes());
    mixers_.waveRtRender.MixAtSubmission(packet.data.data(), static_cast<ULONG>(packet.data.size()));
    EXPECT_EQ(source.afterReads, 3);
    for (ULONG f = 0; f < 25; ++f) ASSERT_EQ(packet.Sample(device, f, 1), CountingSource::Value(f, 1)) << f;
    // A source that runs short ends the packet's mixing; the rest stays silent.
    source.limit = 30;
    Packet shorter(10 * device.FrameBytes());
    mixers_.waveRtRender.MixAtSubmission(shorter.data.data(), static_cast<ULONG>(shorter.data.size()));
    EXPECT_EQ(shorter.Sample(device, 4, 0), CountingSource::Value(29, 0));
    EXPECT_EQ(shorter.Sample(device, 5, 0), 0);
}

TEST_F(RenderMixerTest, RefusedConversionOrAttachHookLeavesTheMixerDetached) {
    CountingSource source(Pcm(16, 2));
    vq7::MixerSet mixers_;  // after its sources: a mixer detaches from them as it goes
    mixers_.waveRtRender.Bind(&source);
    EXPECT_EQ(mixers_.waveRtRender.Attach(Layout(kerneltest::Float(2), Pcm(16, 2))), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(mixers_.waveRtRender.IsAttached());
    EXPECT_EQ(source.attaches, 0);
    source.attachStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(mixers_.waveRtRender.Attach(Layout(Pcm(16, 2), Pcm(16, 2))), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(mixers_.waveRtRender.IsAttached());
    mixers_.waveRtRender.Detach();
    EXPECT_EQ(source.detaches, 0);  // no attach succeeded, so nothing to undo
    Packet packet(8);
    mixers_.waveRtRender.MixAtSubmission(packet.data.data(), 8);
    EXPECT_EQ(source.framesRead, 0u);
}

TEST_F(RenderMixerTest, DetachUndoesOneAttachOnce) {
    CountingSource source(Pcm(16, 2));
    vq7::MixerSet mixers_;  // after its sources: a mixer detaches from them as it goes
    mixers_.waveRtRender.Bind(&source);
    ASSERT_EQ(mixers_.waveRtRender.Attach(Layout(Pcm(16, 2), Pcm(16, 2))), STATUS_SUCCESS);
    ASSERT_EQ(mixers_.waveRtRender.Attach(Layout(Pcm(16, 2), Pcm(16, 2))), STATUS_SUCCESS);
    EXPECT_EQ(source.detaches, 1);  // a second attach first undoes the first
    mixers_.waveRtRender.Detach();
    mixers_.waveRtRender.Detach();
    EXPECT_EQ(source.attaches, 2);
    EXPECT_EQ(source.detaches, 2);
    EXPECT_EQ(mixers_.waveRtRender.Lead(), 0);
}

// Capture-paced mixing: 16-bit stereo at 48 kHz, 1 ms capture transfers
// (48 frames, 192 bytes), packets of 64 frames (256 bytes).
class PacedMixerTest : public RenderMixerTest {
protected:
    static constexpr ULONG kCaptureBytes = 48 * 4;
    static constexpr ULONG kPacketBytes = 64 * 4;

    void SetUp() override {
        mixers_.asioRender.Bind(&source_);
        ASSERT_EQ(mixers_.asioRender.Attach(Layout(device_, device_)), STATUS_SUCCESS);
        ASSERT_TRUE(mixers_.asioRender.IsCapturePaced());
        for (auto& packet : packets_) {
            packet = std::make_unique<Packet>(kPacketBytes);
            mixers_.asioRender.AttachContext(packet->Context());
        }
    }
    // The mixer's run starts with the completion of the oldest packet.
    void Start(ULONG endFrame) {
        mixers_.asioRender.MixCaptured(kCaptureBytes, endFrame - 1);  // dropped: not started
        mixers_.asioRender.PacketCompleted(endFrame);
        ASSERT_TRUE(mixers_.asioRender.IsStarted());
    }
    int32_t At(size_t packet, ULONG frame) const { return packets_[packet]->Sample(device_, frame, 1); }
    static int32_t Frame(uint64_t frame) { return CountingSource::Value(frame, 1); }

    vq7::AudioFormat device_ = Pcm(16, 2);
    CountingSource source_{Pcm(16, 2), true};
    std::unique_ptr<Packet> packets_[4];
    vq7::MixerSet mixers_;  // after its source and packets
};

TEST_F(PacedMixerTest, CaptureMixesAtTheLeadAcrossPacketBoundaries) {
    EXPECT_EQ(mixers_.asioRender.Lead(), 48 * 4);
    Start(20);
    EXPECT_EQ(source_.framesRead, 48u);  // read before the start and dropped
    mixers_.asioRender.MixCaptured(kCaptureBytes, 20);
    EXPECT_EQ(mixers_.asioRender.Lead(), 96 * 4);
    // The lead (48 frames) counts from the oldest listed packet, now the second.
    EXPECT_EQ(At(1, 47), 0);
    EXPECT_EQ(At(1, 48), Frame(48));
    EXPECT_EQ(At(1, 63), Frame(63));
    EXPECT_EQ(At(2, 0), Frame(64));
    EXPECT_EQ(At(2, 31), Frame(95));
    EXPECT_EQ(At(2, 32), 0);
    // A completion moves the lead back by the packet it retired.
    mixers_.asioRender.PacketCompleted(28);
    EXPECT_EQ(mixers_.asioRender.Lead(), 32 * 4);
    mixers_.asioRender.MixCaptured(kCaptureBytes, 21);
    EXPECT_EQ(At(2, 32), Frame(96));
    EXPECT_EQ(At(2, 63), Frame(127));
    EXPECT_EQ(At(3, 0), Frame(128));
    EXPECT_EQ(At(3, 15), Frame(143));
    EXPECT_EQ(At(3, 16), 0);
    EXPECT_EQ(source_.afterReads, 3);
}

TEST_F(PacedMixerTest, FirstDeliveryOnAnotherFrameAddsOneCaptureTransferToTheLead) {
    Start(20);
    mixers_.asioRender.MixCaptured(kCaptureBytes, 21);
    EXPECT_EQ(mixers_.asioRender.Lead(), (48 + 48 + 48) * 4);
    EXPECT_EQ(At(1, 63), 0);
    EXPECT_EQ(At(2, 32), Frame(48));  // 96 frames past the second packet's start
    mixers_.asioRender.MixCaptured(kCaptureBytes, 23);  // corrected once only
    EXPECT_EQ(mixers_.asioRender.Lead(), (48 * 4) * 4);
}

TEST_F(PacedMixerTest, AnUnprimedSourceLosesNoFrameAndItsFirstLandsWhereItsTimeIs) {
    source_.primed = false;
    mixers_.asioRender.PacketCompleted(20);
    EXPECT_TRUE(mixers_.asioRender.IsStarted());  // the run begins without the source
    mixers_.asioRender.MixCaptured(kCaptureBytes, 20);
    mixers_.asioRender.MixCaptured(kCaptureBytes, 21);
    EXPECT_EQ(source_.framesRead, 0u);  // nothing read, so nothing dropped
    for (size_t p = 1; p < 4; ++p) {
        for (ULONG f = 0; f < 64; ++f) ASSERT_EQ(At(p, f), 0);
    }
    EXPECT_EQ(mixers_.asioRender.Lead(), (48 + 96) * 4);  // the write position kept time
    source_.primed = true;
    mixers_.asioRender.MixCaptured(kCaptureBytes, 22);
    // 144 frames past the second packet's start: the fourth packet's frame 16.
    EXPECT_EQ(At(3, 15), 0);
    EXPECT_EQ(At(3, 16), Frame(0));
    EXPECT_EQ(At(3, 63), Frame(47));
}

TEST_F(PacedMixerTest, AnAttachAfterACompletionStartsAtOnceAndCorrectsForTheFramesSince) {
    mixers_.asioRender.PacketCompleted(20);
    ASSERT_TRUE(mixers_.asioRender.IsStarted());
    mixers_.asioRender.Detach();
    ASSERT_EQ(mixers_.asioRender.Attach(Layout(device_, device_)), STATUS_SUCCESS);
    EXPECT_TRUE(mixers_.asioRender.IsStarted());  // the oldest listed packet began at frame 20
    mixers_.asioRender.MixCaptured(kCaptureBytes, 22);  // two frames after it
    EXPECT_EQ(mixers_.asioRender.Lead(), (48 + 2 * 48 + 48) * 4);
    EXPECT_EQ(At(3, 15), 0);
    EXPECT_EQ(At(3, 16), Frame(0));  // 144 frames past the second packet's start
    EXPECT_EQ(source_.framesRead, 48u);
}

TEST_F(PacedMixerTest, AClearedListWaitsForTheNextCompletion) {
    mixers_.asioRender.PacketCompleted(20);
    mixers_.asioRender.ClearList();
    mixers_.asioRender.ResetLead(Layout(device_, device_));
    EXPECT_FALSE(mixers_.asioRender.IsStarted());
    mixers_.asioRender.Detach();
    ASSERT_EQ(mixers_.asioRender.Attach(Layout(device_, device_)), STATUS_SUCCESS);
    EXPECT_FALSE(mixers_.asioRender.IsStarted());  // where the listed packets begin is unknown
    mixers_.asioRender.PacketCompleted(28);
    EXPECT_TRUE(mixers_.asioRender.IsStarted());
}

TEST_F(PacedMixerTest, LeadBeyondTheListedPacketsMixesNothing) {
    vq7::PlaybackLeadOverride_frames = 1000;  // cut to 784 frames, past 3 x 64 listed
    mixers_.asioRender.ResetLead(Layout(device_, device_));
    EXPECT_EQ(mixers_.asioRender.Lead(), 784 * 4);
    Start(20);
    mixers_.asioRender.MixCaptured(kCaptureBytes, 20);
    for (size_t p = 1; p < 4; ++p) {
        for (ULONG f = 0; f < 64; ++f) ASSERT_EQ(At(p, f), 0);
    }
    EXPECT_EQ(mixers_.asioRender.Lead(), (784 + 48) * 4);
}

TEST_F(PacedMixerTest, LeadBehindPlaybackMixesNothingUntilItCatchesUp) {
    Start(20);
    mixers_.asioRender.PacketCompleted(28);  // 48 - 64 frames
    EXPECT_EQ(mixers_.asioRender.Lead(), -16 * 4);
    mixers_.asioRender.MixCaptured(kCaptureBytes, 20);
    for (size_t p = 2; p < 4; ++p) {
        for (ULONG f = 0; f < 64; ++f) ASSERT_EQ(At(p, f), 0);
    }
    EXPECT_EQ(mixers_.asioRender.Lead(), 32 * 4);
    mixers_.asioRender.MixCaptured(kCaptureBytes, 21);
    EXPECT_EQ(At(2, 32), Frame(96));
}

TEST_F(PacedMixerTest, ClearedListAndResetLeadStartAfresh) {
    Start(20);
    mixers_.asioRender.ClearList();
    mixers_.asioRender.MixCaptured(kCaptureBytes, 20);
    for (size_t p = 0; p < 4; ++p) {
        for (ULONG f = 0; f < 64; ++f) ASSERT_EQ(At(p, f), 0);
    }
    mixers_.asioRender.PacketCompleted(28);  // nothing listed: nothing retired
    EXPECT_EQ(mixers_.asioRender.Lead(), 96 * 4);
    mixers_.asioRender.SetLatencyPercent(100);
    mixers_.asioRender.ResetLead(Layout(device_, device_));
    EXPECT_FALSE(mixers_.asioRender.IsStarted());
    EXPECT_EQ(mixers_.asioRender.Lead(), 16 * 48 * 4);
    // The packets may be listed again after a clear.
    mixers_.asioRender.AttachContext(packets_[0]->Context());
    mixers_.asioRender.PacketCompleted(40);
    EXPECT_TRUE(mixers_.asioRender.IsStarted());
}

}  // namespace
