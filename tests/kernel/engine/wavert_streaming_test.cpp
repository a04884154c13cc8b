// WaveRT streams end to end: a client that behaves as a WaveRT stream
// prepares a direction through the adapter, and every frame it wrote
// reaches the simulated device in order (on a playback-only device with the
// 1 ms position timer running, on a duplex device paced by capture), every
// frame the device captured reaches the client, and a stream whose format
// the device's cannot be converted from is refused with its direction
// stopped again.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "driver_world.h"
#include "km_time.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"
#include "mixer_doubles.h"
#include "simusb/capture_stream.h"
#include "engine/render_mixer.h"
#include "simusb/ready_made_devices.h"
#include "simusb/render_stream.h"
#include "wavert_test_client.h"

namespace {

using kmtest::WaveRtTestClient;

// What the device's render record showed: frames that continue the
// client's signal from the first frame that is not silence.
struct PlayedCheck {
    uint64_t frames = 0;
    uint64_t outOfOrder = 0;
    uint64_t firstSignalFrame = 0;
    bool ended = false;
};

class WaveRtStreamingTest : public testing::Test {
protected:
    ~WaveRtStreamingTest() override {
        if (client_ != nullptr) {
            client_->Close(false);
            client_->Close(true);
            client_->Unregister();
            client_->Release();
        }
        if (adapter_ != nullptr) world_.UnplugAndWait(pdo_);
    }

    void Start(std::shared_ptr<simusb::AudioDevice> device) {
        usb_ = std::move(device);
        ASSERT_EQ(world_.Plug(usb_, &pdo_), STATUS_SUCCESS);
        adapter_ = world_.Adapter(pdo_);
        ASSERT_NE(adapter_, nullptr);
        client_ = WaveRtTestClient::Create();
        ASSERT_EQ(client_->Register(adapter_), STATUS_SUCCESS);
    }
    void Start(const char* readyMade) { Start(world_.Make(readyMade)); }

    ULONG DeviceRate() {
        ULONG rate = 0;
        EXPECT_EQ(adapter_->GetSampleRate(&rate), STATUS_SUCCESS);
        return rate;
    }
    // A client format: what the device offers for PCM at its rate.
    struct Format {
        ULONG rate;
        ULONG channels;
        ULONG bits;
        ULONG FrameBytes() const { return channels * bits / 8; }
        ULONG TenMsBytes() const { return rate / 100 * FrameBytes(); }
    };
    Format BestFormat(bool capture) {
        Format format{DeviceRate(), 0, 0};
        EXPECT_EQ(adapter_->ClassLayer().GetBestFormat(capture ? 1 : 0, 1, format.rate, &format.channels, &format.bits),
                  STATUS_SUCCESS);
        return format;
    }
    void WithDevice(const std::function<void(simusb::AudioDevice&)>& fn) {
        world_.Bus().WithDevice(pdo_, [&](simusb::Device& device) { fn(static_cast<simusb::AudioDevice&>(device)); });
    }

    // Checks each played frame against the client's signal: the first
    // frame that is not silence must be one of the signal's, each one after
    // it the next, and once silence follows (the stream ended) no signal
    // may come back. `shift` places a client sample in the device's
    // container.
    void CheckPlayed(ULONG channels, ULONG shift) {
        WithDevice([&](simusb::AudioDevice& device) {
            simusb::FrameRecord& played = device.FirstRender()->Played();
            played.KeepSamples(false);
            played.SetChecker([this, channels, shift](uint64_t, std::span<const int32_t> frame) {
                auto sample = [&](uint64_t k, ULONG c) {
                    return static_cast<int32_t>(static_cast<uint32_t>(client_->signal(k, c)) << shift);
                };
                const bool silent = std::all_of(frame.begin(), frame.end(), [](int32_t v) { return v == 0; });
                if (silent) {
                    check_.ended = check_.frames > 0;
                    return;
                }
                if (check_.frames == 0) {
                    // The signal's frames are distinct: find which one this is.
                    for (uint64_t k = 0; k < 1u << 16; ++k) {
                        if (sample(k, 0) == frame[0] && sample(k, 1) == frame[1]) {
                            check_.firstSignalFrame = k;
                            break;
                        }
                    }
                }
                const uint64_t k = check_.firstSignalFrame + check_.frames;
                bool match = !check_.ended;
                for (ULONG c = 0; c < channels && c < frame.size(); ++c) match = match && frame[c] == sample(k, c);
                check_.outOfOrder += match ? 0 : 1;
                check_.frames += 1;
            });
        });
    }
    void StopChecking() {
        WithDevice([](simusb::AudioDevice& device) { device.FirstRender()->Played().SetChecker(nullptr); });
    }

