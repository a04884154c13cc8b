// SystemThread: one system thread per owner, started once, waited for by Stop.

#include <gtest/gtest.h>

#include "common/system_thread.h"
#include "km_time.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

// Runs until told to stop, counting its runs.
class Counter final : public vq7::SystemThreadOwner {
public:
    Counter() { KeInitializeEvent(&stop, NotificationEvent, FALSE); }
    void Run() override {
        runs = runs + 1;
        KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, nullptr);
        finished = true;
    }
    KEVENT stop;
    volatile LONG runs = 0;
    volatile bool finished = false;
};

TEST(SystemThread, RunsTheOwnerOnceAndStopWaitsForIt) {
    kmsim::Simulation sim;
    Counter owner;
    vq7::SystemThread thread;
    EXPECT_FALSE(thread.IsStarted());
    thread.Stop();  // never started: nothing happens
    ASSERT_EQ(thread.Start(&owner), STATUS_SUCCESS);
    EXPECT_TRUE(thread.IsStarted());
    EXPECT_EQ(thread.Start(&owner), STATUS_DEVICE_BUSY);
    kmtest::SleepMs(1);
    KeSetEvent(&owner.stop, IO_NO_INCREMENT, FALSE);
    thread.Stop();
    EXPECT_TRUE(owner.finished);
    EXPECT_EQ(owner.runs, 1);
    EXPECT_FALSE(thread.IsStarted());
    // Started again after a stop.
    ASSERT_EQ(thread.Start(&owner), STATUS_SUCCESS);
    thread.Stop();
    EXPECT_EQ(owner.runs, 2);
}

TEST(SystemThread, RefusesNoOwnerAndReportsAFailedCreation) {
    kmsim::Simulation sim;
    vq7::SystemThread thread;
    EXPECT_EQ(thread.Start(nullptr), STATUS_INVALID_PARAMETER);
    Counter owner;
    kmsim::FailNthAllocation(1);
    NTSTATUS status = thread.Start(&owner);
    kmsim::ClearAllocationFailures();
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_FALSE(thread.IsStarted());
    EXPECT_EQ(owner.runs, 0);
    KeSetEvent(&owner.stop, IO_NO_INCREMENT, FALSE);
    ASSERT_EQ(thread.Start(&owner), STATUS_SUCCESS);
    thread.Stop();
    EXPECT_EQ(owner.runs, 1);
}

}  // namespace
