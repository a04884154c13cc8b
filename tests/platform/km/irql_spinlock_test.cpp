// IRQL per thread and spin locks, and the verifier's IRQL rules.

#include <gtest/gtest.h>

#include "km_time.h"
#include "kmsim/simulation.h"

namespace {

TEST(Irql, EachThreadHasItsOwnIrql) {
    kmsim::Simulation sim;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL seenElsewhere = HIGH_LEVEL;
    kmsim::Thread other("other", [&] { seenElsewhere = KeGetCurrentIrql(); });
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    other.Join();
    EXPECT_EQ(seenElsewhere, PASSIVE_LEVEL);
}

TEST(SpinLocks, AcquireRaisesToDispatchAndReleaseRestores) {
    kmsim::Simulation sim;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KLOCK_QUEUE_HANDLE inner;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&second);
    KeAcquireInStackQueuedSpinLockAtDpcLevel(&second, &inner);
    KeReleaseInStackQueuedSpinLockFromDpcLevel(&inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(SpinLocks, ForDpcVariantsRestoreTheIrqlTheyFound) {
    kmsim::Simulation sim;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLockForDpc(&lock, &handle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseInStackQueuedSpinLockForDpc(&handle);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(SpinLocks, ExcludeOtherThreads) {
    kmsim::Simulation sim;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    uint64_t counter = 0;
    {
        std::vector<std::unique_ptr<kmsim::Thread>> threads;
        for (int t = 0; t < 4; ++t) {
            threads.push_back(std::make_unique<kmsim::Thread>("adder", [&] {
                for (int i = 0; i < 20000; ++i) {
                    KLOCK_QUEUE_HANDLE handle;
                    KeAcquireInStackQueuedSpinLock(&lock, &handle);
                    counter = counter + 1;
                    KeReleaseInStackQueuedSpinLock(&handle);
                }
            }));
        }
    }
    EXPECT_EQ(counter, 80000u);
}

TEST(IrqlDeathTest, WaitingWithATimeoutAtDispatchLevelStopsAndNamesTheCaller) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KLOCK_QUEUE_HANDLE handle;
            KeAcquireInStackQueuedSpinLock(&lock, &handle);
            LARGE_INTEGER timeout = kmtest::RelativeMs(5);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "STOP: 0x0000000A(.|\n)*KeWaitForSingleObject with a non-zero time-out at IRQL 2(.|\n)*caller: "
        "\\(anonymous namespace\\)::IrqlDeathTest_WaitingWithATimeoutAtDispatchLevelStopsAndNamesTheCaller_Test::TestBody\\(\\) \\(.*irql_spinlock_test.cpp:[0-9]+\\)");
}

TEST(IrqlDeathTest, ReleasingASpinLockThatIsNotHeldStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLockFromDpcLevel(&lock);
        },
        "STOP: 0x00000010(.|\n)*it is free");
}

TEST(IrqlDeathTest, AcquiringASpinLockTheThreadHoldsStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "STOP: 0x0000000F");
}

TEST(IrqlDeathTest, LoweringIrqlAboveTheCurrentLevelStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KeLowerIrql(DISPATCH_LEVEL);
        },
        "KeLowerIrql from 0 to the higher IRQL 2");
}

TEST(IrqlDeathTest, AtDpcLevelAcquireBelowDispatchStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "requires DISPATCH_LEVEL");
}

TEST(IrqlDeathTest, PageableCodeAtDispatchLevelStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PAGED_CODE();
        },
        "pageable code");
}

}  // namespace
