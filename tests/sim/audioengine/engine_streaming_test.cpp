// System audio through the simulated engine on every ready-made device at
// each rate it offers: the engine's signal arrives bit-exact at the device,
// the device's at the engine (after the converters' shifts), no glitch,
// and a position that never steps back and moves at the device's rate,
// also with the device's clock 1000 ppm fast or slow.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "engine_world.h"
#include "km_time.h"
#include "simusb/audio_device.h"

namespace {

using enginetest::RunResult;

// The position moves a transfer at a time (up to 8 ms on a playback-only
// device): 10 ms of frames.
int64_t Slack(ULONG rate) { return rate / 100; }

void ExpectClean(const RunResult& r, ULONG rate, LONGLONG ms, int64_t ppm = 0) {
    const uint64_t least = static_cast<uint64_t>(rate) * ms / 1000 * 9 / 10;
    if (r.render) {
        EXPECT_GT(r.played, least) << rate;
        EXPECT_EQ(r.mismatches, 0u) << rate;
        EXPECT_EQ(r.renderStats.glitches, 0u) << rate;
        EXPECT_EQ(r.renderStats.backwardSteps, 0u) << rate;
        EXPECT_EQ(r.renderStats.positionFailures, 0u) << rate;
        EXPECT_LE(std::llabs(audioengine::PositionDriftFrames(r.renderStats, rate, ppm)), Slack(rate)) << rate;
    }
    if (r.capture) {
        EXPECT_GT(r.captured, least) << rate;
        EXPECT_TRUE(r.captureFound) << rate;
        EXPECT_EQ(r.captureWrong, 0u) << rate;
        EXPECT_EQ(r.captureStats.glitches, 0u) << rate;
        EXPECT_EQ(r.captureStats.backwardSteps, 0u) << rate;
        EXPECT_LE(std::llabs(audioengine::PositionDriftFrames(r.captureStats, rate, ppm)), Slack(rate)) << rate;
    }
}

class EngineDevicesTest : public enginetest::EngineTest, public testing::WithParamInterface<std::string> {};

// A fixed-rate device is moved to each rate through the ASIO channel and
// the engine reopens the filter published for it; a device without a fixed
// rate streams at whatever rate the engine asks for.
TEST_P(EngineDevicesTest, EveryRateStreamsBitExactWithoutGlitches) {
    Start(GetParam().c_str());
    CUSBAudioAdapter& adapter = *world_.Adapter(device_.pdo);
    ULONG deviceRate = 0;
    ASSERT_EQ(adapter.GetSampleRate(&deviceRate), STATUS_SUCCESS);
    ULONG streamed = 0;
    for (ULONG rate : enginetest::OfferedRates(adapter)) {
        if (deviceRate != 0 && rate != deviceRate) {
            ASSERT_EQ(ChangeRate(rate), STATUS_SUCCESS) << rate;
            deviceRate = rate;
        }
        constexpr LONGLONG kMs = 400;
        const RunResult r = RunBoth(deviceRate != 0 ? 0 : rate, kMs);
        ASSERT_FALSE(HasFailure()) << rate;
        EXPECT_EQ(r.render ? r.renderFormat.Rate() : r.captureFormat.Rate(), rate);
        ExpectClean(r, rate, kMs);
        ++streamed;
    }
    EXPECT_GT(streamed, 0u);
}

INSTANTIATE_TEST_SUITE_P(ReadyMade, EngineDevicesTest, testing::ValuesIn(enginetest::StreamingDevices()),
                         [](const testing::TestParamInfo<std::string>& param) {
                             std::string name = param.param;
                             for (char& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

// The long runs on the Q7 (the device of the product): ten simulated
// minutes at its nominal clock; at 1000 ppm either way two minutes in the
// suite (each ten-minute run takes over three minutes of real time; set
// VQ7_ENGINE_FULL to run them at full length, VQ7_ENGINE_SHORT for five
// seconds each).
struct LongRun {
    int ppm;
    LONGLONG minutes;
    const char* name;
};

// Under the sanitizers a simulated minute costs minutes of real time; those
// builds look for memory and race faults, which one minute meets as well.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr LONGLONG kLongestRunMinutes = 1;
#else
constexpr LONGLONG kLongestRunMinutes = 10;
#endif

class EngineLongRunTest : public enginetest::EngineTest, public testing::WithParamInterface<LongRun> {};

TEST_P(EngineLongRunTest, BothDirectionsRunWithoutAGlitch) {
    Start("q7-0b31");
    const LongRun run = GetParam();
    world_.Bus().WithDevice(device_.pdo, [&](simusb::Device& device) {
        static_cast<simusb::AudioDevice&>(device).SetClockOffsetPpm(run.ppm, kmsim::NowNs());
    });
    LONGLONG ms = std::min(run.minutes, kLongestRunMinutes) * 60 * 1000;
    if (std::getenv("VQ7_ENGINE_FULL") != nullptr) ms = 10 * 60 * 1000;
    if (std::getenv("VQ7_ENGINE_SHORT") != nullptr) ms = 5000;
    const RunResult r = RunBoth(0, ms);
    ASSERT_FALSE(HasFailure());
    ExpectClean(r, r.renderFormat.Rate(), ms, run.ppm);
    // Twice per buffer, every 5 ms.
    EXPECT_GE(r.renderStats.notifications, static_cast<uint64_t>(ms / 5 * 99 / 100));
}

INSTANTIATE_TEST_SUITE_P(ClockOffsets, EngineLongRunTest,
                         testing::Values(LongRun{0, 10, "NominalTenMinutes"}, LongRun{1000, 2, "Fast1000ppm"},
                                         LongRun{-1000, 2, "Slow1000ppm"}),
                         [](const testing::TestParamInfo<LongRun>& param) { return std::string(param.param.name); });

}  // namespace
