// Starting and stopping directions: a shared direction's use count, two
// clients starting and stopping it at once under many interleavings, the
// alternate settings that follow, and a start whose every allocation in
// turn fails.

#include <gtest/gtest.h>

#include <atomic>

#include "kmsim/simulation.h"
#include "kmsim/verifier.h"
#include "streaming_world.h"

namespace {

using enginetest::SleepMs;
using enginetest::StreamingDevice;
using enginetest::StreamRun;

constexpr ULONG kUsba = kmsim::PoolTag("USBA");

TEST(EngineStartStop, ADuplexDeviceStartsAndStopsBothDirectionsTogether) {
    kerneltest::DriverWorld world;
    StreamingDevice streaming(world, enginetest::RunOf("q7-0b31", 48000));
    CUSBAudioAdapter& adapter = streaming.Adapter();
    CUSBAudioCL& layer = adapter.ClassLayer();
    ASSERT_EQ(adapter.ChangeSampleRate(48000), STATUS_SUCCESS);
    EXPECT_EQ(adapter.StopDirection(true), STATUS_SUCCESS) << "a stop without users changes nothing";
    ASSERT_EQ(adapter.StartDirection(true), STATUS_SUCCESS);  // a capture start starts render too
    EXPECT_EQ(adapter.DirectionUseCount(true), 1);
    EXPECT_EQ(adapter.DirectionUseCount(false), 1);
    EXPECT_NE(layer.GetCurrentAlternate(0), 0u);
    EXPECT_NE(layer.GetCurrentAlternate(1), 0u);
    ASSERT_EQ(adapter.StartDirection(false), STATUS_SUCCESS);  // a second client shares them
    EXPECT_EQ(adapter.DirectionUseCount(false), 2);
    EXPECT_EQ(adapter.DirectionUseCount(true), 2);
    EXPECT_EQ(adapter.StopDirection(false), STATUS_SUCCESS);
    EXPECT_NE(layer.GetCurrentAlternate(0), 0u) << "one user is left";
    EXPECT_EQ(adapter.StopDirection(true), STATUS_SUCCESS);
    EXPECT_EQ(adapter.DirectionUseCount(false), 0);
    EXPECT_EQ(adapter.DirectionUseCount(true), 0);
    EXPECT_EQ(layer.GetCurrentAlternate(0), 0u);
    EXPECT_EQ(layer.GetCurrentAlternate(1), 0u);
    // Formats: a fixed device rate refuses another, and one clock serves both.
    EXPECT_EQ(adapter.SetFormat(FALSE, vq7::AudioFormat::kTagPcm, 2, 24, 44100), STATUS_NO_MATCH);
    ASSERT_EQ(adapter.SetFormat(FALSE, vq7::AudioFormat::kTagPcm, 2, 24, 48000), STATUS_SUCCESS);
    EXPECT_NE(layer.GetCurrentAlternate(0), 0u) << "a direction nobody streams on opens with its format";
    adapter.ClearFormat(FALSE);
    EXPECT_EQ(layer.GetCurrentAlternate(0), 0u);
}

TEST(EngineStartStop, AClockThatNeverSettlesFailsTheStartAfter100Ms) {
    kerneltest::DriverWorld world;
    StreamRun run = enginetest::RunOf("q7-0b31", 48000);
    run.edit = [](simusb::AudioDescription& description) {
        for (auto& clock : description.clocks) clock.settle_ns = 3600LL * 1000000000;  // an hour
    };
    StreamingDevice streaming(world, run);
    CUSBAudioAdapter& adapter = streaming.Adapter();
    // A rate change makes the clock settle again.
    ASSERT_EQ(adapter.ChangeSampleRate(96000), STATUS_SUCCESS);
    const int64_t start = kmsim::NowNs();
    EXPECT_EQ(adapter.StartDirection(false), STATUS_UNSUCCESSFUL);
    const int64_t waited_ms = (kmsim::NowNs() - start) / 1000000;
    EXPECT_GE(waited_ms, 100);
    EXPECT_LT(waited_ms, 1000);
    EXPECT_EQ(adapter.DirectionUseCount(false), 0);
    EXPECT_EQ(adapter.ClassLayer().GetCurrentAlternate(0), 0u);
    EXPECT_EQ(adapter.ClassLayer().GetCurrentAlternate(1), 0u);
}

// Two clients start and stop the shared direction at once; whatever the
// interleaving, the counts agree, the settings follow them and every
// start succeeds.
TEST(EngineStartStop, TwoClientsStartingAndStoppingAtOnceKeepTheCountsConsistent) {
    kerneltest::DriverWorld world;
    StreamingDevice streaming(world, enginetest::RunOf("q7-0b31", 48000));
    CUSBAudioAdapter& adapter = streaming.Adapter();
    ASSERT_EQ(adapter.ChangeSampleRate(48000), STATUS_SUCCESS);
    std::atomic<int> failures{0};
    auto client = [&](bool capture, int rounds, LONG64 pause) {
        for (int i = 0; i < rounds; ++i) {
            if (!NT_SUCCESS(adapter.StartDirection(capture))) failures += 1;
            SleepMs(pause);
            if (!NT_SUCCESS(adapter.StopDirection(capture))) failures += 1;
            SleepMs(1);
        }
    };
    {
        kmsim::Thread waveRt("WaveRT-like client", [&] { client(false, 4, 7); });
        kmsim::Thread other("second client", [&] { client(true, 5, 3); });
        waveRt.Join();
        other.Join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(adapter.DirectionUseCount(false), 0);
    EXPECT_EQ(adapter.DirectionUseCount(true), 0);
    EXPECT_EQ(adapter.ClassLayer().GetCurrentAlternate(0), 0u);
    EXPECT_EQ(adapter.ClassLayer().GetCurrentAlternate(1), 0u);
    // The credits came back whole: a new run starts and streams.
    ASSERT_EQ(adapter.StartDirection(false), STATUS_SUCCESS);
    SleepMs(50);
    EXPECT_EQ(adapter.Statistics().renderRecoveries + adapter.Statistics().captureRecoveries, 0);
    EXPECT_EQ(adapter.StopDirection(false), STATUS_SUCCESS);
}

// Every allocation of a start fails in turn: the start fails cleanly,
// nothing stays allocated, and the next start works.
TEST(EngineStartStop, EveryAllocationOfAStartFailsCleanlyAndARetrySucceeds) {
    uint64_t failedStarts = 0;
    uint64_t n = 1;
    for (bool walked = false; !walked; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        kerneltest::DriverWorld world;
        {
            StreamingDevice streaming(world, enginetest::RunOf("q7-0b31", 48000));
            CUSBAudioAdapter& adapter = streaming.Adapter();
            ASSERT_EQ(adapter.ChangeSampleRate(48000), STATUS_SUCCESS);
            kmsim::FailNthAllocation(n);
            NTSTATUS status = adapter.StartDirection(false);
            walked = kmsim::FailedAllocationCount() == 0;  // the whole start ran without reaching allocation n
            kmsim::ClearAllocationFailures();
            if (!NT_SUCCESS(status)) {
                failedStarts += 1;
                EXPECT_TRUE(NT_ERROR(status)) << std::hex << status;
                EXPECT_EQ(adapter.DirectionUseCount(false), 0);
                EXPECT_EQ(adapter.DirectionUseCount(true), 0);
                EXPECT_EQ(adapter.ClassLayer().GetCurrentAlternate(0), 0u);
                EXPECT_EQ(adapter.ClassLayer().GetCurrentAlternate(1), 0u);
                ASSERT_EQ(adapter.StartDirection(false), STATUS_SUCCESS) << "a retry succeeds";
            }
            // A run that went on without what it could not get (a transfer
            // tried again) streams like any other.
            SleepMs(20);
            EXPECT_EQ(adapter.StopDirection(false), STATUS_SUCCESS);
        }
        // Removed: every context, buffer, MDL and work item is back (the
        // lookaside caches go with the adapter).
        EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), 0u);
        if (HasFailure()) break;
    }
    EXPECT_GT(n, 20u);  // a start allocates plenty: the loop really walked them
    EXPECT_GT(failedStarts, 0u);
}

}  // namespace
