// Every kind of device streams through the engine: the directions start,
// a counter played by a client arrives at the device in order, the
// device's captured test signal reaches the client unbroken, nothing
// underruns or overruns, and the stop leaves the device at its
// zero-bandwidth settings with every transfer's memory returned.

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "kmsim/verifier.h"
#include "simusb/capture_stream.h"
#include "simusb/render_stream.h"
#include "streaming_world.h"

namespace {

using enginetest::RunStreaming;
using enginetest::StreamFigures;
using enginetest::StreamRun;

struct Kind {
    const char* device;
    ULONG rate;
    bool amd;
    bool captures;
};

void ExpectCleanRun(const StreamFigures& figures, const StreamRun& run, bool captures) {
    ASSERT_EQ(figures.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(figures.renderUnderruns, 0u);
    EXPECT_EQ(figures.renderOverruns, 0u);
    EXPECT_EQ(figures.captureOverruns, 0u);
    EXPECT_EQ(figures.otherDeviceEvents, 0u);
    EXPECT_EQ(figures.renderRecoveries, 0u);
    EXPECT_EQ(figures.captureRecoveries, 0u);
    EXPECT_EQ(figures.continuityFailures, 0u);
    // Every frame of the run but the pipeline's start-up.
    EXPECT_GT(figures.framesPlayed, static_cast<uint64_t>(run.rate) * (run.seconds - 1));
    EXPECT_EQ(figures.playedOutOfOrder, 0u);
    if (captures) {
        EXPECT_GT(figures.framesCaptured, static_cast<uint64_t>(run.rate) * (run.seconds - 1));
        EXPECT_EQ(figures.capturedOutOfOrder, 0u);
    }
}

class EngineDeviceKinds : public ::testing::TestWithParam<Kind> {};

TEST_P(EngineDeviceKinds, StreamsInOrderWithoutGlitches) {
    const Kind& kind = GetParam();
    StreamRun run = enginetest::RunOf(kind.device, kind.rate);
    run.seconds = 2;
    run.forceAmdQuirk = kind.amd;
    ExpectCleanRun(RunStreaming(run), run, kind.captures);
    EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("USBA")), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryPacingKind, EngineDeviceKinds,
    ::testing::Values(Kind{"q7-0b31", 48000, false, true},              // one clock: render follows capture
                      Kind{"uac2-async-dac", 48000, false, false},      // explicit feedback, playback only
                      Kind{"uac2-implicit-duplex", 48000, false, true}, // paced by an implicit-feedback endpoint
                      Kind{"uac1-duplex", 44100, false, true},          // class 1.0, full speed
                      Kind{"uac1-async-dac", 48000, false, false},      // class 1.0 with a synch endpoint
                      Kind{"uac2-fixed-clock", 48000, false, false},    // paced by the packet schedule
                      Kind{"q7-0b31", 48000, true, true}),              // packets prepared a pipeline ahead
    [](const ::testing::TestParamInfo<Kind>& param) {
        std::string name = std::string(param.param.device) + (param.param.amd ? "_amd" : "");
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

}  // namespace
