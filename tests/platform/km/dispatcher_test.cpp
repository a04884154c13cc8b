// Dispatcher objects: events, mutexes, semaphores, fast and guarded mutexes,
// and the wait functions' statuses.

#include <gtest/gtest.h>

#include <atomic>

#include "km_time.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

using kmtest::RelativeMs;

NTSTATUS WaitMs(PVOID object, LONGLONG ms) {
    LARGE_INTEGER timeout = RelativeMs(ms);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

TEST(Events, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    kmsim::Simulation sim;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    {
        kmsim::Thread a("a", [&] {
            EXPECT_EQ(WaitMs(&event, 1000), STATUS_SUCCESS);
            released++;
        });
        kmsim::Thread b("b", [&] {
            EXPECT_EQ(WaitMs(&event, 1000), STATUS_SUCCESS);
            released++;
        });
        kmtest::SleepMs(100);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    }
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);  // returns the previous state
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Events, SynchronizationEventReleasesOneWaiterPerSignal) {
    kmsim::Simulation sim;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    kmsim::Thread a("a", [&] {
        if (WaitMs(&event, 1000) == STATUS_SUCCESS) released++;
    });
    kmsim::Thread b("b", [&] {
        if (WaitMs(&event, 1000) == STATUS_SUCCESS) released++;
    });
    kmtest::SleepMs(10);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kmtest::SleepMs(10);
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // the released waiter consumed the signal
    a.Join();
    b.Join();
    EXPECT_EQ(released.load(), 1);  // the other one timed out
}

TEST(Events, ZeroTimeoutPollsWithoutBlocking) {
    kmsim::Simulation sim;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::NowNs(), 0);
}

TEST(Mutexes, KernelMutexIsRecursiveForItsOwnerAndExcludesOthers) {
    kmsim::Simulation sim;
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    NTSTATUS other = STATUS_PENDING;
    kmsim::Thread contender("contender", [&] { other = WaitMs(&mutex, 50); });
    contender.Join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 0);  // still held once
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    kmsim::Thread taker("taker", [&] {
        other = WaitMs(&mutex, 50);
        KeReleaseMutex(&mutex, FALSE);
    });
    taker.Join();
    EXPECT_EQ(other, STATUS_SUCCESS);
}

TEST(MutexesDeathTest, ReleasingAMutexTheCallerDoesNotOwnStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeReleaseMutex(&mutex, FALSE);
        },
        "STOP: 0x00000011(.|\n)*does not own");
}

TEST(MutexesDeathTest, ASystemThreadThatEndsHoldingAMutexStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            kmsim::Thread leaker("leaker", [&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); });
        },
        "ends holding a mutex");
}

TEST(Mutexes, FastMutexRaisesToApcLevelAndSerialisesThreads) {
    kmsim::Simulation sim;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    int inside = 0;
    int maximum = 0;
    {
        std::vector<std::unique_ptr<kmsim::Thread>> threads;
        for (int i = 0; i < 3; ++i) {
            threads.push_back(std::make_unique<kmsim::Thread>("worker", [&] {
                for (int round = 0; round < 5; ++round) {
                    ExAcquireFastMutex(&mutex);
                    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
                    maximum = std::max(maximum, ++inside);
                    kmtest::SleepMs(1);  // a wait while holding it lets the others try
                    --inside;
                    ExReleaseFastMutex(&mutex);
                }
            }));
        }
    }
    EXPECT_EQ(maximum, 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    kmsim::Thread other("other", [&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex)); });
    other.Join();
    ExReleaseFastMutex(&mutex);
}

TEST(Mutexes, GuardedMutexExcludesAndRestoresIrql) {
    kmsim::Simulation sim;
    KGUARDED_MUTEX mutex;
    KeInitializeGuardedMutex(&mutex);
    KeAcquireGuardedMutex(&mutex);
    bool acquiredElsewhere = true;
    kmsim::Thread other("other", [&] { acquiredElsewhere = KeTryToAcquireGuardedMutex(&mutex); });
    other.Join();
    EXPECT_FALSE(acquiredElsewhere);
    KeReleaseGuardedMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(MutexesDeathTest, AcquiringAFastMutexTwiceStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            FAST_MUTEX mutex;
            ExInitializeFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
        },
        "already owns");
}

TEST(Semaphores, CountLimitsConcurrentAcquisitions) {
    kmsim::Simulation sim;
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 2, 3);
    EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitMs(&semaphore, 10), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
}

TEST(SemaphoresDeathTest, ReleasingPastTheLimitStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KSEMAPHORE semaphore;
            KeInitializeSemaphore(&semaphore, 1, 1);
            KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 1, FALSE);
        },
        "past its limit");
}

