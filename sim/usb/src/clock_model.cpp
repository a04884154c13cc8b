#include "simusb/clock_model.h"

namespace simusb {

namespace {

constexpr unsigned __int128 kFrameUnit = static_cast<unsigned __int128>(1000000000ull) * 1000000000ull;

}  // namespace

void ClockModel::Start(uint32_t rate_hz, int64_t now_ns) {
    rate_hz_ = rate_hz;
    ++epoch_;
    start_ns_ = now_ns;
    anchor_ns_ = now_ns;
    anchorFrames_ = 0;
    anchorResidue_ = 0;
}

void ClockModel::SetOffsetPpb(int64_t offset_ppb, int64_t now_ns) {
    Reanchor(now_ns);
    offset_ppb_ = offset_ppb;
}

void ClockModel::SetLockedToBus(bool locked, int64_t now_ns) {
    Reanchor(now_ns);
    lockedToBus_ = locked;
}

void ClockModel::Reanchor(int64_t now_ns) {
    if (now_ns <= anchor_ns_) return;
    Wide numerator = Numerator(now_ns);
    anchorFrames_ += static_cast<uint64_t>(numerator / kFrameUnit);
    anchorResidue_ = numerator % kFrameUnit;
    anchor_ns_ = now_ns;
}

ClockModel::Wide ClockModel::Numerator(int64_t t_ns) const {
    if (t_ns <= anchor_ns_) return anchorResidue_;
    return static_cast<Wide>(t_ns - anchor_ns_) * Step() + anchorResidue_;
}

uint64_t ClockModel::FramesBy(int64_t t_ns) const {
    if (rate_hz_ == 0 || t_ns <= start_ns_) return anchorFrames_;
    return anchorFrames_ + static_cast<uint64_t>(Numerator(t_ns) / kFrameUnit);
}

uint64_t ClockModel::FractionBy(int64_t t_ns) const {
    if (rate_hz_ == 0 || t_ns <= start_ns_) return static_cast<uint64_t>(anchorResidue_);
    return static_cast<uint64_t>(Numerator(t_ns) % kFrameUnit);
}

int64_t ClockModel::TimeOfFrame(uint64_t frame) const {
    if (rate_hz_ == 0 || frame <= anchorFrames_) return anchor_ns_;
    Wide needed = static_cast<Wide>(frame - anchorFrames_) * kFrameUnit - anchorResidue_;
    Wide step = Step();
    return anchor_ns_ + static_cast<int64_t>((needed + step - 1) / step);
}

uint32_t ClockModel::FramesPerPeriodFixed(uint32_t periods_per_second, unsigned fraction_bits) const {
    Wide numerator = Step() << fraction_bits;
    Wide denominator = static_cast<Wide>(kBillion) * periods_per_second;
    return static_cast<uint32_t>((numerator + denominator / 2) / denominator);
}

}  // namespace simusb
