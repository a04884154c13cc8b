// A pin's states as the platform's engine changes them: up and down one
// step at a time, straight from STOP to RUN and back (the port steps), pause
// and resume with the position kept, pause and resume while an ASIO client
// streams on the same device, and a rate change: refused while the engine
// has a pin, and once it has none it takes the filter away and the engine
// reopens at the new rate.

#include <gtest/gtest.h>

#include "asio_duplex_client.h"
#include "engine_world.h"
#include "km_time.h"

namespace {

using audioengine::EngineStream;
using audioengine::StreamOptions;

class EngineStatesTest : public enginetest::EngineQ7Test {
protected:
    EngineStream* Open(bool capture) {
        EngineStream* stream = nullptr;
        EXPECT_EQ(engine_->OpenStream(capture, 0, StreamOptions{}, &stream), STATUS_SUCCESS);
        return stream;
    }
    static KSSTATE State(EngineStream& stream) {
        KSSTATE state = static_cast<KSSTATE>(-1);
        EXPECT_EQ(stream.GetState(&state), STATUS_SUCCESS);
        return state;
    }
    static ULONGLONG Position(EngineStream& stream) {
        KSAUDIO_POSITION position = {};
        EXPECT_EQ(stream.GetPosition(&position), STATUS_SUCCESS);
        return position.PlayOffset;
    }
};

TEST_F(EngineStatesTest, EachStepUpAndDownIsTakenAndThePositionFollowsIt) {
    EngineStream* render = Open(false);
    ASSERT_NE(render, nullptr);
    EXPECT_EQ(State(*render), KSSTATE_STOP);
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
        ASSERT_EQ(render->SetState(state), STATUS_SUCCESS) << state;
        EXPECT_EQ(State(*render), state);
    }
    kmtest::SleepMs(7);
    ASSERT_EQ(render->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    const ULONGLONG paused = Position(*render);
    EXPECT_GT(paused, 0u);
    kmtest::SleepMs(20);
    EXPECT_EQ(Position(*render), paused);  // nothing moves while paused
    ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    kmtest::SleepMs(20);
    ASSERT_EQ(render->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(render->Stats().backwardSteps, 0u);
    EXPECT_EQ(render->Stats().glitches, 0u);
    ASSERT_EQ(render->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(render->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Position(*render), 0u);  // a new start from the buffer's beginning
    ASSERT_EQ(render->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(render->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(State(*render), KSSTATE_STOP);
    EXPECT_EQ(engine_->CloseStream(render), STATUS_SUCCESS);
}

TEST_F(EngineStatesTest, RunFromStopAndStopFromRunAreSteppedForTheEngine) {
    EngineStream* capture = Open(true);
    ASSERT_NE(capture, nullptr);
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(State(*capture), KSSTATE_RUN);
    kmtest::SleepMs(30);
    EXPECT_GT(capture->Stats().deviceFrames, 0u);
    ASSERT_EQ(capture->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(State(*capture), KSSTATE_STOP);
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);  // and once more, from the start
    kmtest::SleepMs(30);
    EXPECT_EQ(capture->Stats().glitches, 0u);
    EXPECT_EQ(engine_->CloseStream(capture), STATUS_SUCCESS);
}

// The ASIO client's periods keep coming, with its input continuous, while
// the system's streams pause and resume beside it.
TEST_F(EngineStatesTest, PauseAndResumeBesideAStreamingAsioClient) {
    enginetest::StreamingAsio session(world_, device_.pdo);
    ASSERT_EQ(session.Start(), STATUS_SUCCESS);
    session.ServeInBackground();
    EngineStream* render = Open(false);
    EngineStream* capture = Open(true);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    for (int round = 0; round < 4; ++round) {
        for (EngineStream* stream : {render, capture}) ASSERT_EQ(stream->Run(), STATUS_SUCCESS) << round;
        kmtest::SleepMs(30);
        for (EngineStream* stream : {render, capture}) {
            ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS) << round;
        }
        kmtest::SleepMs(10);
    }
    session.Stop();
    const asiotest::DuplexFigures& asio = session.Client().figures;
    EXPECT_TRUE(asio.failure == STATUS_SUCCESS || asio.failure == STATUS_CANCELLED) << std::hex << asio.failure;
    EXPECT_GT(asio.reads, 100u);
    EXPECT_EQ(asio.inputDiscontinuities, 0u);
    for (EngineStream* stream : {render, capture}) {
        EXPECT_EQ(stream->Stats().glitches, 0u);
        EXPECT_EQ(stream->Stats().backwardSteps, 0u);
        EXPECT_EQ(engine_->CloseStream(stream), STATUS_SUCCESS);
    }
}

TEST_F(EngineStatesTest, ARateChangeIsRefusedWhileTheEngineRuns) {
    EngineStream* render = Open(false);
    ASSERT_NE(render, nullptr);
    ASSERT_EQ(render->Run(), STATUS_SUCCESS);
    asiotest::ChannelClient panel(world_, device_.pdo, "control-panel");
    ASSERT_EQ(panel.Open(), STATUS_SUCCESS);
    EXPECT_EQ(panel.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 96000), STATUS_DEVICE_BUSY);
    EXPECT_EQ(panel.Close(), STATUS_SUCCESS);
    kmtest::SleepMs(20);
    EXPECT_EQ(render->Stats().glitches, 0u);
    EXPECT_EQ(engine_->CloseStream(render), STATUS_SUCCESS);
}

// A pin open, even stopped, holds its direction's format: the rate stays.
// With the pins closed the rate changes and the filter the engine still
// holds is taken down: a new pin on it is refused, and the engine finds the
// filter published for the new rate and streams at it.
TEST_F(EngineStatesTest, ARateChangeWaitsForThePinsAndTheEngineReopensAtTheNewRate) {
    EngineStream* render = Open(false);
    ASSERT_NE(render, nullptr);
    ASSERT_EQ(render->Run(), STATUS_SUCCESS);
    kmtest::SleepMs(20);
    ASSERT_EQ(render->Stop(), STATUS_SUCCESS);
    asiotest::ChannelClient panel(world_, device_.pdo, "control-panel");
    ASSERT_EQ(panel.Open(), STATUS_SUCCESS);
    EXPECT_EQ(panel.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 96000), STATUS_DEVICE_BUSY);
    EXPECT_EQ(engine_->CloseStream(render), STATUS_SUCCESS);
    ASSERT_EQ(panel.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 96000), STATUS_SUCCESS);
    EXPECT_EQ(panel.Close(), STATUS_SUCCESS);
    EngineStream* stale = nullptr;
    EXPECT_FALSE(NT_SUCCESS(engine_->OpenStream(false, 48000, StreamOptions{}, &stale)));
    EXPECT_EQ(stale, nullptr);
    ASSERT_EQ(Reopen(), STATUS_SUCCESS);
    const enginetest::RunResult r = RunBoth(0, 200);
    EXPECT_EQ(r.renderFormat.Rate(), 96000u);
    EXPECT_EQ(r.captureFormat.Rate(), 96000u);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_GT(r.played, 96000u / 10);
    EXPECT_EQ(r.captureWrong, 0u);
    EXPECT_GT(r.captured, 96000u / 10);
}

}  // namespace
