// CUSBAudioCL: sampling rates. On class 2.0 a stream's rate is its
// terminal's clock entity; on class 1.0 each data endpoint has its own, set
// and read with endpoint requests.

#include "usbaudiocl.h"

#include "descriptor_walk.h"
#include "entity_clock.h"
#include "entity_terminal.h"
#include "rate_limits.h"
#include "stream_format.h"

namespace {

// Class 1.0 endpoint requests for the sampling frequency control.
constexpr UCHAR kEndpointSetRequestType = 0x22;
constexpr UCHAR kEndpointGetRequestType = 0xA2;
constexpr UCHAR kSetCur = 0x01;
constexpr UCHAR kGetCur = 0x81;
constexpr USHORT kSamplingFrequencyControl = 0x0100;
constexpr USHORT kFrequencyBytes = 3;
constexpr ULONG kEndpointGeneralAttributesOffset = 3;
constexpr UCHAR kSamplingFrequencyControlBit = 0x01;
constexpr ULONG kEndpointAddressOffset = 2;
constexpr ULONG kWholeRange = 0xFFFFFFFF;

USHORT EndpointIndex(const UCHAR* endpoint) {
    return vq7::Field8(endpoint, kEndpointAddressOffset);
}

}  // namespace

// IRQL <= DISPATCH_LEVEL. The clock entity the stream's terminal runs from,
// or null.
CUSBAudioClock* CUSBAudioCL::StreamClock(const USB_AS_INTERFACE* stream) const {
    CUSBAudioTerminal* terminal =
        stream != nullptr && stream->terminal != nullptr ? stream->terminal->AsTerminal() : nullptr;
    CUSBAudioEntity* clock = terminal != nullptr ? terminal->Clock() : nullptr;
    return clock != nullptr ? clock->AsClock() : nullptr;
}

// PASSIVE_LEVEL. Class 2.0: the whole range of rates the stream's clock offers.
NTSTATUS CUSBAudioCL::ClockRange(const USB_AS_INTERFACE* stream, PULONG minimum, PULONG maximum) const {
    CUSBAudioClock* clock = StreamClock(stream);
    return clock != nullptr ? clock->GetFrequencyRange(minimum, maximum, 0, kWholeRange) : STATUS_NOT_SUPPORTED;
}

// IRQL <= DISPATCH_LEVEL.
bool CUSBAudioCL::EndpointTakesRate(const USB_AS_ALTERNATE& alternate) const {
    return alternate.dataEndpointGeneral != nullptr &&
           (vq7::Field8(alternate.dataEndpointGeneral, kEndpointGeneralAttributesOffset) &
            kSamplingFrequencyControlBit) != 0;
}

