// Where the audio engine stands against the device in one cyclic buffer.
// Both sides are counted in bytes since the stream ran: the device's count
// follows the position reports (an offset in the buffer, unwrapped against
// the previous report), the engine's the bytes it wrote (render) or read
// (capture). The span due is what the position says is free: for render
// everything up to one buffer ahead of the device, for capture everything
// the device has delivered. A glitch is the device overtaking the engine:
// render bytes played before the engine wrote them, capture bytes
// overwritten before the engine read them.
#pragma once

#include <ntdef.h>

#include <cstdint>

namespace audioengine {

struct ByteSpan {
    uint64_t from = 0;  // counts since the stream ran
    uint64_t to = 0;
    uint64_t Bytes() const { return to - from; }
};

class BufferCursor {
public:
    // A render buffer is written whole before the stream runs.
    BufferCursor(ULONG bufferBytes, ULONG frameBytes, bool capture);

    // A position report `offset`, `expectedBytes` being what the device
    // should have moved since the previous report at the stream's nominal
    // rate. An offset that lies behind the previous one by less than half a
    // buffer more than the time allows is the position going backwards: it
    // is counted and the count stays where it was.
    void Observe(ULONG offset, uint64_t expectedBytes);
    ByteSpan Due();
    void Done(uint64_t to) { engine_ = to; }

    uint64_t DeviceBytes() const { return device_; }
    uint64_t EngineBytes() const { return engine_; }
    uint64_t Glitches() const { return glitches_; }
    uint64_t GlitchFrames() const { return glitchBytes_ / frameBytes_; }
    uint64_t BackwardSteps() const { return backward_; }

private:
    const uint64_t bufferBytes_;
    const uint64_t frameBytes_;
    const bool capture_;
    ULONG lastOffset_ = 0;
    uint64_t device_ = 0;
    uint64_t engine_;
    uint64_t glitches_ = 0;
    uint64_t glitchBytes_ = 0;
    uint64_t backward_ = 0;
};

}  // namespace audioengine
