// The data format a WaveRT pin is created with, as the audio engine lays it
// out after the KSPIN_CONNECT: a KSDATAFORMAT header followed by a
// WAVEFORMATEXTENSIBLE (the published KSDATAFORMAT_WAVEFORMATEXTENSIBLE,
// 104 bytes, packed as mmreg.h packs the wave format). The engine keeps its
// own copy of the published layout, as a client compiled against the
// platform's headers would, rather than the driver's: a layout the driver
// got wrong must not be agreed with.
#pragma once

#include <ksmedia.h>

#include <cstdint>

namespace audioengine {

#pragma pack(push, 1)
struct WaveFormatExtensible {
    USHORT wFormatTag;
    USHORT nChannels;
    ULONG nSamplesPerSec;
    ULONG nAvgBytesPerSec;
    USHORT nBlockAlign;
    USHORT wBitsPerSample;
    USHORT cbSize;
    USHORT wValidBitsPerSample;
    ULONG dwChannelMask;
    GUID SubFormat;
};
#pragma pack(pop)

struct PinFormat {
    KSDATAFORMAT header;
    WaveFormatExtensible wave;

    ULONG Rate() const { return wave.nSamplesPerSec; }
    ULONG Channels() const { return wave.nChannels; }
    ULONG Bits() const { return wave.wBitsPerSample; }
    ULONG FrameBytes() const { return wave.nBlockAlign; }
};

static_assert(sizeof(WaveFormatExtensible) == 40, "WAVEFORMATEXTENSIBLE layout");
static_assert(sizeof(PinFormat) == 104, "KSDATAFORMAT_WAVEFORMATEXTENSIBLE layout");

}  // namespace audioengine
