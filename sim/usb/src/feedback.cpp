#include "simusb/feedback.h"

#include "simusb/bus_timing.h"

namespace simusb {

uint32_t FeedbackValue(const ClockModel& clock, Speed speed) {
    return clock.FramesPerPeriodFixed(PeriodsPerSecond(speed), FeedbackFormatFor(speed).fractionBits);
}

size_t WriteFeedback(const ClockModel& clock, Speed speed, std::span<uint8_t> buffer) {
    FeedbackFormat format = FeedbackFormatFor(speed);
    uint32_t value = FeedbackValue(clock, speed);
    for (size_t i = 0; i < format.bytes && i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(value >> (8 * i));
    return format.bytes;
}

}  // namespace simusb
