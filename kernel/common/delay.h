// A delay of a few milliseconds for a thread at PASSIVE_LEVEL. The clock
// interrupt's default period is far longer, so the finer timer resolution
// is requested for as long as the delay lasts.
#pragma once

#include <ntddk.h>

namespace vq7 {

// PASSIVE_LEVEL.
inline void SleepMilliseconds(ULONG milliseconds) {
    constexpr ULONG kOneMillisecond_hns = 10000;
    ExSetTimerResolution(kOneMillisecond_hns, TRUE);
    LARGE_INTEGER delay;
    delay.QuadPart = -static_cast<LONGLONG>(milliseconds) * kOneMillisecond_hns;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    ExSetTimerResolution(0, FALSE);
}

}  // namespace vq7
