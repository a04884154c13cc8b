// A PCM audio data range with a WAVEFORMATEX specifier, as clients and test
// filters describe what they take, and the data-intersection request a
// client sends with one such range.
#pragma once

#include <ksmedia.h>

namespace kmtest {

inline KSDATARANGE_AUDIO PcmRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate) {
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof range;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = maxChannels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

struct IntersectionRequest {
    KSP_PIN property;
    KSMULTIPLE_ITEM list;
    KSDATARANGE_AUDIO range;
};

inline IntersectionRequest Intersection(ULONG pin, const KSDATARANGE_AUDIO& range) {
    IntersectionRequest request = {};
    request.property.Property.Set = KSPROPSETID_Pin;
    request.property.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    request.property.Property.Flags = KSPROPERTY_TYPE_GET;
    request.property.PinId = pin;
    request.list = {sizeof request.list + sizeof request.range, 1};
    request.range = range;
    return request;
}

}  // namespace kmtest
