// The frames a render stream played, kept by device frame for a capture
// stream on the same clock to read back: capture frame k carries the render
// frame played at device frame k - delay, so a round trip measures exactly
// the configured delay. Frames the render side did not play (priming,
// underrun) read back as silence.
#pragma once

#include <cstdint>
#include <deque>
#include <span>

#include "simusb/sample_format.h"

namespace simusb {

class LoopbackTap {
public:
    // Forgets what was played; later frames are of `format`.
    void Reset(const SampleFormat& format);
    void Played(uint64_t deviceFrame, std::span<const int32_t> samples);
    // Copies the frame played at `deviceFrame` into `out` (format()'s
    // channels); false, leaving `out` alone, if none was.
    bool Copy(uint64_t deviceFrame, std::span<int32_t> out) const;
    void DropBefore(uint64_t deviceFrame);
    const SampleFormat& Format() const { return format_; }

private:
    // Unread frames beyond this are dropped oldest first: a render stream with
    // no capture reading it must not grow without bound.
    static constexpr size_t kMaxFrames = 1 << 20;
    SampleFormat format_;
    std::deque<uint64_t> frames_;  // device frames, ascending
    std::deque<int32_t> samples_;  // format_.channels per entry of frames_
};

}  // namespace simusb
