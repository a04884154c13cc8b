#include "audioengine/buffer_cursor.h"

namespace audioengine {

BufferCursor::BufferCursor(ULONG bufferBytes, ULONG frameBytes, bool capture)
    : bufferBytes_(bufferBytes), frameBytes_(frameBytes != 0 ? frameBytes : 1), capture_(capture),
      engine_(capture ? 0 : bufferBytes) {}

void BufferCursor::Observe(ULONG offset, uint64_t expectedBytes) {
    if (bufferBytes_ == 0) return;
    const uint64_t moved = (offset + bufferBytes_ - lastOffset_) % bufferBytes_;
    if (moved > expectedBytes + bufferBytes_ / 2) {
        ++backward_;
        return;
    }
    lastOffset_ = offset;
    device_ += moved;
}

ByteSpan BufferCursor::Due() {
    if (!capture_ && device_ > engine_) {
        ++glitches_;  // the device played what the engine had not written
        glitchBytes_ += device_ - engine_;
        engine_ = device_;
    }
    if (capture_ && device_ > engine_ + bufferBytes_) {
        ++glitches_;  // the device wrote over what the engine had not read
        glitchBytes_ += device_ - engine_ - bufferBytes_;
        engine_ = device_ - bufferBytes_;
    }
    return capture_ ? ByteSpan{engine_, device_} : ByteSpan{engine_, device_ + bufferBytes_};
}

}  // namespace audioengine
