// The I/O manager: IRPs down a device stack and back up through completion
// routines, requests the I/O manager builds, device objects opened by name.

#include <gtest/gtest.h>

#include <vector>

#include "km_time.h"
#include "kmsim/io.h"
#include "kmsim/simulation.h"

namespace {

constexpr ULONG kIoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlInternal = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

// The lower driver of a two-device stack: what it saw, and how it answers.
struct Lower {
    std::vector<UCHAR> majors;
    bool pend = false;
    PIRP pending = nullptr;
    NTSTATUS answer = STATUS_SUCCESS;
    PVOID argument1 = nullptr;
};
Lower* g_lower = nullptr;

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_lower->majors.push_back(stack->MajorFunction);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == kIoctlBuffered) {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        for (ULONG i = 0; i < stack->Parameters.DeviceIoControl.OutputBufferLength; ++i) {
            buffer[i] = static_cast<UCHAR>(buffer[i] + 1);
        }
        irp->IoStatus.Information = stack->Parameters.DeviceIoControl.OutputBufferLength;
    }
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        g_lower->argument1 = stack->Parameters.Others.Argument1;
    }
    if (g_lower->pend) {
        IoMarkIrpPending(irp);
        g_lower->pending = irp;
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = g_lower->answer;
    IoCompleteRequest(irp, IO_SOUND_INCREMENT);
    return g_lower->answer;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
}

class IrpTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_lower = &lower_;
        lowerDriver_.get()->MajorFunction[IRP_MJ_CREATE] = LowerDispatch;
        lowerDriver_.get()->MajorFunction[IRP_MJ_CLEANUP] = LowerDispatch;
        lowerDriver_.get()->MajorFunction[IRP_MJ_CLOSE] = LowerDispatch;
        lowerDriver_.get()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDispatch;
        lowerDriver_.get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
        for (PDRIVER_DISPATCH& dispatch : upperDriver_.get()->MajorFunction) {
            dispatch = PassDown;
        }
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\Lower0");
        ASSERT_EQ(IoCreateDevice(lowerDriver_.get(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &lowerDevice_),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(upperDriver_.get(), sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                 &upperDevice_),
                  STATUS_SUCCESS);
        *static_cast<PDEVICE_OBJECT*>(upperDevice_->DeviceExtension) =
            IoAttachDeviceToDeviceStack(upperDevice_, lowerDevice_);
    }
    void TearDown() override {
        IoDetachDevice(lowerDevice_);
        IoDeleteDevice(upperDevice_);
        IoDeleteDevice(lowerDevice_);
    }

    kmsim::Simulation sim_;
    kmsim::DriverObject lowerDriver_{L"\\Driver\\lower"};
    kmsim::DriverObject upperDriver_{L"\\Driver\\upper"};
    Lower lower_;
    PDEVICE_OBJECT lowerDevice_ = nullptr;
    PDEVICE_OBJECT upperDevice_ = nullptr;
};

struct Completion {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS status = STATUS_PENDING;
    KEVENT done;
    Completion() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
};

NTSTATUS OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* completion = static_cast<Completion*>(context);
    completion->calls++;
    completion->device = device;
    completion->pendingReturned = irp->PendingReturned;
    completion->status = irp->IoStatus.Status;
    KeSetEvent(&completion->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, AttachingBuildsAStackThatIsOneDeeper) {
    EXPECT_EQ(upperDevice_->StackSize, 2);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(lowerDevice_);
    EXPECT_EQ(top, upperDevice_);
    ObDereferenceObject(top);
}

TEST_F(IrpTest, CompletionRoutineRunsOnceWithTheIrpsFinalStatus) {
    PIRP irp = IoAllocateIrp(lowerDevice_->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    Completion completion;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OnComplete, &completion, TRUE, TRUE, TRUE);
    lower_.answer = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(completion.device, nullptr);  // the caller of the first stack location has none
    EXPECT_FALSE(completion.pendingReturned);
    IoFreeIrp(irp);
}

NTSTATUS ContinueCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    OnComplete(device, irp, context);
    return STATUS_SUCCESS;  // let completion go on upwards
}

