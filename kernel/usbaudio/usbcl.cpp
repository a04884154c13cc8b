// CUSBCL: construction, start-up, descriptors, strings, the bus interface
// and the host controller's identity.

#include "usbcl.h"

#include <usbioctl.h>

#include "common/locks.h"
#include "common/trace.h"

namespace {

constexpr UCHAR kDeviceDescriptorType = 1;
constexpr UCHAR kConfigurationDescriptorType = 2;
constexpr UCHAR kStringDescriptorType = 3;
constexpr ULONG kDeviceDescriptorBytes = 18;
constexpr ULONG kConfigurationHeaderBytes = 9;
constexpr ULONG kStringHeadBytes = 4;
constexpr ULONG kHubNameHeadBytes = 6;  // u32 ActualLength and one WCHAR
constexpr ULONG kHubNameOffset = 4;

NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an internal device-control request with two arguments and waits
// for it. PASSIVE_LEVEL.
NTSTATUS SendInternalRequest(PDEVICE_OBJECT device, ULONG code, PVOID argument1, PVOID argument2) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = argument1;
    next->Parameters.Others.Argument2 = argument2;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

}  // namespace

// ---------------------------------------------------------------- CUSBStringDescriptor

CUSBStringDescriptor::~CUSBStringDescriptor() { Reset(); }

WCHAR CUSBStringDescriptor::Character(ULONG i) const {
    if (i >= Characters()) {
        return 0;
    }
    const UCHAR* at = buffer_ + 2 + 2 * i;
    return static_cast<WCHAR>(at[0] | at[1] << 8);
}

void CUSBStringDescriptor::Reset() {
    if (buffer_ != nullptr) {
        ExFreePoolWithTag(buffer_, vq7::kPoolTagUsba);
    }
    buffer_ = nullptr;
    size_ = 0;
}

void CUSBStringDescriptor::Adopt(PUCHAR buffer, ULONG size) {
    Reset();
    buffer_ = buffer;
    size_ = size;
}

// ---------------------------------------------------------------- construction

// PASSIVE_LEVEL.
CUSBCL::CUSBCL() {
    KeInitializeMutex(&interfaceMutex_, 0);
    KeInitializeSpinLock(&irpListLock_);
    InitializeListHead(&irpFreeList_);
    ExInitializeNPagedLookasideList(&contextLookaside_, nullptr, nullptr, vq7::LookasideFlags(),
                                    sizeof(USB_TRANSFER_CONTEXT), vq7::kPoolTagUsba, 0);
    ExInitializeNPagedLookasideList(&urbLookaside_, nullptr, nullptr, vq7::LookasideFlags(), kIsoUrbBytes,
                                    vq7::kPoolTagUsba, 0);
}

// PASSIVE_LEVEL.
CUSBCL::~CUSBCL() {
    DrainTransfers();
    FreeIrpPool();
    {
        vq7::MutexLock lock(interfaceMutex_);
        FreeInterfaceCopiesLocked();
    }
    if (configuration_ != nullptr) {
        ExFreePoolWithTag(configuration_, vq7::kPoolTagUsba);
    }
    if (languageIds_ != nullptr) {
        ExFreePoolWithTag(languageIds_, vq7::kPoolTagUsba);
    }
    ExDeleteNPagedLookasideList(&contextLookaside_);
    ExDeleteNPagedLookasideList(&urbLookaside_);
    // The bus driver counted a reference when it handed the interface out.
    if (busInterface_.InterfaceDereference != nullptr) {
        busInterface_.InterfaceDereference(busInterface_.BusContext);
    }
}

// ---------------------------------------------------------------- start-up

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::Initialize(PDEVICE_OBJECT lowerDevice, ULONG irpCount) {
    PAGED_CODE();
    lowerDevice_ = lowerDevice;
    NTSTATUS status = AllocateIrpPool(irpCount != 0 ? irpCount : kDefaultIrpCount);
    if (NT_SUCCESS(status)) status = GetBusInterface();
    if (NT_SUCCESS(status)) status = QueryHighSpeed();
    if (NT_SUCCESS(status)) {
        ULONG returned = 0;
        status = GetDescriptor(kDeviceDescriptorType, 0, 0, &deviceDescriptor_, kDeviceDescriptorBytes, &returned);
        if (NT_SUCCESS(status) && returned != kDeviceDescriptorBytes) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (NT_SUCCESS(status)) status = ReadConfiguration();
    if (NT_SUCCESS(status)) status = ReadLanguageIds();
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceUsb, "Initialize failed: 0x%08X", static_cast<unsigned>(status));
    }
    return status;
}

