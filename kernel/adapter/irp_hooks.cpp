#include "adapter/irp_hooks.h"

#include <portcls.h>

#include "adapter/adapter.h"
#include "adapter/asio_channel_handle.h"
#include "adapter/device_extension.h"
#include "common/locks.h"
#include "common/trace.h"

namespace vq7 {

namespace {

const WCHAR kAsioFileName[] = L"\\asio";

bool IsAsioChannelRequest(PIO_STACK_LOCATION stack) {
    PFILE_OBJECT file = stack->FileObject;
    if (file == nullptr) {
        return false;
    }
    UNICODE_STRING asio;
    RtlInitUnicodeString(&asio, kAsioFileName);
    return RtlCompareUnicodeString(&file->FileName, &asio, TRUE) == 0;
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A handle bound to the adapter, stored in the file object; on any
// failure the file object keeps no handle.
NTSTATUS CreateHandle(CUSBAudioAdapter* adapter, PFILE_OBJECT file) {
    auto* handle = new CAsioChannelHandle(adapter);
    if (handle == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (file->FsContext2 == nullptr) {
        file->FsContext2 = handle;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;  // the file object already carries something else
    if (file->FsContext2 == handle) {
        status = STATUS_DELETE_PENDING;
        if (adapter->EnterRemovalGate()) {
            status = handle->Create();
            adapter->LeaveRemovalGate();
        }
    }
    if (!NT_SUCCESS(status)) {
        if (file->FsContext2 == handle) {
            file->FsContext2 = nullptr;  // never what another owner put there
        }
        delete handle;
    }
    return status;
}

}  // namespace

NTSTATUS CreateHook(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (!IsAsioChannelRequest(stack)) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    NTSTATUS status = STATUS_DELETE_PENDING;
    {
        MutexLock guard(extension->ExtensionLock);
        CUSBAudioAdapter* adapter = extension->Adapter;
        if (adapter != nullptr && extension->Removing == 0 && extension->DeviceFailed == 0) {
            status = CreateHandle(adapter, stack->FileObject);
            if (NT_SUCCESS(status)) {
                static_cast<IUsbAudioAdapter*>(adapter)->AddRef();  // released by the close
            }
        }
    }
    Irp->IoStatus.Information = 0;
    return CompleteRequest(Irp, status);
}

NTSTATUS CloseHook(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (!IsAsioChannelRequest(stack)) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    auto* handle = static_cast<CAsioChannelHandle*>(stack->FileObject->FsContext2);
    NTSTATUS status = STATUS_SUCCESS;
    if (handle != nullptr) {
        CUSBAudioAdapter* adapter = handle->Adapter();
        status = STATUS_DELETE_PENDING;
        if (adapter->EnterRemovalGate()) {
            status = handle->Close();
            adapter->LeaveRemovalGate();
        }
        stack->FileObject->FsContext2 = nullptr;
        delete handle;
        static_cast<IUsbAudioAdapter*>(adapter)->Release();
    }
    Irp->IoStatus.Information = 0;
    return CompleteRequest(Irp, status);
}

NTSTATUS FileRequestHook(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (!IsAsioChannelRequest(stack)) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    Irp->IoStatus.Information = 0;
    auto* handle = static_cast<CAsioChannelHandle*>(stack->FileObject->FsContext2);
    if (handle == nullptr) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    CUSBAudioAdapter* adapter = handle->Adapter();
    if (!adapter->EnterRemovalGate()) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    NTSTATUS status;
    switch (stack->MajorFunction) {
        case IRP_MJ_CLEANUP: status = handle->Cleanup(Irp); break;
        case IRP_MJ_READ: status = handle->Read(Irp); break;
        case IRP_MJ_WRITE: status = handle->Write(Irp); break;
        default: status = handle->DeviceControl(Irp); break;
    }
    adapter->LeaveRemovalGate();
    return status == STATUS_PENDING ? status : CompleteRequest(Irp, status);
}

NTSTATUS PnpHook(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = stack->MinorFunction;
    if (minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
        DeviceExtension* extension = ExtensionOf(DeviceObject);
        IUsbAudioAdapter* adapter = nullptr;
        {
            MutexLock guard(extension->ExtensionLock);
            extension->Removing = 1;
            adapter = extension->Adapter;
            if (adapter != nullptr) adapter->AddRef();
        }
        if (adapter != nullptr) {
            VQ7_TRACE(TRACE_LEVEL_INFORMATION, kTraceAdapter, "removal begins (PnP minor 0x%02x)", minor);
            adapter->PrepareForRemoval();
            adapter->Release();
        }
    }
    return PcDispatchIrp(DeviceObject, Irp);
}

}  // namespace vq7
