// CUSBAudioCL: the audio transfers. Render transfers are cut into
// isochronous packets by what capture delivers, by explicit feedback or by
// the packet schedule; capture transfers are submitted as packets of the
// endpoint's size and checked when they complete.

#include "usbaudiocl.h"

#include "common/locks.h"
#include "common/trace.h"
#include "descriptor_walk.h"
#include "device_quirks.h"
#include "render_length_header.h"
#include "transfer_buffer.h"

namespace {

static_assert(vq7::kMaximumRenderPackets == CUSBCL::kMaximumIsoPackets, "a render plan fits one lookaside URB");

constexpr UCHAR kUsageMask = 0x30;
constexpr UCHAR kUsageImplicitFeedback = 0x20;
constexpr ULONG kEndpointAttributesOffset = 3;

ULONG Saturate(ULONG64 value) {
    return value > MAXULONG ? MAXULONG : static_cast<ULONG>(value);
}

// The bytes a packet puts on the bus.
ULONG WireLength(const vq7::RenderPacketPlan& plan, ULONG i, bool framed) {
    return plan.lengths[i] + (framed ? vq7::kLengthHeaderBytes : 0);
}

}  // namespace

// ---------------------------------------------------------------- completion checks

// IRQL <= DISPATCH_LEVEL. A capture transfer with a packet that is neither
// empty nor within the stream's packet sizes is reported as an I/O error;
// its data is still delivered and counted.
NTSTATUS CUSBAudioCL::CheckCompletedTransfer(NTSTATUS status, PURB urb, USB_TRANSFER_CONTEXT*) {
    if (!NT_SUCCESS(status) || urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
        return status;
    }
    const _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    if ((iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0 || CaptureStream() == nullptr) {
        return status;
    }
    const USB_AS_INTERFACE* capture = CaptureStream();
    // An empty packet carries no frames and is no fault: devices send them
    // while their stream starts. Any other length must be a packet the
    // format can make.
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        ULONG length = iso.IsoPacket[i].Length;
        if (length != 0 && (length < capture->minimumPacketBytes || length > capture->maximumPacketBytes)) {
            return STATUS_UNEXPECTED_IO_ERROR;
        }
    }
    return status;
}

// ---------------------------------------------------------------- pacing

// IRQL <= DISPATCH_LEVEL.
bool CUSBAudioCL::RenderFollowsCapture() const {
    if (SharedClock()) {
        return true;
    }
    const USB_AS_INTERFACE* capture = CaptureStream();
    if (capture == nullptr || capture->alternateCount < 2 || capture->alternates[1].dataEndpoint == nullptr) {
        return false;
    }
    UCHAR attributes = vq7::Field8(capture->alternates[1].dataEndpoint, kEndpointAttributesOffset);
    return (attributes & kUsageMask) == kUsageImplicitFeedback;
}

// IRQL <= DISPATCH_LEVEL.
vq7::RenderPacing CUSBAudioCL::CurrentRenderPacing() const {
    const USB_AS_INTERFACE* render = RenderStream();
    return vq7::RenderPacing{IsHighSpeed(), renderServiceInterval_, render != nullptr ? render->bytesPerFrame : 0};
}

// IRQL <= DISPATCH_LEVEL.
vq7::RenderCursor CUSBAudioCL::CurrentRenderCursor() const {
    const USB_AS_INTERFACE* render = RenderStream();
    return vq7::RenderCursor{schedulePosition_, render != nullptr ? render->feedbackFraction : 0};
}

// IRQL <= DISPATCH_LEVEL.
ULONG CUSBAudioCL::GetServiceInterval(UCHAR direction) const {
    const USB_AS_INTERFACE* stream = Stream(direction);
    return stream != nullptr ? ServiceIntervalOf(stream->Current()) : 1;
}

// IRQL <= DISPATCH_LEVEL.
ULONG CUSBAudioCL::GetRenderTransferBytes(ULONG frames, ULONG feedbackValue) const {
    return GetRenderTransferBytes(frames, feedbackValue, CurrentRenderCursor());
}

// IRQL <= DISPATCH_LEVEL. Without a feedback pipe the schedule decides and
// the feedback value is not used.
ULONG CUSBAudioCL::GetRenderTransferBytes(ULONG frames, ULONG feedbackValue, const vq7::RenderCursor& from) const {
    const USB_AS_INTERFACE* render = RenderStream();
    if (render == nullptr) {
        return 0;
    }
    const vq7::RenderPacing pacing = CurrentRenderPacing();
    const ULONG steps = vq7::RenderStepsPerTransfer(pacing, frames);
    if (render->feedbackPipe != nullptr) {
        return Saturate(vq7::FeedbackBytes(pacing, feedbackValue, from.feedbackFraction, steps));
    }
    if (scheduleEntry_ == nullptr) {
        return 0;
    }
    const vq7::PacketCycle& cycle = scheduleEntry_->Cycle(IsHighSpeed());
    return Saturate(static_cast<ULONG64>(cycle.Sum(from.schedulePosition % cycle.length, steps)) *
                    pacing.bytesPerFrame);
}

