#include "simusb/frame_record.h"

#include <algorithm>

namespace simusb {

void FrameRecord::Append(uint64_t deviceFrame, std::span<const int32_t> samples) {
    if (channels_ == 0) return;
    uint64_t frames = samples.size() / channels_;
    if (frames == 0) return;
    if (checker_) {
        for (uint64_t i = 0; i < frames; ++i) checker_(deviceFrame + i, samples.subspan(i * channels_, channels_));
    }
    if (keepSamples_) {
        const Run* last = runs_.empty() ? nullptr : &runs_.back();
        bool continues = last != nullptr && last->channels == channels_ &&
                         last->firstDeviceFrame + (count_ - last->firstIndex) == deviceFrame;
        if (!continues) runs_.push_back(Run{count_, deviceFrame, channels_, samples_.size()});
        samples_.insert(samples_.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(frames * channels_));
    }
    count_ += frames;
}

const FrameRecord::Run& FrameRecord::RunOf(uint64_t index) const {
    auto after = std::upper_bound(runs_.begin(), runs_.end(), index,
                                  [](uint64_t i, const Run& run) { return i < run.firstIndex; });
    return *(after - 1);
}

std::span<const int32_t> FrameRecord::Frame(uint64_t index) const {
    if (runs_.empty() || index >= count_) return {};
    const Run& run = RunOf(index);
    return std::span<const int32_t>(samples_).subspan(run.firstSample + (index - run.firstIndex) * run.channels,
                                                      run.channels);
}

uint64_t FrameRecord::DeviceFrame(uint64_t index) const {
    if (runs_.empty() || index >= count_) return 0;
    const Run& run = RunOf(index);
    return run.firstDeviceFrame + (index - run.firstIndex);
}

std::vector<int32_t> FrameRecord::Channel(uint8_t channel) const {
    std::vector<int32_t> out;
    for (uint64_t i = 0; i < count_ && !runs_.empty(); ++i) {
        std::span<const int32_t> frame = Frame(i);
        out.push_back(channel < frame.size() ? frame[channel] : 0);
    }
    return out;
}

void FrameRecord::Clear() {
    count_ = 0;
    samples_.clear();
    runs_.clear();
}

}  // namespace simusb
