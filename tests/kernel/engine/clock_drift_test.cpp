// Clock drift: ten simulated minutes with the device clock 1000 ppm off
// (beyond the worst real crystal), five fast and five slow, for each kind
// of pacing and at 44.1, 48, 96 and 192 kHz. (The offset is set before each
// run: the simulated device settles a change of it within a bus frame all
// at once, which no real crystal does.)
// The pipelines must follow the device: no underrun or overrun in its
// FIFO, no recovery, every frame played and captured in order.

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "streaming_world.h"

namespace {

using enginetest::RunStreaming;
using enginetest::StreamFigures;
using enginetest::StreamRun;

// Under the sanitizers a simulated minute costs minutes of real time. Those
// builds look for memory and race faults, which a minute of streaming meets
// as well as ten; the plain build checks the timing over the full ten.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr LONG64 kDefaultDriftSeconds = 60;
#else
constexpr LONG64 kDefaultDriftSeconds = 600;
#endif
const LONG64 kTenMinutes = getenv("VQ7_DRIFT_SECONDS") ? atoll(getenv("VQ7_DRIFT_SECONDS")) : kDefaultDriftSeconds;
constexpr int64_t kOffsetPpm = 1000;

struct DriftCase {
    const char* device;
    ULONG rate;
    bool captures;
};

class ClockDrift : public ::testing::TestWithParam<DriftCase> {};

void ExpectGlitchFree(const DriftCase& drift, int64_t offsetPpm, LONG64 seconds) {
    SCOPED_TRACE(std::to_string(offsetPpm) + " ppm");
    StreamRun run = enginetest::RunOf(drift.device, drift.rate);
    run.clockOffsetPpm = offsetPpm;
    run.seconds = seconds;
    const StreamFigures figures = RunStreaming(run);
    ASSERT_EQ(figures.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(figures.renderUnderruns, 0u);
    EXPECT_EQ(figures.renderOverruns, 0u);
    EXPECT_EQ(figures.captureOverruns, 0u);
    EXPECT_EQ(figures.otherDeviceEvents, 0u);
    EXPECT_EQ(figures.renderRecoveries + figures.captureRecoveries, 0u);
    EXPECT_EQ(figures.continuityFailures, 0u);
    EXPECT_EQ(figures.feedbackReplaced, 0u);
    EXPECT_GT(figures.framesPlayed, static_cast<uint64_t>(drift.rate) * (seconds - 1));
    EXPECT_EQ(figures.playedOutOfOrder, 0u);
    if (drift.captures) {
        EXPECT_GT(figures.framesCaptured, static_cast<uint64_t>(drift.rate) * (seconds - 1));
        EXPECT_EQ(figures.capturedOutOfOrder, 0u);
    }
}

TEST_P(ClockDrift, TenMinutesAtThousandPpmEachWayStayGlitchFree) {
    ExpectGlitchFree(GetParam(), kOffsetPpm, kTenMinutes / 2);
    ExpectGlitchFree(GetParam(), -kOffsetPpm, kTenMinutes / 2);
}

std::string CaseName(const ::testing::TestParamInfo<DriftCase>& param) {
    std::string name = std::string(param.param.device) + "_" + std::to_string(param.param.rate);
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

// One clock for both directions: render follows capture.
INSTANTIATE_TEST_SUITE_P(OneClock, ClockDrift,
                         ::testing::Values(DriftCase{"q7-0b31", 44100, true}, DriftCase{"q7-0b31", 48000, true},
                                           DriftCase{"q7-0b31", 96000, true}, DriftCase{"q7-0b31", 192000, true}),
                         CaseName);

// Render paced by an explicit feedback endpoint.
INSTANTIATE_TEST_SUITE_P(ExplicitFeedback, ClockDrift,
                         ::testing::Values(DriftCase{"uac2-async-dac", 44100, false},
                                           DriftCase{"uac2-async-dac", 48000, false},
                                           DriftCase{"uac2-async-dac", 96000, false},
                                           DriftCase{"uac2-async-dac", 192000, false}),
                         CaseName);

// Render paced by a capture endpoint that is an implicit feedback source.
INSTANTIATE_TEST_SUITE_P(ImplicitFeedback, ClockDrift,
                         ::testing::Values(DriftCase{"uac2-implicit-duplex", 44100, true},
                                           DriftCase{"uac2-implicit-duplex", 48000, true},
                                           DriftCase{"uac2-implicit-duplex", 96000, true},
                                           DriftCase{"uac2-implicit-duplex", 192000, true}),
                         CaseName);

}  // namespace
