// The format a pin proposes for a client's data range: the highest common
// rate and bit depth at the smaller channel count, matched against the
// pin's own ranges and the device's fixed rate.

#include "wavert/minwavert.h"

#include "wavert/filter_pins.h"
#include "wavert/wave_format.h"

namespace {

using vq7::WaveFormatExtensible;

// KSDATAFORMAT_WAVEFORMATEXTENSIBLE.
struct ExtensibleFormat {
    KSDATAFORMAT DataFormat;
    WaveFormatExtensible WaveFormatExt;
};
static_assert(sizeof(ExtensibleFormat) == 104, "KSDATAFORMAT_WAVEFORMATEXTENSIBLE layout");

using vq7::kWaveFormatExtensible;
constexpr USHORT kExtensibleExtraBytes = 22;
constexpr ULONG kFrontLeftRight = 3;

struct Interval {
    ULONG channels;
    ULONG minRate;
    ULONG maxRate;
    ULONG minBits;
    ULONG maxBits;
};

ULONG Smaller(ULONG a, ULONG b) { return a < b ? a : b; }
ULONG Larger(ULONG a, ULONG b) { return a > b ? a : b; }

bool EntryAccepts(const KSDATARANGE_AUDIO& entry, const Interval& wanted) {
    bool channels = entry.MaximumChannels == wanted.channels || (entry.MaximumChannels > 2 && wanted.channels == 2);
    return channels && entry.MinimumBitsPerSample <= wanted.minBits && wanted.maxBits <= entry.MaximumBitsPerSample &&
           entry.MinimumSampleFrequency <= wanted.minRate && wanted.maxRate <= entry.MaximumSampleFrequency;
}

}  // namespace

STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,
                                                               PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
                                                               PVOID ResultantFormat, PULONG ResultantFormatLength) {
    if (IsEqualGUID(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        return STATUS_NOT_SUPPORTED;
    }
    if (OutputBufferLength == 0 || ResultantFormat == nullptr) {
        *ResultantFormatLength = sizeof(ExtensibleFormat);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (OutputBufferLength < sizeof(ExtensibleFormat)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // Ranges that are not audio ranges (a bridge pin's) carry nothing to intersect.
    if (DataRange->FormatSize < sizeof(KSDATARANGE_AUDIO) || MatchingDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) {
        return STATUS_NO_MATCH;
    }
    const auto& client = *reinterpret_cast<const KSDATARANGE_AUDIO*>(DataRange);
    const auto& mine = *reinterpret_cast<const KSDATARANGE_AUDIO*>(MatchingDataRange);
    if (client.MaximumChannels < 2) {
        return STATUS_NO_MATCH;
    }
    NTSTATUS status = Intersect(PinId, client, mine, ResultantFormat);
    if (NT_SUCCESS(status)) {
        *ResultantFormatLength = sizeof(ExtensibleFormat);
    }
    return status;
}

// Writes the result only when the intersection succeeds.
NTSTATUS CMiniportWaveRT::Intersect(ULONG pin, const KSDATARANGE_AUDIO& client, const KSDATARANGE_AUDIO& mine,
                                    PVOID resultFormat) {
    Interval wanted = {Smaller(client.MaximumChannels, mine.MaximumChannels),
                       Larger(client.MinimumSampleFrequency, mine.MinimumSampleFrequency),
                       Smaller(client.MaximumSampleFrequency, mine.MaximumSampleFrequency),
                       Larger(client.MinimumBitsPerSample, mine.MinimumBitsPerSample),
                       Smaller(client.MaximumBitsPerSample, mine.MaximumBitsPerSample)};
    const PCFILTER_DESCRIPTOR& filter = description_.descriptor;
    if (pin >= filter.PinCount) {
        return STATUS_INVALID_PARAMETER;
    }
    KSPIN_DATAFLOW flow = vq7::PinDescriptorAt(filter, pin)->KsPinDescriptor.DataFlow;
    if (flow != KSPIN_DATAFLOW_IN && flow != KSPIN_DATAFLOW_OUT) {
        return STATUS_UNSUCCESSFUL;
    }
    bool capture = flow != KSPIN_DATAFLOW_IN;
    if (deviceSampleRate_ != 0 && (wanted.minRate != deviceSampleRate_ || wanted.maxRate != deviceSampleRate_)) {
        return STATUS_NO_MATCH;
    }
    const vq7::DataRangeList& list = vq7::RangesOf(description_, capture);
    bool matched = false;
    for (ULONG i = 0; i < list.count && !matched; ++i) {
        const KSDATARANGE_AUDIO* entry = vq7::AudioRangeAt(list, i);
        matched = entry != nullptr && EntryAccepts(*entry, wanted);
    }
    if (!matched) {
        return STATUS_NO_MATCH;
    }
    (void)adapter_->NarrowRateRange(capture, &wanted.minRate, &wanted.maxRate);
    if (wanted.maxRate < wanted.minRate || wanted.minBits > wanted.maxBits) {
        return STATUS_NO_MATCH;
    }
    ExtensibleFormat result;
    RtlCopyMemory(&result.DataFormat, &mine.DataRange, sizeof result.DataFormat);
    result.DataFormat.FormatSize = sizeof result;
    WaveFormatExtensible& wave = result.WaveFormatExt;
    wave.wFormatTag = kWaveFormatExtensible;
    wave.nChannels = static_cast<USHORT>(wanted.channels);
    wave.nSamplesPerSec = wanted.maxRate;
    wave.wBitsPerSample = static_cast<USHORT>(wanted.maxBits);
    wave.wValidBitsPerSample = static_cast<USHORT>(wanted.maxBits);
    wave.nBlockAlign = static_cast<USHORT>(wanted.maxBits * wanted.channels / 8);
    wave.nAvgBytesPerSec = wave.nBlockAlign * wave.nSamplesPerSec;
    wave.cbSize = kExtensibleExtraBytes;
    wave.dwChannelMask = wanted.channels == 2 ? kFrontLeftRight : 0;
    wave.SubFormat = mine.DataRange.SubFormat;
    result.DataFormat.SampleSize = wave.nBlockAlign;
    RtlCopyMemory(resultFormat, &result, sizeof result);
    return STATUS_SUCCESS;
}
