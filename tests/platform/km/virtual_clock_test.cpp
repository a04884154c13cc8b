// The simulation clock: virtual time jumps to the next deadline once every
// simulation thread is blocked, and a simulation with nothing pending is a
// deadlock that stops with a report.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "km_time.h"
#include "kmsim/simulation.h"

namespace {

using kmtest::RelativeMs;

TEST(VirtualClock, TenSecondWaitTimesOutAfterTenSimulatedSecondsInWellUnderOneRealSecond) {
    kmsim::Simulation sim;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    auto realStart = std::chrono::steady_clock::now();
    int64_t start = kmsim::NowNs();
    LARGE_INTEGER timeout = RelativeMs(10000);
    NTSTATUS status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    int64_t elapsed = kmsim::NowNs() - start;
    auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_GE(elapsed, 10LL * 1000 * 1000 * 1000);
    EXPECT_LT(elapsed, 10LL * 1000 * 1000 * 1000 + 156250LL * 100);  // at most one clock tick late
    EXPECT_LT(real, std::chrono::milliseconds(500));
}

TEST(VirtualClock, TimeStandsStillWhileAThreadCanRun) {
    kmsim::Simulation sim;
    int64_t before = kmsim::NowNs();
    volatile uint64_t work = 0;
    for (int i = 0; i < 1000000; ++i) {
        work = work + static_cast<uint64_t>(i);
    }
    LARGE_INTEGER counter = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(kmsim::NowNs(), before);
    EXPECT_EQ(counter.QuadPart, before / 100);
}

TEST(VirtualClock, TimersFireInDeadlineOrderWhateverTheOrderTheyWereSet) {
    kmsim::Simulation sim;
    ExSetTimerResolution(10000, TRUE);  // 1 ms ticks, so the due times stay distinct
    struct Fired {
        KTIMER timer;
        KDPC dpc;
        int id;
        std::vector<int>* log;
    };
    std::vector<int> log;
    static const int kDueMs[] = {40, 10, 30, 20, 50};
    Fired fired[5];
    for (int i = 0; i < 5; ++i) {
        fired[i].id = kDueMs[i];
        fired[i].log = &log;
        KeInitializeTimer(&fired[i].timer);
        KeInitializeDpc(
            &fired[i].dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) {
                auto* f = static_cast<Fired*>(context);
                f->log->push_back(f->id);
            },
            &fired[i]);
        KeSetTimer(&fired[i].timer, RelativeMs(kDueMs[i]), &fired[i].dpc);
    }
    kmtest::SleepMs(60);
    KeFlushQueuedDpcs();
    EXPECT_EQ(log, (std::vector<int>{10, 20, 30, 40, 50}));
    ExSetTimerResolution(0, FALSE);
}

TEST(VirtualClock, ThreadsSleepingDifferentAmountsWakeInTimeOrderEveryRun) {
    kmsim::Simulation sim;
    ExSetTimerResolution(10000, TRUE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::vector<std::pair<int, double>> wakeups;
    {
        std::vector<std::unique_ptr<kmsim::Thread>> threads;
        for (int id = 0; id < 4; ++id) {
            threads.push_back(std::make_unique<kmsim::Thread>("sleeper", [id, &lock, &wakeups] {
                for (int round = 0; round < 3; ++round) {
                    kmtest::SleepMs(7 + 3 * id);
                    KLOCK_QUEUE_HANDLE handle;
                    KeAcquireInStackQueuedSpinLock(&lock, &handle);
                    wakeups.emplace_back(id, kmtest::NowMs());
                    KeReleaseInStackQueuedSpinLock(&handle);
                }
            }));
        }
    }
    ASSERT_EQ(wakeups.size(), 12u);
    for (size_t i = 1; i < wakeups.size(); ++i) {
        EXPECT_LE(wakeups[i - 1].second, wakeups[i].second);
    }
    // Thread 0 sleeps 7 ms per round: it wakes at 7, 14 and 21 ms exactly.
    std::vector<double> first;
    for (auto& [id, ms] : wakeups) {
        if (id == 0) first.push_back(ms);
    }
    EXPECT_EQ(first, (std::vector<double>{7.0, 14.0, 21.0}));
    ExSetTimerResolution(0, FALSE);
}

TEST(VirtualClockDeathTest, EveryThreadBlockedWithNothingPendingIsReportedAsADeadlock) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "deadlock(.|\n)*thread \"test\" waits for any of notification event");
}

TEST(VirtualClockDeathTest, DeadlockReportNamesTheOwnerOfTheMutexAThreadWaitsFor) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KMUTEX mutex;
            KEVENT never;
            KeInitializeMutex(&mutex, 0);
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            kmsim::Thread holder("holder", [&] {
                KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
            });
            kmtest::SleepMs(1);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        },
        "mutex at 0x[0-9a-f]+ \\(owned by \"holder\"\\)");
}

TEST(VirtualClockDeathTest, AWaitFromAThreadOutsideTheSimulationStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            std::thread outsider([&] {
                LARGE_INTEGER timeout = RelativeMs(1);
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
            });
            outsider.join();
        },
        "outside the simulation");
}

TEST(VirtualClock, AbsoluteTimeoutsUseSystemTime) {
    kmsim::Simulation sim;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER due;
    due.QuadPart = now.QuadPart + 2 * 1000 * 10000;  // two seconds from now
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &due), STATUS_TIMEOUT);
    EXPECT_GE(kmsim::NowNs(), 2LL * 1000 * 1000 * 1000);
    EXPECT_LT(kmsim::NowNs(), 2LL * 1000 * 1000 * 1000 + 156250LL * 100);
}

TEST(RealClock, TimeFollowsTheHostClock) {
    kmsim::Options options;
    options.clock = kmsim::ClockMode::Real;
    kmsim::Simulation sim(options);
    ExSetTimerResolution(10000, TRUE);
    auto realStart = std::chrono::steady_clock::now();
    kmtest::SleepMs(20);
    EXPECT_GE(std::chrono::steady_clock::now() - realStart, std::chrono::milliseconds(20));
    EXPECT_GE(kmsim::NowNs(), 20LL * 1000 * 1000);
    ExSetTimerResolution(0, FALSE);
}

}  // namespace
