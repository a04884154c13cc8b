// CUSBCL: the interface list, configuration and alternate-setting
// selection, the copies of the interface information, and pipe lookup.

#include "usbcl.h"

#include "common/locks.h"
#include "common/trace.h"

namespace {

// A select-interface URB is 56 bytes plus 24 per endpoint; the interface
// information inside it 24 plus 24 per pipe.
constexpr ULONG kSelectInterfaceHead_bytes = 56;
constexpr ULONG kInterfaceHead_bytes = 24;
constexpr ULONG kPipe_bytes = 24;
static_assert(kSelectInterfaceHead_bytes + kPipe_bytes == sizeof(_URB_SELECT_INTERFACE), "select-interface URB layout");
static_assert(kInterfaceHead_bytes + kPipe_bytes == sizeof(USBD_INTERFACE_INFORMATION), "interface information layout");
static_assert(kPipe_bytes == sizeof(USBD_PIPE_INFORMATION), "pipe information layout");

}  // namespace

// PASSIVE_LEVEL.
PUSBD_INTERFACE_LIST_ENTRY CUSBCL::CreateInterfaceList(ULONG* count) {
    PAGED_CODE();
    *count = 0;
    if (configuration_ == nullptr) {
        return nullptr;
    }
    UCHAR interfaces = configuration_->bNumInterfaces;
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        vq7::AllocateZeroed((interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), vq7::kPoolTagUsba));
    if (list == nullptr) {
        return nullptr;
    }
    // An interface number the configuration does not have is left out: the
    // list holds the interfaces that exist, in number order.
    ULONG entries = 0;
    for (UCHAR number = 0; number < interfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor =
            USBD_ParseConfigurationDescriptorEx(configuration_, configuration_, number, 0, -1, -1, -1);
        if (descriptor == nullptr) {
            VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceUsb, "interface %u is missing from the configuration", number);
            continue;
        }
        list[entries++].InterfaceDescriptor = descriptor;
    }
    *count = entries;
    return list;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY list, ULONG count) {
    PAGED_CODE();
    PURB urb = USBD_CreateConfigurationRequestEx(configuration_, list);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrb(urb);
    if (NT_SUCCESS(status)) {
        configurationHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        vq7::MutexLock lock(interfaceMutex_);
        FreeInterfaceCopiesLocked();
        interfaces_ = static_cast<PUSBD_INTERFACE_INFORMATION*>(
            vq7::AllocateZeroed(count * sizeof(PUSBD_INTERFACE_INFORMATION) + sizeof(PVOID), vq7::kPoolTagUsba));
        if (interfaces_ == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            interfaceCount_ = count;
        }
    }
    for (ULONG j = 0; NT_SUCCESS(status) && j < count; ++j) {
        status = CopyInterfaceInfo(j, list[j].Interface);
    }
    if (!NT_SUCCESS(status)) {
        vq7::MutexLock lock(interfaceMutex_);
        FreeInterfaceCopiesLocked();
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS CUSBCL::CopyInterfaceInfo(ULONG slot, PUSBD_INTERFACE_INFORMATION info) {
    vq7::MutexLock lock(interfaceMutex_);
    if (slot >= interfaceCount_ || info == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The old copy goes only once the new one is there: a slot left empty
    // would refuse every later selection on the interface.
    auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(vq7::AllocateZeroed(info->Length, vq7::kPoolTagUsba));
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (interfaces_[slot] != nullptr) {
        ExFreePoolWithTag(interfaces_[slot], vq7::kPoolTagUsba);
    }
    RtlCopyMemory(copy, info, info->Length);
    // Only as many pipes as the copy holds can ever be looked at.
    ULONG room = info->Length < kInterfaceHead_bytes ? 0 : (info->Length - kInterfaceHead_bytes) / kPipe_bytes;
    if (copy->NumberOfPipes > room) {
        copy->NumberOfPipes = room;
    }
    interfaces_[slot] = copy;
    return STATUS_SUCCESS;
}

void CUSBCL::FreeInterfaceCopiesLocked() {
    if (interfaces_ != nullptr) {
        for (ULONG j = 0; j < interfaceCount_; ++j) {
            if (interfaces_[j] != nullptr) {
                ExFreePoolWithTag(interfaces_[j], vq7::kPoolTagUsba);
            }
        }
        ExFreePoolWithTag(interfaces_, vq7::kPoolTagUsba);
    }
    interfaces_ = nullptr;
    interfaceCount_ = 0;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBCL::SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting) {
    PAGED_CODE();
    if (configuration_ == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG slot = MAXULONG;
    {
        vq7::MutexLock lock(interfaceMutex_);
        for (ULONG j = 0; j < interfaceCount_ && slot == MAXULONG; ++j) {
            if (interfaces_[j] == nullptr) {
                return STATUS_UNSUCCESSFUL;
            }
            if (interfaces_[j]->InterfaceNumber == interfaceNumber) {
                slot = j;
            }
        }
    }
    if (slot == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
        configuration_, configuration_, interfaceNumber, alternateSetting, -1, -1, -1);
    if (descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG endpoints = descriptor->bNumEndpoints;
    ULONG bytes = kSelectInterfaceHead_bytes + kPipe_bytes * endpoints;
    vq7::PoolBuffer<_URB_SELECT_INTERFACE> urb;
    if (!urb.Allocate(bytes)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    _URB_SELECT_INTERFACE* select = urb.get();
    select->Hdr.Length = static_cast<USHORT>(bytes);
    select->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    select->ConfigurationHandle = configurationHandle_;
    select->Interface.Length = static_cast<USHORT>(kInterfaceHead_bytes + kPipe_bytes * endpoints);
    select->Interface.InterfaceNumber = interfaceNumber;
    select->Interface.AlternateSetting = alternateSetting;
    NTSTATUS status = SubmitUrb(reinterpret_cast<PURB>(select));
    if (NT_SUCCESS(status)) {
        status = CopyInterfaceInfo(slot, &select->Interface);
    }
    return status;
}

// IRQL == PASSIVE_LEVEL: the pointer stays valid until the interface's next
// selection.
PUSBD_PIPE_INFORMATION CUSBCL::FindPipe(UCHAR endpointAddress) {
    vq7::MutexLock lock(interfaceMutex_);
    for (ULONG j = 0; j < interfaceCount_; ++j) {
        PUSBD_INTERFACE_INFORMATION info = interfaces_[j];
        if (info == nullptr) {
            continue;
        }
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            if (info->Pipes[p].EndpointAddress == endpointAddress) {
                return &info->Pipes[p];
            }
        }
    }
    return nullptr;
}

// The service interval in bus units: bInterval frames for a USB 1.x device,
// else 2^(Interval - 1) (micro)frames. Interval is taken within 1 to 16 so
// that a device's 0 or an absurd value cannot shift out of range.
ULONG CUSBCL::GetPipeIntervalUnits(const USBD_PIPE_INFORMATION* pipe) const {
    if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeIsochronous) {
        return 0;
    }
    if (deviceDescriptor_.bcdUSB < 0x0200) {
        return pipe->Interval;
    }
    UCHAR interval = pipe->Interval == 0 ? 1 : (pipe->Interval > 16 ? 16 : pipe->Interval);
    return 1u << (interval - 1);
}

ULONG CUSBCL::GetTransferDuration(ULONG packets, const USBD_PIPE_INFORMATION* pipe) const {
    if (pipe == nullptr) {
        return 0;
    }
    ULONG units = GetPipeIntervalUnits(pipe);
    return highSpeed_ ? (packets * units + 7) / 8 : packets * units;
}
