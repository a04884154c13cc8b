// The bus's (micro)frame grid as a device sees it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "simusb/device.h"

namespace simusb {

inline constexpr int64_t kFramePeriod_ns = 1000000;
inline constexpr int64_t kMicroframePeriod_ns = 125000;

inline int64_t PeriodNs(Speed speed) { return speed == Speed::High ? kMicroframePeriod_ns : kFramePeriod_ns; }
inline uint32_t PeriodsPerSecond(Speed speed) { return speed == Speed::High ? 8000 : 1000; }

// (Micro)frames between two packets of an isochronous endpoint: 2^(bInterval-1),
// bInterval taken in its valid range 1 to 16.
inline uint32_t ServiceInterval(uint8_t bInterval) {
    return 1u << (std::clamp<uint8_t>(bInterval, 1, 16) - 1);
}

// The (micro)frame that holds `t_ns`, found from a known one on the grid.
inline BusTime BusTimeAt(const BusTime& reference, Speed speed, int64_t t_ns) {
    int64_t period = PeriodNs(speed);
    int64_t periods = (t_ns - reference.time_ns) / period;
    if (t_ns < reference.time_ns && (reference.time_ns - t_ns) % period != 0) --periods;
    int64_t index = static_cast<int64_t>(reference.Index(speed)) + periods;
    if (index < 0) index = 0;
    BusTime at{};
    at.time_ns = reference.time_ns + (index - static_cast<int64_t>(reference.Index(speed))) * period;
    at.frame = speed == Speed::High ? static_cast<uint64_t>(index) / 8 : static_cast<uint64_t>(index);
    at.microframe = speed == Speed::High ? static_cast<uint32_t>(index % 8) : 0;
    return at;
}

}  // namespace simusb
