// Seeded interleaving: one simulation thread runs at a time and a policy
// seeded by the test picks who runs next, so a seed replays an interleaving
// exactly and different seeds explore different ones. Also the scheduler's
// reports: threads from outside, the watchdog, the time limit.

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "km_time.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

kmsim::Options Seeded(uint64_t seed) {
    kmsim::Options options;
    options.scheduling = kmsim::Scheduling::Seeded;
    options.seed = seed;
    return options;
}

// Three threads released together append their names, a step at a time,
// with stand-in calls between the steps: the log is the interleaving.
std::string RaceOfThreeThreads(const kmsim::Options& options) {
    kmsim::Simulation sim(options);
    KEVENT start;
    KeInitializeEvent(&start, NotificationEvent, FALSE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::string log;
    {
        std::vector<std::unique_ptr<kmsim::Thread>> threads;
        for (char name : {'a', 'b', 'c'}) {
            threads.push_back(std::make_unique<kmsim::Thread>("racer", [&, name] {
                KeWaitForSingleObject(&start, Executive, KernelMode, FALSE, nullptr);
                for (int step = 0; step < 8; ++step) {
                    KIRQL irql;
                    KeAcquireSpinLock(&lock, &irql);
                    log += name;
                    KeReleaseSpinLock(&lock, irql);
                    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kmsim::PoolTag("Test")), kmsim::PoolTag("Test"));
                }
            }));
        }
        kmtest::SleepMs(1);
        KeSetEvent(&start, IO_NO_INCREMENT, FALSE);
    }
    return log;
}

TEST(SeededInterleaving, TheSameSeedReplaysTheSameInterleaving) {
    for (uint64_t seed : {1u, 7u, 12345u}) {
        std::string first = RaceOfThreeThreads(Seeded(seed));
        EXPECT_EQ(first.size(), 24u);
        EXPECT_EQ(RaceOfThreeThreads(Seeded(seed)), first) << "seed " << seed;
    }
}

TEST(SeededInterleaving, DifferentSeedsExploreDifferentInterleavings) {
    std::set<std::string> seen;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        seen.insert(RaceOfThreeThreads(Seeded(seed)));
    }
    EXPECT_GE(seen.size(), 10u);
}

TEST(SeededInterleaving, EitherOfTwoReleasedThreadsMayRunFirst) {
    std::set<char> firsts;
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        kmsim::Simulation sim(Seeded(seed));
        KEVENT go;
        KeInitializeEvent(&go, NotificationEvent, FALSE);
        char first = 0;
        auto body = [&](char name) {
            KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
            KIRQL irql = KeRaiseIrqlToDpcLevel();  // no preemption point between the wake-up and the claim
            if (first == 0) first = name;
            KeLowerIrql(irql);
        };
        {
            kmsim::Thread a("a", [&] { body('a'); });
            kmsim::Thread b("b", [&] { body('b'); });
            kmtest::SleepMs(1);
            KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
        }
        firsts.insert(first);
    }
    EXPECT_EQ(firsts, (std::set<char>{'a', 'b'}));
}

TEST(SeededInterleaving, ParallelModeRunsWithoutThePolicy) {
    kmsim::Options options;
    options.scheduling = kmsim::Scheduling::Parallel;
    EXPECT_EQ(RaceOfThreeThreads(options).size(), 24u);
    kmsim::Simulation sim(options);
    EXPECT_EQ(kmsim::ThreadSwitches(), 0u);
}

TEST(SeededInterleavingDeathTest, AServiceCalledFromAThreadOutsideTheSimulationStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            std::thread outsider([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
            outsider.join();
        },
        "KeSetEvent from a thread outside the simulation");
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            std::thread outsider([&] { ExAllocatePoolWithTag(NonPagedPoolNx, 8, kmsim::PoolTag("Test")); });
            outsider.join();
        },
        "ExAllocatePoolWithTag from a thread outside the simulation");
}

TEST(SchedulerDeathTest, TheWatchdogReportsAThreadBlockedOutsideAStandInWait) {
    EXPECT_DEATH(
        {
            kmsim::Options options;
            options.watchdog_s = 0.3;
            kmsim::Simulation sim(options);
            kmsim::Thread sleeper("sleeper", [] {
                KeQueryPerformanceCounter(nullptr);
                kmtest::SleepMs(5);
                std::this_thread::sleep_for(std::chrono::seconds(30));
            });
            sleeper.Join();
        },
        "watchdog: no simulation thread made progress(.|\n)*thread \"test\" waits for any of thread at "
        "0x[0-9a-f]+ \\(\"sleeper\"\\)(.|\n)*thread \"sleeper\" (runs|is running)(.|\n)*KeDelayExecutionThread");
}

TEST(SchedulerDeathTest, TheTimeLimitStopPrintsEveryThread) {
    EXPECT_DEATH(
        {
            kmsim::Options options;
            options.virtualLimit_ns = 1000LL * 1000 * 1000;
            kmsim::Simulation sim(options);
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            kmsim::Thread poller("poller", [] {
                for (;;) kmtest::SleepMs(100);
            });
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "thread \"poller\" waits for any of nothing \\(a delay\\)(.|\n)*virtual time would pass the simulation's "
        "limit");
}

TEST(SchedulerDeathTest, AWaitForAFastMutexNamesItsOwner) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            FAST_MUTEX mutex;
            KEVENT never;
            ExInitializeFastMutex(&mutex);
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            kmsim::Thread holder("holder", [&] {
                ExAcquireFastMutex(&mutex);
                KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
            });
            kmtest::SleepMs(1);
            ExAcquireFastMutex(&mutex);
        },
        "thread \"test\" waits for any of fast or guarded mutex at 0x[0-9a-f]+ \\(owned by \"holder\"\\)");
}

TEST(PastDueDeadlines, AnAbsoluteTimeoutThatHasPassedExpiresAtOnce) {
    kmsim::Simulation sim;
    kmtest::SleepMs(100);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    int64_t before = kmsim::NowNs();
    LARGE_INTEGER past;
    past.QuadPart = now.QuadPart - 10000;  // a millisecond ago
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
    EXPECT_EQ(kmsim::NowNs(), before);

    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, past, nullptr);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::NowNs(), before);
}

}  // namespace