    kerneltest::DriverWorld world_;
    std::shared_ptr<simusb::AudioDevice> usb_;
    PDEVICE_OBJECT pdo_ = nullptr;
    CUSBAudioAdapter* adapter_ = nullptr;
    WaveRtTestClient* client_ = nullptr;
    PlayedCheck check_;
};

TEST_F(WaveRtStreamingTest, PlaybackOnlyDevicePlaysEveryClientFrameInOrder) {
    Start("uac2-async-dac");
    ASSERT_TRUE(adapter_->PlaybackOnly());
    const ULONG tickBefore = kmsim::ClockTick_hns();
    CheckPlayed(2, 0);
    ASSERT_EQ(client_->Open(false, 16, 2, 48000, 480 * 4 * 4), STATUS_SUCCESS);  // 40 ms buffer
    EXPECT_TRUE(adapter_->WaveRtPositionTimerArmed());
    EXPECT_LE(kmsim::ClockTick_hns(), 10000u);
    EXPECT_EQ(adapter_->Mixers().waveRtRender.LatencyPercent(), 40u);
    kmtest::SleepMs(500);
    EXPECT_GT(client_->Snapshot(false).queries, 400u);  // the 1 ms poll
    client_->Close(false);
    StopChecking();
    EXPECT_FALSE(adapter_->WaveRtPositionTimerArmed());
    EXPECT_EQ(kmsim::ClockTick_hns(), tickBefore);
    EXPECT_EQ(adapter_->DirectionUseCount(false), 0);
    EXPECT_EQ(check_.firstSignalFrame, 0u);  // nothing the client wrote was lost at the start
    EXPECT_GT(check_.frames, 48000u * 4 / 10);
    EXPECT_EQ(check_.outOfOrder, 0u);
    EXPECT_GE(client_->RenderFramesConsumed(), check_.frames);
    EXPECT_GT(client_->Snapshot(false).wraps, 10u);
}

TEST_F(WaveRtStreamingTest, UnplugWhileStreamingEndsTheTimerAndReturnsEverySpan) {
    Start("uac2-async-dac");
    const ULONG tickBefore = kmsim::ClockTick_hns();
    ASSERT_EQ(client_->Open(false, 16, 2, 48000, 480 * 4), STATUS_SUCCESS);
    kmtest::SleepMs(50);
    ASSERT_TRUE(adapter_->WaveRtPositionTimerArmed());
    // Spans the stream queued that nothing will consume any more.
    client_->TransferData(FALSE, 480 * 4);
    world_.UnplugAndWait(pdo_);
    adapter_ = nullptr;
    client_->AdapterGone();
    EXPECT_EQ(kmsim::ClockTick_hns(), tickBefore);
    EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("USBA")), 0u);
}

TEST_F(WaveRtStreamingTest, DuplexDeviceMixesTheClientAheadOfPlaybackAsCaptureArrives) {
    Start("q7-0b31");
    const Format format = BestFormat(false);
    const ULONG rate = format.rate;
    // Samples above the low byte, which a 24-bit device does not keep.
    client_->signal = [](uint64_t frame, ULONG channel) {
        return static_cast<int32_t>(((frame * 8 + channel + 1) * 97 & 0x7FFF) << 16);
    };
    CheckPlayed(format.channels, 32 - format.bits);
    ASSERT_EQ(client_->Open(false, format.bits, format.channels, rate, format.TenMsBytes()), STATUS_SUCCESS);
    EXPECT_FALSE(adapter_->WaveRtPositionTimerArmed());
    EXPECT_TRUE(adapter_->Mixers().waveRtRender.IsCapturePaced());
    kmtest::SleepMs(500);
    client_->Close(false);
    StopChecking();
    EXPECT_EQ(client_->Snapshot(false).queries, 0u);
    EXPECT_GT(check_.frames, static_cast<uint64_t>(rate) * 4 / 10);
    EXPECT_EQ(check_.outOfOrder, 0u);
    EXPECT_EQ(adapter_->DirectionUseCount(false), 0);
}

TEST_F(WaveRtStreamingTest, EveryCapturedFrameReachesTheClient) {
    Start("q7-0b31");
    const Format format = BestFormat(true);
    const ULONG rate = format.rate;
    const ULONG channels = format.channels;
    const ULONG bits = format.bits;
    const ULONG frameBytes = format.FrameBytes();
    WithDevice([](simusb::AudioDevice& device) { device.FirstCapture()->Sent().KeepSamples(true); });
    ASSERT_EQ(client_->Open(true, bits, channels, rate, format.TenMsBytes() + 2), STATUS_SUCCESS);
    kmtest::SleepMs(300);
    client_->Close(true);
    std::vector<int32_t> sent;
    WithDevice([&](simusb::AudioDevice& device) { sent = device.FirstCapture()->Sent().Samples(); });
    const std::vector<UCHAR>& captured = client_->Captured();
    const size_t samples = captured.size() / (bits / 8);
    ASSERT_GT(samples, static_cast<size_t>(rate) * channels / 5);
    ASSERT_EQ(captured.size() % frameBytes, 0u);
    auto clientSample = [&](size_t i) { return kerneltest::SampleAt(captured.data() + i * (bits / 8), bits); };
    // The client's first frame is one the device sent; all that follow are
    // the ones the device sent after it.
    size_t first = 0;
    while (first < sent.size() && sent[first] != clientSample(0)) first += channels;
    ASSERT_LT(first + samples, sent.size() + 1);
    size_t mismatches = 0;
    for (size_t i = 0; i < samples; ++i) mismatches += sent[first + i] != clientSample(i);
    EXPECT_EQ(mismatches, 0u);
}

