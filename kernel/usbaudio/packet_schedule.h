// The packet schedule: for each rate a render stream without feedback can
// run at, how many samples each bus unit carries (a 1 ms frame at full
// speed, a 125 us microframe at high speed), as a cycle that repeats. Every
// cycle carries exactly rate x length / units-per-second samples, so a
// stream that keeps walking it never drifts from the device's rate. The
// table is read-only data: any IRQL <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

namespace vq7 {

struct PacketCycle {
    const USHORT* samples;  // samples per bus unit
    ULONG length;           // entries before the cycle repeats

    // IRQL <= DISPATCH_LEVEL.
    ULONG At(ULONG position) const { return samples[position % length]; }
    // The samples of `count` entries from `position`, wrapping.
    ULONG Sum(ULONG position, ULONG count) const;
};

struct PacketScheduleRow {
    ULONG rate;  // Hz
    PacketCycle fullSpeed;
    PacketCycle highSpeed;

    const PacketCycle& Cycle(bool highSpeedBus) const { return highSpeedBus ? highSpeed : fullSpeed; }
};

// The row of `rate`, or null when the schedule has none. IRQL <= DISPATCH_LEVEL.
const PacketScheduleRow* FindPacketScheduleRow(ULONG rate);

// Every row, highest rate first, for tests and tools.
ULONG PacketScheduleRowCount();
const PacketScheduleRow& PacketScheduleRowAt(ULONG index);

}  // namespace vq7
