// Reading the filter description's records: pin i (its PortCls descriptor
// and its terminal), and the audio data ranges of a direction's list.
#pragma once

#include <ntddk.h>
#include <ksmedia.h>
#include <portcls.h>

#include "filter_description.h"

class CUSBAudioTerminal;

namespace vq7 {

// Records are PinSize bytes apart. The caller checks pin < PinCount.
inline const PCPIN_DESCRIPTOR* PinDescriptorAt(const PCFILTER_DESCRIPTOR& filter, ULONG pin) {
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter.Pins) +
                                                     static_cast<SIZE_T>(pin) * filter.PinSize);
}

inline const CUSBAudioTerminal* PinTerminalAt(const PCFILTER_DESCRIPTOR& filter, ULONG pin) {
    if (filter.PinSize < sizeof(FilterPinRecord)) {
        return nullptr;
    }
    return reinterpret_cast<const FilterPinRecord*>(PinDescriptorAt(filter, pin))->terminal;
}

inline const DataRangeList& RangesOf(const FilterDescriptionBlock& block, bool capture) {
    return capture ? block.capture : block.render;
}

// Entry i as an audio data range, or null for an entry that is none (the
// attribute list that may follow the last range).
inline const KSDATARANGE_AUDIO* AudioRangeAt(const DataRangeList& list, ULONG i) {
    const KSDATARANGE* range = list.ranges[i];
    if (range == nullptr || range->FormatSize < sizeof(KSDATARANGE_AUDIO)) {
        return nullptr;
    }
    return reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
}

}  // namespace vq7