TEST_F(IrpTest, RoutinesAreInvokedOnlyForTheOutcomesTheyAskedFor) {
    PIRP irp = IoAllocateIrp(lowerDevice_->StackSize + 1, FALSE);
    Completion outer;
    Completion errorsOnly;
    IoSetCompletionRoutine(irp, OnComplete, &outer, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);  // this test now owns a stack location, as a driver in the stack would
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, ContinueCompletion, &errorsOnly, FALSE, TRUE, FALSE);
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_SUCCESS);
    EXPECT_EQ(errorsOnly.calls, 0);
    EXPECT_EQ(outer.calls, 1);
    EXPECT_EQ(outer.status, STATUS_SUCCESS);

    IoReuseIrp(irp, STATUS_SUCCESS);
    Completion outerAgain;
    IoSetCompletionRoutine(irp, OnComplete, &outerAgain, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, ContinueCompletion, &errorsOnly, FALSE, TRUE, FALSE);
    lower_.answer = STATUS_UNSUCCESSFUL;
    IoCallDriver(lowerDevice_, irp);
    EXPECT_EQ(errorsOnly.calls, 1);
    EXPECT_EQ(errorsOnly.device, nullptr);
    EXPECT_EQ(outerAgain.calls, 1);
    EXPECT_EQ(outerAgain.status, STATUS_UNSUCCESSFUL);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, APendedIrpCompletesLaterAndPropagatesPendingReturned) {
    PIRP irp = IoAllocateIrp(upperDevice_->StackSize, FALSE);
    Completion completion;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OnComplete, &completion, TRUE, TRUE, TRUE);
    lower_.pend = true;
    EXPECT_EQ(IoCallDriver(upperDevice_, irp), STATUS_PENDING);
    EXPECT_EQ(completion.calls, 0);
    kmsim::Thread completer("completer", [&] {
        kmtest::SleepMs(5);
        lower_.pending->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(lower_.pending, IO_NO_INCREMENT);
    });
    KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(completion.pendingReturned);
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    completer.Join();
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, BufferedControlRequestCopiesBothWaysAndFreesItself) {
    UCHAR input[4] = {1, 2, 3, 4};
    UCHAR output[4] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kIoctlBuffered, upperDevice_, input, sizeof input, output, sizeof output,
                                             FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(upperDevice_, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(output[0], 2);
    EXPECT_EQ(output[3], 5);
    EXPECT_EQ(kmsim::CompletionsWithBoost(IO_SOUND_INCREMENT), 1u);
}

TEST_F(IrpTest, InternalControlRequestCarriesItsArgumentAndSignalsWhenPended) {
    int urb = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kIoctlInternal, upperDevice_, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    lower_.pend = true;
    EXPECT_EQ(IoCallDriver(upperDevice_, irp), STATUS_PENDING);
    EXPECT_EQ(lower_.argument1, &urb);
    lower_.pending->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IoCompleteRequest(lower_.pending, IO_NO_INCREMENT);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(IrpTest, OpeningADeviceByNameSendsCreateAndCleanupAndTheLastReferenceCloses) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\device\\LOWER0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, upperDevice_);  // requests go to the top of the stack
    EXPECT_EQ(file->DeviceObject, lowerDevice_);
    EXPECT_EQ(lower_.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    ObDereferenceObject(file);
    EXPECT_EQ(lower_.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    UNICODE_STRING missing;
    RtlInitUnicodeString(&missing, L"\\Device\\Nowhere");
    EXPECT_EQ(IoGetDeviceObjectPointer(&missing, FILE_ALL_ACCESS, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IrpTest, AFailedOpenReturnsTheDevicesStatus) {
    lower_.answer = STATUS_DEVICE_BUSY;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Lower0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_DEVICE_BUSY);
}

struct CancelState {
    int calls = 0;
};
CancelState* g_cancel = nullptr;

VOID OnCancel(PDEVICE_OBJECT, PIRP irp) {
    g_cancel->calls++;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(IrpTest, CancellingCallsTheCancelRoutineOnce) {
    CancelState state;
    g_cancel = &state;
    PIRP irp = IoAllocateIrp(lowerDevice_->StackSize, FALSE);
    Completion completion;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OnComplete, &completion, TRUE, TRUE, TRUE);
    lower_.pend = true;
    IoCallDriver(lowerDevice_, irp);
    IoSetCancelRoutine(irp, OnCancel);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(state.calls, 1);
    EXPECT_EQ(completion.status, STATUS_CANCELLED);
    EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine any more
    IoFreeIrp(irp);
}

// A device of its own driver, and a one-location internal control IRP to send it.
struct OneDevice {
    explicit OneDevice(PDRIVER_DISPATCH dispatch) {
        driver.get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
        IoCreateDevice(driver.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    }
    kmsim::DriverObject driver{L"\\Driver\\d"};
    PDEVICE_OBJECT device = nullptr;
    PIRP irp = nullptr;
};

NTSTATUS CompleteOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(IrpDeathTest, ADriverAllocatedIrpThatCompletesPastItsOwnerStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            OneDevice one(CompleteOnce);
            IoCallDriver(one.device, one.irp);
        },
        "completed past its last stack location");
}

TEST(IrpDeathTest, CompletingTwiceStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            OneDevice one([](PDEVICE_OBJECT device, PIRP irp) {
                CompleteOnce(device, irp);
                return CompleteOnce(device, irp);
            });
            Completion completion;
            IoSetCompletionRoutine(one.irp, OnComplete, &completion, TRUE, TRUE, TRUE);
            IoCallDriver(one.device, one.irp);
        },
        "STOP: 0x00000044");
}

TEST(IrpDeathTest, CallingPastTheLastStackLocationStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            // A device that forwards to itself: a stack one location deeper than the IRP holds.
            OneDevice one([](PDEVICE_OBJECT self, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                return IoCallDriver(self, irp);
            });
            IoCallDriver(one.device, one.irp);
        },
        "STOP: 0x00000035");
}

TEST(IrpDeathTest, FreeingAnIrpInFlightStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            OneDevice one([](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            });
            IoCallDriver(one.device, one.irp);
            IoFreeIrp(one.irp);
        },
        "while it is in flight");
}

TEST(IrpDeathTest, ADeviceLeftCreatedWhenTheDriverGoesAwayStops) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            kmsim::DriverObject driver(L"\\Driver\\d");
            PDEVICE_OBJECT device = nullptr;
            IoCreateDevice(driver.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        },
        "device objects still created");
}

}  // namespace
