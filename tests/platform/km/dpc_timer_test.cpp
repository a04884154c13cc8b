// DPCs and kernel timers: where and in which order DPCs run, one-shot and
// periodic timers, cancellation and the clock interrupt's resolution.

#include <gtest/gtest.h>

#include <vector>

#include "km_time.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

using kmtest::RelativeMs;

struct DpcProbe {
    KDPC dpc;
    int runs = 0;
    KIRQL irql = PASSIVE_LEVEL;
    PKTHREAD thread = nullptr;
    std::vector<double> timesMs;
    PVOID arg1 = nullptr;
    KEVENT ran;

    DpcProbe() {
        KeInitializeDpc(&dpc, &Run, this);
        KeInitializeEvent(&ran, NotificationEvent, FALSE);
    }

    static VOID Run(PKDPC, PVOID context, PVOID argument1, PVOID) {
        auto* self = static_cast<DpcProbe*>(context);
        self->runs++;
        self->irql = KeGetCurrentIrql();
        self->thread = KeGetCurrentThread();
        self->arg1 = argument1;
        self->timesMs.push_back(kmtest::NowMs());
        KeSetEvent(&self->ran, IO_NO_INCREMENT, FALSE);
    }
};

TEST(Dpcs, RunAtDispatchLevelOnTheDpcThreadWithTheirArguments) {
    kmsim::Simulation sim;
    DpcProbe probe;
    int marker = 7;
    EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, &marker, nullptr));
    KeWaitForSingleObject(&probe.ran, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
    EXPECT_NE(probe.thread, KeGetCurrentThread());
    EXPECT_EQ(probe.arg1, &marker);
}

TEST(Dpcs, AQueuedDpcIsNotQueuedTwiceAndCanBeRemoved) {
    kmsim::Simulation sim;
    // A DPC that keeps the DPC thread busy until the test lets it go, so that
    // the probe stays in the queue meanwhile. It polls through the stand-in,
    // which lets the test's thread run when threads take turns.
    struct Gate {
        KEVENT running;
        KEVENT release;
    } gate;
    KeInitializeEvent(&gate.running, NotificationEvent, FALSE);
    KeInitializeEvent(&gate.release, NotificationEvent, FALSE);
    KDPC blocker;
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* g = static_cast<Gate*>(context);
            KeSetEvent(&g->running, IO_NO_INCREMENT, FALSE);
            while (KeReadStateEvent(&g->release) == 0) {
            }
        },
        &gate);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    KeWaitForSingleObject(&gate.running, Executive, KernelMode, FALSE, nullptr);
    DpcProbe probe;
    EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&probe.dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&probe.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&probe.dpc));
    KeSetEvent(&gate.release, IO_NO_INCREMENT, FALSE);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs, 0);
}

TEST(Dpcs, RunInQueueOrder) {
    kmsim::Simulation sim;
    std::vector<int> order;
    struct Entry {
        KDPC dpc;
        int id;
        std::vector<int>* order;
    };
    Entry entries[4];
    for (int i = 0; i < 4; ++i) {
        entries[i].id = i;
        entries[i].order = &order;
        KeInitializeDpc(
            &entries[i].dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) {
                auto* e = static_cast<Entry*>(context);
                e->order->push_back(e->id);
            },
            &entries[i]);
    }
    for (int i = 0; i < 4; ++i) {
        KeInsertQueueDpc(&entries[i].dpc, nullptr, nullptr);
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

TEST(Timers, OneShotTimerSignalsAndQueuesItsDpcOnce) {
    kmsim::Simulation sim;
    ExSetTimerResolution(10000, TRUE);
    DpcProbe probe;
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(25), &probe.dpc));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kmtest::NowMs(), 25.0);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    kmtest::SleepMs(100);
    EXPECT_EQ(probe.timesMs, (std::vector<double>{25.0}));
    ExSetTimerResolution(0, FALSE);
}

TEST(Timers, PeriodicTimerFiresEveryPeriodUntilCancelled) {
    kmsim::Simulation sim;
    ExSetTimerResolution(10000, TRUE);
    DpcProbe probe;
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimerEx(&timer, RelativeMs(1), 1, &probe.dpc);
    kmtest::SleepMs(5);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.timesMs, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0}));
    ExSetTimerResolution(0, FALSE);
}

TEST(Timers, ResettingATimerReplacesItsDueTime) {
    kmsim::Simulation sim;
    ExSetTimerResolution(10000, TRUE);
    DpcProbe probe;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, RelativeMs(50), &probe.dpc);
    EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(10), &probe.dpc));
    kmtest::SleepMs(100);
    EXPECT_EQ(probe.timesMs, (std::vector<double>{10.0}));
    ExSetTimerResolution(0, FALSE);
}

TEST(TimerResolution, DueTimesRoundUpToTheClockTick) {
    kmsim::Simulation sim;
    EXPECT_EQ(kmsim::ClockTick_hns(), 156250u);
    DpcProbe probe;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, RelativeMs(1), &probe.dpc);
    KeWaitForSingleObject(&probe.ran, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(probe.timesMs, (std::vector<double>{15.625}));
}

TEST(TimerResolution, RequestsAreClampedAndTheFinestActiveOneWins) {
    kmsim::Simulation sim;
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(1, TRUE), 5000u);  // 0.5 ms is the finest
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 156250u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 156250u);  // nothing left to cancel
}

TEST(Timers, HardwareTimersAreExact) {
    kmsim::Simulation sim;
    DpcProbe probe;
    KTIMER timer;
    KeInitializeTimer(&timer);
    kmsim::SetTimerAtNs(&timer, 125000, &probe.dpc);  // one microframe
    KeWaitForSingleObject(&probe.ran, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(kmsim::NowNs(), 125000);
}

TEST(TimersDeathTest, FreeingPoolThatHoldsASetTimerStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), kmsim::PoolTag("Test")));
            KeInitializeTimer(timer);
            KeSetTimer(timer, RelativeMs(100), nullptr);
            ExFreePoolWithTag(timer, kmsim::PoolTag("Test"));
        },
        "STOP: 0x000000C7(.|\n)*holds the set timer");
}

TEST(TimersDeathTest, ATimerStillSetAtTeardownIsReported) {
    EXPECT_DEATH(
        {
            KTIMER timer;
            kmsim::Simulation sim;
            KeInitializeTimer(&timer);
            KeSetTimer(&timer, RelativeMs(100), nullptr);
        },
        "timer at 0x[0-9a-f]+ is still set");
}

}  // namespace
