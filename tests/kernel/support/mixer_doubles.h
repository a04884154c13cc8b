// Test doubles of a render mixer's source and a capture mixer's sink, and
// hand-built render packets, for driving the mixers without pipelines.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <vector>

#include "engine/capture_sink.h"
#include "engine/device_stream_layout.h"
#include "engine/render_source.h"
#include "engine/transfer_context.h"

namespace kerneltest {

vq7::AudioFormat Pcm(ULONG bits, ULONG channels, ULONG rate = 48000);
vq7::AudioFormat Float(ULONG channels, ULONG rate = 48000);

// Render and capture USB formats of one device; transfers of 8 ms render
// and 1 ms capture.
vq7::DeviceStreamLayout Layout(const vq7::AudioFormat& render, const vq7::AudioFormat& capture);

// Little-endian samples of `bits` bits.
int32_t SampleAt(const UCHAR* at, ULONG bits);
void PutSample(UCHAR* at, ULONG bits, int32_t value);

// A source whose frames are counted: sample c of frame k is Value(k, c),
// or `constant` when set.
class CountingSource : public vq7::RenderSource {
public:
    explicit CountingSource(const vq7::AudioFormat& format, bool capturePaced = false)
        : format_(format), capturePaced_(capturePaced) {}
    static int32_t Value(uint64_t frame, ULONG channel) {
        return static_cast<int32_t>((frame * 16 + channel + 1) & 0x3FFF);
    }

    vq7::AudioFormat Format() const override { return format_; }
    ULONG Read(UCHAR* destination, ULONG frames) override;
    bool CapturePaced() const override { return capturePaced_; }
    bool Primed() const override { return primed; }
    NTSTATUS OnAttach() override {
        ++attaches;
        return attachStatus;
    }
    void AfterRead() override { ++afterReads; }
    void OnDetach() override { ++detaches; }

    bool primed = true;
    NTSTATUS attachStatus = STATUS_SUCCESS;
    bool useConstant = false;
    int32_t constant = 0;
    ULONG limit = ~0u;  // frames it has in all
    uint64_t framesRead = 0;
    int attaches = 0;
    int detaches = 0;
    int afterReads = 0;

private:
    vq7::AudioFormat format_;
    bool capturePaced_;
};

// A sink that keeps every frame it is given.
class RecordingSink : public vq7::CaptureSink {
public:
    explicit RecordingSink(const vq7::AudioFormat& format) : format_(format) {}
    vq7::AudioFormat Format() const override { return format_; }
    ULONG Write(const UCHAR* source, ULONG frames) override;
    NTSTATUS Configure(const vq7::AudioFormat& deviceFormat, ULONG transferFrames) override;
    void Unconfigure() override { ++unconfigures; }

    NTSTATUS configureStatus = STATUS_SUCCESS;
    vq7::AudioFormat configuredFormat = {};
    ULONG configuredFrames = 0;
    int configures = 0;
    int unconfigures = 0;
    std::vector<UCHAR> received;

private:
    vq7::AudioFormat format_;
};

// A render packet as the pipeline submits it: a context over its own
// buffer of silence.
struct Packet {
    explicit Packet(ULONG bytes);
    vq7::TransferContext* Context() { return &context; }
    // Sample `channel` of `frame` in a packet of `format`.
    int32_t Sample(const vq7::AudioFormat& format, ULONG frame, ULONG channel) const;

    std::vector<UCHAR> data;
    vq7::TransferContext context = {};
};

}  // namespace kerneltest
