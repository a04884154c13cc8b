// CUSBAudioCL: checks on finished transfers.

#include "usbaudiocl.h"

// IRQL <= DISPATCH_LEVEL. A capture transfer whose packets do not all lie
// within the stream's packet sizes is reported as an I/O error; its data is
// still delivered and counted.
NTSTATUS CUSBAudioCL::CheckCompletedTransfer(NTSTATUS status, PURB urb, USB_TRANSFER_CONTEXT*) {
    if (!NT_SUCCESS(status) || urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
        return status;
    }
    const _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    if ((iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0 || CaptureStream() == nullptr) {
        return status;
    }
    const USB_AS_INTERFACE* capture = CaptureStream();
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        ULONG length = iso.IsoPacket[i].Length;
        if (length < capture->minimumPacketBytes || length > capture->maximumPacketBytes) {
            return STATUS_UNEXPECTED_IO_ERROR;
        }
    }
    return status;
}
