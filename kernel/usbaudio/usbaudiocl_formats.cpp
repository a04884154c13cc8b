// CUSBAudioCL: which alternate setting carries a requested format, and the
// format questions of the engine: the best format at a rate and what a
// direction can do at all.

#include "usbaudiocl.h"

#include "entity_clock.h"
#include "stream_format.h"

namespace {

// The best alternate a walk has found so far.
struct Candidate {
    bool found = false;
    ULONG alternate = 0;
    ULONG channels = 0;
    ULONG containerBits = 0;

    void Take(ULONG index, const vq7::StreamFormat& format) {
        found = true;
        alternate = index;
        channels = format.channels;
        containerBits = format.ContainerBits();
    }
};

// A running minimum and maximum over values seen.
struct Extent {
    bool seen = false;
    ULONG low = 0;
    ULONG high = 0;

    void Add(ULONG value) {
        low = !seen || value < low ? value : low;
        high = !seen || value > high ? value : high;
        seen = true;
    }
};

}  // namespace

// PASSIVE_LEVEL. Walks alternates 1 and up; the first exact match of
// channels and resolution wins, else the candidate with the most channels
// and the largest containers (later ones win ties).
NTSTATUS CUSBAudioCL::ChooseAlternate(USB_AS_INTERFACE* stream, USHORT formatTag, ULONG channels, ULONG validBits,
                                      ULONG rate, PULONG outChannels, PULONG outContainerBits, PULONG alternate) {
    PAGED_CODE();
    if (channels == 0 || validBits == 0 || rate == 0) {
        *outChannels = channels;
        *outContainerBits = 0;
        *alternate = 0;
        return STATUS_SUCCESS;
    }
    if (IsClassTwo()) {
        CUSBAudioClock* clock = StreamClock(stream);
        NTSTATUS status = clock != nullptr ? clock->IsFrequencySupported(rate) : STATUS_NOT_SUPPORTED;
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    Candidate best;
    Candidate exact;
    for (ULONG index = 1; index < stream->alternateCount && !exact.found; ++index) {
        bool carries = false;
        NTSTATUS status = AlternateCarries(stream, index, formatTag, rate, &carries);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (!carries) {
            continue;
        }
        vq7::StreamFormat format = vq7::ReadStreamFormat(stream->alternates[index], IsClassTwo());
        if (format.channels == channels && format.bitResolution == validBits) {
            exact.Take(index, format);
        } else if (format.channels >= best.channels && format.ContainerBits() >= best.containerBits) {
            best.Take(index, format);
        }
    }
    const Candidate& chosen = exact.found ? exact : best;
    if (!chosen.found) {
        return STATUS_NOT_SUPPORTED;
    }
    *outChannels = chosen.channels;
    *outContainerBits = chosen.containerBits;
    *alternate = chosen.alternate;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Whether alternate `index` is a candidate for the tag at
// the rate. On class 1.0 a capture endpoint that cannot be told its rate
// and offers several must also be running at it.
NTSTATUS CUSBAudioCL::AlternateCarries(USB_AS_INTERFACE* stream, ULONG index, USHORT formatTag, ULONG rate,
                                       bool* carries) {
    *carries = false;
    const USB_AS_ALTERNATE& alternate = stream->alternates[index];
    vq7::StreamFormat format = vq7::ReadStreamFormat(alternate, IsClassTwo());
    if (alternate.dataEndpoint == nullptr || !format.described || !vq7::TagAllowed(format, IsClassTwo(), formatTag)) {
        return STATUS_SUCCESS;
    }
    if (!format.TypeOne(IsClassTwo())) {
        return STATUS_SUCCESS;
    }
    if (IsClassTwo()) {
        *carries = true;
        return STATUS_SUCCESS;
    }
    vq7::ClassOneRates rates(alternate.format);
    if (!rates.Offers(rate)) {
        return STATUS_SUCCESS;
    }
    if (rates.Continuous() || rates.Count() < 2 || !stream->inputFlag || EndpointTakesRate(alternate)) {
        *carries = true;
        return STATUS_SUCCESS;
    }
    return ClassOneRateIsCurrent(stream, index, rate, carries);
}

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::FindFormat(UCHAR direction, USHORT formatTag, ULONG channels, ULONG validBits, ULONG rate,
                                 PULONG outChannels, PULONG outContainerBits) {
    USB_AS_INTERFACE* stream = Stream(direction);
    if (stream == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG alternate = 0;
    return ChooseAlternate(stream, formatTag, channels, validBits, rate, outChannels, outContainerBits, &alternate);
}

// PASSIVE_LEVEL. The alternate with the largest containers that offers the
// tag; on class 2.0 only when the clock's range holds the rate.
NTSTATUS CUSBAudioCL::GetBestFormat(UCHAR direction, USHORT formatTag, ULONG rate, PULONG outChannels,
                                    PULONG outContainerBits) {
    PAGED_CODE();
    if (formatTag != vq7::kFormatTagPcm && formatTag != vq7::kFormatTagIeeeFloat) {
        return STATUS_NOT_SUPPORTED;
    }
    USB_AS_INTERFACE* stream = Stream(direction);
    if (stream == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IsClassTwo()) {
        ULONG minimum = 0;
        ULONG maximum = 0;
        NTSTATUS status = ClockRange(stream, &minimum, &maximum);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (rate < minimum || rate > maximum) {
            return STATUS_NO_MATCH;
        }
    }
    Candidate best;
    for (ULONG index = 0; index < stream->alternateCount; ++index) {
        vq7::StreamFormat format = vq7::ReadStreamFormat(stream->alternates[index], IsClassTwo());
        if (format.EveryTypeOne() && vq7::OffersTag(format, IsClassTwo(), formatTag) &&
            (!best.found || format.ContainerBits() > best.containerBits)) {
            best.Take(index, format);
        }
    }
    if (!best.found) {
        return STATUS_NO_MATCH;
    }
    *outChannels = best.channels;
    *outContainerBits = best.containerBits;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. The most channels, the smallest and largest containers,
// and the rates: the clock's range on class 2.0, the frequency lists on
// class 1.0.
NTSTATUS CUSBAudioCL::GetFormatCapabilities(UCHAR direction, PULONG maxChannels, PULONG minBits, PULONG maxBits,
                                            PULONG minRate, PULONG maxRate) {
    PAGED_CODE();
    *maxChannels = 0;
    *minBits = 0;
    *maxBits = 0;
    *minRate = 0;
    *maxRate = 0;
    USB_AS_INTERFACE* stream = Stream(direction);
    if (stream == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsClassTwo()) {
        ULONG low = 0;
        ULONG high = 0;
        NTSTATUS status = ClockRange(stream, &low, &high);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        *minRate = low;
        *maxRate = high;
    }
    Extent bits;
    Extent rates;
    for (ULONG index = 0; index < stream->alternateCount; ++index) {
        const USB_AS_ALTERNATE& alternate = stream->alternates[index];
        vq7::StreamFormat format = vq7::ReadStreamFormat(alternate, IsClassTwo());
        if (!format.TypeOne(IsClassTwo())) {
            continue;
        }
        *maxChannels = format.channels > *maxChannels ? format.channels : *maxChannels;
        bits.Add(format.ContainerBits());
        vq7::ClassOneRates offered(IsClassTwo() ? nullptr : alternate.format);
        for (ULONG i = 0; i < offered.Count(); ++i) {
            rates.Add(offered.Rate(i));
        }
    }
    *minBits = bits.low;
    *maxBits = bits.high;
    if (!IsClassTwo()) {
        *minRate = rates.low;
        *maxRate = rates.high;
    }
    return STATUS_SUCCESS;
}
