// The verifier's checks on driver routines: the state a routine leaves
// behind when it returns, the pending rules of dispatch and completion
// routines, and the lock order learnt from acquisitions. Each test has a
// small driver-like routine commit the fault and expects the stop, naming
// the routine.

#include <gtest/gtest.h>

#include "km_time.h"
#include "kmsim/io.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

// ---------------------------------------------------------------- a two-driver stack

// An upper and a lower driver, each with one device, and an IRP the test
// owns: its owner's completion routine takes it back and frees it.
struct Stack {
    Stack(PDRIVER_DISPATCH upperDispatch, PDRIVER_DISPATCH lowerDispatch) {
        upperDriver.get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = upperDispatch;
        lowerDriver.get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = lowerDispatch;
        IoCreateDevice(lowerDriver.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
        IoCreateDevice(upperDriver.get(), sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
        *static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension) = IoAttachDeviceToDeviceStack(upper, lower);
    }
    ~Stack() {
        IoDetachDevice(lower);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
    }
    // Sends a fresh IRP to the upper device and returns what its dispatch routine returned.
    NTSTATUS Send() {
        PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, TakeBack, this, TRUE, TRUE, TRUE);
        return IoCallDriver(upper, irp);
    }
    static NTSTATUS TakeBack(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        static_cast<Stack*>(context)->completed += 1;
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    kmsim::DriverObject upperDriver{L"\\Driver\\upper"};
    kmsim::DriverObject lowerDriver{L"\\Driver\\lower"};
    PDEVICE_OBJECT upper = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    int completed = 0;
};

PIRP g_parked = nullptr;  // an IRP a lower driver keeps pending

PDEVICE_OBJECT Below(PDEVICE_OBJECT device) { return *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension); }

void CompleteParked() {
    PIRP irp = g_parked;
    g_parked = nullptr;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Below(device), irp);
}

NTSTATUS MarkAndPark(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_parked = irp;
    return STATUS_PENDING;
}

NTSTATUS CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS PropagatePending(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ForwardWithCompletion(PDEVICE_OBJECT device, PIRP irp, PIO_COMPLETION_ROUTINE routine) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Below(device), irp);
}

NTSTATUS ForwardPropagating(PDEVICE_OBJECT device, PIRP irp) {
    return ForwardWithCompletion(device, irp, PropagatePending);
}

// Waits for the lower driver's completion and completes the IRP again
// itself: the synchronous forwarding pattern.
NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    IoCallDriver(Below(device), irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(PendingRules, TheUsualPatternsPass) {
    kmsim::Simulation sim;
    {
        Stack passThrough(PassDown, MarkAndPark);
        EXPECT_EQ(passThrough.Send(), STATUS_PENDING);
        CompleteParked();
        EXPECT_EQ(passThrough.completed, 1);
    }
    {
        Stack propagating(ForwardPropagating, MarkAndPark);
        EXPECT_EQ(propagating.Send(), STATUS_PENDING);
        CompleteParked();
        EXPECT_EQ(propagating.completed, 1);
    }
    {
        Stack synchronous(ForwardAndWait, CompleteAtOnce);
        EXPECT_EQ(synchronous.Send(), STATUS_SUCCESS);
        EXPECT_EQ(synchronous.completed, 1);
    }
}

TEST(PendingRulesDeathTest, ReturningPendingWithoutMarkingTheIrpStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Stack stack(PassDown, [](PDEVICE_OBJECT, PIRP irp) {
                g_parked = irp;
                return STATUS_PENDING;
            });
            stack.Send();
            CompleteParked();
        },
        "the dispatch routine [^\n]* returned STATUS_PENDING without IoMarkIrpPending");
}

TEST(PendingRulesDeathTest, MarkingTheIrpPendingAndReturningAnotherStatusStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Stack stack(PassDown, [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            });
            stack.Send();
        },
        "the dispatch routine [^\n]* marked the IRP pending and returned 0x00000000 instead of STATUS_PENDING");
}

NTSTATUS ForgetToPropagate(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

TEST(PendingRulesDeathTest, ACompletionRoutineThatDropsPendingReturnedStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Stack stack([](PDEVICE_OBJECT device,
                           PIRP irp) { return ForwardWithCompletion(device, irp, ForgetToPropagate); },
                        MarkAndPark);
            stack.Send();
            CompleteParked();
        },
        "the completion routine [^\n]*ForgetToPropagate[^\n]* let completion go on with Irp->PendingReturned set "
        "but did not call IoMarkIrpPending");
}

