// System audio and an ASIO client on the Q7 at once: the render direction
// shared (the device plays the saturating sum of both), the capture data
// shared (both receive the device's frames unchanged), the exclusive ASIO
// formats (float, DSD) and the engine's streams keeping each other out, and
// an unplug while both stream failing both cleanly.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "asio_duplex_client.h"
#include "engine_world.h"
#include "km_time.h"
#include "kmsim/portcls.h"
#include "kmsim/verifier.h"
#include "simusb/render_stream.h"

namespace {

using audioengine::EngineStream;
using audioengine::StreamOptions;

class EngineSharingTest : public enginetest::EngineQ7Test {
protected:
    void OpenAsio() {
        asio_ = std::make_unique<asiotest::ChannelClient>(world_, device_.pdo);
        ASSERT_EQ(asio_->Open(), STATUS_SUCCESS);
        ASSERT_EQ(asio_->Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    }
    // A render stream whose every sample is `value` of a 32-bit full scale,
    // given to the stream at its own width.
    EngineStream* ConstantRender(int32_t value) {
        audioengine::PinFormat format = {};
        EXPECT_EQ(engine_->ChooseFormat(false, 0, &format), STATUS_SUCCESS);
        StreamOptions options;
        const ULONG bytes = format.Bits() / 8;
        const uint32_t code = static_cast<uint32_t>(value) >> (32 - format.Bits());
        options.source = [code, bytes, n = format.Channels()](uint64_t, uint8_t* out, ULONG frames) {
            for (ULONG i = 0; i < frames * n; ++i) {
                for (ULONG b = 0; b < bytes; ++b) out[i * bytes + b] = static_cast<uint8_t>(code >> (8 * b));
            }
        };
        EngineStream* stream = nullptr;
        EXPECT_EQ(engine_->OpenStream(false, format, options, &stream), STATUS_SUCCESS);
        return stream;
    }
    // Counts the values the device plays on its first channel.
    void WatchPlayed() {
        world_.Bus().WithDevice(device_.pdo, [&](simusb::Device& device) {
            auto& record = static_cast<simusb::AudioDevice&>(device).FirstRender()->Played();
            record.KeepSamples(false);
            record.SetChecker([this](uint64_t, std::span<const int32_t> frame) {
                std::lock_guard<std::mutex> guard(lock_);
                ++played_[frame[0]];
            });
        });
    }
    // The values played most often, for a failure's message.
    std::string PlayedValues() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::pair<uint64_t, int32_t>> counts;
        for (const auto& [value, count] : played_) counts.emplace_back(count, value);
        std::sort(counts.rbegin(), counts.rend());
        std::string text = "; played most:";
        for (size_t i = 0; i < counts.size() && i < 4; ++i) {
            char line[48];
            std::snprintf(line, sizeof line, " 0x%08x x%llu", static_cast<uint32_t>(counts[i].second),
                          static_cast<unsigned long long>(counts[i].first));
            text += line;
        }
        return text;
    }
    uint64_t PlayedCount(int32_t value) {
        std::lock_guard<std::mutex> guard(lock_);
        return played_.count(value) != 0 ? played_[value] : 0;
    }
    void TearDown() override {
        asio_.reset();  // a handle left open would hold the removal up
        if (!unplugged_) {
            world_.Bus().WithDevice(device_.pdo, [](simusb::Device& device) {
                static_cast<simusb::AudioDevice&>(device).FirstRender()->Played().SetChecker(nullptr);
            });
        }
        EngineQ7Test::TearDown();
    }

    std::unique_ptr<asiotest::ChannelClient> asio_;
    std::mutex lock_;
    std::map<int32_t, uint64_t> played_;
};

// Small values add exactly; large ones clip at full scale (the Q7 plays
// 32-bit samples) rather than wrap.
TEST_F(EngineSharingTest, TheDevicePlaysTheSaturatingSumOfTheEngineAndTheAsioClient) {
    struct Case {
        int32_t engine, asio, played;
    };
    const Case cases[] = {{0x10000000, 0x20000000, 0x30000000}, {0x60000000, 0x60000000, 0x7FFFFFFF}};
    for (const Case& c : cases) {
        played_.clear();
        WatchPlayed();
        enginetest::StreamingAsio asio(world_, device_.pdo);
        asio.Client().outputSample = [&c](uint64_t) { return c.asio; };
        ASSERT_EQ(asio.Start(), STATUS_SUCCESS);
        EngineStream* render = ConstantRender(c.engine);
        ASSERT_NE(render, nullptr);
        ASSERT_EQ(render->Run(), STATUS_SUCCESS);
        asio.RunFor(300'000'000);
        EXPECT_GT(PlayedCount(c.played), 48000u / 5) << std::hex << c.played << PlayedValues();
        EXPECT_EQ(render->Stats().glitches, 0u);
        EXPECT_EQ(engine_->CloseStream(render), STATUS_SUCCESS);
        EXPECT_EQ(asio.Client().figures.failure, STATUS_SUCCESS);
        asio.Stop();
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& [value, count] : played_) EXPECT_GE(value, 0) << std::hex << value << " x" << count;
    }
}

