// CUSBAudioCL: the vendor streaming mode (PCM or native DSD). Each
// streaming interface is told the mode with a vendor request and remembers
// the last mode it accepted, so that the mode can be sent again after the
// device was reset.

#include "usbaudiocl.h"

namespace {

constexpr UCHAR kVendorInterfaceRequestType = 0x41;  // host to device, vendor, interface
constexpr UCHAR kSetModeRequest = 0x00;

}  // namespace

// PASSIVE_LEVEL. Sends every streaming interface in order `mode`, or
// without one the mode it last accepted; the first refusal stops the walk.
NTSTATUS CUSBAudioCL::SendVendorModes(const USHORT* mode) {
    PAGED_CODE();
    for (USB_AS_INTERFACE* stream = StreamingInterfaces(); stream != nullptr; stream = stream->next) {
        USHORT value = mode != nullptr ? *mode : stream->vendorMode;
        NTSTATUS status =
            ControlRequest(kVendorInterfaceRequestType, kSetModeRequest, value, stream->interfaceNumber, 0, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        stream->vendorMode = value;
    }
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::SetVendorMode(USHORT mode) {
    return SendVendorModes(&mode);
}

// PASSIVE_LEVEL. After a device reset.
NTSTATUS CUSBAudioCL::RestoreVendorMode() {
    return SendVendorModes(nullptr);
}

// IRQL <= DISPATCH_LEVEL.
USHORT CUSBAudioCL::GetVendorMode() const {
    return StreamingInterfaces() != nullptr ? StreamingInterfaces()->vendorMode : 0;
}
