// The WaveRT port's services for one stream (IPortWaveRTStream): pages for
// the cyclic buffer below a physical bound, their system-space mapping, the
// physical pages behind them. Each pin makes one and hands it to the
// miniport's NewStream.
#pragma once

#include "portcls_internal.h"

namespace pc {

// One reference, the caller's. PASSIVE_LEVEL.
NTSTATUS NewPortWaveRTStream(PPORTWAVERTSTREAM* stream);

}  // namespace pc
