// The wave format a WaveRT pin's data format carries after its KSDATAFORMAT
// header: WAVEFORMATEX, extended to WAVEFORMATEXTENSIBLE when its tag says
// so. Packed as the platform's mmreg.h and ksmedia.h pack them.
#pragma once

#include <ntddk.h>

namespace vq7 {

#pragma pack(push, 1)
struct WaveFormatExtensible {
    USHORT wFormatTag;
    USHORT nChannels;
    ULONG nSamplesPerSec;
    ULONG nAvgBytesPerSec;
    USHORT nBlockAlign;
    USHORT wBitsPerSample;
    USHORT cbSize;  // bytes after the WAVEFORMATEX part: 22 for the extensible form
    USHORT wValidBitsPerSample;
    ULONG dwChannelMask;
    GUID SubFormat;
};
#pragma pack(pop)

constexpr ULONG kWaveFormatExBytes = 18;  // the WAVEFORMATEX part, up to and including cbSize
static_assert(sizeof(WaveFormatExtensible) == 40, "WAVEFORMATEXTENSIBLE layout");
static_assert(offsetof(WaveFormatExtensible, wValidBitsPerSample) == kWaveFormatExBytes, "WAVEFORMATEX layout");

constexpr USHORT kWaveFormatPcm = 0x0001;
constexpr USHORT kWaveFormatIeeeFloat = 0x0003;
constexpr USHORT kWaveFormatAlaw = 0x0006;
constexpr USHORT kWaveFormatMulaw = 0x0007;
constexpr USHORT kWaveFormatExtensible = 0xFFFE;

}  // namespace vq7
