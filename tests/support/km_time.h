// Small helpers for tests against the kernel stand-in: time-outs in the
// kernel's units and the simulation clock in readable ones.
#pragma once

#include <wdm.h>

#include "kmsim/simulation.h"

namespace kmtest {

// A relative time-out of `ms` milliseconds (negative 100 ns units).
inline LARGE_INTEGER RelativeMs(LONGLONG ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ms * 10000;
    return timeout;
}

inline LARGE_INTEGER RelativeUs(LONGLONG us) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -us * 10;
    return timeout;
}

inline double NowMs() { return static_cast<double>(kmsim::NowNs()) / 1e6; }

inline void SleepMs(LONGLONG ms) {
    LARGE_INTEGER interval = RelativeMs(ms);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace kmtest
