// A device sample clock: a nominal rate with an offset from the bus clock in
// parts per billion, counted exactly in integers.
//
// Position since the clock started, in frames:
//     position(t) = ticks0 + ((t - t0) * rate * (1e9 + offset_ppb) + residue0) / 1e18
// The numerator is kept in 128 bits, so hours of audio at 768 kHz stay exact.
// Changing the offset re-anchors at that moment and carries the fraction of a
// frame in the residue, so the count never jumps; changing the rate restarts
// the count at zero (a new epoch: the streams on the clock restart too).
#pragma once

#include <cstdint>

namespace simusb {

class ClockModel {
public:
    ClockModel() = default;
    ClockModel(uint32_t rate_hz, int64_t now_ns) { Start(rate_hz, now_ns); }

    // Starts counting at `rate_hz` from frame 0 at `now_ns`.
    void Start(uint32_t rate_hz, int64_t now_ns);
    void SetOffsetPpb(int64_t offset_ppb, int64_t now_ns);
    // Whether the offset applies: a clock locked to the bus (SOF) has none.
    void SetLockedToBus(bool locked, int64_t now_ns);

    uint32_t Rate() const { return rate_hz_; }
    int64_t OffsetPpb() const { return lockedToBus_ ? 0 : offset_ppb_; }
    uint64_t Epoch() const { return epoch_; }
    int64_t StartTime() const { return start_ns_; }

    // Whole frame periods completed by `t_ns` since the clock started (0
    // before it started).
    uint64_t FramesBy(int64_t t_ns) const;
    // The bus time at which frame `frame` begins: the first t with
    // FramesBy(t) >= frame. Exact for frames after the last offset change.
    int64_t TimeOfFrame(uint64_t frame) const;
    // The part of a frame period completed by `t_ns` beyond FramesBy(t_ns),
    // in units of 1e-18 frame (below 1e18): where the clock stands inside a
    // frame. Exact for times after the last offset change.
    uint64_t FractionBy(int64_t t_ns) const;

    // The rate in frames per `periods_per_second` of the bus, in fixed point
    // with `fraction_bits` fractional bits, rounded to nearest (half up).
    uint32_t FramesPerPeriodFixed(uint32_t periods_per_second, unsigned fraction_bits) const;

private:
    using Wide = unsigned __int128;
    static constexpr uint64_t kBillion = 1000000000ull;
    Wide Numerator(int64_t t_ns) const;  // the fractional part, in 1e-18 frame units
    Wide Step() const { return static_cast<Wide>(rate_hz_) * static_cast<Wide>(kBillion + OffsetPpb()); }
    void Reanchor(int64_t now_ns);

    uint32_t rate_hz_ = 0;
    int64_t offset_ppb_ = 0;
    bool lockedToBus_ = false;
    uint64_t epoch_ = 0;
    int64_t start_ns_ = 0;
    int64_t anchor_ns_ = 0;
    uint64_t anchorFrames_ = 0;
    Wide anchorResidue_ = 0;  // below one frame: < 1e18
};

}  // namespace simusb
