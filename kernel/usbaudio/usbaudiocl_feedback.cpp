// CUSBAudioCL: the explicit feedback endpoint of the render stream. Each
// feedback transfer spans 4 ms of the endpoint's packets; its completion
// reports the average value the device sent.

#include "usbaudiocl.h"

#include "common/locks.h"
#include "feedback_packets.h"
#include "transfer_buffer.h"

namespace {

constexpr ULONG kFeedbackTransferMilliseconds = 4;
constexpr ULONG kLongestHighSpeedInterval = 4;  // 2^(4 - 1) microframes: one packet per frame

}  // namespace

// IRQL <= DISPATCH_LEVEL. 4 ms of feedback packets; 0 without a feedback pipe.
ULONG CUSBAudioCL::GetFeedbackTransferBytes() const {
    const USB_AS_INTERFACE* render = RenderStream();
    if (render == nullptr || render->feedbackPipe == nullptr) {
        return 0;
    }
    const PUSBD_PIPE_INFORMATION pipe = render->feedbackPipe;
    ULONG packetsPerFrame = 1;
    if (IsHighSpeed() && pipe->Interval >= 1 && pipe->Interval <= kLongestHighSpeedInterval) {
        packetsPerFrame = 1u << (kLongestHighSpeedInterval - pipe->Interval);
    }
    return kFeedbackTransferMilliseconds * pipe->MaximumPacketSize * packetsPerFrame;
}

// IRQL <= DISPATCH_LEVEL. Packets of the pipe's size, IN, as soon as possible.
NTSTATUS CUSBAudioCL::RecvFeedback(PVOID buffer, ULONG bytes, USB_TRANSFER_CALLBACK callback, PVOID context) {
    const USB_AS_INTERFACE* render = RenderStream();
    const PUSBD_PIPE_INFORMATION pipe = render != nullptr ? render->feedbackPipe : nullptr;
    if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeIsochronous) {
        return STATUS_INVALID_PARAMETER;
    }
    USB_TRANSFER_CONTEXT* record = AllocateTransferContext();
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG packetSize = pipe->MaximumPacketSize;
    const ULONG packets = packetSize == 0 ? 0 : packetSize >= bytes ? 1 : (bytes + packetSize - 1) / packetSize;
    if (packets == 0 || packets > kMaximumIsoPackets) {
        FreeTransferContext(record);
        return STATUS_INVALID_PARAMETER;  // a pipe that carries nothing, or more than one URB holds
    }
    PURB urb = AllocateIsoUrb();
    if (urb == nullptr) {
        FreeTransferContext(record);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG urbBytes = static_cast<ULONG>(GET_ISO_URB_SIZE(packets));
    RtlZeroMemory(urb, urbBytes);
    _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    iso.Hdr.Length = static_cast<USHORT>(urbBytes);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = pipe->PipeHandle;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = buffer;
    iso.TransferBufferLength = bytes;
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) {
        iso.IsoPacket[i].Offset = i * packetSize;
    }
    record->callback = callback;
    record->callbackContext = context;
    record->pipe = pipe;
    return SendOrRelease(urb, record, CompletionRoutine<&CUSBAudioCL::CompleteFeedback>);
}

// IRQL <= DISPATCH_LEVEL. Reports the average feedback value of the
// transfer (0 when it failed or nothing could be read).
void CUSBAudioCL::CompleteFeedback(PIRP irp, USB_TRANSFER_CONTEXT* context) {
    const _URB_ISOCH_TRANSFER& iso = context->urb->UrbIsochronousTransfer;
    const NTSTATUS status = irp->IoStatus.Status;
    ULONG value = 0;
    ULONG startFrame = 0;
    USB_AS_INTERFACE* render = RenderStream();
    if (NT_SUCCESS(status)) {
        startFrame = iso.StartFrame;
        const UCHAR* data = iso.TransferBufferLength != 0
                                ? vq7::TransferBufferAddress(iso.TransferBuffer, iso.TransferBufferMDL)
                                : nullptr;
        if (data != nullptr && render != nullptr) {
            value = vq7::AverageFeedbackPackets(iso, data, &render->lastFeedback);
        }
    }
    FinishTransfer(irp, context, status, value, startFrame, 0);
}

// IRQL <= DISPATCH_LEVEL.
void CUSBAudioCL::StorePendingFeedback(ULONG value) {
    USB_AS_INTERFACE* render = RenderStream();
    if (render == nullptr) {
        return;
    }
    vq7::InStackLock lock(render->feedbackLock);
    render->pendingFeedback = value;
}

// IRQL <= DISPATCH_LEVEL. The value render transfers are sized and cut with
// from now on.
ULONG CUSBAudioCL::ApplyPendingFeedback() {
    USB_AS_INTERFACE* render = RenderStream();
    if (render == nullptr) {
        return 0;
    }
    vq7::InStackLock lock(render->feedbackLock);
    render->appliedFeedback = render->pendingFeedback;
    return render->appliedFeedback;
}
