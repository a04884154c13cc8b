// Reading the packets of a completed explicit feedback transfer. A
// high-speed device reports 16.16 samples per microframe in 4 bytes; a
// full-speed device 10.14 samples per frame in 3 bytes, which is turned
// into 16.16. An empty packet repeats the value before it.
#pragma once

#include <ntddk.h>
#include <usb.h>

namespace vq7 {

// The average value of the transfer's packets in 16.16, 0 when none
// counted. `last` holds the value before the first packet and receives the
// last value seen when that is not 0. Packets that failed, have another
// length, or do not lie inside the transfer's `data` are ignored.
// IRQL <= DISPATCH_LEVEL.
ULONG AverageFeedbackPackets(const _URB_ISOCH_TRANSFER& urb, const UCHAR* data, LONG* last);

}  // namespace vq7
