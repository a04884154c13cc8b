// How PortCls compares formats with data ranges. A wave format (the
// WAVEFORMATEX specifier, or the DirectSound one whose buffer description
// holds a WAVEFORMATEX after two ULONGs) must fall inside an audio range's
// channel, bit and rate bounds; any other format is judged by its GUIDs.

#include "data_ranges.h"

#include <string.h>

namespace pc {

namespace {

// The published WAVEFORMATEX, byte packed.
#pragma pack(push, 1)
struct WaveFormatEx {
    USHORT wFormatTag;
    USHORT nChannels;
    ULONG nSamplesPerSec;
    ULONG nAvgBytesPerSec;
    USHORT nBlockAlign;
    USHORT wBitsPerSample;
    USHORT cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WaveFormatEx) == 18, "WAVEFORMATEX layout");

constexpr USHORT kWaveFormatPcm = 1;
constexpr USHORT kWaveFormatIeeeFloat = 3;
constexpr ULONG kDirectSoundHeaderBytes = 2 * sizeof(ULONG);  // KSDSOUND_BUFFERDESC's Flags and Control
constexpr ULONG kAnyChannelCount = 0xFFFFFFFF;

struct WaveFormatResult {
    KSDATAFORMAT format;
    WaveFormatEx wave;
};
static_assert(offsetof(WaveFormatResult, wave) == sizeof(KSDATAFORMAT), "the wave format follows the header");
constexpr ULONG kWaveFormatResultBytes = sizeof(KSDATAFORMAT) + sizeof(WaveFormatEx);  // 82: FormatSize

bool GuidMatches(const GUID& wanted, const GUID& offered) {
    return IsEqualGUID(offered, KSDATAFORMAT_TYPE_WILDCARD) || IsEqualGUID(wanted, KSDATAFORMAT_TYPE_WILDCARD) ||
           IsEqualGUID(wanted, offered);
}

// Where a format's WAVEFORMATEX starts, or 0 when its specifier names none.
ULONG WaveOffset(const GUID& specifier) {
    if (IsEqualGUID(specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        return sizeof(KSDATAFORMAT);
    }
    if (IsEqualGUID(specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        return sizeof(KSDATAFORMAT) + kDirectSoundHeaderBytes;
    }
    return 0;
}

bool IsAudioRange(const KSDATARANGE& range) { return range.FormatSize >= sizeof(KSDATARANGE_AUDIO); }

const KSDATARANGE_AUDIO& AsAudio(const KSDATARANGE& range) {
    return *reinterpret_cast<const KSDATARANGE_AUDIO*>(&range);
}

bool WaveInRange(const WaveFormatEx& wave, const KSDATARANGE_AUDIO& range) {
    bool channels = range.MaximumChannels == kAnyChannelCount || wave.nChannels <= range.MaximumChannels;
    return channels && wave.nChannels != 0 && range.MinimumBitsPerSample <= wave.wBitsPerSample &&
           wave.wBitsPerSample <= range.MaximumBitsPerSample && range.MinimumSampleFrequency <= wave.nSamplesPerSec &&
           wave.nSamplesPerSec <= range.MaximumSampleFrequency;
}

ULONG Smaller(ULONG a, ULONG b) { return a < b ? a : b; }
ULONG Larger(ULONG a, ULONG b) { return a > b ? a : b; }

const GUID& Resolved(const GUID& pin, const GUID& client) {
    return IsEqualGUID(pin, KSDATAFORMAT_TYPE_WILDCARD) ? client : pin;
}

}  // namespace

bool IsAttributeListEntry(const KSPIN_DESCRIPTOR& pin, ULONG i) {
    return i > 0 && pin.DataRanges[i - 1] != nullptr && (pin.DataRanges[i - 1]->Flags & KSDATARANGE_ATTRIBUTES) != 0;
}

bool FormatInRange(const KSDATAFORMAT& format, const KSDATARANGE& range) {
    if (!GuidMatches(format.MajorFormat, range.MajorFormat) || !GuidMatches(format.SubFormat, range.SubFormat) ||
        !GuidMatches(format.Specifier, range.Specifier)) {
        return false;
    }
    ULONG offset = WaveOffset(format.Specifier);
    if (offset == 0 || !IsAudioRange(range)) {
        return true;
    }
    if (format.FormatSize < offset + sizeof(WaveFormatEx)) {
        return false;  // names a wave format it does not carry
    }
    WaveFormatEx wave;
    memcpy(&wave, reinterpret_cast<const UCHAR*>(&format) + offset, sizeof wave);
    return WaveInRange(wave, AsAudio(range));
}

bool RangesMeet(const KSDATARANGE& client, const KSDATARANGE& pin) {
    return GuidMatches(client.MajorFormat, pin.MajorFormat) && GuidMatches(client.SubFormat, pin.SubFormat) &&
           GuidMatches(client.Specifier, pin.Specifier);
}

NTSTATUS DefaultIntersection(const KSDATARANGE& client, const KSDATARANGE& pin, ULONG outputLength, PVOID output,
                             PULONG length) {
    if (!RangesMeet(client, pin)) {
        return STATUS_NO_MATCH;
    }
    const GUID& specifier = Resolved(pin.Specifier, client.Specifier);
    bool wave = IsEqualGUID(specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    if (IsEqualGUID(specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        return STATUS_NO_MATCH;  // PortCls proposes no DirectSound buffer of its own
    }
    if (wave && !(IsAudioRange(client) && IsAudioRange(pin))) {
        return STATUS_NO_MATCH;
    }
    ULONG needed = wave ? kWaveFormatResultBytes : sizeof(KSDATAFORMAT);
    if (outputLength == 0) {
        *length = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputLength < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    WaveFormatResult result = {};
    result.format.FormatSize = needed;
    result.format.MajorFormat = Resolved(pin.MajorFormat, client.MajorFormat);
    result.format.SubFormat = Resolved(pin.SubFormat, client.SubFormat);
    result.format.Specifier = specifier;
    if (wave) {
        const KSDATARANGE_AUDIO& a = AsAudio(client);
        const KSDATARANGE_AUDIO& b = AsAudio(pin);
        ULONG channels = Smaller(a.MaximumChannels, b.MaximumChannels);
        ULONG bits = Smaller(a.MaximumBitsPerSample, b.MaximumBitsPerSample);
        ULONG rate = Smaller(a.MaximumSampleFrequency, b.MaximumSampleFrequency);
        if (channels == 0 || channels > 0xFFFF || bits < Larger(a.MinimumBitsPerSample, b.MinimumBitsPerSample) ||
            rate < Larger(a.MinimumSampleFrequency, b.MinimumSampleFrequency) || bits == 0 || bits > 0xFFFF) {
            return STATUS_NO_MATCH;
        }
        WaveFormatEx& w = result.wave;
        w.wFormatTag = IsEqualGUID(result.format.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) ? kWaveFormatIeeeFloat
                                                                                               : kWaveFormatPcm;
        w.nChannels = static_cast<USHORT>(channels);
        w.nSamplesPerSec = rate;
        w.wBitsPerSample = static_cast<USHORT>(bits);
        w.nBlockAlign = static_cast<USHORT>(channels * ((bits + 7) / 8));
        w.nAvgBytesPerSec = w.nBlockAlign * rate;
        result.format.SampleSize = w.nBlockAlign;
    }
    memcpy(output, &result, needed);
    *length = needed;
    return STATUS_SUCCESS;
}

}  // namespace pc
