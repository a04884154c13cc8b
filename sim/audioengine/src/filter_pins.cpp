#include "audioengine/filter_pins.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace audioengine {

namespace {

constexpr ULONG kPreferredRate = 48000;

ULONG Align8(ULONG bytes) { return (bytes + 7) & ~7u; }

template <typename Value>
NTSTATUS GetPinValue(const KsHandle& filter, ULONG pin, ULONG id, Value* value) {
    return filter.Get(PinProperty(KSPROPSETID_Pin, id, pin), value);
}

// A KSMULTIPLE_ITEM of data ranges, each aligned to 8 bytes; a range that
// carries attributes is followed by their own counted list.
std::vector<KSDATARANGE_AUDIO> AudioRanges(const std::vector<uint8_t>& answer) {
    std::vector<KSDATARANGE_AUDIO> ranges;
    if (answer.size() < sizeof(KSMULTIPLE_ITEM)) return ranges;
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, answer.data(), sizeof header);
    size_t at = sizeof header;
    const size_t end = std::min<size_t>(header.Size, answer.size());
    for (ULONG i = 0; i < header.Count && at + sizeof(KSDATARANGE) <= end; ++i) {
        KSDATARANGE range;
        std::memcpy(&range, answer.data() + at, sizeof range);
        if (range.FormatSize < sizeof range) break;  // a malformed list ends here
        if (IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) && range.FormatSize >= sizeof(KSDATARANGE_AUDIO) &&
            at + sizeof(KSDATARANGE_AUDIO) <= end) {
            KSDATARANGE_AUDIO audio;
            std::memcpy(&audio, answer.data() + at, sizeof audio);
            ranges.push_back(audio);
        }
        at += Align8(range.FormatSize);
        if ((range.Flags & KSDATARANGE_ATTRIBUTES) && at + sizeof(KSMULTIPLE_ITEM) <= end) {
            KSMULTIPLE_ITEM attributes;
            std::memcpy(&attributes, answer.data() + at, sizeof attributes);
            at += Align8(std::max<ULONG>(attributes.Size, sizeof attributes));
        }
    }
    return ranges;
}

// The intersection request: the pin request followed by the engine's one range.
struct IntersectionRequest {
    KSP_PIN pin;
    KSMULTIPLE_ITEM list;
    KSDATARANGE_AUDIO range;
};

// The depths the pin offers, deepest first: each range's extremes.
std::vector<ULONG> DepthsDeepestFirst(const PinInfo& pin) {
    std::vector<ULONG> depths;
    for (const KSDATARANGE_AUDIO& range : pin.ranges) {
        depths.push_back(range.MaximumBitsPerSample);
        depths.push_back(range.MinimumBitsPerSample);
    }
    std::sort(depths.rbegin(), depths.rend());
    depths.erase(std::unique(depths.begin(), depths.end()), depths.end());
    return depths;
}

}  // namespace

NTSTATUS ReadPins(const KsHandle& filter, std::vector<PinInfo>* pins) {
    pins->clear();
    ULONG count = 0;
    NTSTATUS status = GetPinValue(filter, 0, KSPROPERTY_PIN_CTYPES, &count);
    for (ULONG id = 0; NT_SUCCESS(status) && id < count; ++id) {
        PinInfo pin;
        pin.id = id;
        status = GetPinValue(filter, id, KSPROPERTY_PIN_DATAFLOW, &pin.dataFlow);
        if (NT_SUCCESS(status)) status = GetPinValue(filter, id, KSPROPERTY_PIN_COMMUNICATION, &pin.communication);
        std::vector<uint8_t> ranges;
        if (NT_SUCCESS(status)) {
            const KSP_PIN request = PinProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, id);
            status = filter.GetVariable(&request, sizeof request, &ranges);
        }
        if (NT_SUCCESS(status)) {
            pin.ranges = AudioRanges(ranges);
            pins->push_back(std::move(pin));
        }
    }
    return status;
}

NTSTATUS IntersectFormat(const KsHandle& filter, const PinInfo& pin, ULONG rate, PinFormat* format) {
    NTSTATUS status = STATUS_NO_MATCH;
    for (ULONG bits : DepthsDeepestFirst(pin)) {
        for (const KSDATARANGE_AUDIO& offered : pin.ranges) {
            if (bits < offered.MinimumBitsPerSample || bits > offered.MaximumBitsPerSample) continue;
            IntersectionRequest request = {};
            request.pin = PinProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, pin.id);
            request.list.Size = sizeof request.list + sizeof request.range;
            request.list.Count = 1;
            request.range = offered;
            request.range.DataRange.FormatSize = sizeof request.range;
            request.range.DataRange.Flags = 0;
            request.range.MinimumBitsPerSample = bits;
            request.range.MaximumBitsPerSample = bits;
            request.range.MinimumSampleFrequency = rate;
            request.range.MaximumSampleFrequency = rate;
            ULONG returned = 0;
            *format = {};
            status = filter.Send(&request, sizeof request, format, sizeof *format, &returned);
            if (NT_SUCCESS(status) && returned < sizeof *format) status = STATUS_NO_MATCH;  // not an extensible format
            if (NT_SUCCESS(status)) return status;
        }
    }
    return status;
}

ULONG PreferredRate(const std::string& referenceString, const PinInfo& pin) {
    const size_t underscore = referenceString.rfind('_');
    if (underscore != std::string::npos) {
        const ULONG named = static_cast<ULONG>(std::strtoul(referenceString.c_str() + underscore + 1, nullptr, 10));
        if (named != 0) return named;
    }
    ULONG highest = 0;
    for (const KSDATARANGE_AUDIO& range : pin.ranges) {
        if (range.MinimumSampleFrequency <= kPreferredRate && kPreferredRate <= range.MaximumSampleFrequency) {
            return kPreferredRate;
        }
        highest = std::max(highest, range.MaximumSampleFrequency);
    }
    return highest;
}

}  // namespace audioengine
