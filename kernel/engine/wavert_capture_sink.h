// The WaveRT capture sink: what a WaveRT capture mixer hands captured
// frames to, the spans of the capture stream's cyclic buffer. Per delivery
// it enters the running stream, has it queue the spans for the converted
// bytes, converts the device's frames into them and advances the stream's
// position. While the stream is not running the frames are dropped.
#pragma once

#include <ntddk.h>

#include "engine/capture_sink.h"
#include "common/pool.h"
#include "engine/engine_state.h"
#include "engine/miniport_link.h"
#include "engine/sample_converter.h"
#include "engine/span_list.h"

namespace vq7 {

class WaveRtCaptureSink final : public CaptureSink, public PoolObject<kPoolTagUsba> {
public:
    // `format` is the capture format the client set; it changes only while
    // no mixer is attached.
    WaveRtCaptureSink(MiniportLink& miniport, SpanList& spans, const DirectionFormat& format);
    WaveRtCaptureSink(const WaveRtCaptureSink&) = delete;
    WaveRtCaptureSink& operator=(const WaveRtCaptureSink&) = delete;

    AudioFormat Format() const override;
    ULONG Write(const UCHAR* source, ULONG frames) override;
    NTSTATUS Configure(const AudioFormat& deviceFormat, ULONG transferFrames) override;
    void Unconfigure() override { converter_.Clear(); }

private:
    // Converts frames into one span portion; a frame split by the end of a
    // span is finished in the next portion.
    class Cursor;

    MiniportLink& miniport_;
    SpanList& spans_;
    const DirectionFormat& format_;
    SampleConverter converter_;  // device format to the client's
    bool zeroExtraChannels_ = false;  // the client has channels the device lacks
};

}  // namespace vq7
