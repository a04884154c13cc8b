// Every allocation of a pin's creation and its buffer's allocation failing
// in turn: the engine's stream open fails with the failure's status or
// succeeds without it, and in both cases, once the engine has let go,
// nothing the failure touched stays allocated.

#include <gtest/gtest.h>

#include "engine_world.h"
#include "km_time.h"
#include "kmsim/verifier.h"

namespace {

class EngineAllocationTest : public enginetest::EngineQ7Test,
                             public testing::WithParamInterface<bool> {};

TEST_P(EngineAllocationTest, EachAllocationOfAStreamsOpeningFailsCleanly) {
    const bool capture = GetParam();
    audioengine::PinFormat format = {};
    ASSERT_EQ(engine_->ChooseFormat(capture, 0, &format), STATUS_SUCCESS);
    // One stream opened, run and closed first: what the driver keeps for
    // the next one (its transfer records) is then part of the baseline.
    audioengine::EngineStream* warm = nullptr;
    ASSERT_EQ(engine_->OpenStream(capture, format, audioengine::StreamOptions{}, &warm), STATUS_SUCCESS);
    ASSERT_EQ(warm->Run(), STATUS_SUCCESS);
    kmtest::SleepMs(5);
    ASSERT_EQ(engine_->CloseStream(warm), STATUS_SUCCESS);
    kmtest::SleepMs(2);
    const uint64_t before = kmsim::OutstandingAllocations();
    ULONG failedOpens = 0;
    bool reachedTheEnd = false;
    for (uint64_t n = 1; n < 200 && !reachedTheEnd; ++n) {
        const uint64_t failedBefore = kmsim::FailedAllocationCount();
        kmsim::FailNthAllocation(n);
        audioengine::EngineStream* stream = nullptr;
        const NTSTATUS status = engine_->OpenStream(capture, format, audioengine::StreamOptions{}, &stream);
        const bool hit = kmsim::FailedAllocationCount() != failedBefore;
        kmsim::ClearAllocationFailures();
        reachedTheEnd = !hit;
        if (NT_SUCCESS(status)) {
            ASSERT_NE(stream, nullptr) << n;
            EXPECT_EQ(stream->Run(), STATUS_SUCCESS) << n;  // what was opened streams
            kmtest::SleepMs(5);
            EXPECT_EQ(engine_->CloseStream(stream), STATUS_SUCCESS) << n;
        } else {
            EXPECT_EQ(stream, nullptr) << n;
            EXPECT_TRUE(hit) << n << ": 0x" << std::hex << status;
            ++failedOpens;
        }
        kmtest::SleepMs(2);
        EXPECT_EQ(kmsim::OutstandingAllocations(), before) << n;
    }
    EXPECT_TRUE(reachedTheEnd);
    EXPECT_GT(failedOpens, 3u);
    // And the device still streams through the engine afterwards.
    const enginetest::RunResult r = RunBoth(0, 100);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_EQ(r.captureWrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Directions, EngineAllocationTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? std::string("Capture") : std::string("Render");
                         });

}  // namespace
