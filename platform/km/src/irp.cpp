// IRPs: allocation and reuse, sending down a device stack, completion back
// up through the completion routines, cancellation, and the device I/O
// control requests the I/O manager builds for a driver.

#include <map>
#include <mutex>

#include "io_internal.h"
#include "kernel_state.h"
#include "kmsim/io.h"
#include "pool_internal.h"
#include "verifier.h"

namespace {

constexpr ULONG kIrpTag = 0x20707249;     // 'Irp '
constexpr ULONG kBufferTag = 0x66754249;  // 'IBuf', the system buffer of a buffered request
constexpr UCHAR kBuiltRequest = 0x80;     // AllocationFlags: built by IoBuildDeviceIoControlRequest

std::mutex g_boostLock;
std::map<CCHAR, uint64_t> g_boosts;

KSPIN_LOCK g_cancelLock = 0;

bool InFlight(const IRP* irp) { return irp->CurrentLocation != irp->StackCount + 1; }

void InitializeIrp(PIRP irp, USHORT size, CCHAR stackSize, UCHAR allocationFlags) {
    RtlZeroMemory(irp, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->AllocationFlags = allocationFlags;
    InitializeListHead(&irp->ThreadListHead);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

bool ShouldInvoke(const IO_STACK_LOCATION* stack, const IRP* irp) {
    if (stack->CompletionRoutine == nullptr) {
        return false;
    }
    return (NT_SUCCESS(irp->IoStatus.Status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(irp->IoStatus.Status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
           (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
}

// The I/O manager's part once a request built by it reaches the top: status
// block, output buffer, event, and the IRP is freed.
void CompleteBuiltRequest(PIRP irp) {
    if (irp->Flags & IRP_BUFFERED_IO) {
        // Warnings such as STATUS_BUFFER_OVERFLOW still return what the driver wrote.
        if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) && irp->UserBuffer != nullptr) {
            RtlCopyMemory(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
        }
        if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
            km::PoolFree(irp->AssociatedIrp.SystemBuffer, kBufferTag, true, nullptr, "the I/O manager");
        }
    }
    if (irp->MdlAddress != nullptr) {
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    if (irp->UserIosb != nullptr) {
        *irp->UserIosb = irp->IoStatus;
    }
    PKEVENT event = irp->UserEvent;
    irp->CurrentLocation = static_cast<CHAR>(irp->StackCount + 1);
    if (irp->Tail.Overlay.OriginalFileObject != nullptr) {
        km::ClientRequestCompleted(irp);
    }
    km::PoolFree(irp, kIrpTag, true, nullptr, "the I/O manager");
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IoAllocateIrp");
    if (StackSize < 1) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "IoAllocateIrp with a stack size of %d", StackSize);
    }
    USHORT size = IoSizeOfIrp(StackSize);
    auto* irp = static_cast<PIRP>(km::PoolAllocate(NonPagedPool, size, kIrpTag, true, caller, "IoAllocateIrp"));
    if (irp != nullptr) {
        InitializeIrp(irp, size, StackSize, 0);
    }
    return irp;
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) { InitializeIrp(Irp, PacketSize, StackSize, 0); }

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    if (InFlight(Irp)) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "IoReuseIrp of the IRP at %p while it is in flight",
                 static_cast<void*>(Irp));
    }
    InitializeIrp(Irp, Irp->Size, Irp->StackCount, Irp->AllocationFlags);
    Irp->IoStatus.Status = Iostatus;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    const void* caller = KM_CALLER;
    if (Irp->Type != IO_TYPE_IRP) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "IoFreeIrp of %p, which is not an IRP", static_cast<void*>(Irp));
    }
    if (InFlight(Irp)) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "IoFreeIrp of the IRP at %p while it is in flight",
                 static_cast<void*>(Irp));
    }
    Irp->Type = 0;
    km::PoolFree(Irp, kIrpTag, true, caller, "IoFreeIrp");
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IoCallDriver");
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        km::Stop(NO_MORE_IRP_STACK_LOCATIONS, caller, "IoCallDriver with no stack location left in the IRP at %p",
                 static_cast<void*>(Irp));
    }
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IoCompleteRequest");
    if (Irp->CurrentLocation > Irp->StackCount || Irp->Type != IO_TYPE_IRP) {
        km::Stop(MULTIPLE_IRP_COMPLETE_REQUESTS, caller, "IoCompleteRequest of the IRP at %p, which is already complete",
                 static_cast<void*>(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "IoCompleteRequest with the status STATUS_PENDING");
    }
    if (Irp->CancelRoutine != nullptr) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "IoCompleteRequest of an IRP that still has a cancel routine");
    }
    {
        std::lock_guard<std::mutex> guard(g_boostLock);
        g_boosts[PriorityBoost] += 1;
    }
    for (PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp); Irp->CurrentLocation <= Irp->StackCount;
         ++stack) {
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        if (ShouldInvoke(stack, Irp)) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
            PVOID context = stack->Context;
            RtlZeroMemory(stack, sizeof(*stack));
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;  // the routine owns the IRP now
            }
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
                IoMarkIrpPending(Irp);
            }
            RtlZeroMemory(stack, sizeof(*stack));
        }
    }
    if (Irp->AllocationFlags & kBuiltRequest) {
        CompleteBuiltRequest(Irp);
        return;
    }
    km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
             "the IRP at %p, allocated by a driver, completed past its last stack location: a completion routine "
             "must return STATUS_MORE_PROCESSING_REQUIRED and free or reuse it",
             static_cast<void*>(Irp));
}

NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                        PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                        BOOLEAN InvokeOnCancel) {
    // The Ex form keeps the driver loaded until the routine has run; drivers
    // are never unloaded under a pending IRP here, so the plain form suffices.
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
    return STATUS_SUCCESS;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelLock, Irql); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelLock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);  // releases the cancel spin lock
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IoBuildDeviceIoControlRequest");
    USHORT size = IoSizeOfIrp(DeviceObject->StackSize);
    auto* irp = static_cast<PIRP>(
        km::PoolAllocate(NonPagedPool, size, kIrpTag, true, caller, "IoBuildDeviceIoControlRequest"));
    if (irp == nullptr) {
        return nullptr;
    }
    InitializeIrp(irp, size, DeviceObject->StackSize, kBuiltRequest);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
        case METHOD_BUFFERED: {
            ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (length != 0) {
                void* buffer = km::PoolAllocate(NonPagedPool, length, kBufferTag, true, caller,
                                                "IoBuildDeviceIoControlRequest");
                if (buffer == nullptr) {
                    km::PoolFree(irp, kIrpTag, true, caller, "IoBuildDeviceIoControlRequest");
                    return nullptr;
                }
                if (InputBuffer != nullptr && InputBufferLength != 0) {
                    RtlCopyMemory(buffer, InputBuffer, InputBufferLength);
                }
                irp->AssociatedIrp.SystemBuffer = buffer;
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (OutputBuffer != nullptr) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                }
            }
            irp->UserBuffer = OutputBuffer;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            irp->AssociatedIrp.SystemBuffer = InputBuffer;
            if (OutputBuffer != nullptr && OutputBufferLength != 0) {
                irp->MdlAddress = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, nullptr);
                if (irp->MdlAddress == nullptr) {
                    km::PoolFree(irp, kIrpTag, true, caller, "IoBuildDeviceIoControlRequest");
                    return nullptr;
                }
                MmBuildMdlForNonPagedPool(irp->MdlAddress);
            }
            break;
        default:  // METHOD_NEITHER
            next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
    }
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    return irp;
}

PIRP km::AllocateBuiltIrp(CCHAR stackSize) {
    USHORT size = IoSizeOfIrp(stackSize);
    auto* irp = static_cast<PIRP>(km::PoolAllocate(NonPagedPool, size, kIrpTag, true, KM_CALLER, "the I/O manager"));
    if (irp != nullptr) {
        InitializeIrp(irp, size, stackSize, kBuiltRequest);
    }
    return irp;
}

void km::IrpStatisticsReset() {
    std::lock_guard<std::mutex> guard(g_boostLock);
    g_boosts.clear();
}

uint64_t kmsim::CompletionsWithBoost(CCHAR boost) {
    std::lock_guard<std::mutex> guard(g_boostLock);
    auto found = g_boosts.find(boost);
    return found != g_boosts.end() ? found->second : 0;
}
