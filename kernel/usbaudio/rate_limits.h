// A rate range narrowed to the rates a stream offers: the smallest offered
// rate at or above the given minimum and the largest at or below the given
// maximum. Offers come as discrete rates or as ranges, continuous or on a
// grid; a range offers the rates inside the limits, not only its bounds.
// Arithmetic only: IRQL <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

namespace vq7 {

class RateLimits {
public:
    RateLimits(ULONG givenMinimum, ULONG givenMaximum) : givenMin_(givenMinimum), givenMax_(givenMaximum) {}

    void OfferRate(ULONG rate) { OfferRange(rate, rate, 0); }
    // Every rate from low to high (step 0), or low, low + step, ... up to high.
    void OfferRange(ULONG low, ULONG high, ULONG step);

    // The narrowed limits. A limit that no offered rate meets comes back as
    // the other given limit, so that nothing offered reads as min > max.
    void Result(PULONG minimum, PULONG maximum) const;

private:
    ULONG givenMin_;
    ULONG givenMax_;
    bool foundMin_ = false;
    bool foundMax_ = false;
    ULONG min_ = 0;
    ULONG max_ = 0;
};

}  // namespace vq7
