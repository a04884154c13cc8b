// RundownGate: users get in while it is open; closing waits for the last
// one, after which the gate may be freed at once.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "common/rundown_gate.h"
#include "km_time.h"
#include "kmsim/simulation.h"

namespace {

TEST(RundownGate, LetsUsersInOnlyWhileOpen) {
    kmsim::Simulation sim;
    vq7::RundownGate gate;
    EXPECT_TRUE(gate.TryEnter());
    gate.Leave();
    gate.CloseAndWait();
    EXPECT_FALSE(gate.TryEnter());
    gate.Reopen();
    EXPECT_TRUE(gate.TryEnter());
    gate.Leave();
    vq7::RundownGate closed(false);
    EXPECT_FALSE(closed.TryEnter());
}

TEST(RundownGate, ClosingWaitsForTheLastUserToLeave) {
    kmsim::Simulation sim;
    ExSetTimerResolution(10000, TRUE);
    vq7::RundownGate gate;
    ASSERT_TRUE(gate.TryEnter());
    ASSERT_TRUE(gate.TryEnter());
    kmsim::Thread users("users", [&] {
        kmtest::SleepMs(5);
        gate.Leave();
        kmtest::SleepMs(5);
        gate.Leave();
    });
    gate.CloseAndWait();
    EXPECT_EQ(kmtest::NowMs(), 10.0);
    users.Join();
    ExSetTimerResolution(0, FALSE);
}

TEST(RundownGate, TheGateCanBeFreedAsSoonAsClosingReturns) {
    kmsim::Simulation sim;
    // Users leave from DPCs, as completion routines do, while the owner
    // closes and frees the gate; the address sanitizer sees any late touch.
    for (int round = 0; round < 200; ++round) {
        auto gate = std::make_unique<vq7::RundownGate>();
        ASSERT_TRUE(gate->TryEnter());
        KDPC dpc;
        KeInitializeDpc(
            &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { static_cast<vq7::RundownGate*>(context)->Leave(); },
            gate.get());
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        gate->CloseAndWait();
        gate.reset();
        KeFlushQueuedDpcs();
    }
}

}  // namespace
