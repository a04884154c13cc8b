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

// A GET_DESCRIPTOR on the default pipe; `into` is resized to what came back.
inline NTSTATUS ReadDescriptor(PDEVICE_OBJECT pdo, UCHAR type, UCHAR index, USHORT language, std::vector<UCHAR>& into,
                               USBD_STATUS* usbd = nullptr) {
    _URB_CONTROL_DESCRIPTOR_REQUEST request{};
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.DescriptorType = type;
    request.Index = index;
    request.LanguageId = language;
    request.TransferBuffer = into.data();
    request.TransferBufferLength = static_cast<ULONG>(into.size());
    NTSTATUS status = SubmitAndWait(pdo, reinterpret_cast<PURB>(&request));
    into.resize(request.TransferBufferLength);
    if (usbd != nullptr) *usbd = request.Hdr.Status;
    return status;
}

// A class or vendor request; `data` is resized to what moved.
inline NTSTATUS ClassOrVendor(PDEVICE_OBJECT pdo, USHORT function, bool in, UCHAR request, USHORT value, USHORT index,
                              std::vector<UCHAR>& data, USBD_STATUS* usbd = nullptr) {
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST r{};
    r.Hdr.Length = sizeof(r);
    r.Hdr.Function = function;
    r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    r.TransferBuffer = data.empty() ? nullptr : data.data();
    r.TransferBufferLength = static_cast<ULONG>(data.size());
    NTSTATUS status = SubmitAndWait(pdo, reinterpret_cast<PURB>(&r));
    data.resize(r.TransferBufferLength);
    if (usbd != nullptr) *usbd = r.Hdr.Status;
    return status;
}

// Selects `configuration` with each of `interfaces` at alternate setting 0
// (none of them with pipes there); returns the configuration handle, or null.
inline USBD_CONFIGURATION_HANDLE SelectConfiguration(PDEVICE_OBJECT pdo, std::vector<UCHAR>& configuration,
                                                     const std::vector<UCHAR>& interfaces) {
    size_t length = FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface) + interfaces.size() * GET_USBD_INTERFACE_SIZE(0);
    std::vector<UCHAR> bytes(length, 0);
    auto* urb = reinterpret_cast<_URB_SELECT_CONFIGURATION*>(bytes.data());
    urb->Hdr.Length = static_cast<USHORT>(length);
    urb->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    auto* info = &urb->Interface;
    for (UCHAR number : interfaces) {
        info->Length = GET_USBD_INTERFACE_SIZE(0);
        info->InterfaceNumber = number;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length);
    }
    return NT_SUCCESS(SubmitAndWait(pdo, reinterpret_cast<PURB>(urb))) ? urb->ConfigurationHandle : nullptr;
}

// Selects an alternate setting with room for `pipesRoom` pipes; `out`
// receives the interface information the bus returned.
inline NTSTATUS SelectInterface(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE handle, UCHAR number, UCHAR alternate,
                                ULONG pipesRoom, std::vector<UCHAR>& out) {
    std::vector<UCHAR> bytes(GET_SELECT_INTERFACE_REQUEST_SIZE(pipesRoom), 0);
    auto* urb = reinterpret_cast<_URB_SELECT_INTERFACE*>(bytes.data());
    urb->Hdr.Length = static_cast<USHORT>(bytes.size());
    urb->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->ConfigurationHandle = handle;
    urb->Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipesRoom));
    urb->Interface.InterfaceNumber = number;
    urb->Interface.AlternateSetting = alternate;
    NTSTATUS status = SubmitAndWait(pdo, reinterpret_cast<PURB>(urb));
    out.assign(bytes.begin() + FIELD_OFFSET(_URB_SELECT_INTERFACE, Interface), bytes.end());
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
