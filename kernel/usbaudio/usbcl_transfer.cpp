// CUSBCL: synchronous URBs, control requests, asynchronous transfers with
// their completion, pipe abort and reset, and the pool of IRPs that lets a
// completion resubmit at DISPATCH_LEVEL without allocating.

#include "usbcl.h"

#include <usbioctl.h>

#include "common/locks.h"
#include "common/trace.h"

namespace {

constexpr UCHAR kRequestTypeMask = 0x60;
constexpr UCHAR kRequestTypeClass = 0x20;
constexpr UCHAR kRequestTypeVendor = 0x40;
constexpr UCHAR kRecipientMask = 0x1F;
constexpr UCHAR kDirectionIn = 0x80;

// URB functions of class and vendor requests, by recipient.
struct ControlFunction {
    USHORT classFunction;
    USHORT vendorFunction;
};
constexpr ControlFunction kControlFunctions[] = {
    {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_VENDOR_DEVICE},        // 0 device
    {URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_VENDOR_INTERFACE},  // 1 interface
    {URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_VENDOR_ENDPOINT},    // 2 endpoint
    {URB_FUNCTION_CLASS_OTHER, URB_FUNCTION_VENDOR_OTHER},          // 3 other
};
static_assert(RTL_NUMBER_OF(kControlFunctions) == 4, "one row per recipient 0 to 3");

constexpr ULONG kBulkUrbBytes = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
static_assert(kBulkUrbBytes == 128, "bulk and interrupt URBs are 128 bytes");
static_assert(sizeof(_URB_PIPE_REQUEST) == 40, "pipe requests are 40 bytes");

bool IsIsochronous(PURB urb) { return urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER; }

// Moves the IN packets of a completed isochronous transfer together, in
// order, so that the data is contiguous from the buffer's start; returns the
// bytes delivered. A packet longer than the slot it landed in is taken only
// up to the slot's end.
ULONG CompactInPackets(_URB_ISOCH_TRANSFER* urb, PUCHAR buffer) {
    ULONG total = 0;
    for (ULONG i = 0; i < urb->NumberOfPackets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = urb->IsoPacket[i];
        ULONG slotEnd = i + 1 < urb->NumberOfPackets ? urb->IsoPacket[i + 1].Offset : urb->TransferBufferLength;
        if (slotEnd > urb->TransferBufferLength) {
            slotEnd = urb->TransferBufferLength;
        }
        ULONG length = packet.Offset >= slotEnd ? 0 : (packet.Length < slotEnd - packet.Offset ? packet.Length
                                                                                              : slotEnd - packet.Offset);
        if (packet.Offset != total && length != 0) {
            RtlMoveMemory(buffer + total, buffer + packet.Offset, length);
        }
        total += length;
    }
    return total;
}

PUCHAR DataOf(_URB_ISOCH_TRANSFER* urb) {
    if (urb->TransferBuffer != nullptr) {
        return static_cast<PUCHAR>(urb->TransferBuffer);
    }
    if (urb->TransferBufferMDL != nullptr) {
        return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(urb->TransferBufferMDL, vq7::MappingPriority()));
    }
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- synchronous requests

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::SubmitUrb(PURB urb) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lowerDevice_, nullptr, 0, nullptr, 0,
                                             TRUE, &event, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(lowerDevice_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return iosb.Status;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::ControlRequest(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex, USHORT wLength,
                                PVOID buffer, PULONG returned) {
    PAGED_CODE();
    if (returned != nullptr) {
        *returned = 0;
    }
    UCHAR type = bmRequestType & kRequestTypeMask;
    UCHAR recipient = bmRequestType & kRecipientMask;
    if ((type != kRequestTypeClass && type != kRequestTypeVendor) || recipient > 3 ||
        (wLength != 0 && buffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb{};
    static_assert(sizeof(urb) == 136, "class and vendor requests are 136-byte URBs");
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = type == kRequestTypeClass ? kControlFunctions[recipient].classFunction
                                                 : kControlFunctions[recipient].vendorFunction;
    urb.TransferFlags = (bmRequestType & kDirectionIn) ? USBD_TRANSFER_DIRECTION_IN : 0;
    urb.Request = bRequest;
    urb.Value = wValue;
    urb.Index = wIndex;
    urb.TransferBuffer = wLength != 0 ? buffer : nullptr;
    urb.TransferBufferLength = wLength;
    NTSTATUS status = SubmitUrb(reinterpret_cast<PURB>(&urb));
    if (returned != nullptr && NT_SUCCESS(status)) {
        *returned = urb.TransferBufferLength < wLength ? urb.TransferBufferLength : wLength;
    }
    return status;
}

NTSTATUS CUSBCL::PipeRequest(USHORT function, PUSBD_PIPE_INFORMATION pipe) {
    if (pipe == nullptr || pipe->PipeHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_UNSUCCESSFUL;
    }
    _URB_PIPE_REQUEST urb{};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = function;
    urb.PipeHandle = pipe->PipeHandle;
    return SubmitUrb(reinterpret_cast<PURB>(&urb));
}

NTSTATUS CUSBCL::AbortPipe(PUSBD_PIPE_INFORMATION pipe) { return PipeRequest(URB_FUNCTION_ABORT_PIPE, pipe); }

NTSTATUS CUSBCL::ResetPipe(PUSBD_PIPE_INFORMATION pipe) {
    return PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe);
}

// ---------------------------------------------------------------- lookasides

USB_TRANSFER_CONTEXT* CUSBCL::AllocateTransferContext() {
    auto* context = static_cast<USB_TRANSFER_CONTEXT*>(ExAllocateFromNPagedLookasideList(&contextLookaside_));
    if (context != nullptr) {
        RtlZeroMemory(context, sizeof(*context));
        context->owner = this;
    }
    return context;
}

void CUSBCL::FreeTransferContext(USB_TRANSFER_CONTEXT* context) { ExFreeToNPagedLookasideList(&contextLookaside_, context); }

PURB CUSBCL::AllocateIsoUrb() { return static_cast<PURB>(ExAllocateFromNPagedLookasideList(&urbLookaside_)); }

void CUSBCL::FreeIsoUrb(PURB urb) { ExFreeToNPagedLookasideList(&urbLookaside_, urb); }

void CUSBCL::FreeTransferUrb(PURB urb) {
    if (IsIsochronous(urb)) {
        FreeIsoUrb(urb);
    } else {
        ExFreePoolWithTag(urb, vq7::kPoolTagUsba);
    }
}

// ---------------------------------------------------------------- asynchronous transfers

// IRQL <= DISPATCH_LEVEL.
NTSTATUS CUSBCL::SubmitTransfer(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length, ULONG transferFlags,
                                USB_TRANSFER_CALLBACK callback, PVOID context, ULONG startFrame) {
    if (pipe == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    USB_TRANSFER_CONTEXT* record = AllocateTransferContext();
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->callback = callback;
    record->callbackContext = context;
    record->pipe = pipe;
    PURB urb = nullptr;
    if (pipe->PipeType == UsbdPipeTypeIsochronous) {
        ULONG packetSize = pipe->MaximumPacketSize;
        if (packetSize == 0) {
            FreeTransferContext(record);
            return STATUS_INVALID_PARAMETER;  // a pipe that carries nothing
        }
        ULONG packets = (length + packetSize - 1) / packetSize;
        if (highSpeed_ && pipe->Interval >= 1 && pipe->Interval <= 4) {
            ULONG perMillisecond = 8u >> (pipe->Interval - 1);
            packets = (packets + perMillisecond - 1) / perMillisecond * perMillisecond;
        }
        // Whole milliseconds of packets must fit the buffer (each packet's
        // offset lies inside it), and one URB holds at most 64 packets.
        if (packets == 0 || packets > kMaximumIsoPackets || (packets - 1) * packetSize >= length) {
            FreeTransferContext(record);
            return STATUS_INVALID_PARAMETER;
        }
        urb = AllocateIsoUrb();
        if (urb == nullptr) {
            FreeTransferContext(record);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ULONG urbBytes = static_cast<ULONG>(GET_ISO_URB_SIZE(packets));
        RtlZeroMemory(urb, urbBytes);
        _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
        iso.Hdr.Length = static_cast<USHORT>(urbBytes);
        iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.PipeHandle = pipe->PipeHandle;
        iso.TransferFlags = transferFlags & 0xFF;
        iso.TransferBufferLength = length;
        iso.TransferBuffer = buffer;
        iso.StartFrame = startFrame;
        iso.NumberOfPackets = packets;
        bool in = (transferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        for (ULONG i = 0; i < packets; ++i) {
            ULONG offset = i * packetSize;
            iso.IsoPacket[i].Offset = offset;
            iso.IsoPacket[i].Length = in ? 0 : (length - offset < packetSize ? length - offset : packetSize);
        }
    } else {
        urb = static_cast<PURB>(vq7::AllocateZeroed(kBulkUrbBytes, vq7::kPoolTagUsba));
        if (urb == nullptr) {
            FreeTransferContext(record);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
        bulk.Hdr.Length = kBulkUrbBytes;
        bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        bulk.PipeHandle = pipe->PipeHandle;
        bulk.TransferFlags = (transferFlags & 0xFF) | USBD_SHORT_TRANSFER_OK;
        bulk.TransferBufferLength = length;
        bulk.TransferBuffer = buffer;
    }
    NTSTATUS status = SubmitAsync(urb, record);
    if (!NT_SUCCESS(status)) {
        FreeTransferUrb(urb);
        FreeTransferContext(record);
    }
    return status;
}

// IRQL <= DISPATCH_LEVEL.
NTSTATUS CUSBCL::SubmitInTransfer(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length,
                                  USB_TRANSFER_CALLBACK callback, PVOID context) {
    return SubmitTransfer(pipe, buffer, length, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, callback,
                          context, 0);
}

// IRQL <= DISPATCH_LEVEL.
NTSTATUS CUSBCL::SubmitAsync(PURB urb, USB_TRANSFER_CONTEXT* context) {
    return SendAsync(urb, context, OnTransferComplete);
}

NTSTATUS CUSBCL::SendAsync(PURB urb, USB_TRANSFER_CONTEXT* context, PIO_COMPLETION_ROUTINE completion) {
    if (!transfersInFlight_.TryEnter()) {
        return STATUS_DELETE_PENDING;  // the layer is going away
    }
    PIRP irp = GetIrp();
    if (irp == nullptr) {
        transfersInFlight_.Leave();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->urb = urb;
    context->owner = this;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);
    IoCallDriver(lowerDevice_, irp);
    return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL, in the bus driver's completion context.
NTSTATUS CUSBCL::OnTransferComplete(PDEVICE_OBJECT, PIRP irp, PVOID contextPointer) {
    auto* context = static_cast<USB_TRANSFER_CONTEXT*>(contextPointer);
    if (context == nullptr || context->urb == nullptr || context->owner == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    CUSBCL* self = context->owner;
    PURB urb = context->urb;
    NTSTATUS irpStatus = irp->IoStatus.Status;
    ULONG bytes = 0;
    ULONG startFrame = 0;
    bool isochronous = IsIsochronous(urb);
    if (!NT_SUCCESS(irpStatus)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceUsb, "transfer failed: 0x%08X, URB status 0x%08X",
                  static_cast<unsigned>(irpStatus), static_cast<unsigned>(urb->UrbHeader.Status));
    } else if (isochronous) {
        _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
        if (iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
            PUCHAR data = DataOf(&iso);
            bytes = data != nullptr ? CompactInPackets(&iso, data) : 0;
        } else {
            bytes = iso.TransferBufferLength;
        }
        startFrame = iso.StartFrame;
    } else {
        bytes = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    NTSTATUS status = self->CheckCompletedTransfer(irpStatus, urb, context);
    ULONG durationMs = isochronous ? self->GetTransferDuration(urb->UrbIsochronousTransfer.NumberOfPackets, context->pipe)
                                   : 0;
    self->FreeTransferUrb(urb);
    if (context->callback != nullptr) {
        context->callback(status, bytes, startFrame, context->callbackContext, durationMs);
    }
    if (context->stagingBuffer != nullptr) {
        ExFreePoolWithTag(context->stagingBuffer, vq7::kPoolTagBpmt);
    }
    self->FreeTransferContext(context);
    self->FinishCompletion(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CUSBCL::FinishCompletion(PIRP irp) {
    ReturnIrp(irp);
    transfersInFlight_.Leave();
}

// PASSIVE_LEVEL.
void CUSBCL::DrainTransfers() {
    PAGED_CODE();
    transfersInFlight_.CloseAndWait();
}

// ---------------------------------------------------------------- the IRP pool

NTSTATUS CUSBCL::AllocateIrpPool(ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        PIRP irp = IoAllocateIrp(lowerDevice_->StackSize, FALSE);
        if (irp == nullptr) {
            VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceUsb, "IRP %lu of the pool could not be allocated", i);
            continue;
        }
        ReturnIrp(irp);
    }
    return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL.
PIRP CUSBCL::GetIrp() {
    PIRP irp = nullptr;
    {
        vq7::InStackLock lock(irpListLock_);
        if (!IsListEmpty(&irpFreeList_)) {
            irp = CONTAINING_RECORD(RemoveHeadList(&irpFreeList_), IRP, Tail.Overlay.ListEntry);
        }
    }
    if (irp != nullptr) {
        IoReuseIrp(irp, STATUS_SUCCESS);
        return irp;
    }
    // An empty pool grows: the new IRP joins it when it is returned.
    return IoAllocateIrp(lowerDevice_->StackSize, FALSE);
}

// IRQL <= DISPATCH_LEVEL.
void CUSBCL::ReturnIrp(PIRP irp) {
    vq7::InStackLock lock(irpListLock_);
    InsertTailList(&irpFreeList_, &irp->Tail.Overlay.ListEntry);
}

void CUSBCL::FreeIrpPool() {
    for (;;) {
        PIRP irp = nullptr;
        {
            vq7::InStackLock lock(irpListLock_);
            if (IsListEmpty(&irpFreeList_)) {
                return;
            }
            irp = CONTAINING_RECORD(RemoveHeadList(&irpFreeList_), IRP, Tail.Overlay.ListEntry);
        }
        IoFreeIrp(irp);
    }
}
