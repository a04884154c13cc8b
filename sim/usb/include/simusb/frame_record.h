// The frames a stream played (render) or sent (capture), in order, each with
// the device frame (the stream clock's count) it belonged to. A long run can
// drop the samples and keep only the count, or hand every frame to a checker.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace simusb {

class FrameRecord {
public:
    using Checker = std::function<void(uint64_t deviceFrame, std::span<const int32_t> frame)>;

    // Starts a new recording of `channels`-channel frames (earlier frames stay).
    void SetChannels(uint8_t channels) { channels_ = channels; }
    void KeepSamples(bool keep) { keepSamples_ = keep; }
    void SetChecker(Checker checker) { checker_ = std::move(checker); }

    // `frames` interleaved frames played at consecutive device frames from `deviceFrame`.
    void Append(uint64_t deviceFrame, std::span<const int32_t> samples);

    uint64_t Count() const { return count_; }
    uint8_t Channels() const { return channels_; }
    // Frame `index` (0 is the first recorded) and its device frame; needs KeepSamples.
    std::span<const int32_t> Frame(uint64_t index) const;
    uint64_t DeviceFrame(uint64_t index) const;
    // Every kept sample, interleaved.
    const std::vector<int32_t>& Samples() const { return samples_; }
    // Samples of one channel, in order.
    std::vector<int32_t> Channel(uint8_t channel) const;
    void Clear();

private:
    struct Run {
        uint64_t firstIndex;
        uint64_t firstDeviceFrame;
        uint8_t channels;
        uint64_t firstSample;
    };
    const Run& RunOf(uint64_t index) const;

    uint8_t channels_ = 2;
    bool keepSamples_ = true;
    Checker checker_;
    uint64_t count_ = 0;
    std::vector<int32_t> samples_;
    std::vector<Run> runs_;  // contiguous device frames of one channel count
};

}  // namespace simusb
