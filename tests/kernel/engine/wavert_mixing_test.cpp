// The WaveRT side of mixing against a client that behaves as a WaveRT
// stream does: span lists, the render source (spans walked in order across
// the buffer's wrap, silence behind the read, spans freed, a short list,
// a stream that is not running), the 1 ms position timer of a render-paced
// device, the capture sink's conversion into the client's spans, and the
// capture mixer's attach and delivery.

#include <gtest/gtest.h>

#include <vector>

#include "engine/capture_mixer.h"
#include "engine/engine_state.h"
#include "engine/render_mixer.h"
#include "engine/span_list.h"
#include "engine/wavert_capture_sink.h"
#include "engine/wavert_render_source.h"
#include "km_time.h"
#include "kmsim/simulation.h"
#include "mixer_doubles.h"
#include "wavert_test_client.h"

namespace {

using kerneltest::Layout;
using kerneltest::Pcm;
using kerneltest::SampleAt;
using kmtest::WaveRtTestClient;

// The adapter's part for the source and sink: the registered client.
class ClientLink : public vq7::MiniportLink {
public:
    explicit ClientLink(WaveRtTestClient* client) : client_(client) {}
    virtual ~ClientLink() = default;
    IMiniportEngineSink* ReferenceMiniport() override {
        if (client_ != nullptr) client_->AddRef();
        return client_;
    }
    WaveRtTestClient* client_;
};

vq7::DirectionFormat ClientFormat(ULONG bits, ULONG channels, ULONG rate = 48000) {
    return vq7::DirectionFormat{1, channels, bits, rate, channels * bits / 8};
}

class WaveRtMixingTest : public testing::Test {
protected:
    WaveRtMixingTest() {
        engine_.Initialize();
        client_ = WaveRtTestClient::Create();
        link_.client_ = client_;
        client_->queueSpan = [this](bool capture, PVOID address, LONG length) {
            if (dropSecondSpan_ && address == client_->Buffer(capture).data()) return;
            (capture ? captureSpans_ : renderSpans_).Append(address, length);
        };
    }
    ~WaveRtMixingTest() override {
        renderSpans_.Flush();
        captureSpans_.Flush();
        client_->Release();
    }
    // The render signal's sample `channel` of `frame` as the client wrote it.
    int32_t Signal(uint64_t frame, ULONG channel) const {
        return static_cast<int16_t>(client_->signal(frame, channel));
    }