// Both clients of the capture direction get the device's frames: the
// engine's bit-exact and in order, the ASIO client's continuous.
TEST_F(EngineSharingTest, TheEngineAndTheAsioClientReceiveTheSameCaptureData) {
    enginetest::StreamingAsio asio(world_, device_.pdo);
    ASSERT_EQ(asio.Start(), STATUS_SUCCESS);
    asiotest::DuplexClient& client = asio.Client();
    enginetest::CaptureCheck check(world_, device_.pdo);
    audioengine::PinFormat format = {};
    ASSERT_EQ(engine_->ChooseFormat(true, 0, &format), STATUS_SUCCESS);
    StreamOptions options;
    options.sink = check.Sink(format);
    EngineStream* capture = nullptr;
    ASSERT_EQ(engine_->OpenStream(true, format, options, &capture), STATUS_SUCCESS);
    check.SetShift(DeviceBits(true) - format.Bits());
    ASSERT_EQ(capture->Run(), STATUS_SUCCESS);
    client.RunUntil(kmsim::NowNs() + 500'000'000);
    EXPECT_EQ(engine_->CloseStream(capture), STATUS_SUCCESS);
    EXPECT_TRUE(check.Found());
    EXPECT_GT(check.Read(), 48000u * 4 / 10);
    EXPECT_EQ(check.Wrong(), 0u);
    EXPECT_GT(client.figures.framesIn, 48000u * 4 / 10);
    EXPECT_EQ(client.figures.inputDiscontinuities, 0u);
    asio.Stop();
}

