// The description of a sample stream that the engine's sources, sinks and
// mixers give each other: what one frame holds and how fast frames come.
#pragma once

#include <ntddk.h>

namespace vq7 {

struct AudioFormat {
    static constexpr USHORT kModePcm = 0;
    static constexpr USHORT kModeDsd = 1;  // DSD carried in 32-bit words
    static constexpr USHORT kTagPcm = 1;        // integer samples
    static constexpr USHORT kTagIeeeFloat = 3;  // IEEE float samples

    USHORT mode;
    USHORT formatTag;
    ULONG bitsPerSample;
    ULONG channels;
    ULONG sampleRate;  // frames per second

    ULONG FrameBytes() const { return channels * bitsPerSample / 8; }
};

}  // namespace vq7