    kmsim::Simulation sim_;
    vq7::EngineState engine_;
    vq7::SpanList renderSpans_{engine_.SpanLookaside()};
    vq7::SpanList captureSpans_{engine_.SpanLookaside()};
    WaveRtTestClient* client_ = nullptr;
    ClientLink link_{nullptr};
    bool dropSecondSpan_ = false;
    const vq7::DirectionFormat stereo16_ = ClientFormat(16, 2);
    vq7::WaveRtRenderSource source_{link_, renderSpans_, stereo16_};
};

TEST_F(WaveRtMixingTest, SpanListConsumesInOrderAndFreesUsedSpans) {
    UCHAR a[10] = {};
    UCHAR b[6] = {};
    renderSpans_.Append(a, 10);
    renderSpans_.Append(b, 0);  // empty spans are not kept
    renderSpans_.Append(b, 6);
    std::vector<std::pair<UCHAR*, ULONG>> pieces;
    auto record = [&](UCHAR* at, ULONG length) { pieces.emplace_back(at, length); };
    EXPECT_EQ(renderSpans_.Consume(4, record), 4u);
    EXPECT_EQ(renderSpans_.Consume(9, record), 9u);
    EXPECT_FALSE(renderSpans_.IsEmpty());
    EXPECT_EQ(renderSpans_.Consume(100, record), 3u);
    EXPECT_TRUE(renderSpans_.IsEmpty());
    const std::vector<std::pair<UCHAR*, ULONG>> expected = {{a, 4}, {a + 4, 6}, {b, 3}, {b + 3, 3}};
    EXPECT_EQ(pieces, expected);
    renderSpans_.Append(a, 10);
    renderSpans_.Flush();
    EXPECT_TRUE(renderSpans_.IsEmpty());
    EXPECT_EQ(renderSpans_.Consume(10, record), 0u);
}

TEST_F(WaveRtMixingTest, RenderSourceReadsTheStreamInOrderAcrossTheWrap) {
    client_->SetUp(false, 16, 2, 1000);  // 250 frames
    client_->SetRunning(false, true);
    std::vector<UCHAR> out(300 * 4);
    EXPECT_EQ(source_.Read(out.data(), 200), 200u);
    EXPECT_EQ(source_.Read(out.data() + 800, 100), 100u);  // spans at 800 and at 0
    for (ULONG f = 0; f < 300; ++f) {
        ASSERT_EQ(SampleAt(out.data() + f * 4, 16), Signal(f, 0)) << f;
        ASSERT_EQ(SampleAt(out.data() + f * 4 + 2, 16), Signal(f, 1)) << f;
    }
    EXPECT_EQ(client_->Snapshot(false).position, 200u);
    EXPECT_EQ(client_->Snapshot(false).wraps, 1u);
    EXPECT_EQ(client_->Snapshot(false).halves, 1u);
    EXPECT_TRUE(renderSpans_.IsEmpty());
    EXPECT_EQ(client_->Snapshot(false).inside, 0);
}

TEST_F(WaveRtMixingTest, RenderSourceLeavesSilenceBehindItsRead) {
    client_->refillRender = false;
    client_->SetUp(false, 16, 2, 400);
    client_->SetRunning(false, true);
    std::vector<UCHAR> out(40 * 4);
    source_.Read(out.data(), 40);
    const std::vector<UCHAR>& buffer = client_->Buffer(false);
    for (size_t i = 0; i < 160; ++i) ASSERT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(SampleAt(buffer.data() + 160, 16), Signal(40, 0));  // not yet read
}

TEST_F(WaveRtMixingTest, RenderSourceGivesWhatTheSpansHeldAndSilenceForTheRest) {
    client_->SetUp(false, 16, 2, 400);  // 100 frames
    client_->SetRunning(false, true);
    std::vector<UCHAR> out(80 * 4, 0xEE);
    source_.Read(out.data(), 80);
    dropSecondSpan_ = true;  // the wrapped part never reaches the list
    EXPECT_EQ(source_.Read(out.data(), 40), 40u);
    for (ULONG f = 0; f < 20; ++f) ASSERT_EQ(SampleAt(out.data() + f * 4, 16), Signal(80 + f, 0));
    for (ULONG i = 20 * 4; i < 40 * 4; ++i) ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(client_->Snapshot(false).position, 0u);  // advanced by the 20 frames copied
    EXPECT_EQ(client_->RenderFramesConsumed(), 100u);
}

TEST_F(WaveRtMixingTest, RenderSourceOfAStoppedOrMissingStreamIsSilence) {
    link_.client_ = nullptr;
    std::vector<UCHAR> out(16 * 4, 0xEE);
    EXPECT_EQ(source_.Read(out.data(), 16), 16u);  // no miniport registered
    for (UCHAR byte : out) ASSERT_EQ(byte, 0);
    link_.client_ = client_;
    client_->SetUp(false, 16, 2, 400);
    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(source_.Read(out.data(), 16), 16u);  // not running
    for (UCHAR byte : out) ASSERT_EQ(byte, 0);
    EXPECT_EQ(client_->Snapshot(false).position, 0u);
    EXPECT_TRUE(renderSpans_.IsEmpty());
}

TEST_F(WaveRtMixingTest, RenderPacedDeviceRunsTheOneMillisecondPositionTimer) {
    client_->SetUp(false, 16, 2, 4000);
    const ULONG tickBefore = kmsim::ClockTick_hns();
    vq7::RenderMixer mixer(&vq7::TransferContext::waveRtMixerLink);
    mixer.Bind(&source_);
    source_.SetCapturePaced(false);  // playback only
    ASSERT_EQ(mixer.Attach(Layout(Pcm(16, 2), Pcm(16, 0))), STATUS_SUCCESS);
    EXPECT_TRUE(source_.PositionTimerArmed());
    EXPECT_LE(kmsim::ClockTick_hns(), 10000u);  // at least as fine as the period
    kmtest::SleepMs(20);
    EXPECT_GE(client_->Snapshot(false).queries, 18u);
    EXPECT_LE(client_->Snapshot(false).queries, 21u);
    EXPECT_EQ(client_->Snapshot(false).position, 0u);  // polling moves nothing
    mixer.Detach();
    const ULONG polled = client_->Snapshot(false).queries;  // a poll already due may still have run
    EXPECT_FALSE(source_.PositionTimerArmed());
    EXPECT_EQ(kmsim::ClockTick_hns(), tickBefore);
    kmtest::SleepMs(10);
    EXPECT_EQ(client_->Snapshot(false).queries, polled);

    source_.SetCapturePaced(true);  // a device that captures paces the mixer itself
    ASSERT_EQ(mixer.Attach(Layout(Pcm(16, 2), Pcm(16, 2))), STATUS_SUCCESS);
    EXPECT_FALSE(source_.PositionTimerArmed());
    EXPECT_EQ(kmsim::ClockTick_hns(), tickBefore);
    kmtest::SleepMs(10);
    EXPECT_EQ(client_->Snapshot(false).queries, polled);
    mixer.Detach();
}

// 24-bit device frames for the capture tests: sample c of frame k.
std::vector<UCHAR> DeviceFrames(ULONG first, ULONG frames, ULONG channels) {
    std::vector<UCHAR> data(frames * channels * 3);
    for (ULONG f = 0; f < frames; ++f) {
        for (ULONG c = 0; c < channels; ++c) {
            kerneltest::PutSample(data.data() + (f * channels + c) * 3, 24,
                                  static_cast<int32_t>(((first + f) * 4 + c) * 4099) - 0x400000);
        }
    }
    return data;
}

TEST_F(WaveRtMixingTest, CaptureSinkConvertsIntoTheSpansAcrossTheWrap) {
    vq7::WaveRtCaptureSink sink(link_, captureSpans_, stereo16_);
    ASSERT_EQ(sink.Configure(Pcm(24, 2), 48), STATUS_SUCCESS);
    client_->SetUp(true, 16, 2, 1002);  // a frame is cut by the wrap
    client_->SetRunning(true, true);
    const ULONG kFrames = 100;
    for (ULONG round = 0; round < 6; ++round) {
        std::vector<UCHAR> device = DeviceFrames(round * kFrames, kFrames, 2);
        EXPECT_EQ(sink.Write(device.data(), kFrames), kFrames);
    }
    const std::vector<UCHAR>& captured = client_->Captured();
    ASSERT_EQ(captured.size(), 6u * kFrames * 4);
    std::vector<UCHAR> all = DeviceFrames(0, 6 * kFrames, 2);
    for (ULONG s = 0; s < 6 * kFrames * 2; ++s) {
        ASSERT_EQ(SampleAt(captured.data() + s * 2, 16), SampleAt(all.data() + s * 3, 24) >> 8) << s;
    }
    EXPECT_TRUE(captureSpans_.IsEmpty());
    EXPECT_EQ(client_->Snapshot(true).position, (6 * kFrames * 4) % 1002);
}

TEST_F(WaveRtMixingTest, CaptureSinkZeroesChannelsTheDeviceLacks) {
    const vq7::DirectionFormat format = ClientFormat(16, 4);
    vq7::WaveRtCaptureSink sink(link_, captureSpans_, format);
    ASSERT_EQ(sink.Configure(Pcm(24, 2), 48), STATUS_SUCCESS);
    client_->SetUp(true, 16, 4, 808);  // two frames cut by the wrap over the rounds
    client_->SetRunning(true, true);
    for (ULONG round = 0; round < 3; ++round) {
        std::vector<UCHAR> device = DeviceFrames(round * 50, 50, 2);
        sink.Write(device.data(), 50);
    }
    const std::vector<UCHAR>& captured = client_->Captured();
    ASSERT_EQ(captured.size(), 150u * 8);
    std::vector<UCHAR> all = DeviceFrames(0, 150, 2);
    for (ULONG f = 0; f < 150; ++f) {
        ASSERT_EQ(SampleAt(captured.data() + f * 8, 16), SampleAt(all.data() + f * 6, 24) >> 8) << f;
        ASSERT_EQ(SampleAt(captured.data() + f * 8 + 2, 16), SampleAt(all.data() + f * 6 + 3, 24) >> 8) << f;
        ASSERT_EQ(SampleAt(captured.data() + f * 8 + 4, 16), 0) << f;
        ASSERT_EQ(SampleAt(captured.data() + f * 8 + 6, 16), 0) << f;
    }
}

TEST_F(WaveRtMixingTest, CaptureSinkDropsFramesWhileTheStreamIsNotRunning) {
    vq7::WaveRtCaptureSink sink(link_, captureSpans_, stereo16_);
    std::vector<UCHAR> device = DeviceFrames(0, 10, 2);
    EXPECT_EQ(sink.Write(device.data(), 10), 10u);  // not configured yet
    ASSERT_EQ(sink.Configure(Pcm(24, 2), 48), STATUS_SUCCESS);
    client_->SetUp(true, 16, 2, 400);
    EXPECT_EQ(sink.Write(device.data(), 10), 10u);
    EXPECT_TRUE(client_->Captured().empty());
    EXPECT_EQ(client_->Snapshot(true).position, 0u);
    EXPECT_TRUE(captureSpans_.IsEmpty());
    // A float device cannot feed an integer client.
    EXPECT_EQ(sink.Configure(kerneltest::Float(2), 48), STATUS_NOT_SUPPORTED);
}

TEST_F(WaveRtMixingTest, CaptureMixerConfiguresItsSinkAndDeliversOnlyWhileAttached) {
    kerneltest::RecordingSink sink(Pcm(16, 2));
    vq7::CaptureMixer mixer;
    mixer.Bind(&sink);
    const UCHAR frames[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    mixer.Deliver(frames, 2);
    EXPECT_TRUE(sink.received.empty());
    sink.configureStatus = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(mixer.Attach(Layout(Pcm(16, 2), Pcm(24, 2))), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(mixer.IsAttached());
    sink.configureStatus = STATUS_SUCCESS;
    ASSERT_EQ(mixer.Attach(Layout(Pcm(16, 2), Pcm(16, 2, 96000))), STATUS_SUCCESS);
    EXPECT_TRUE(mixer.IsAttached());
    EXPECT_EQ(sink.configuredFrames, 96u);  // one capture transfer
    EXPECT_EQ(sink.configuredFormat.sampleRate, 96000u);
    mixer.Deliver(frames, 2);
    EXPECT_EQ(sink.received, std::vector<UCHAR>(frames, frames + 8));
    mixer.Detach();
    mixer.Detach();
    EXPECT_EQ(sink.unconfigures, 1);
    mixer.Deliver(frames, 2);
    EXPECT_EQ(sink.received.size(), 8u);
}

}  // namespace
