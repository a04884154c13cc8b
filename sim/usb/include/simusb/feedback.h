// Explicit feedback: the device's true consumption rate in frames per
// (micro)frame. Full speed reports 10.14 fixed point in 3 bytes per 1 ms
// frame; high speed 16.16 in 4 bytes per 125 us microframe. The value is
// rounded to the nearest unit of the last place (half up): at 48 kHz and
// +250 ppm that is 48.012 * 2^14 = 786628.6 -> 786629 (0x0C00C5 in 3 bytes)
// at full speed and 6.0015 * 2^16 = 393314.3 -> 393314 at high speed.
//
// While the stream plays, the device closes the loop as asynchronous
// devices do: it adds to the measured rate what brings its FIFO back to the
// start threshold within about a quarter of a second. Without that, the
// rounding of the reported value alone (up to half a unit of the last
// place, every period) would drain or fill the FIFO by about 100 frames an
// hour, whatever the host does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "simusb/clock_model.h"
#include "simusb/device.h"

namespace simusb {

struct FeedbackFormat {
    uint8_t bytes;
    unsigned fractionBits;
};

inline FeedbackFormat FeedbackFormatFor(Speed speed) {
    return speed == Speed::High ? FeedbackFormat{4, 16} : FeedbackFormat{3, 14};
}

// `fifoShortfall_frames`: the start threshold minus the frames the FIFO
// holds, while playing; 0 otherwise.
uint32_t FeedbackValue(const ClockModel& clock, Speed speed, int64_t fifoShortfall_frames = 0);

// Writes the feedback packet into `buffer` (as much as fits) and returns its
// full size: a buffer too small for it makes the device babble.
size_t WriteFeedback(const ClockModel& clock, Speed speed, int64_t fifoShortfall_frames, std::span<uint8_t> buffer);

}  // namespace simusb
