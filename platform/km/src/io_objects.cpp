// Device, driver and file objects: creation and deletion, device stacks,
// the named-device table, and opening a device by name.

#include <map>
#include <mutex>
#include <string>

#include "io_internal.h"
#include "kernel_state.h"
#include "kmsim/io.h"
#include "pool_internal.h"
#include "verifier.h"

namespace {

_OBJECT_TYPE g_deviceType{"Device"};
_OBJECT_TYPE g_driverType{"Driver"};
POBJECT_TYPE g_deviceTypePointer = &g_deviceType;
POBJECT_TYPE g_driverTypePointer = &g_driverType;

constexpr ULONG kDeviceTag = 0x69766544;  // 'Devi'
constexpr ULONG kFileTag = 0x656C6946;    // 'File'

// Device names compare without regard to case, as object names do.
std::u16string NameKey(PCUNICODE_STRING name) {
    std::u16string key;
    for (USHORT i = 0; i < name->Length / sizeof(WCHAR); ++i) {
        key += static_cast<char16_t>(RtlUpcaseUnicodeChar(name->Buffer[i]));
    }
    return key;
}

std::mutex g_namesLock;
std::map<std::u16string, PDEVICE_OBJECT> g_names;

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// File objects open per device, and who waits for a device to have none.
std::mutex g_filesLock;
std::map<PDEVICE_OBJECT, LONG> g_openFiles;
std::map<PDEVICE_OBJECT, PKEVENT> g_noFilesWaiters;

void CountFileOpened(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_filesLock);
    g_openFiles[device] += 1;
}

void CountFileClosed(PDEVICE_OBJECT device) {
    PKEVENT waiter = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_filesLock);
        if (--g_openFiles[device] == 0) {
            g_openFiles.erase(device);
            auto found = g_noFilesWaiters.find(device);
            if (found != g_noFilesWaiters.end()) {
                waiter = found->second;
                g_noFilesWaiters.erase(found);
            }
        }
    }
    if (waiter != nullptr) {
        KeSetEvent(waiter, IO_NO_INCREMENT, FALSE);
    }
}

void DestroyFileObject(PVOID object) {
    auto* file = static_cast<PFILE_OBJECT>(object);
    km::SendFileRequest(file, IRP_MJ_CLOSE);
    PDEVICE_OBJECT device = file->DeviceObject;
    CountFileClosed(device);
    if (file->FileName.Buffer != nullptr) {
        km::PoolFree(file->FileName.Buffer, kFileTag, true, nullptr, "closing a file object");
    }
    PFILE_OBJECT related = file->RelatedFileObject;
    km::PoolFree(file, kFileTag, true, nullptr, "closing a file object");
    ObDereferenceObject(device);
    if (related != nullptr) {
        ObDereferenceObject(related);
    }
}