TEST(MultipleWaits, WaitAnyReturnsTheIndexOfTheSignalledObject) {
    kmsim::Simulation sim;
    KEVENT events[3];
    PVOID objects[3];
    for (int i = 0; i < 3; ++i) {
        KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
        objects[i] = &events[i];
    }
    kmsim::Thread setter("setter", [&] {
        kmtest::SleepMs(5);
        KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER timeout = RelativeMs(1000);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_WAIT_0 + 2);
    EXPECT_EQ(KeReadStateEvent(&events[2]), 0);
}

TEST(MultipleWaits, WaitAllCompletesOnlyWhenEveryObjectIsSignalledAndConsumesThemTogether) {
    kmsim::Simulation sim;
    ExSetTimerResolution(10000, TRUE);
    KEVENT first;
    KSEMAPHORE second;
    KeInitializeEvent(&first, SynchronizationEvent, FALSE);
    KeInitializeSemaphore(&second, 0, 5);
    PVOID objects[2] = {&first, &second};
    kmsim::Thread setter("setter", [&] {
        kmtest::SleepMs(5);
        KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
        kmtest::SleepMs(5);
        KeReleaseSemaphore(&second, SEMAPHORE_INCREMENT, 2, FALSE);
    });
    LARGE_INTEGER timeout = RelativeMs(1000);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(kmtest::NowMs(), 10.0);
    EXPECT_EQ(KeReadStateEvent(&first), 0);
    EXPECT_EQ(KeReadStateSemaphore(&second), 1);
    ExSetTimerResolution(0, FALSE);
}

TEST(MultipleWaits, WaitAllTimesOutWhenOneObjectStaysUnsignalled) {
    kmsim::Simulation sim;
    KEVENT a;
    KEVENT b;
    KeInitializeEvent(&a, NotificationEvent, TRUE);
    KeInitializeEvent(&b, NotificationEvent, FALSE);
    PVOID objects[2] = {&a, &b};
    LARGE_INTEGER timeout = RelativeMs(100);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_TIMEOUT);
}

TEST(MultipleWaitsDeathTest, MoreThanThreeObjectsNeedAWaitBlockArray) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KEVENT events[4];
            PVOID objects[4];
            for (int i = 0; i < 4; ++i) {
                KeInitializeEvent(&events[i], NotificationEvent, TRUE);
                objects[i] = &events[i];
            }
            KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        },
        "STOP: 0x0000000C");
}

TEST(Delays, DelayExecutionReturnsSuccessAfterTheInterval) {
    kmsim::Simulation sim;
    ExSetTimerResolution(10000, TRUE);
    LARGE_INTEGER interval = RelativeMs(3);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(kmtest::NowMs(), 3.0);
    ExSetTimerResolution(0, FALSE);
}

TEST(Delays, WithoutAFinerResolutionAOneMillisecondDelayLastsAClockTick) {
    kmsim::Simulation sim;
    kmtest::SleepMs(1);
    EXPECT_EQ(kmtest::NowMs(), 15.625);
}

TEST(DispatcherDeathTest, WaitingOnAnObjectThatWasNeverInitialisedStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            KEVENT event{};
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "never initialised");
}

TEST(DispatcherDeathTest, WaitingOnAnEventInPoolThatWasNeverInitialisedIsReported) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            auto* event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), kmsim::PoolTag("KEvt")));
            KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        },
        "a wait on a dispatcher object at 0x[0-9a-f]+ that was never initialised \\(its header holds type 0xCD\\)");
}

// A driver-like teardown that frees its context while a worker still waits
// on the event inside it.
struct Context {
    KEVENT stop;
};

int g_teardowns = 0;

DECLSPEC_NOINLINE void TearDownEarly(Context* context) {
    ExFreePoolWithTag(context, kmsim::PoolTag("KCtx"));
    g_teardowns += 1;
}

TEST(DispatcherDeathTest, FreeingPoolThatHoldsAnObjectAThreadWaitsOnStopsAtTheFree) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            auto* context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Context), kmsim::PoolTag("KCtx")));
            KeInitializeEvent(&context->stop, NotificationEvent, FALSE);
            kmsim::Thread worker("worker", [context] {
                KeWaitForSingleObject(&context->stop, Executive, KernelMode, FALSE, nullptr);
            });
            kmtest::SleepMs(1);
            TearDownEarly(context);
        },
        "freeing pool at 0x[0-9a-f]+ that holds the notification event at 0x[0-9a-f]+, which thread \"worker\" "
        "waits on(.|\n)*caller: [^\n]*TearDownEarly");
}

}  // namespace
