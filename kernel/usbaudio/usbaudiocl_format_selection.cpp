// CUSBAudioCL: realising a stream format on the device, in the two forms
// the engine uses: explicit (render paced by feedback or by the packet
// schedule) and paced (render follows what capture delivers). Either form
// chooses the alternate setting, programs the rate, selects the setting and
// derives the packet sizes the transport works with.

#include "usbaudiocl.h"

#include "common/locks.h"
#include "common/trace.h"
#include "descriptor_walk.h"
#include "entity_clock.h"

namespace {

constexpr ULONG kEndpointMaxPacketOffset = 4;
constexpr ULONG kEndpointIntervalOffset = 6;
constexpr USHORT kPacketBytesMask = 0x7FF;
constexpr ULONG kTransactionsShift = 11;
constexpr USHORT kTransactionsMask = 0x3;
constexpr ULONG kMicroframesPerFrame = 8;
constexpr ULONG kMillisecondsPerSecond = 1000;
constexpr ULONG kMicroframesPerSecond = 8000;
constexpr ULONG kMaximumHighSpeedInterval = 4;  // bInterval of a data endpoint the model accepts
constexpr ULONG kMaximumFullSpeedInterval = 16;
constexpr ULONG64 kUnity16_16 = 0x10000;

ULONG Saturate(ULONG64 value) {
    return value > MAXULONG ? MAXULONG : static_cast<ULONG>(value);
}

// The packet sizes of a format. J = rate x H samples per second of
// packets; a packet carries S = J / (bus units per second) whole samples.
struct PacketSizes {
    ULONG samples = 0;  // S
    ULONG nominal = 0;
    ULONG minimum = 0;
    ULONG maximum = 0;