// IRQL <= DISPATCH_LEVEL.
NTSTATUS CUSBAudioCL::PlanRenderPackets(ULONG bytes, ULONG frames, vq7::RenderPacketPlan* plan) const {
    return PlanRenderPackets(bytes, frames, CurrentRenderCursor(), plan);
}

// IRQL <= DISPATCH_LEVEL. Capture pacing comes first, then explicit
// feedback (at the applied value), then the packet schedule.
NTSTATUS CUSBAudioCL::PlanRenderPackets(ULONG bytes, ULONG frames, const vq7::RenderCursor& from,
                                        vq7::RenderPacketPlan* plan) const {
    USB_AS_INTERFACE* render = RenderStream();
    if (render == nullptr || render->dataPipe == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    const vq7::RenderPacing pacing = CurrentRenderPacing();
    plan->after = from;
    if (RenderFollowsCapture()) {
        return vq7::PlanCapturePacedPackets(pacing, render->nominalPacketBytes, render->minimumDiffers != 0, bytes,
                                            frames, plan);
    }
    if (render->feedbackPipe != nullptr) {
        ULONG applied = 0;
        {
            vq7::InStackLock lock(render->feedbackLock);
            applied = render->appliedFeedback;
        }
        return vq7::PlanFeedbackPackets(pacing, applied, from.feedbackFraction, bytes, plan);
    }
    if (scheduleEntry_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return vq7::PlanSchedulePackets(pacing, scheduleEntry_->Cycle(IsHighSpeed()), from.schedulePosition, bytes, plan);
}

// ---------------------------------------------------------------- render

// IRQL <= DISPATCH_LEVEL. On a device that frames its packets, the URB
// carries a staging copy of the audio with a length header before each
// packet; the transfer context owns it.
NTSTATUS CUSBAudioCL::StageFramedTransfer(PVOID buffer, PMDL mdl, const vq7::RenderPacketPlan& plan,
                                          USB_TRANSFER_CONTEXT* context) {
    const UCHAR* audio = vq7::TransferBufferAddress(buffer, mdl);
    vq7::PoolBuffer<UCHAR> staging;
    if (audio == nullptr || !staging.Allocate(vq7::FramedTransferBytes(plan), vq7::kPoolTagBpmt)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    vq7::FrameWithLengthHeaders(plan, audio, staging.get());
    context->stagingSize = static_cast<ULONG>(staging.bytes());
    context->stagingBuffer = staging.Release();
    return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL. An isochronous OUT URB laid out as the plan says;
// each packet's offset is the running total of the packets before it, and
// the URB carries (and its completion reports) the plan's bytes.
NTSTATUS CUSBAudioCL::BuildRenderUrb(PVOID buffer, PMDL mdl, const vq7::RenderPacketPlan& plan,
                                     USB_TRANSFER_CONTEXT* context, PURB* built) {
    const bool framed = (Quirks() & vq7::kQuirkRenderLengthHeader) != 0;
    const PUSBD_PIPE_INFORMATION pipe = RenderStream()->dataPipe;
    for (ULONG i = 0; i < plan.count; ++i) {
        if (WireLength(plan, i, framed) > pipe->MaximumPacketSize) {
            return STATUS_INVALID_PARAMETER;  // a packet the endpoint cannot carry
        }
    }
    PURB urb = AllocateIsoUrb();
    NTSTATUS status = urb == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                      : framed       ? StageFramedTransfer(buffer, mdl, plan, context)
                                     : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
        if (urb != nullptr) FreeIsoUrb(urb);
        return status;
    }
    const ULONG urbBytes = static_cast<ULONG>(GET_ISO_URB_SIZE(plan.count));
    RtlZeroMemory(urb, urbBytes);
    _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    iso.Hdr.Length = static_cast<USHORT>(urbBytes);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = pipe->PipeHandle;
    iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    iso.NumberOfPackets = plan.count;
    iso.TransferBuffer = framed ? context->stagingBuffer : buffer;
    iso.TransferBufferMDL = framed ? nullptr : mdl;
    iso.TransferBufferLength = framed ? context->stagingSize : plan.Total();
    ULONG offset = 0;
    for (ULONG i = 0; i < plan.count; ++i) {
        iso.IsoPacket[i].Offset = offset;
        iso.IsoPacket[i].Length = plan.lengthsFromOffsets && !framed ? 0 : WireLength(plan, i, framed);
        offset += WireLength(plan, i, framed);
    }
    context->pipe = pipe;
    *built = urb;
    return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL. Render submissions are serialised by the caller.
NTSTATUS CUSBAudioCL::SubmitRenderTransfer(PVOID buffer, PMDL mdl, ULONG bytes, ULONG frames,
                                           USB_TRANSFER_CALLBACK callback, PVOID context) {
    USB_AS_INTERFACE* render = RenderStream();
    if (render == nullptr || render->dataPipe == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    USB_TRANSFER_CONTEXT* record = AllocateTransferContext();
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->callback = callback;
    record->callbackContext = context;
    vq7::RenderPacketPlan plan;
    PURB urb = nullptr;
    NTSTATUS status = PlanRenderPackets(bytes, frames, &plan);
    if (NT_SUCCESS(status)) {
        status = BuildRenderUrb(buffer, mdl, plan, record, &urb);
    }
    if (!NT_SUCCESS(status)) {
        FreeTransferContext(record);
        return status;
    }
    // The pattern continues from here for the next transfer. Committed
    // before sending, because the completion may resubmit before the send returns.
    const vq7::RenderCursor previous = CurrentRenderCursor();
    schedulePosition_ = plan.after.schedulePosition;
    render->feedbackFraction = plan.after.feedbackFraction;
    const bool framed = (Quirks() & vq7::kQuirkRenderLengthHeader) != 0;
    status = SendOrRelease(urb, record, framed ? CompletionRoutine<&CUSBAudioCL::CompleteFramedRender> : nullptr);
    if (!NT_SUCCESS(status)) {
        schedulePosition_ = previous.schedulePosition;
        render->feedbackFraction = previous.feedbackFraction;
        VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceTransport, "render submission failed: 0x%08X",
                  static_cast<unsigned>(status));
    }
    return status;
}

// IRQL <= DISPATCH_LEVEL. Sends a built URB with `completion`, or with the
// bus layer's own completion when none is given; when it cannot be sent,
// everything the transfer held is released.
NTSTATUS CUSBAudioCL::SendOrRelease(PURB urb, USB_TRANSFER_CONTEXT* context, PIO_COMPLETION_ROUTINE completion) {
    NTSTATUS status = completion != nullptr ? SendAsync(urb, context, completion) : SubmitAsync(urb, context);
    if (!NT_SUCCESS(status)) {
        FreeIsoUrb(urb);
        if (context->stagingBuffer != nullptr) {
            ExFreePoolWithTag(context->stagingBuffer, vq7::kPoolTagBpmt);
        }
        FreeTransferContext(context);
    }
    return status;
}

// IRQL <= DISPATCH_LEVEL. Reports a framed render transfer with the audio
// bytes it carried, as every other render transfer is reported, not with
// the headers the device needed.
void CUSBAudioCL::CompleteFramedRender(PIRP irp, USB_TRANSFER_CONTEXT* context) {
    const _URB_ISOCH_TRANSFER& iso = context->urb->UrbIsochronousTransfer;
    const NTSTATUS status = irp->IoStatus.Status;
    const ULONG headers = vq7::kLengthHeaderBytes * iso.NumberOfPackets;
    const bool sent = NT_SUCCESS(status) && iso.TransferBufferLength >= headers;
    FinishTransfer(irp, context, CheckCompletedTransfer(status, context->urb, context),
                   sent ? iso.TransferBufferLength - headers : 0, sent ? iso.StartFrame : 0,
                   GetTransferDuration(iso.NumberOfPackets, context->pipe));
}

// IRQL <= DISPATCH_LEVEL. Reports a transfer that went through one of this
// class's completion routines and releases what it held.
void CUSBAudioCL::FinishTransfer(PIRP irp, USB_TRANSFER_CONTEXT* context, NTSTATUS status, ULONG bytes,
                                 ULONG startFrame, ULONG durationMs) {
    FreeIsoUrb(context->urb);
    if (context->callback != nullptr) {
        context->callback(status, bytes, startFrame, context->callbackContext, durationMs);
    }
    if (context->stagingBuffer != nullptr) {
        ExFreePoolWithTag(context->stagingBuffer, vq7::kPoolTagBpmt);
    }
    FreeTransferContext(context);
    FinishCompletion(irp);
}

// ---------------------------------------------------------------- capture

// IRQL <= DISPATCH_LEVEL. Packets of the endpoint's size, as soon as possible.
NTSTATUS CUSBAudioCL::SubmitCaptureTransfer(PVOID buffer, ULONG bytes, ULONG, USB_TRANSFER_CALLBACK callback,
                                            PVOID context) {
    USB_AS_INTERFACE* capture = CaptureStream();
    if (capture == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (capture->dataPipe == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    return SubmitInTransfer(capture->dataPipe, buffer, bytes, callback, context);
}

// ---------------------------------------------------------------- protected content

// IRQL <= DISPATCH_LEVEL. Protected content goes to the device object below,
// with the direction's data pipe as the context.
NTSTATUS CUSBAudioCL::GetDrmForwardInfo(UCHAR direction, DRMFORWARD* info) const {
    const USB_AS_INTERFACE* stream = Stream(direction);
    if (stream == nullptr || stream->dataPipe == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    info->Flags = 0;
    info->DeviceObject = LowerDevice();
    info->FileObject = nullptr;
    info->Context = stream->dataPipe->PipeHandle;
    return STATUS_SUCCESS;
}