// ---------------------------------------------------------------- state at a routine's exit

NTSTATUS LeaveIrqlRaised(PDEVICE_OBJECT, PIRP irp, PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(RoutineExitDeathTest, ACompletionRoutineReturningAtAnotherIrqlIsNamed) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Stack stack(PassDown, CompleteAtOnce);
            PIRP irp = IoAllocateIrp(stack.upper->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, LeaveIrqlRaised, nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(stack.upper, irp);
        },
        "STOP: 0x000000C8\n\\*\\*\\* the completion routine [^\n]*LeaveIrqlRaised[^\n]* returned at IRQL 2; it "
        "was called at IRQL 0");
}

FAST_MUTEX g_deviceMutex;

NTSTATUS KeepAFastMutex(PDEVICE_OBJECT device, PIRP irp) {
    ExAcquireFastMutex(&g_deviceMutex);
    return CompleteAtOnce(device, irp);
}

TEST(RoutineExitDeathTest, ADispatchRoutineReturningWithAFastMutexIsNamed) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            ExInitializeFastMutex(&g_deviceMutex);
            Stack stack(KeepAFastMutex, CompleteAtOnce);
            stack.Send();
        },
        "the dispatch routine [^\n]*KeepAFastMutex[^\n]* returned holding a fast or guarded mutex it acquired");
}

struct Locked {
    KSPIN_LOCK lock;
    KDPC dpc;
    KTIMER timer;
    KMUTEX mutex;
};

VOID KeepTheSpinLock(PKDPC, PVOID context, PVOID, PVOID) {
    KeAcquireSpinLockAtDpcLevel(&static_cast<Locked*>(context)->lock);
}

TEST(RoutineExitDeathTest, ADpcReturningWithASpinLockIsNamed) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Locked locked;
            KeInitializeSpinLock(&locked.lock);
            KeInitializeDpc(&locked.dpc, KeepTheSpinLock, &locked);
            KeInsertQueueDpc(&locked.dpc, nullptr, nullptr);
            KeFlushQueuedDpcs();
        },
        "the DPC routine [^\n]*KeepTheSpinLock[^\n]* returned holding 1 spin lock\\(s\\) it acquired");
}

VOID RaiseToHigh(PKDPC, PVOID, PVOID, PVOID) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
}

TEST(RoutineExitDeathTest, ATimerDpcReturningAtAnotherIrqlIsNamed) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Locked locked;
            KeInitializeDpc(&locked.dpc, RaiseToHigh, nullptr);
            KeInitializeTimer(&locked.timer);
            KeSetTimer(&locked.timer, kmtest::RelativeMs(5), &locked.dpc);
            kmtest::SleepMs(50);
        },
        "the timer DPC routine [^\n]*RaiseToHigh[^\n]* returned at IRQL 15; it was called at IRQL 2");
}

VOID KeepTheMutex(PDEVICE_OBJECT, PVOID context) {
    KeWaitForSingleObject(&static_cast<Locked*>(context)->mutex, Executive, KernelMode, FALSE, nullptr);
}

TEST(RoutineExitDeathTest, AWorkItemReturningWithAKernelMutexIsNamed) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            Stack stack(PassDown, CompleteAtOnce);
            Locked locked;
            KeInitializeMutex(&locked.mutex, 0);
            PIO_WORKITEM item = IoAllocateWorkItem(stack.lower);
            IoQueueWorkItem(item, KeepTheMutex, DelayedWorkQueue, &locked);
            kmtest::SleepMs(50);
        },
        "the work item routine [^\n]*KeepTheMutex[^\n]* returned holding a kernel mutex it acquired");
}

VOID StayInACriticalRegion(PVOID) { KeEnterCriticalRegion(); }

TEST(RoutineExitDeathTest, ASystemThreadReturningInsideACriticalRegionIsNamed) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            HANDLE handle;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, StayInACriticalRegion,
                                 nullptr);
            kmtest::SleepMs(50);
        },
        "the system thread routine [^\n]*StayInACriticalRegion[^\n]* returned inside a critical region it entered");
}

// ---------------------------------------------------------------- lock order