// A ready-made device's description, for a test to vary.
simusb::AudioDescription Describe(std::string_view name) {
    for (const simusb::ReadyMadeDevice& device : simusb::ReadyMadeDevices()) {
        if (device.name == name) return device.describe();
    }
    ADD_FAILURE() << "no device " << name;
    return {};
}

TEST_F(WaveRtStreamingTest, SixteenBitClientPlaysOnAPackedTwentyFourBitDeviceTimes256) {
    // A duplex device whose best render format is packed 24-bit; the client
    // streams one of its other formats, 16-bit.
    simusb::AudioDescription description = Describe("uac2-implicit-duplex");
    description.streams[0].formats = {simusb::desc::Format{2, 3, 24, simusb::uac::kFormatPcm},
                                      simusb::desc::Format{2, 2, 16, simusb::uac::kFormatPcm}};
    Start(world_.Make(description));
    const ULONG rate = DeviceRate();
    CheckPlayed(2, 8);
    ASSERT_EQ(client_->Open(false, 16, 2, rate, rate / 100 * 4), STATUS_SUCCESS);
    EXPECT_EQ(adapter_->StreamLayout().render.bitsPerSample, 24u);
    kmtest::SleepMs(300);
    client_->Close(false);
    StopChecking();
    EXPECT_GT(check_.frames, static_cast<uint64_t>(rate) / 5);
    EXPECT_EQ(check_.outOfOrder, 0u);
}

TEST_F(WaveRtStreamingTest, WaveRtAndSecondClientSumAndSaturateInTheSamePackets) {
    Start("uac1-duplex");  // 16-bit stereo both ways, class 1.0
    const ULONG rate = DeviceRate();
    // Each alone fits; their sum (40000) does not.
    client_->signal = [](uint64_t, ULONG) { return 20000; };
    ASSERT_EQ(client_->Open(false, 16, 2, rate, rate / 50 * 4), STATUS_SUCCESS);
    // The other client kind reads a full-scale source of the device's format.
    kerneltest::CountingSource second(kerneltest::Pcm(16, 2, rate), true);
    second.useConstant = true;
    second.constant = 20000;
    vq7::RenderMixer& asio = adapter_->Mixers().asioRender;
    asio.Bind(&second);
    ASSERT_EQ(asio.Attach(adapter_->StreamLayout()), STATUS_SUCCESS);
    uint64_t full = 0;
    uint64_t wrapped = 0;
    uint64_t single = 0;
    WithDevice([&](simusb::AudioDevice& device) {
        device.FirstRender()->Played().KeepSamples(false);
        device.FirstRender()->Played().SetChecker([&](uint64_t, std::span<const int32_t> frame) {
            for (int32_t sample : frame) {
                full += sample == 32767;
                wrapped += sample < 0;
                single += sample == 20000;
            }
        });
    });
    kmtest::SleepMs(300);
    WithDevice([](simusb::AudioDevice& device) { device.FirstRender()->Played().SetChecker(nullptr); });
    asio.Detach();
    client_->Close(false);
    EXPECT_GT(full, static_cast<uint64_t>(rate) / 5 * 2);
    EXPECT_EQ(wrapped, 0u);
    EXPECT_LT(single, full / 10);  // only while one of them had not started yet
}

TEST_F(WaveRtStreamingTest, StreamTheDeviceFormatCannotTakeIsRefusedAndItsDirectionStopped) {
    // A duplex device that also offers float, which the engine then opens.
    simusb::AudioDescription description = Describe("uac2-implicit-duplex");
    description.streams[0].formats.push_back(simusb::desc::Format{2, 4, 32, simusb::uac::kFormatIeeeFloat});
    Start(world_.Make(description));
    const Format format = BestFormat(false);
    EXPECT_EQ(client_->Open(false, format.bits, format.channels, format.rate, format.TenMsBytes()), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(adapter_->DirectionUseCount(false), 0);
    EXPECT_EQ(adapter_->DirectionUseCount(true), 0);
    EXPECT_FALSE(adapter_->Mixers().waveRtRender.IsAttached());
    EXPECT_EQ(adapter_->ClassLayer().GetCurrentAlternate(0), 0);
    WithDevice([](simusb::AudioDevice& device) { EXPECT_FALSE(device.FirstRender()->Running()); });
}

}  // namespace
