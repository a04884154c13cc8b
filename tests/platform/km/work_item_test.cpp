// Work items on the system worker threads.

#include <gtest/gtest.h>

#include "km_time.h"
#include "kmsim/io.h"
#include "kmsim/simulation.h"

namespace {

struct Job {
    PIO_WORKITEM item = nullptr;
    int runs = 0;
    KIRQL irql = HIGH_LEVEL;
    PDEVICE_OBJECT device = nullptr;
    KEVENT done;
    KEVENT* waitFor = nullptr;
};

VOID RunJob(PDEVICE_OBJECT device, PVOID context) {
    auto* job = static_cast<Job*>(context);
    if (job->waitFor != nullptr) {
        KeWaitForSingleObject(job->waitFor, Executive, KernelMode, FALSE, nullptr);
    }
    job->runs++;
    job->irql = KeGetCurrentIrql();
    job->device = device;
    KeSetEvent(&job->done, IO_NO_INCREMENT, FALSE);
}

// A driver with one device object, as work items need one.
struct DriverWithDevice {
    kmsim::DriverObject driver{L"\\Driver\\test"};
    PDEVICE_OBJECT device = nullptr;
    DriverWithDevice() { EXPECT_EQ(IoCreateDevice(driver.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS); }
    ~DriverWithDevice() { IoDeleteDevice(device); }
};

TEST(WorkItems, QueuedFromDispatchLevelRunAtPassiveLevelWithTheirDevice) {
    kmsim::Simulation sim;
    DriverWithDevice driver;
    PDEVICE_OBJECT device = driver.device;
    Job job;
    KeInitializeEvent(&job.done, NotificationEvent, FALSE);
    job.item = IoAllocateWorkItem(device);
    ASSERT_NE(job.item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(job.item, RunJob, DelayedWorkQueue, &job);
    KeLowerIrql(old);
    KeWaitForSingleObject(&job.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(job.runs, 1);
    EXPECT_EQ(job.irql, PASSIVE_LEVEL);
    EXPECT_EQ(job.device, device);
    IoFreeWorkItem(job.item);
}

TEST(WorkItems, AWorkItemWaitingForAnotherDoesNotStarveIt) {
    kmsim::Simulation sim;
    DriverWithDevice driver;
    PDEVICE_OBJECT device = driver.device;
    Job first;
    Job second;
    KeInitializeEvent(&first.done, NotificationEvent, FALSE);
    KeInitializeEvent(&second.done, NotificationEvent, FALSE);
    first.waitFor = &second.done;  // the first cannot finish before the second ran
    first.item = IoAllocateWorkItem(device);
    second.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(first.item, RunJob, DelayedWorkQueue, &first);
    IoQueueWorkItem(second.item, RunJob, DelayedWorkQueue, &second);
    KeWaitForSingleObject(&first.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(second.runs, 1);
    IoFreeWorkItem(first.item);
    IoFreeWorkItem(second.item);
}

TEST(WorkItems, AnItemCanBeQueuedAgainOnceItRuns) {
    kmsim::Simulation sim;
    DriverWithDevice driver;
    PDEVICE_OBJECT device = driver.device;
    Job job;
    KeInitializeEvent(&job.done, SynchronizationEvent, FALSE);
    job.item = IoAllocateWorkItem(device);
    for (int i = 0; i < 3; ++i) {
        IoQueueWorkItem(job.item, RunJob, DelayedWorkQueue, &job);
        KeWaitForSingleObject(&job.done, Executive, KernelMode, FALSE, nullptr);
        kmtest::SleepMs(1);
    }
    EXPECT_EQ(job.runs, 3);
    IoFreeWorkItem(job.item);
}

}  // namespace
