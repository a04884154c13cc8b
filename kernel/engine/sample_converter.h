// Converts frames of one format into frames of another: a render mixer's
// source into the device's format (copy or saturating mix), the device's
// captured frames into a capture client's format (copy). Only the channels
// both formats have are converted; the others are left alone.
#pragma once

#include <ntddk.h>

#include "audio_format.h"
#include "sample_conversion_kernels.h"

namespace vq7 {

class SampleConverter {
public:
    // Chooses the functions for `source` to `destination`:
    // STATUS_NOT_SUPPORTED when no rule converts between them, and the
    // converter is then cleared. IRQL <= DISPATCH_LEVEL.
    [[nodiscard]] NTSTATUS SetUp(const AudioFormat& source, const AudioFormat& destination);
    void Clear() { *this = SampleConverter(); }
    bool IsSetUp() const { return copy_ != nullptr; }

    // `frames` frames from `source` over the destination's samples, or
    // added into them. Only on a converter that is set up; any IRQL.
    void Copy(UCHAR* destination, const UCHAR* source, ULONG frames) const {
        copy_(destination, source, frames, geometry_);
    }
    void Mix(UCHAR* destination, const UCHAR* source, ULONG frames) const {
        mix_(destination, source, frames, geometry_);
    }

    ULONG Channels() const { return geometry_.channels; }
    ULONG SourceStride() const { return geometry_.sourceStride; }
    ULONG DestinationStride() const { return geometry_.destinationStride; }

private:
    SampleFunction mix_ = nullptr;
    SampleFunction copy_ = nullptr;
    ConversionGeometry geometry_ = {};
};

}  // namespace vq7