    bool MinimumDiffers() const { return minimum != nominal; }
};

// The nominal packet carries S frames and the largest one frame more; a
// packet may carry one frame less only when the rate divides into packets
// exactly (otherwise the nominal packet is already the shorter one). A
// setting without frame bytes (alternate 0) has no packets.
PacketSizes SizesFor(bool highSpeed, const vq7::SelectedFormat& selected, ULONG rate) {
    PacketSizes sizes;
    const ULONG frameBytes = selected.frameBytes;
    if (frameBytes == 0) {
        return sizes;
    }
    ULONG64 perSecond = static_cast<ULONG64>(rate) * selected.serviceInterval;
    ULONG64 units = highSpeed ? kMicroframesPerSecond : kMillisecondsPerSecond;
    sizes.samples = Saturate(perSecond / units);
    sizes.nominal = Saturate(static_cast<ULONG64>(frameBytes) * sizes.samples);
    sizes.maximum = Saturate(static_cast<ULONG64>(sizes.nominal) + frameBytes);
    bool exact = perSecond % units == 0;
    sizes.minimum = exact && sizes.nominal >= frameBytes ? sizes.nominal - frameBytes : sizes.nominal;
    return sizes;
}

// A device whose capture packets stray further from nominal: one frame
// more below, and up to two above when a packet can hold them.
void WidenPacketMargin(const vq7::SelectedFormat& selected, PacketSizes* sizes) {
    const ULONG frameBytes = selected.frameBytes;
    if (frameBytes == 0) {
        return;
    }
    if (frameBytes < sizes->minimum) {
        sizes->minimum -= frameBytes;
    }
    ULONG64 twoAbove = static_cast<ULONG64>(frameBytes) * (sizes->samples + 2);
    if (selected.packetCapacity >= twoAbove) {
        sizes->maximum = Saturate(twoAbove);
    }
}

void StoreSizes(USB_AS_INTERFACE* stream, ULONG frameBytes, const PacketSizes& sizes) {
    stream->bytesPerFrame = frameBytes;
    stream->nominalPacketBytes = sizes.nominal;
    stream->minimumPacketBytes = sizes.minimum;
    stream->maximumPacketBytes = sizes.maximum;
    stream->minimumDiffers = sizes.MinimumDiffers() ? 1 : 0;
}

// The sizes per transfer of msPerTransfer milliseconds, and how many frames
// a transfer may fall short of or exceed nominal. Frames cannot be counted
// without frame bytes: asking for them then is refused (the rest is still
// reported).
NTSTATUS ReportCaptureBounds(bool highSpeed, const vq7::SelectedFormat& selected, const PacketSizes& sizes,
                             ULONG msPerTransfer, PULONG nominalBytesPerTransfer, PLONG framesBelow,
                             PLONG framesAbove) {
    const ULONG64 scale =
        static_cast<ULONG64>(msPerTransfer) * (highSpeed ? kMicroframesPerFrame / selected.serviceInterval : 1);
    const ULONG64 nominal = sizes.nominal * scale;
    const ULONG frameBytes = selected.frameBytes;
    if (nominalBytesPerTransfer != nullptr) {
        *nominalBytesPerTransfer = Saturate(nominal);
    }
    if (framesBelow != nullptr) {
        *framesBelow = frameBytes != 0 ? -static_cast<LONG>((nominal - sizes.minimum * scale) / frameBytes) : 0;
    }
    if (framesAbove != nullptr) {
        *framesAbove = frameBytes != 0 ? static_cast<LONG>((sizes.maximum * scale - nominal) / frameBytes) : 0;
    }
    bool framesAsked = framesBelow != nullptr || framesAbove != nullptr;
    return frameBytes == 0 && framesAsked ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------- what an alternate setting offers

// IRQL <= DISPATCH_LEVEL. Bus units between two packets of the setting's
// data endpoint (1 without one).
ULONG CUSBAudioCL::ServiceIntervalOf(const USB_AS_ALTERNATE& alternate) const {
    if (alternate.dataEndpoint == nullptr) {
        return 1;
    }
    ULONG interval = vq7::Field8(alternate.dataEndpoint, kEndpointIntervalOffset);
    ULONG limit = IsHighSpeed() ? kMaximumHighSpeedInterval : kMaximumFullSpeedInterval;
    interval = interval < limit ? interval : limit;
    return interval >= 2 ? 1u << (interval - 1) : 1;
}

// IRQL <= DISPATCH_LEVEL. The bytes one packet of the data endpoint can
// carry: every transaction of a high-bandwidth endpoint at high speed.
ULONG CUSBAudioCL::PacketCapacity(const USB_AS_ALTERNATE& alternate) const {
    if (alternate.dataEndpoint == nullptr) {
        return 0;
    }
    USHORT field = vq7::Field16(alternate.dataEndpoint, kEndpointMaxPacketOffset);
    if (!IsHighSpeed()) {
        return field;
    }
    ULONG transactions = ((field >> kTransactionsShift) & kTransactionsMask) + 1;
    return transactions * (field & kPacketBytesMask);
}

// IRQL <= DISPATCH_LEVEL. The bytes the data endpoint can carry per
// millisecond.
ULONG CUSBAudioCL::CapacityPerMillisecond(const USB_AS_ALTERNATE& alternate) const {
    if (!IsHighSpeed()) {
        return PacketCapacity(alternate);
    }
    ULONG interval = ServiceIntervalOf(alternate);
    ULONG packets = interval < kMicroframesPerFrame ? kMicroframesPerFrame / interval : 1;
    return packets * PacketCapacity(alternate);
}

// ---------------------------------------------------------------- selecting on the device

// PASSIVE_LEVEL. Selects `alternate` and resolves the pipes again: a
// selection replaces the interface's pipe information, so pipe pointers
// taken before it are stale.
NTSTATUS CUSBAudioCL::SwitchAlternate(USB_AS_INTERFACE* stream, ULONG alternate) {
    PAGED_CODE();
    NTSTATUS status = SelectAlternate(stream->interfaceNumber, static_cast<UCHAR>(alternate));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    stream->currentAlternate = alternate;
    return ResolvePipes();
}

// PASSIVE_LEVEL. Chooses the alternate, programs the clock, selects the
// setting and tells a class 1.0 endpoint its rate; the first failure ends it.
NTSTATUS CUSBAudioCL::SelectFormatOnDevice(USB_AS_INTERFACE* stream, USHORT formatTag, ULONG channels, ULONG validBits,
                                           ULONG rate, PULONG outChannels, PULONG outContainerBits, PULONG alternate) {
    NTSTATUS status =
        ChooseAlternate(stream, formatTag, channels, validBits, rate, outChannels, outContainerBits, alternate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (*alternate != 0 && *outChannels * (*outContainerBits / 8) == 0) {
        return STATUS_NOT_SUPPORTED;  // a setting whose frames hold no bytes cannot carry audio
    }
    if (IsClassTwo() && *alternate != 0) {
        status = StreamClock(stream)->SetFrequency(rate);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (*alternate != stream->currentAlternate) {
        status = SwitchAlternate(stream, *alternate);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return !IsClassTwo() && *alternate != 0 ? SetEndpointRate(stream, rate) : STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL. A new render format starts without feedback history.
void CUSBAudioCL::ResetRenderFeedback(USB_AS_INTERFACE* stream) {
    if (stream->feedbackPipe == nullptr) {
        return;
    }
    vq7::InStackLock lock(stream->feedbackLock);
    stream->appliedFeedback = 0;
    stream->pendingFeedback = 0;
    stream->lastFeedback = 0;
    stream->feedbackFraction = 0;
}

// IRQL <= DISPATCH_LEVEL. The feedback value a device at `rate` reports:
// samples per bus unit in 16.16, 0 for a stream without a feedback pipe or
// without a format.
ULONG CUSBAudioCL::NominalFeedback(const USB_AS_INTERFACE* stream, ULONG rate) const {
    if (stream->feedbackPipe == nullptr || stream->currentAlternate == 0) {
        return 0;
    }
    ULONG64 perFrame = static_cast<ULONG64>(rate) * kUnity16_16 / kMillisecondsPerSecond;
    return Saturate(IsHighSpeed() ? perFrame / kMicroframesPerFrame : perFrame);
}

// PASSIVE_LEVEL. Selects the format on the direction's stream and describes
// what was chosen; a zero request chooses alternate setting 0, which carries
// nothing. A render stream paced by the schedule needs the rate's row, and
// a rate without one is refused before anything reaches the device. Only a
// selection that succeeded clears the render feedback history: a refused
// one leaves the current format whole.
NTSTATUS CUSBAudioCL::SelectAndDescribe(UCHAR direction, bool bySchedule, USHORT formatTag, ULONG channels,
                                        ULONG validBits, ULONG rate, ULONG msPerTransfer, PULONG outChannels,
                                        PULONG outContainerBits, vq7::SelectedFormat* selected) {
    *selected = vq7::SelectedFormat{};
    USB_AS_INTERFACE* stream = Stream(direction);
    if (stream == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (bySchedule && direction == 0 && channels != 0 && validBits != 0 && rate != 0) {
        selected->scheduleRow = vq7::FindPacketScheduleRow(rate);
        if (selected->scheduleRow == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
    }
    ULONG alternate = 0;
    NTSTATUS status =
        SelectFormatOnDevice(stream, formatTag, channels, validBits, rate, outChannels, outContainerBits, &alternate);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceFormat, "format selection failed: 0x%08X",
                  static_cast<unsigned>(status));
        return status;
    }
    selected->stream = stream;
    if (direction == 0) {
        ResetRenderFeedback(stream);
    }
    if (alternate != 0) {
        const USB_AS_ALTERNATE& chosen = stream->alternates[alternate];
        selected->serviceInterval = ServiceIntervalOf(chosen);
        selected->frameBytes = *outChannels * (*outContainerBits / 8);
        selected->packetCapacity = PacketCapacity(chosen);
        selected->maxBytesPerTransfer = Saturate(static_cast<ULONG64>(msPerTransfer) * CapacityPerMillisecond(chosen));
    }
    feedbackNominal_[direction != 0 ? 1 : 0] = NominalFeedback(stream, rate);
    if (direction == 0) {
        renderServiceInterval_ = selected->serviceInterval;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- the two forms

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::SelectStreamingFormat(UCHAR direction, USHORT formatTag, ULONG channels, ULONG validBits,
                                            ULONG rate, ULONG msPerTransfer, PULONG outChannels,
                                            PULONG outContainerBits, PULONG maxBytesPerTransfer) {
    PAGED_CODE();
    vq7::SelectedFormat selected;
    NTSTATUS status = SelectAndDescribe(direction, true, formatTag, channels, validBits, rate, msPerTransfer,
                                        outChannels, outContainerBits, &selected);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    USB_AS_INTERFACE* stream = selected.stream;
    StoreSizes(stream, selected.frameBytes, SizesFor(IsHighSpeed(), selected, rate));
    stream->sampleRate = rate;
    if (direction == 0) {
        scheduleEntry_ = selected.scheduleRow != nullptr ? selected.scheduleRow : scheduleEntry_;
        schedulePosition_ = 0;
        if (stream->feedbackPipe != nullptr) {
            vq7::InStackLock lock(stream->feedbackLock);
            stream->pendingFeedback = feedbackNominal_[0];
        }
    }
    *maxBytesPerTransfer = selected.maxBytesPerTransfer;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Also gives the bounds, per transfer of msPerTransfer, of
// what capture may deliver: nominal bytes, and the frames below and above.
NTSTATUS CUSBAudioCL::SelectStreamingFormat(UCHAR direction, USHORT formatTag, ULONG channels, ULONG validBits,
                                            ULONG rate, ULONG msPerTransfer, PULONG outChannels,
                                            PULONG outContainerBits, PULONG nominalBytesPerTransfer, PLONG framesBelow,
                                            PLONG framesAbove, PULONG maxBytesPerTransfer) {
    PAGED_CODE();
    vq7::SelectedFormat selected;
    NTSTATUS status = SelectAndDescribe(direction, false, formatTag, channels, validBits, rate, msPerTransfer,
                                        outChannels, outContainerBits, &selected);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PacketSizes sizes = SizesFor(IsHighSpeed(), selected, rate);
    if (packetMarginQuirk_) {
        WidenPacketMargin(selected, &sizes);
    }
    StoreSizes(selected.stream, selected.frameBytes, sizes);
    *maxBytesPerTransfer = selected.maxBytesPerTransfer;
    return ReportCaptureBounds(IsHighSpeed(), selected, sizes, msPerTransfer, nominalBytesPerTransfer, framesBelow,
                               framesAbove);
}
