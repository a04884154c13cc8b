// The driver's entry, its add-device and start-device callbacks for
// PortCls, and its unload.

#include <ntddk.h>
#include <portcls.h>

#include "adapter/adapter.h"
#include "adapter/device_extension.h"
#include "adapter/irp_hooks.h"
#include "common/locks.h"
#include "common/pool.h"
#include "common/trace.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace vq7 {

namespace {

constexpr ULONG kMaxSubdevices = 1;

PDRIVER_UNLOAD g_portClsUnload = nullptr;

VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    TraceUnregister();
    g_portClsUnload(DriverObject);
}

// PASSIVE_LEVEL. The adapter drives the device whose stack is being
// started: its physical device object comes from PortCls, so that devices
// added together are each driven by their own adapter.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(ResourceList);
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    {
        MutexLock guard(extension->ExtensionLock);
        extension->Adapter = nullptr;
        extension->Removing = 0;
        extension->DeviceFailed = 0;
    }
    PDEVICE_OBJECT physicalDeviceObject = nullptr;
    NTSTATUS status = PcGetPhysicalDeviceObject(DeviceObject, &physicalDeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* object = new (NonPagedPoolType(), kPoolTagPcCr) CUSBAudioAdapter(nullptr);
    if (object == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUNKNOWN unknown = static_cast<IUsbAudioAdapter*>(object);
    unknown->AddRef();
    IUsbAudioAdapter* adapter = nullptr;
    status = unknown->QueryInterface(IID_IUsbAudioAdapter, reinterpret_cast<PVOID*>(&adapter));
    if (NT_SUCCESS(status)) {
        status = adapter->Init(physicalDeviceObject, DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterAdapterPowerManagement(unknown, DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        (void)object->RegisterWaveSubdevice();  // a device without a subdevice still starts
        MutexLock guard(extension->ExtensionLock);
        extension->Adapter = object;
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceAdapter, "start failed: 0x%08lx", static_cast<ULONG>(status));
    }
    if (adapter != nullptr) adapter->Release();
    unknown->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    NTSTATUS status =
        PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, kMaxSubdevices, kDeviceExtensionSize);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The functional device object is the top of the stack just built.
    PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    DeviceExtension* extension = ExtensionOf(fdo);
    extension->Adapter = nullptr;
    KeInitializeMutex(&extension->ExtensionLock, 0);
    ObDereferenceObject(fdo);
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace vq7

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    PAGED_CODE();
    (void)vq7::TraceRegister();  // a driver without tracing still works
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, vq7::AddDevice);
    if (!NT_SUCCESS(status)) {
        vq7::TraceUnregister();
        return status;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = vq7::CreateHook;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = vq7::CloseHook;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = vq7::FileRequestHook;
    DriverObject->MajorFunction[IRP_MJ_READ] = vq7::FileRequestHook;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = vq7::FileRequestHook;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = vq7::FileRequestHook;
    DriverObject->MajorFunction[IRP_MJ_PNP] = vq7::PnpHook;
    vq7::g_portClsUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = vq7::DriverUnload;
    return STATUS_SUCCESS;
}