struct ThreeLocks {
    KSPIN_LOCK a;
    KSPIN_LOCK b;
    KSPIN_LOCK c;
};

DECLSPEC_NOINLINE void Nest(PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
    KIRQL irql;
    KeAcquireSpinLock(outer, &irql);
    KeAcquireSpinLockAtDpcLevel(inner);
    KeReleaseSpinLockFromDpcLevel(inner);
    KeReleaseSpinLock(outer, irql);
}

DECLSPEC_NOINLINE void TakeAThenB(ThreeLocks* locks) { Nest(&locks->a, &locks->b); }
DECLSPEC_NOINLINE void TakeBThenA(ThreeLocks* locks) { Nest(&locks->b, &locks->a); }

// The scenarios live in functions of their own: each lock's class is the
// source line that initialised it, and a death test's statement is one line.
void TakeTwoSpinLocksInBothOrders() {
    kmsim::Simulation sim;
    ThreeLocks locks;
    KeInitializeSpinLock(&locks.a);
    KeInitializeSpinLock(&locks.b);
    TakeAThenB(&locks);
    TakeBThenA(&locks);  // never deadlocks in this run: one thread, one after the other
}

TEST(LockOrderDeathTest, TwoSpinLocksTakenInBothOrdersStopWithBothSites) {
    EXPECT_DEATH(TakeTwoSpinLocksInBothOrders(),
                 "lock order cycle: acquiring a spin lock initialised in [^\n]*verifier_test.cpp:[0-9]+\\) while "
                 "holding a spin lock initialised in [^\n]*; the opposite order was taken before: acquired at "
                 "[^\n]*Nest[^\n]*, then at [^\n]*Nest");
}

void TakeAMutexAndAFastMutexInBothOrders() {
    kmsim::Simulation sim;
    KMUTEX mutex;
    FAST_MUTEX fast;
    KeInitializeMutex(&mutex, 0);
    ExInitializeFastMutex(&fast);
    {
        kmsim::Thread first("first", [&] {
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            ExAcquireFastMutex(&fast);
            ExReleaseFastMutex(&fast);
            KeReleaseMutex(&mutex, FALSE);
        });
    }
    kmsim::Thread second("second", [&] {
        ExAcquireFastMutex(&fast);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    });
}

TEST(LockOrderDeathTest, AKernelMutexAndAFastMutexTakenInBothOrdersByTwoThreadsStop) {
    EXPECT_DEATH(TakeAMutexAndAFastMutexInBothOrders(),
                 "lock order cycle: acquiring a kernel mutex initialised in [^\n]* while holding a fast mutex");
}

void TakeThreeSpinLocksInACycle() {
    kmsim::Simulation sim;
    ThreeLocks locks;
    KeInitializeSpinLock(&locks.a);
    KeInitializeSpinLock(&locks.b);
    KeInitializeSpinLock(&locks.c);
    Nest(&locks.a, &locks.b);
    Nest(&locks.b, &locks.c);
    Nest(&locks.c, &locks.a);
}

TEST(LockOrderDeathTest, ACycleThroughThreeLockClassesStops) {
    EXPECT_DEATH(TakeThreeSpinLocksInACycle(), "lock order cycle");
}

TEST(LockOrder, AConsistentOrderNestedLocksOfOneClassAndTryAcquisitionsPass) {
    kmsim::Simulation sim;
    ThreeLocks pair[2];
    for (ThreeLocks& locks : pair) {
        KeInitializeSpinLock(&locks.a);  // one site: both `a` locks are one class
        KeInitializeSpinLock(&locks.b);
    }
    for (int round = 0; round < 3; ++round) {
        for (ThreeLocks& locks : pair) {
            Nest(&locks.a, &locks.b);
        }
    }
    Nest(&pair[0].a, &pair[1].a);
    Nest(&pair[1].a, &pair[0].a);
    FAST_MUTEX first;
    FAST_MUTEX second;
    ExInitializeFastMutex(&first);
    ExInitializeFastMutex(&second);
    ExAcquireFastMutex(&first);
    ExAcquireFastMutex(&second);
    ExReleaseFastMutex(&second);
    ExReleaseFastMutex(&first);
    ExAcquireFastMutex(&second);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&first));  // a try never waits, so it cannot deadlock
    ExReleaseFastMutex(&first);
    ExReleaseFastMutex(&second);
}

}  // namespace
