// Recovery: a failed render completion makes the render pipeline let every
// transfer end, pause 25 ms and start over, resynchronised; a failed or
// late capture completion restarts capture and, where render follows
// capture, render with it; a device with an explicit feedback endpoint
// sends no render transfer before its first feedback value.

#include <gtest/gtest.h>

#include "engine/failure_hooks.h"
#include "engine/frame_continuity.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"
#include "simusb/render_stream.h"
#include "streaming_world.h"

namespace {

using enginetest::SleepMs;
using enginetest::StreamingDevice;


uint64_t PlayedFrames(StreamingDevice& device) { return device.framesPlayed; }

// Polls every millisecond until `counter` reaches `value`; the simulated
// milliseconds it took, or -1 after `limit` ms.
LONG64 MillisecondsUntil(const volatile LONG& counter, LONG value, LONG64 limit = 2000) {
    const int64_t start = kmsim::NowNs();
    for (LONG64 waited = 0; waited < limit; ++waited) {
        if (InterlockedCompareExchange(const_cast<volatile LONG*>(&counter), 0, 0) >= value) {
            return (kmsim::NowNs() - start) / 1000000;
        }
        SleepMs(1);
    }
    return -1;
}

void ExpectRenderRecovers(const char* device, ULONG rate) {
    SCOPED_TRACE(device);
    kerneltest::DriverWorld world;
    StreamingDevice streaming(world, enginetest::RunOf(device, rate));
    ASSERT_EQ(streaming.Start(), STATUS_SUCCESS);
    streaming.AttachClients();
    SleepMs(200);
    const vq7::EngineStatistics& statistics = streaming.Adapter().Statistics();
    InterlockedExchange(&vq7::FailNextRenderCompletion, 1);
    ASSERT_GE(MillisecondsUntil(statistics.renderRecoveries, 1), 0);
    const LONG64 pause = MillisecondsUntil(statistics.renderResynchronisations, 1);
    EXPECT_GE(pause, 25) << "the pipeline pauses before it starts again";
    EXPECT_LT(pause, 200);
    EXPECT_EQ(vq7::FailNextRenderCompletion, 0) << "the hook is one-shot";
    const uint64_t before = PlayedFrames(streaming);
    SleepMs(500);
    EXPECT_GT(PlayedFrames(streaming) - before, rate * 4 / 10) << "audio resumes";
    EXPECT_EQ(statistics.renderRecoveries, 1);
    EXPECT_EQ(statistics.captureRecoveries, 0);
    EXPECT_EQ(streaming.Adapter().DirectionUseCount(false), 1);
    streaming.Stop();
}

TEST(EngineRecovery, OneFailedRenderCompletionRecoversAfter25MsAndAudioResumes) {
    ExpectRenderRecovers("q7-0b31", 48000);         // render follows capture
    ExpectRenderRecovers("uac2-async-dac", 48000);  // explicit feedback
    ExpectRenderRecovers("uac2-fixed-clock", 48000);  // packet schedule
    EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("USBA")), 0u);
}

TEST(EngineRecovery, AFailedCaptureCompletionRestartsCaptureAndResynchronisesRender) {
    kerneltest::DriverWorld world;
    StreamingDevice streaming(world, enginetest::RunOf("q7-0b31", 48000));
    ASSERT_EQ(streaming.Start(), STATUS_SUCCESS);
    streaming.AttachClients();
    SleepMs(200);
    const vq7::EngineStatistics& statistics = streaming.Adapter().Statistics();
    InterlockedExchange(&vq7::FailNextCaptureCompletion, 1);
    ASSERT_GE(MillisecondsUntil(statistics.captureRecoveries, 1), 0);
    ASSERT_GE(MillisecondsUntil(statistics.renderResynchronisations, 1), 0) << "render follows capture";
    SleepMs(100);
    const uint64_t played = PlayedFrames(streaming);
    const uint64_t captured = streaming.Sink().Frames();
    SleepMs(500);
    EXPECT_GT(PlayedFrames(streaming) - played, 48000u * 4 / 10);
    EXPECT_GT(streaming.Sink().Frames() - captured, 48000u * 4 / 10);
    EXPECT_EQ(statistics.captureRecoveries, 1);
    EXPECT_EQ(statistics.renderRecoveries, 1);
    streaming.Stop();
}