NTSTATUS FailRequest(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

POBJECT_TYPE* IoDeviceObjectType = &g_deviceTypePointer;
POBJECT_TYPE* IoDriverObjectType = &g_driverTypePointer;

namespace km {

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction) {
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    next->FileObject = file;
    NTSTATUS status = kmsim::CallDriverAndWait(top, irp);
    IoFreeIrp(irp);
    return status;
}

NTSTATUS CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName, PFILE_OBJECT* created,
                          PFILE_OBJECT related) {
    const void* caller = KM_CALLER;
    auto* file = static_cast<PFILE_OBJECT>(
        km::PoolAllocate(NonPagedPool, sizeof(FILE_OBJECT), kFileTag, true, caller, "opening a file"));
    if (file == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->RelatedFileObject = related;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    if (!fileName.empty()) {
        size_t bytes = fileName.size() * sizeof(WCHAR);
        auto* name = static_cast<PWCH>(km::PoolAllocate(NonPagedPool, bytes + sizeof(WCHAR), kFileTag, true, caller,
                                                        "opening a file"));
        if (name == nullptr || bytes > 0xFFF0) {
            if (name != nullptr) km::PoolFree(name, kFileTag, true, caller, "opening a file");
            km::PoolFree(file, kFileTag, true, caller, "opening a file");
            return name == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_OBJECT_NAME_INVALID;
        }
        memcpy(name, fileName.data(), bytes);
        file->FileName = {static_cast<USHORT>(bytes), static_cast<USHORT>(bytes + sizeof(WCHAR)), name};
    }
    NTSTATUS status = SendFileRequest(file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        if (file->FileName.Buffer != nullptr) km::PoolFree(file->FileName.Buffer, kFileTag, true, caller, "opening a file");
        km::PoolFree(file, kFileTag, true, caller, "opening a file");
        return status;
    }
    ObReferenceObject(device);
    if (related != nullptr) {
        ObReferenceObject(related);
    }
    CountFileOpened(device);
    km::RegisterObject(file, *IoFileObjectType, DestroyFileObject, 1);
    *created = file;
    return STATUS_SUCCESS;
}

void IoNamesReset() {
    {
        std::lock_guard<std::mutex> guard(g_filesLock);
        g_openFiles.clear();
        g_noFilesWaiters.clear();
    }
    std::lock_guard<std::mutex> guard(g_namesLock);
    g_names.clear();
}

}  // namespace km

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IoCreateDevice");
    std::u16string key;
    if (DeviceName != nullptr) {
        key = NameKey(DeviceName);
        std::lock_guard<std::mutex> guard(g_namesLock);
        if (g_names.count(key) != 0) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    SIZE_T extensionOffset = ALIGN_UP_BY(sizeof(DEVICE_OBJECT), 16);
    auto* device = static_cast<PDEVICE_OBJECT>(
        km::PoolAllocate(NonPagedPool, extensionOffset + DeviceExtensionSize, kDeviceTag, true, caller, "IoCreateDevice"));
    if (device == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<char*>(device) + extensionOffset : nullptr;
    device->NextDevice = DriverObject->DeviceObject;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    DriverObject->DeviceObject = device;
    km::RegisterObject(device, g_deviceTypePointer,
                       [](PVOID object) { km::PoolFree(object, kDeviceTag, true, nullptr, "deleting a device"); }, 1);
    if (DeviceName != nullptr) {
        std::lock_guard<std::mutex> guard(g_namesLock);
        g_names[key] = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IoDeleteDevice");
    if (DeviceObject->AttachedDevice != nullptr) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER,
                 "IoDeleteDevice of the device at %p while another device is still attached to it",
                 static_cast<void*>(DeviceObject));
    }
    {
        std::lock_guard<std::mutex> guard(g_namesLock);
        for (auto it = g_names.begin(); it != g_names.end(); ++it) {
            if (it->second == DeviceObject) {
                g_names.erase(it);
                break;
            }
        }
    }
    for (PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    ObDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT top = km::TopOfStack(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) { TargetDevice->AttachedDevice = nullptr; }

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = km::TopOfStack(DeviceObject);
    ObReferenceObject(top);
    return top;
}

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK, PFILE_OBJECT* FileObject,
                                        PDEVICE_OBJECT* DeviceObject) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IoGetDeviceObjectPointer");
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(g_namesLock);
        auto found = g_names.find(NameKey(ObjectName));
        if (found == g_names.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        device = found->second;
    }
    PFILE_OBJECT file;
    NTSTATUS status = km::CreateFileObject(device, {}, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The handle the open used is closed again at once: that is the cleanup.
    km::SendFileRequest(file, IRP_MJ_CLEANUP);
    *FileObject = file;
    *DeviceObject = km::TopOfStack(device);
    return STATUS_SUCCESS;
}

namespace kmsim {

NTSTATUS CallDriverAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

ULONG OpenFileObjects(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_filesLock);
    auto found = g_openFiles.find(device);
    return found != g_openFiles.end() ? static_cast<ULONG>(found->second) : 0;
}

void SignalWhenNoFileObjects(PDEVICE_OBJECT device, PKEVENT event) {
    {
        std::lock_guard<std::mutex> guard(g_filesLock);
        if (g_openFiles.count(device) != 0) {
            g_noFilesWaiters[device] = event;
            return;
        }
    }
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

DriverObject::DriverObject(const wchar_t* name) {
    object_.Type = IO_TYPE_DRIVER;
    object_.Size = sizeof(DRIVER_OBJECT);
    object_.DriverExtension = &extension_;
    extension_.DriverObject = &object_;
    RtlInitUnicodeString(&object_.DriverName, name);
    for (PDRIVER_DISPATCH& dispatch : object_.MajorFunction) {
        dispatch = FailRequest;
    }
}

DriverObject::~DriverObject() {
    if (object_.DeviceObject != nullptr) {
        km::Stop(0xCE /* DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS */, nullptr,
                 "a driver goes away with device objects still created");
    }
}

}  // namespace kmsim