// PASSIVE_LEVEL. Class 1.0: selects alternate `index` if it is not the
// current one, reads its endpoint's rate, and selects the previous setting
// again. An endpoint that cannot report its rate is not known to run at it;
// a failed selection is the result. While the stream has a format (a
// nonzero setting, which may be streaming) no other setting is selected,
// since that would cancel its transfers and replace its pipe: only the
// current setting's endpoint is asked, and any other is not known to run
// at the rate.
NTSTATUS CUSBAudioCL::ClassOneRateIsCurrent(USB_AS_INTERFACE* stream, ULONG index, ULONG rate, bool* current) {
    PAGED_CODE();
    *current = false;
    const ULONG previous = stream->currentAlternate;
    if (index != previous && previous != 0) {
        return STATUS_SUCCESS;
    }
    if (index != previous) {
        NTSTATUS status = SwitchAlternate(stream, index);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    UCHAR reply[kFrequencyBytes] = {};
    ULONG returned = 0;
    NTSTATUS read =
        ControlRequest(kEndpointGetRequestType, kGetCur, kSamplingFrequencyControl,
                       EndpointIndex(stream->alternates[index].dataEndpoint), sizeof reply, reply, &returned);
    *current = NT_SUCCESS(read) && returned == sizeof reply &&
               static_cast<ULONG>(reply[0] | reply[1] << 8 | reply[2] << 16) == rate;
    return index != previous ? SwitchAlternate(stream, previous) : STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Class 1.0: tells the current setting's data endpoint its
// rate when it has the sampling frequency control.
NTSTATUS CUSBAudioCL::SetEndpointRate(const USB_AS_INTERFACE* stream, ULONG rate) {
    PAGED_CODE();
    const USB_AS_ALTERNATE& alternate = stream->Current();
    if (!EndpointTakesRate(alternate) || alternate.dataEndpoint == nullptr) {
        return STATUS_SUCCESS;
    }
    UCHAR value[kFrequencyBytes] = {static_cast<UCHAR>(rate), static_cast<UCHAR>(rate >> 8),
                                    static_cast<UCHAR>(rate >> 16)};
    return ControlRequest(kEndpointSetRequestType, kSetCur, kSamplingFrequencyControl,
                          EndpointIndex(alternate.dataEndpoint), sizeof value, value);
}

// PASSIVE_LEVEL. Narrows the limits to the rates the direction's stream
// offers: its clock's subranges on class 2.0, the type I formats' rates on
// class 1.0 (another type makes the result STATUS_INVALID_PARAMETER, the
// walk goes on). A range offers every rate it holds within the limits.
NTSTATUS CUSBAudioCL::NarrowRateRange(UCHAR direction, PULONG minimum, PULONG maximum) {
    PAGED_CODE();
    const USB_AS_INTERFACE* stream = Stream(direction);
    if (stream == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    vq7::RateLimits limits(*minimum, *maximum);
    NTSTATUS status = STATUS_SUCCESS;
    if (IsClassTwo()) {
        CUSBAudioClock* clock = StreamClock(stream);
        status = clock != nullptr ? clock->NarrowFrequencyRange(limits) : STATUS_NOT_SUPPORTED;
        if (!NT_SUCCESS(status)) {
            return status;
        }
    } else {
        for (ULONG index = 0; index < stream->alternateCount; ++index) {
            const UCHAR* format = stream->alternates[index].format;
            if (format == nullptr) {
                continue;
            }
            if (!vq7::FormatTypeOne(format)) {
                status = STATUS_INVALID_PARAMETER;
                continue;
            }
            vq7::ClassOneRates rates(format);
            if (rates.Continuous()) {
                limits.OfferRange(rates.Rate(0), rates.Rate(1), 0);
                continue;
            }
            for (ULONG i = 0; i < rates.Count(); ++i) {
                limits.OfferRate(rates.Rate(i));
            }
        }
    }
    limits.Result(minimum, maximum);
    return status;
}

// PASSIVE_LEVEL. Asks the capture stream, or the render stream on a
// playback-only device.
NTSTATUS CUSBAudioCL::IsRateSupported(ULONG rate) {
    PAGED_CODE();
    USB_AS_INTERFACE* stream = CaptureStream() != nullptr ? CaptureStream() : RenderStream();
    if (stream == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IsClassTwo()) {
        CUSBAudioClock* clock = StreamClock(stream);
        return clock != nullptr && NT_SUCCESS(clock->IsFrequencySupported(rate)) ? STATUS_SUCCESS
                                                                                 : STATUS_INVALID_PARAMETER;
    }
    for (ULONG index = 1; index < stream->alternateCount; ++index) {
        vq7::StreamFormat format = vq7::ReadStreamFormat(stream->alternates[index], false);
        if (format.TypeOne(false) && vq7::ClassOneRates(stream->alternates[index].format).Offers(rate)) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

// PASSIVE_LEVEL. Fixes the device to one rate: each stream's clock is set
// (class 1.0 cannot do it without a format); the forced rate is kept either way.
NTSTATUS CUSBAudioCL::SetSampleRate(ULONG rate) {
    PAGED_CODE();
    bool failed = false;
    USB_AS_INTERFACE* const streams[] = {RenderStream(), CaptureStream()};
    for (USB_AS_INTERFACE* stream : streams) {
        if (stream == nullptr) {
            continue;
        }
        CUSBAudioClock* clock = IsClassTwo() ? StreamClock(stream) : nullptr;
        NTSTATUS status = !IsClassTwo()      ? STATUS_NOT_IMPLEMENTED
                          : clock != nullptr ? clock->SetFrequency(rate)
                                             : STATUS_NOT_SUPPORTED;
        failed = failed || !NT_SUCCESS(status);
    }
    forcedSampleRate_ = rate;
    return failed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Class 1.0 clocks are always stable; a class 2.0 stream
// is stable while its clock reports itself valid.
bool CUSBAudioCL::IsClockStable(UCHAR direction) {
    PAGED_CODE();
    if (!IsClassTwo()) {
        return true;
    }
    USB_AS_INTERFACE* stream = Stream(direction);
    CUSBAudioClock* clock = StreamClock(stream);
    return clock != nullptr && clock->IsValid();
}
