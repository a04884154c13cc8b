// System threads, thread objects and handles, priorities.

#include <gtest/gtest.h>

#include "km_time.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

struct Worker {
    int runs = 0;
    KIRQL irql = HIGH_LEVEL;
    bool terminateEarly = false;
    bool pastTerminate = false;
};

VOID WorkerRoutine(PVOID context) {
    auto* worker = static_cast<Worker*>(context);
    worker->runs++;
    worker->irql = KeGetCurrentIrql();
    kmtest::SleepMs(20);
    if (worker->terminateEarly) {
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    worker->pastTerminate = true;
}

PETHREAD StartWorker(Worker* worker) {
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerRoutine, worker),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    return static_cast<PETHREAD>(object);
}

TEST(SystemThreads, RunAtPassiveLevelAndCanBeWaitedForThroughTheirObject) {
    kmsim::Simulation sim;
    Worker worker;
    PETHREAD thread = StartWorker(&worker);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(worker.runs, 1);
    EXPECT_EQ(worker.irql, PASSIVE_LEVEL);
    EXPECT_TRUE(worker.pastTerminate);
    EXPECT_GE(kmtest::NowMs(), 20.0);
}

TEST(SystemThreads, TerminateEndsTheThreadAtOnce) {
    kmsim::Simulation sim;
    Worker worker;
    worker.terminateEarly = true;
    PETHREAD thread = StartWorker(&worker);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_EQ(worker.runs, 1);
    EXPECT_FALSE(worker.pastTerminate);
}

TEST(SystemThreads, CreationCanBeMadeToFail) {
    kmsim::Simulation sim;
    kmsim::FailNthAllocation(1);
    HANDLE handle = nullptr;
    Worker worker;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerRoutine, &worker),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(worker.runs, 0);
}

TEST(SystemThreads, PriorityIsKeptPerThread) {
    kmsim::Simulation sim;
    PKTHREAD self = KeGetCurrentThread();
    KPRIORITY before = KeQueryPriorityThread(self);
    EXPECT_EQ(KeSetPriorityThread(self, LOW_REALTIME_PRIORITY), before);
    EXPECT_EQ(KeQueryPriorityThread(self), LOW_REALTIME_PRIORITY);
    KeSetPriorityThread(self, before);
}

TEST(Handles, ReferencingWithTheWrongTypeOrAClosedHandleFails) {
    kmsim::Simulation sim;
    Worker worker;
    HANDLE handle = nullptr;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerRoutine, &worker);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
    PVOID again = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &again, nullptr), STATUS_INVALID_HANDLE);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
}

TEST(HandlesDeathTest, AnOpenHandleAtTeardownIsALeak) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Worker worker;
            HANDLE handle = nullptr;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerRoutine, &worker);
            kmtest::SleepMs(100);
        },
        "handle 0x[0-9a-f]+ to a Thread object is still open");
}

TEST(HandlesDeathTest, ClosingAHandleTwiceStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Worker worker;
            HANDLE handle = nullptr;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerRoutine, &worker);
            ZwClose(handle);
            ZwClose(handle);
        },
        "STOP: 0x00000093");
}

TEST(HandlesDeathTest, DereferencingOnceTooOftenStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Worker worker;
            PETHREAD thread = StartWorker(&worker);
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(thread);
            ObDereferenceObject(thread);
        },
        "not a live object");
}

}  // namespace
