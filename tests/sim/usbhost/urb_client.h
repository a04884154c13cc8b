// The driver's side of the bus, as a test drives it: URBs sent down to a
// physical device object synchronously or with a completion routine.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <functional>
#include <vector>

namespace bustest {

// Sends a URB and waits for it, as a driver's synchronous submit does.
inline NTSTATUS SubmitAndWait(PDEVICE_OBJECT pdo, PURB urb) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

// An asynchronous transfer: its own IRP, completion in the controller's DPC.
struct AsyncTransfer {
    PIRP irp = nullptr;
    std::vector<UCHAR> urbBytes;
    std::vector<UCHAR> buffer;
    NTSTATUS status = STATUS_PENDING;
    KIRQL completionIrql = PASSIVE_LEVEL;
    int64_t completedAt_ns = -1;
    KEVENT done;
    std::function<void(AsyncTransfer&)> onComplete;  // runs at DISPATCH_LEVEL in the completion routine

    AsyncTransfer() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    ~AsyncTransfer() {
        if (irp != nullptr) IoFreeIrp(irp);
    }
    PURB Urb() { return reinterpret_cast<PURB>(urbBytes.data()); }
    _URB_ISOCH_TRANSFER& Iso() { return Urb()->UrbIsochronousTransfer; }

    // Builds an isochronous URB of `packets` packets of `packetBytes` each
    // (IN) or with `lengths` laid end to end (OUT).
    void BuildIso(USBD_PIPE_HANDLE pipe, bool in, const std::vector<ULONG>& lengths, ULONG flags = USBD_START_ISO_TRANSFER_ASAP) {
        ULONG packets = static_cast<ULONG>(lengths.size());
        urbBytes.assign(GET_ISO_URB_SIZE(packets), 0);
        ULONG total = 0;
        for (ULONG length : lengths) total += length;
        buffer.assign(total, 0);
        for (ULONG i = 0; i < total; ++i) buffer[i] = static_cast<UCHAR>(i);
        _URB_ISOCH_TRANSFER& iso = Iso();
        iso.Hdr.Length = static_cast<USHORT>(urbBytes.size());
        iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.PipeHandle = pipe;
        iso.TransferFlags = flags | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
        iso.TransferBufferLength = total;
        iso.TransferBuffer = buffer.data();
        iso.NumberOfPackets = packets;
        ULONG offset = 0;
        for (ULONG i = 0; i < packets; ++i) {
            iso.IsoPacket[i].Offset = offset;
            offset += lengths[i];
        }
    }

    NTSTATUS Submit(PDEVICE_OBJECT pdo) {
        if (irp == nullptr) {
            irp = IoAllocateIrp(pdo->StackSize, FALSE);
        } else {
            IoReuseIrp(irp, STATUS_SUCCESS);
        }
        KeClearEvent(&done);
        status = STATUS_PENDING;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = Urb();
        IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
        return IoCallDriver(pdo, irp);
    }

    void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }

private:
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP completed, PVOID context) {
        auto* self = static_cast<AsyncTransfer*>(context);
        self->status = completed->IoStatus.Status;
        self->completionIrql = KeGetCurrentIrql();
        self->completedAt_ns = kmsim::NowNs();
        if (self->onComplete) self->onComplete(*self);
        KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

}  // namespace bustest
