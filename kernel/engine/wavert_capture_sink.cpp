#include "engine/wavert_capture_sink.h"

namespace vq7 {

namespace {

// The widest client frame a span boundary can split: 64 channels of 32 bits.
constexpr ULONG kLargestSplitFrameBytes = 256;

}  // namespace

// Walks the converted frames across span portions. A frame that a
// portion's end cuts is converted whole into `split_` and handed out in
// pieces.
class WaveRtCaptureSink::Cursor {
public:
    Cursor(const SampleConverter& converter, const UCHAR* source, bool zeroFirst)
        : converter_(converter), source_(source), zeroFirst_(zeroFirst) {}

    void Fill(UCHAR* span, ULONG length) {
        const ULONG frameBytes = converter_.DestinationStride();
        ULONG carried = FinishSplitFrame(span, length);
        span += carried;
        length -= carried;
        const ULONG whole = length / frameBytes;
        if (whole > 0) {
            if (zeroFirst_) RtlZeroMemory(span, static_cast<SIZE_T>(whole) * frameBytes);
            converter_.Copy(span, source_, whole);
            source_ += static_cast<SIZE_T>(whole) * converter_.SourceStride();
            span += static_cast<SIZE_T>(whole) * frameBytes;
            length -= whole * frameBytes;
        }
        if (length > 0) {
            StartSplitFrame(span, length);
        }
    }

private:
    ULONG FinishSplitFrame(UCHAR* span, ULONG length) {
        ULONG left = splitBytes_ - splitUsed_;
        ULONG piece = left < length ? left : length;
        RtlCopyMemory(span, split_ + splitUsed_, piece);
        splitUsed_ += piece;
        return piece;
    }

    void StartSplitFrame(UCHAR* span, ULONG length) {
        const ULONG frameBytes = converter_.DestinationStride();
        RtlZeroMemory(split_, sizeof split_);
        if (frameBytes <= sizeof split_) {
            converter_.Copy(split_, source_, 1);
        }
        source_ += converter_.SourceStride();
        RtlCopyMemory(span, split_, length);
        splitBytes_ = frameBytes <= sizeof split_ ? frameBytes : 0;
        splitUsed_ = length;
    }

    const SampleConverter& converter_;
    const UCHAR* source_;
    bool zeroFirst_;
    UCHAR split_[kLargestSplitFrameBytes] = {};
    ULONG splitBytes_ = 0;
    ULONG splitUsed_ = 0;
};

WaveRtCaptureSink::WaveRtCaptureSink(MiniportLink& miniport, SpanList& spans, const DirectionFormat& format)
    : miniport_(miniport), spans_(spans), format_(format) {}

AudioFormat WaveRtCaptureSink::Format() const {
    return AudioFormat{AudioFormat::kModePcm, format_.formatTag, format_.bitsPerSample, format_.channels,
                       format_.rate};
}

// PASSIVE_LEVEL.
NTSTATUS WaveRtCaptureSink::Configure(const AudioFormat& deviceFormat, ULONG transferFrames) {
    UNREFERENCED_PARAMETER(transferFrames);  // conversion runs in place, no staging needed
    const AudioFormat client = Format();
    NTSTATUS status = converter_.SetUp(deviceFormat, client);
    zeroExtraChannels_ = NT_SUCCESS(status) && converter_.Channels() < client.channels;
    return status;
}

// Under the capture mixer's lock (DISPATCH_LEVEL). Returns every frame
// given: frames that find no span or no running stream are dropped.
ULONG WaveRtCaptureSink::Write(const UCHAR* source, ULONG frames) {
    if (!converter_.IsSetUp()) {
        return frames;
    }
    MiniportReference sink(miniport_);
    if (!sink || !sink->TryEnterRunningStream(TRUE)) {
        return frames;
    }
    const ULONG bytes = frames * converter_.DestinationStride();
    sink->TransferData(TRUE, bytes);
    Cursor cursor(converter_, source, zeroExtraChannels_);
    const ULONG written = spans_.Consume(bytes, [&](UCHAR* span, ULONG length) { cursor.Fill(span, length); });
    sink->AdvancePosition(TRUE, written);
    sink->LeaveRunningStream(TRUE);
    return frames;
}

}  // namespace vq7
