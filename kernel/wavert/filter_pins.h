// Reading the filter description's records: pin i (its PortCls descriptor
// and its terminal), and the audio data ranges of a direction's list.
#pragma once

#include <ntddk.h>
#include <ksmedia.h>
#include <portcls.h>

#include "entity_terminal.h"
#include "filter_description.h"

namespace vq7 {

// Records are PinSize bytes apart. The caller checks pin < PinCount.
inline const PCPIN_DESCRIPTOR* PinDescriptorAt(const PCFILTER_DESCRIPTOR& filter, ULONG pin) {
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter.Pins) +
                                                     static_cast<SIZE_T>(pin) * filter.PinSize);
}

// The terminal behind pin i, or null when the records carry none.
inline const CUSBAudioTerminal* PinTerminalAt(const PCFILTER_DESCRIPTOR& filter, ULONG pin) {
    if (filter.PinSize < sizeof(FilterElement)) {
        return nullptr;
    }
    const CUSBAudioEntity* entity = reinterpret_cast<const FilterElement*>(PinDescriptorAt(filter, pin))->entity;
    return entity != nullptr && entity->IsTerminal() ? static_cast<const CUSBAudioTerminal*>(entity) : nullptr;
}

inline const DataRangeList& RangesOf(const FilterDescriptionBlock& block, bool capture) {
    return capture ? block.capture : block.render;
}

// Entry i as an audio data range, or null for an entry that is none (the
// attribute list that may close the list).
inline const KSDATARANGE_AUDIO* AudioRangeAt(const DataRangeList& list, ULONG i) {
    const KSDATARANGE* range = list.dataRanges[i];
    if (range == nullptr || range->FormatSize < sizeof(KSDATARANGE_AUDIO)) {
        return nullptr;
    }
    return reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
}

}  // namespace vq7
