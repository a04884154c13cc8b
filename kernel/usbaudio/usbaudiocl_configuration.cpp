// CUSBAudioCL: configuring the device with every streaming interface at its
// zero-bandwidth setting, and resolving the pipes of the current settings.

#include "usbaudiocl.h"

#include "common/trace.h"
#include "descriptor_walk.h"
#include "device_quirks.h"

// PASSIVE_LEVEL.
PUSBD_INTERFACE_LIST_ENTRY CUSBAudioCL::BuildInterfaceList(ULONG* count) {
    *count = streamingCount_ + 1;
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        vq7::AllocateZeroed((streamingCount_ + 2) * sizeof(USBD_INTERFACE_LIST_ENTRY), vq7::kPoolTagUsba));
    if (list == nullptr) {
        *count = 0;
        return nullptr;
    }
    ULONG entry = 0;
    list[entry++].InterfaceDescriptor =
        reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(controlInterface_));
    for (USB_AS_INTERFACE* stream = streams_; stream != nullptr; stream = stream->next) {
        list[entry++].InterfaceDescriptor =
            reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(stream->alternates[0].interfaceDescriptor));
    }
    return list;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::SelectConfiguration() {
    PAGED_CODE();
    ULONG count = 0;
    PUSBD_INTERFACE_LIST_ENTRY list = (quirks_ & vq7::kQuirkConfigureAllInterfaces) ? CreateInterfaceList(&count)
                                                                                   : BuildInterfaceList(&count);
    if (list == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ConfigurationRequest(list, count);
    for (USB_AS_INTERFACE* stream = streams_; NT_SUCCESS(status) && stream != nullptr; stream = stream->next) {
        stream->currentAlternate = 0;
        status = SelectAlternate(stream->interfaceNumber, 0);
    }
    if (NT_SUCCESS(status)) {
        status = ResolvePipes();
    }
    ExFreePoolWithTag(list, vq7::kPoolTagUsba);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceModel, "SelectConfiguration failed: 0x%08X", static_cast<unsigned>(status));
    }
    return status;
}

// The USB stack leaves an isochronous pipe's Interval as the descriptor
// says; the driver works with it normalised: 1 to 4 at high speed, 1 at full
// speed.
void CUSBAudioCL::NormaliseInterval(PUSBD_PIPE_INFORMATION pipe) const {
    if (pipe->PipeType != UsbdPipeTypeIsochronous) {
        return;
    }
    if (IsHighSpeed()) {
        if (pipe->Interval == 0) pipe->Interval = 1;
        if (pipe->Interval > 4) pipe->Interval = 4;
    } else if (pipe->Interval != 1) {
        pipe->Interval = 1;
    }
}

NTSTATUS CUSBAudioCL::ResolvePipe(const UCHAR* endpoint, PUSBD_PIPE_INFORMATION* pipe) {
    *pipe = nullptr;
    if (endpoint == nullptr) {
        return STATUS_SUCCESS;
    }
    *pipe = FindPipe(vq7::Field8(endpoint, 2));
    if (*pipe == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    NormaliseInterval(*pipe);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Every stream is resolved even when one fails.
NTSTATUS CUSBAudioCL::ResolvePipes() {
    NTSTATUS result = STATUS_SUCCESS;
    for (USB_AS_INTERFACE* stream = streams_; stream != nullptr; stream = stream->next) {
        if (stream->currentAlternate >= stream->alternateCount) {
            return STATUS_INVALID_PARAMETER;
        }
        const USB_AS_ALTERNATE& alternate = stream->Current();
        NTSTATUS status = ResolvePipe(alternate.dataEndpoint, &stream->dataPipe);
        if (!NT_SUCCESS(status)) {
            result = status;
        }
        status = ResolvePipe(alternate.feedbackEndpoint, &stream->feedbackPipe);
        if (!NT_SUCCESS(status)) {
            result = status;
        }
    }
    return result;
}
