#include "adapter/asio_channel_handle.h"

NTSTATUS CAsioChannelHandle::Create() {
    state_ = Opened;
    return STATUS_SUCCESS;
}

// A handle that never became the owner holds nothing to unwind.
NTSTATUS CAsioChannelHandle::Cleanup(PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    state_ = Opened;
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::Close() {
    state_ = Closed;
    return STATUS_SUCCESS;
}

// Audio moves only while an ASIO stream runs; no handle can start one yet.
NTSTATUS CAsioChannelHandle::Read(PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CAsioChannelHandle::Write(PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    return STATUS_UNSUCCESSFUL;
}

// The channel answers a request code it does not know as invalid; it knows
// none until its request dispatcher is in place.
NTSTATUS CAsioChannelHandle::DeviceControl(PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    return STATUS_INVALID_DEVICE_REQUEST;
}
