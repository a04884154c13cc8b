#include "simusb/feedback.h"

#include <algorithm>

#include "simusb/bus_timing.h"

namespace simusb {

namespace {

// The FIFO's distance from its threshold is taken up over this many
// milliseconds, and never faster than a quarter frame per period, well
// inside the one frame a host accepts around the nominal value.
constexpr int64_t kCorrectionTime_ms = 256;
constexpr unsigned kLargestCorrectionShift = 2;  // 1/4 frame per period

}  // namespace

uint32_t FeedbackValue(const ClockModel& clock, Speed speed, int64_t fifoShortfall_frames) {
    const FeedbackFormat format = FeedbackFormatFor(speed);
    const int64_t measured = clock.FramesPerPeriodFixed(PeriodsPerSecond(speed), format.fractionBits);
    const int64_t periods = kCorrectionTime_ms * PeriodsPerSecond(speed) / 1000;
    const int64_t largest = (int64_t{1} << format.fractionBits) >> kLargestCorrectionShift;
    const int64_t correction =
        std::clamp<int64_t>(fifoShortfall_frames * (int64_t{1} << format.fractionBits) / periods, -largest, largest);
    return static_cast<uint32_t>(std::max<int64_t>(measured + correction, 0));
}

size_t WriteFeedback(const ClockModel& clock, Speed speed, int64_t fifoShortfall_frames, std::span<uint8_t> buffer) {
    FeedbackFormat format = FeedbackFormatFor(speed);
    uint32_t value = FeedbackValue(clock, speed, fifoShortfall_frames);
    for (size_t i = 0; i < format.bytes && i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(value >> (8 * i));
    return format.bytes;
}

}  // namespace simusb
