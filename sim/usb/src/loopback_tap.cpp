#include "simusb/loopback_tap.h"

#include <algorithm>

namespace simusb {

void LoopbackTap::Reset(const SampleFormat& format, const ClockModel* clock) {
    format_ = format;
    clock_ = clock;
    frames_.clear();
    samples_.clear();
}

void LoopbackTap::Played(uint64_t deviceFrame, std::span<const int32_t> samples) {
    size_t channels = format_.channels;
    if (channels == 0) return;
    for (size_t i = 0; i < samples.size() / channels; ++i) frames_.push_back(deviceFrame + i);
    samples_.insert(samples_.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / channels * channels));
    while (frames_.size() > kMaxFrames) {
        frames_.pop_front();
        samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(channels));
    }
}

uint64_t LoopbackTap::RenderFrameFor(uint64_t captureFrame, const ClockModel* captureClock) const {
    if (clock_ == nullptr || captureClock == nullptr || captureClock == clock_) return captureFrame;
    const uint64_t completed = clock_->FramesBy(captureClock->TimeOfFrame(captureFrame + 1));
    return completed == 0 ? 0 : completed - 1;
}

bool LoopbackTap::Copy(uint64_t deviceFrame, std::span<int32_t> out) const {
    auto found = std::lower_bound(frames_.begin(), frames_.end(), deviceFrame);
    if (found == frames_.end() || *found != deviceFrame) return false;
    size_t first = static_cast<size_t>(found - frames_.begin()) * format_.channels;
    for (size_t c = 0; c < format_.channels && c < out.size(); ++c) out[c] = samples_[first + c];
    return true;
}

void LoopbackTap::DropBefore(uint64_t deviceFrame) {
    auto end = std::lower_bound(frames_.begin(), frames_.end(), deviceFrame);
    size_t count = static_cast<size_t>(end - frames_.begin());
    frames_.erase(frames_.begin(), end);
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(count * format_.channels));
}

}  // namespace simusb