// The configuration descriptor set: the 9-byte head, then exactly
// wTotalLength bytes. A head that is not a configuration descriptor, a
// wTotalLength that does not even cover the head, or a device that answers
// the second read differently from the first is not supported.
NTSTATUS CUSBCL::ReadConfiguration() {
    USB_CONFIGURATION_DESCRIPTOR head{};
    ULONG returned = 0;
    NTSTATUS status =
        GetDescriptor(kConfigurationDescriptorType, 0, 0, &head, kConfigurationHeaderBytes, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned != kConfigurationHeaderBytes || head.bLength < kConfigurationHeaderBytes ||
        head.bDescriptorType != kConfigurationDescriptorType || head.wTotalLength < kConfigurationHeaderBytes) {
        return STATUS_NOT_SUPPORTED;
    }
    vq7::PoolBuffer<USB_CONFIGURATION_DESCRIPTOR> set;
    if (!set.Allocate(head.wTotalLength)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = GetDescriptor(kConfigurationDescriptorType, 0, 0, set.get(), head.wTotalLength, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned != head.wTotalLength || set.get()->wTotalLength != head.wTotalLength) {
        return STATUS_NOT_SUPPORTED;
    }
    configuration_ = set.Release();
    return STATUS_SUCCESS;
}

// String descriptor 0, the LANGID list: exactly 4 bytes first, then its
// bLength. What the second read actually returned is what is kept.
NTSTATUS CUSBCL::ReadLanguageIds() {
    UCHAR head[kStringHeadBytes] = {};
    ULONG returned = 0;
    NTSTATUS status = GetDescriptor(kStringDescriptorType, 0, 0, head, kStringHeadBytes, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned != kStringHeadBytes) {
        return STATUS_NOT_SUPPORTED;
    }
    UCHAR length = head[0];
    if (length < 2) {
        return STATUS_SUCCESS;  // no languages: every string request is refused later
    }
    vq7::PoolBuffer<UCHAR> list;
    if (!list.Allocate(length)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = GetDescriptor(kStringDescriptorType, 0, 0, list.get(), length, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    languageIdBytes_ = returned < length ? returned : length;
    languageIds_ = list.Release();
    return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                               PULONG returned) {
    _URB_CONTROL_DESCRIPTOR_REQUEST urb{};
    static_assert(sizeof(urb) == 136, "descriptor requests are 136-byte URBs");
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.DescriptorType = type;
    urb.Index = index;
    urb.LanguageId = languageId;
    urb.TransferBuffer = buffer;
    urb.TransferBufferLength = length;
    NTSTATUS status = SubmitUrb(reinterpret_cast<PURB>(&urb));
    *returned = NT_SUCCESS(status) ? (urb.TransferBufferLength < length ? urb.TransferBufferLength : length) : 0;
    return status;
}

// ---------------------------------------------------------------- bus interface

NTSTATUS CUSBCL::QueryBusInterface(PVOID buffer) {
    PIRP irp = IoAllocateIrp(lowerDevice_->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(buffer);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(lowerDevice_, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::GetBusInterface() {
    PAGED_CODE();
    static_assert(sizeof(busInterface_) == 72, "the USBDI V1 bus interface is 72 bytes");
    return QueryBusInterface(&busInterface_);
}

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::QueryHighSpeed() {
    PAGED_CODE();
    USB_BUS_INTERFACE_USBDI_V1 local{};
    NTSTATUS status = QueryBusInterface(&local);
    if (NT_SUCCESS(status)) {
        highSpeed_ = local.IsDeviceHighSpeed(local.BusContext) ? 1 : 0;
        if (local.InterfaceDereference != nullptr) {
            local.InterfaceDereference(local.BusContext);
        }
    }
    return status;
}

// ---------------------------------------------------------------- strings

bool CUSBCL::LanguageAvailable(USHORT languageId) const {
    if (languageIds_ == nullptr || languageIdBytes_ <= 3) {
        return false;
    }
    if (languageId == 0) {
        return true;  // the device's first language
    }
    for (ULONG at = 2; at + 1 < languageIdBytes_; at += 2) {
        if (static_cast<USHORT>(languageIds_[at] | languageIds_[at + 1] << 8) == languageId) {
            return true;
        }
    }
    return false;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::GetStringDescriptor(UCHAR index, CUSBStringDescriptor& out, USHORT languageId) {
    PAGED_CODE();
    if (index == 0 || !LanguageAvailable(languageId)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (languageId == 0) {
        languageId = static_cast<USHORT>(languageIds_[2] | languageIds_[3] << 8);
    }
    UCHAR head[kStringHeadBytes] = {};
    ULONG returned = 0;
    NTSTATUS status = GetDescriptor(kStringDescriptorType, index, languageId, head, kStringHeadBytes, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR length = returned >= 1 ? head[0] : 0;
    if (length <= 3) {
        out.Reset();
        return STATUS_SUCCESS;
    }
    ULONG size = 2 * (length / 2);
    vq7::PoolBuffer<UCHAR> buffer;
    if (!buffer.Allocate(size)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = GetDescriptor(kStringDescriptorType, index, languageId, buffer.get(), size, &returned);
    if (!NT_SUCCESS(status)) {
        out.Reset();
        return status;
    }
    // A device that sends less than it announced gives only what it sent.
    out.Adopt(buffer.Release(), 2 * (returned / 2));
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::GetSerialNumberString(CUSBStringDescriptor& out, USHORT languageId) {
    return GetStringDescriptor(deviceDescriptor_.iSerialNumber, out, languageId);
}

// ---------------------------------------------------------------- host controller

// The controller's name, from the device's stack: first how long it is,
// then the name itself.
NTSTATUS CUSBCL::GetControllerName(PUNICODE_STRING name, vq7::PoolBuffer<UCHAR>& storage) {
    UCHAR head[kHubNameHeadBytes] = {};
    NTSTATUS status = SendInternalRequest(lowerDevice_, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, head,
                                          reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(sizeof head)));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG actual = static_cast<ULONG>(head[0] | head[1] << 8 | head[2] << 16 | static_cast<ULONG>(head[3]) << 24);
    ULONG nameBytes = actual & 0xFFFF;  // a counted string holds at most 16 bits of length
    if (!storage.Allocate(nameBytes + kHubNameOffset)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = SendInternalRequest(lowerDevice_, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, storage.get(),
                                 reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(storage.bytes())));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const UCHAR* reply = storage.get();
    ULONG replyBytes = static_cast<ULONG>(reply[0] | reply[1] << 8) & ~1u;
    if (replyBytes > nameBytes) {
        replyBytes = nameBytes & ~1u;  // never past what was allocated
    }
    if (replyBytes == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    name->Buffer = reinterpret_cast<PWCH>(storage.get() + kHubNameOffset);
    name->Length = static_cast<USHORT>(replyBytes);
    name->MaximumLength = static_cast<USHORT>(replyBytes);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::GetControllerInfo(USB_CONTROLLER_INFO_0* info) {
    PAGED_CODE();
    UNICODE_STRING name{};
    vq7::PoolBuffer<UCHAR> nameStorage;
    NTSTATUS status = GetControllerName(&name, nameStorage);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT controller = nullptr;
    status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &controller);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    USBUSER_CONTROLLER_INFO_0 request{};
    static_assert(sizeof(request) == 40, "the controller information request is 40 bytes");
    request.Header.UsbUserRequest = USBUSER_GET_CONTROLLER_INFO_0;
    request.Header.RequestBufferLength = sizeof(request);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_USB_USER_REQUEST, controller, &request, sizeof(request), &request,
                                             sizeof(request), FALSE, &event, &iosb);
    if (irp == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = IoCallDriver(controller, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
    }
    if (NT_SUCCESS(status)) {
        *info = request.Info0;  // the header's own status is not examined
    }
    ObDereferenceObject(file);
    return status;
}
