// The loops that copy and mix samples between the widths the engine
// carries: 16-bit, packed 24-bit and 32-bit little-endian integers. Each
// converts the first `channels` samples of every frame and steps source and
// destination by their frame strides. Every function runs at any IRQL (no
// allocation, no lock, integer arithmetic only).
#pragma once

#include <ntddk.h>

namespace vq7 {

struct ConversionGeometry {
    ULONG channels;           // samples converted per frame
    ULONG sourceStride;       // bytes from one source frame to the next
    ULONG destinationStride;  // bytes from one destination frame to the next
};

using SampleFunction = void (*)(UCHAR* destination, const UCHAR* source, ULONG frames,
                                const ConversionGeometry& geometry);

// The narrowest and widest sample the tables hold, in bytes.
constexpr ULONG kSmallestSampleBytes = 2;
constexpr ULONG kLargestSampleBytes = 4;

// Copy: the destination sample becomes the source sample scaled to its
// width, keeping the most significant bits.
SampleFunction CopyFunction(ULONG sourceBytes, ULONG destinationBytes);
// Mix: the destination sample becomes the sum of itself and the scaled
// source sample, saturated at the destination's limits.
SampleFunction MixFunction(ULONG sourceBytes, ULONG destinationBytes);

}  // namespace vq7
