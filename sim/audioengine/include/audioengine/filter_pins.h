// What the audio engine reads of a filter's pins before it streams: how
// many pin types there are, each one's data flow, communication and data
// ranges, and, for a streaming pin, the format the filter's data
// intersection proposes for the engine's own range.
#pragma once

#include <ksmedia.h>

#include <vector>

#include "audioengine/ks_requests.h"
#include "audioengine/wave_format.h"

namespace audioengine {

struct PinInfo {
    ULONG id = 0;
    KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
    std::vector<KSDATARANGE_AUDIO> ranges;  // the audio ranges, in the pin's order

    // A pin the engine connects to: it takes a stream (a sink) and has audio
    // ranges. Render pins take data in, capture pins give it out.
    bool Streams(bool capture) const {
        return communication == KSPIN_COMMUNICATION_SINK && !ranges.empty() &&
               dataFlow == (capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
    }
};

NTSTATUS ReadPins(const KsHandle& filter, std::vector<PinInfo>* pins);

// The engine's choice of format. It asks for the device's format at one
// rate: the deepest samples first, each depth as a range of the pin's own
// (its channels, its sub format) pinned to that depth and to `rate`, so
// that the filter's intersection picks the pin's channel count; the first
// depth and range that yield a format win. (Asking with a range's whole
// span of depths would take whatever the filter's first matching range
// offers, which may be its shallowest.)
NTSTATUS IntersectFormat(const KsHandle& filter, const PinInfo& pin, ULONG rate, PinFormat* format);

// The rate the engine asks for when it is given none: the one a fixed-rate
// filter carries in its reference string ("..._48000"), otherwise 48 kHz
// when a range of the pin covers it, otherwise the highest rate a range
// offers.
ULONG PreferredRate(const std::string& referenceString, const PinInfo& pin);

}  // namespace audioengine
