#include "sample_converter.h"

namespace vq7 {

namespace {

constexpr ULONG kWordBits = 32;  // DSD words and float samples

bool WholeBytes(ULONG bits) {
    return bits % 8 == 0 && bits >= 8 && bits <= 32;
}

}  // namespace

NTSTATUS SampleConverter::SetUp(const AudioFormat& source, const AudioFormat& destination) {
    Clear();
    // A frame without channels has no stride to step by.
    if (source.mode != destination.mode || source.channels == 0 || destination.channels == 0) {
        return STATUS_NOT_SUPPORTED;
    }
    SampleFunction copy = nullptr;
    SampleFunction mix = nullptr;
    if (source.mode == AudioFormat::kModeDsd) {
        // DSD bits are not amplitudes: never scaled, never summed.
        if (source.bitsPerSample == kWordBits && destination.bitsPerSample == kWordBits) {
            copy = mix = CopyFunction(4, 4);
        }
    } else if (source.mode != AudioFormat::kModePcm) {
        return STATUS_NOT_SUPPORTED;
    } else if (source.formatTag == AudioFormat::kTagPcm && destination.formatTag == AudioFormat::kTagPcm) {
        if (WholeBytes(source.bitsPerSample) && WholeBytes(destination.bitsPerSample)) {
            copy = CopyFunction(source.bitsPerSample / 8, destination.bitsPerSample / 8);
            mix = MixFunction(source.bitsPerSample / 8, destination.bitsPerSample / 8);
        }
    } else if (source.formatTag == AudioFormat::kTagIeeeFloat && destination.formatTag == AudioFormat::kTagIeeeFloat) {
        // Float is passed through unchanged: the engine does no float arithmetic.
        if (source.bitsPerSample == kWordBits && destination.bitsPerSample == kWordBits) {
            copy = mix = CopyFunction(4, 4);
        }
    }
    if (copy == nullptr || mix == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    copy_ = copy;
    mix_ = mix;
    geometry_.channels = source.channels < destination.channels ? source.channels : destination.channels;
    geometry_.sourceStride = source.FrameBytes();
    geometry_.destinationStride = destination.FrameBytes();
    return STATUS_SUCCESS;
}

}  // namespace vq7
