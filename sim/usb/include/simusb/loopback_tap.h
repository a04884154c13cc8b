// The frames a render stream played, kept by device frame for a capture
// stream to read back: capture frame k carries the render frame played
// `delay` frames before it. On one clock that is render frame k - delay, so
// a round trip measures exactly the configured delay; a capture stream on
// another clock reads by time, as an analogue loop would: the render frame
// its clock had completed last when capture frame k completed, less the
// delay. Frames the render side did not play (priming, underrun) read back
// as silence.
#pragma once

#include <cstdint>
#include <deque>
#include <span>

#include "simusb/clock_model.h"
#include "simusb/sample_format.h"

namespace simusb {

class LoopbackTap {
public:
    // Forgets what was played; later frames are of `format`, played on `clock`.
    void Reset(const SampleFormat& format, const ClockModel* clock);
    void Played(uint64_t deviceFrame, std::span<const int32_t> samples);
    // Copies the frame played at `deviceFrame` into `out` (format()'s
    // channels); false, leaving `out` alone, if none was.
    bool Copy(uint64_t deviceFrame, std::span<int32_t> out) const;
    void DropBefore(uint64_t deviceFrame);
    const SampleFormat& Format() const { return format_; }
    // The render frame that capture frame `captureFrame` of `captureClock`
    // carries before any delay: the same frame on the render clock, or the
    // one the render clock completed last when that capture frame completed.
    uint64_t RenderFrameFor(uint64_t captureFrame, const ClockModel* captureClock) const;

private:
    // Unread frames beyond this are dropped oldest first: a render stream with
    // no capture reading it must not grow without bound.
    static constexpr size_t kMaxFrames = 1 << 20;
    SampleFormat format_;
    const ClockModel* clock_ = nullptr;  // the render stream's
    std::deque<uint64_t> frames_;  // device frames, ascending
    std::deque<int32_t> samples_;  // format_.channels per entry of frames_
};

}  // namespace simusb
