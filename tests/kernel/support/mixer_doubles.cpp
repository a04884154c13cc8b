#include "mixer_doubles.h"

#include <algorithm>

namespace kerneltest {

vq7::AudioFormat Pcm(ULONG bits, ULONG channels, ULONG rate) {
    return vq7::AudioFormat{vq7::AudioFormat::kModePcm, vq7::AudioFormat::kTagPcm, bits, channels, rate};
}

vq7::AudioFormat Float(ULONG channels, ULONG rate) {
    return vq7::AudioFormat{vq7::AudioFormat::kModePcm, vq7::AudioFormat::kTagIeeeFloat, 32, channels, rate};
}

vq7::DeviceStreamLayout Layout(const vq7::AudioFormat& render, const vq7::AudioFormat& capture) {
    const ULONG renderBytes = render.FrameBytes() * (render.sampleRate / 1000) * 8;
    const ULONG captureBytes = capture.FrameBytes() * (capture.sampleRate / 1000);
    return vq7::DeviceStreamLayout{render, capture, renderBytes, captureBytes, false};
}

int32_t SampleAt(const UCHAR* at, ULONG bits) {
    uint32_t u = 0;
    for (ULONG b = 0; b < bits / 8; ++b) u |= uint32_t{at[b]} << (8 * b);
    const uint32_t shift = 32 - bits;
    return static_cast<int32_t>(u << shift) >> shift;
}

void PutSample(UCHAR* at, ULONG bits, int32_t value) {
    for (ULONG b = 0; b < bits / 8; ++b) at[b] = static_cast<UCHAR>(static_cast<uint32_t>(value) >> (8 * b));
}

ULONG CountingSource::Read(UCHAR* destination, ULONG frames) {
    const ULONG given = static_cast<ULONG>(std::min<uint64_t>(frames, limit - std::min<uint64_t>(limit, framesRead)));
    const ULONG sampleBytes = format_.bitsPerSample / 8;
    for (ULONG f = 0; f < given; ++f) {
        for (ULONG c = 0; c < format_.channels; ++c) {
            PutSample(destination + f * format_.FrameBytes() + c * sampleBytes, format_.bitsPerSample,
                      useConstant ? constant : Value(framesRead, c));
        }
        ++framesRead;
    }
    return given;
}

ULONG RecordingSink::Write(const UCHAR* source, ULONG frames) {
    received.insert(received.end(), source, source + frames * configuredFormat.FrameBytes());
    return frames;
}

NTSTATUS RecordingSink::Configure(const vq7::AudioFormat& deviceFormat, ULONG transferFrames) {
    ++configures;
    configuredFormat = deviceFormat;
    configuredFrames = transferFrames;
    return configureStatus;
}

Packet::Packet(ULONG bytes) : data(bytes, 0) {
    context.buffer = data.data();
    context.size = bytes;
    InitializeListHead(&context.asioMixerLink);
    InitializeListHead(&context.waveRtMixerLink);
}

int32_t Packet::Sample(const vq7::AudioFormat& format, ULONG frame, ULONG channel) const {
    return SampleAt(data.data() + frame * format.FrameBytes() + channel * format.bitsPerSample / 8,
                    format.bitsPerSample);
}

}  // namespace kerneltest