// A float or DSD ASIO stream needs the device alone: the engine's pin is
// refused while a DSD stream runs, and a DSD or float stream is refused
// while the engine plays (the Q7 has no float setting: alone, a float
// PREPARE gets as far as finding none); a PCM stream shares.
TEST_F(EngineSharingTest, ExclusiveAsioStreamsAndTheEnginesStreamsKeepEachOtherOut) {
    ASSERT_EQ(ChangeRate(88200), STATUS_SUCCESS);  // DSD64's word rate
    OpenAsio();
    const ASIO_PREPARE_PARAMS dsd = asiotest::Params(256, false, true, ASIO_FORMAT_TAG_PCM, ASIO_DSD_MODE_DSD);
    const ASIO_PREPARE_PARAMS floating = asiotest::Params(256, true, true, ASIO_FORMAT_TAG_IEEE_FLOAT);
    ASSERT_EQ(asio_->Prepare(dsd), STATUS_SUCCESS);
    ASSERT_EQ(asio_->Send(IOCTL_ASIO_START).status, STATUS_SUCCESS);
    EngineStream* refused = nullptr;
    EXPECT_EQ(engine_->OpenStream(false, 0, StreamOptions{}, &refused), STATUS_DEVICE_BUSY);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(asio_->Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    EXPECT_EQ(asio_->Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    EXPECT_EQ(asio_->Prepare(floating), STATUS_NO_MATCH);

    EngineStream* render = nullptr;
    ASSERT_EQ(engine_->OpenStream(false, 0, StreamOptions{}, &render), STATUS_SUCCESS);
    ASSERT_EQ(render->Run(), STATUS_SUCCESS);
    EXPECT_EQ(asio_->Prepare(dsd), STATUS_DEVICE_BUSY);
    EXPECT_EQ(asio_->Prepare(floating), STATUS_DEVICE_BUSY);
    EXPECT_EQ(asio_->Prepare(asiotest::Params(64, true, true)), STATUS_SUCCESS);
    EXPECT_EQ(asio_->Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    EXPECT_EQ(engine_->CloseStream(render), STATUS_SUCCESS);
    EXPECT_EQ(asio_->Close(), STATUS_SUCCESS);
}

// A playback-only DAC has one user per direction: a running float ASIO
// stream keeps the engine's pin out, and the engine's stream keeps a new
// ASIO stream out.
class EngineSharingDac : public testing::Test {
protected:
    void SetUp() override {
        const auto filters = audioengine::FindAudioFilters("vq7audio", world_.Pnp().InstancePath(dac_.pdo));
        ASSERT_FALSE(filters.empty());
        ASSERT_EQ(engine_.OpenFilter(filters.front()), STATUS_SUCCESS);
        ASSERT_EQ(asio_.Open(), STATUS_SUCCESS);
        ASSERT_EQ(asio_.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 48000), STATUS_SUCCESS);  // it has no fixed rate
    }
    void TearDown() override {
        engine_.CloseFilter();
        asio_.Close();
        world_.UnplugAndWait(dac_.pdo);
    }
    kerneltest::DriverWorld world_;
    kerneltest::PluggedDevice dac_ = world_.Start("uac2-async-dac");
    audioengine::AudioEngine engine_;
    asiotest::ChannelClient asio_{world_, dac_.pdo};
    const ASIO_PREPARE_PARAMS floating_ = asiotest::Params(256, false, true, ASIO_FORMAT_TAG_IEEE_FLOAT);
};

TEST_F(EngineSharingDac, ARunningAsioStreamKeepsTheEnginesPinOut) {
    ASSERT_EQ(asio_.OpenPrepareStart(floating_), STATUS_SUCCESS);
    EngineStream* refused = nullptr;
    EXPECT_EQ(engine_.OpenStream(false, 48000, StreamOptions{}, &refused), STATUS_DEVICE_BUSY);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(asio_.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    EXPECT_EQ(asio_.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
}

TEST_F(EngineSharingDac, APlayingEngineKeepsAnAsioStreamOut) {
    EngineStream* render = nullptr;
    ASSERT_EQ(engine_.OpenStream(false, 48000, StreamOptions{}, &render), STATUS_SUCCESS);
    ASSERT_EQ(render->Run(), STATUS_SUCCESS);
    EXPECT_EQ(asio_.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    EXPECT_EQ(asio_.Prepare(floating_), STATUS_DEVICE_BUSY);
    kmtest::SleepMs(20);
    EXPECT_EQ(render->Stats().glitches, 0u);
    EXPECT_EQ(engine_.CloseStream(render), STATUS_SUCCESS);
}

// A DAC has no rate of its own: while an ASIO client owns the channel, the
// rate is the client's to choose, so the engine's pin is refused even with
// the ASIO stream unprepared; once the client lets the channel go, the pin
// opens in the same format it would have had before.
TEST_F(EngineSharingDac, TheEnginesPinOpensOnceTheAsioClientLetsTheChannelGo) {
    audioengine::PinFormat format = {};
    ASSERT_EQ(engine_.ChooseFormat(false, 48000, &format), STATUS_SUCCESS);
    ASSERT_EQ(asio_.OpenPrepareStart(floating_), STATUS_SUCCESS);
    EXPECT_EQ(asio_.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    EXPECT_EQ(asio_.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    EngineStream* refused = nullptr;
    EXPECT_EQ(engine_.OpenStream(false, format, StreamOptions{}, &refused), STATUS_NO_MATCH);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(asio_.Send(IOCTL_ASIO_CLOSE).status, STATUS_SUCCESS);
    EngineStream* after = nullptr;
    ASSERT_EQ(engine_.OpenStream(false, format, StreamOptions{}, &after), STATUS_SUCCESS);
    ASSERT_EQ(after->Run(), STATUS_SUCCESS);
    kmtest::SleepMs(20);
    EXPECT_EQ(after->Stats().glitches, 0u);
    EXPECT_EQ(engine_.CloseStream(after), STATUS_SUCCESS);
}

TEST_F(EngineSharingTest, UnplugWhileTheEngineAndAnAsioClientStreamFailsBothCleanly) {
    enginetest::StreamingAsio asio(world_, device_.pdo);
    ASSERT_EQ(asio.Start(), STATUS_SUCCESS);
    asiotest::DuplexClient& client = asio.Client();
    EngineStream* render = nullptr;
    EngineStream* capture = nullptr;
    ASSERT_EQ(engine_->OpenStream(false, 0, StreamOptions{}, &render), STATUS_SUCCESS);
    ASSERT_EQ(engine_->OpenStream(true, 0, StreamOptions{}, &capture), STATUS_SUCCESS);
    ASSERT_EQ(render->Run(), STATUS_SUCCESS);
    ASSERT_EQ(capture->Run(), STATUS_SUCCESS);
    client.RunUntil(kmsim::NowNs() + 50'000'000);
    ASSERT_EQ(client.figures.failure, STATUS_SUCCESS);

    Unplug();
    client.RunUntil(kmsim::NowNs() + 50'000'000);
    EXPECT_NE(client.figures.failure, STATUS_SUCCESS);  // its reads failed
    const uint64_t moved = render->Stats().deviceFrames;
    kmtest::SleepMs(30);
    EXPECT_EQ(render->Stats().deviceFrames, moved);  // the device is gone: nothing moves
    // The platform's engine lets its pins and the filter go; the ASIO
    // client closes its handle; then the removal completes.
    engine_->CloseFilter();
    client.Drain();
    asio.Channel().Close();
    world_.Pnp().WaitForRemoval(device_.pdo);
    unplugged_ = true;
    EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("USBA")), 0u);
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

}  // namespace