// The rule the capture and render DPCs apply to each completion's frame.
TEST(EngineRecovery, FrameContinuityRefusesGapsAsDeepAsThePipelineAndLongDrift) {
    constexpr ULONG kLimit = 16;  // CaptureTransfersInFlight x CaptureFramesPerTransfer
    vq7::FrameContinuity continuity;
    continuity.Restart(100);
    EXPECT_EQ(continuity.Check(101, STATUS_SUCCESS, kLimit, 1), STATUS_SUCCESS);
    EXPECT_EQ(continuity.Check(116, STATUS_SUCCESS, kLimit, 1), STATUS_SUCCESS);  // a gap of 15
    continuity.Restart(200);
    EXPECT_EQ(continuity.Check(216, STATUS_SUCCESS, kLimit, 1), STATUS_UNEXPECTED_IO_ERROR);  // 16
    EXPECT_EQ(continuity.Check(217, STATUS_CANCELLED, kLimit, 1), STATUS_CANCELLED) << "a failure stays itself";
    // The counter wraps.
    continuity.Restart(0xFFFFFFFF);
    EXPECT_EQ(continuity.Check(0, STATUS_SUCCESS, kLimit, 1), STATUS_SUCCESS);
    // Completions two frames apart drift by one a completion; after about a
    // second of drift the pipeline has lost transfers.
    continuity.Restart(0);
    ULONG frame = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG checks = 0;
    while (status == STATUS_SUCCESS && checks < 1000) {
        frame += 2;
        status = continuity.Check(frame, STATUS_SUCCESS, kLimit, 1);
        checks += 1;
    }
    EXPECT_EQ(status, STATUS_UNEXPECTED_IO_ERROR);
    EXPECT_EQ(checks, 500u);  // 1000 frames of drift
    // Drift that comes back to zero starts over.
    continuity.Restart(0);
    for (ULONG i = 1; i <= 2000; ++i) {
        ASSERT_EQ(continuity.Check(i * 2 - (i % 2), STATUS_SUCCESS, kLimit, 2), STATUS_SUCCESS) << i;
    }
}

TEST(EngineRecovery, AnExplicitFeedbackDeviceSendsNoRenderTransferBeforeItsFirstFeedback) {
    kerneltest::DriverWorld world;
    StreamingDevice streaming(world, enginetest::RunOf("uac2-async-dac", 48000));
    CUSBAudioAdapter& adapter = streaming.Adapter();
    ULONG channels = 0;
    ULONG bits = 0;
    ASSERT_EQ(adapter.ClassLayer().GetBestFormat(0, vq7::AudioFormat::kTagPcm, 48000, &channels, &bits),
              STATUS_SUCCESS);
    ASSERT_EQ(adapter.SetFormat(FALSE, vq7::AudioFormat::kTagPcm, channels, bits, 48000), STATUS_SUCCESS);
    const USB_AS_INTERFACE* render = adapter.ClassLayer().RenderStream();
    ASSERT_NE(render->feedbackPipe, nullptr);
    const UCHAR feedback = render->feedbackPipe->EndpointAddress;
    const UCHAR data = render->dataPipe->EndpointAddress;
    // Every feedback transfer fails: render never gets its first value.
    world.Bus().FailTransfers(streaming.Pdo(), feedback, 0xFFFFFFFF);
    const int64_t start = kmsim::NowNs();
    EXPECT_EQ(adapter.StartDirection(false), STATUS_UNSUCCESSFUL);
    EXPECT_GE((kmsim::NowNs() - start) / 1000000, 10000) << "the start waits 10 s for render";
    EXPECT_EQ(world.Bus().Counters(streaming.Pdo(), data).transfersSubmitted, 0u);
    EXPECT_GT(world.Bus().Counters(streaming.Pdo(), feedback).transfersSubmitted, 0u);
    EXPECT_EQ(adapter.DirectionUseCount(false), 0);
    // With feedback, render starts.
    world.Bus().FailTransfers(streaming.Pdo(), feedback, 0);
    ASSERT_EQ(adapter.StartDirection(false), STATUS_SUCCESS);
    EXPECT_GT(world.Bus().Counters(streaming.Pdo(), data).transfersCompleted, 0u);
    EXPECT_EQ(adapter.StopDirection(false), STATUS_SUCCESS);
    adapter.ClearFormat(FALSE);
}

}  // namespace
