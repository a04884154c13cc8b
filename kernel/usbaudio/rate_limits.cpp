#include "rate_limits.h"

namespace vq7 {

void RateLimits::OfferRange(ULONG low, ULONG high, ULONG step) {
    if (high < low) {
        return;
    }
    // The first rate of the range at or above the given minimum.
    ULONGLONG first = givenMin_ > low ? givenMin_ : low;
    if (step != 0) {
        first = low + (first - low + step - 1) / step * step;
    }
    if (first <= high && (!foundMin_ || first < min_)) {
        min_ = static_cast<ULONG>(first);
        foundMin_ = true;
    }
    // The last rate of the range at or below the given maximum.
    if (givenMax_ >= low) {
        ULONG last = givenMax_ < high ? givenMax_ : high;
        if (step != 0) {
            last = low + (last - low) / step * step;
        }
        if (!foundMax_ || last > max_) {
            max_ = last;
            foundMax_ = true;
        }
    }
}

void RateLimits::Result(PULONG minimum, PULONG maximum) const {
    *minimum = foundMin_ ? min_ : givenMax_;
    *maximum = foundMax_ ? max_ : givenMin_;
}

}  // namespace vq7
