#include "packet_schedule.h"

namespace vq7 {

namespace {

constexpr ULONG kFramesPerSecond = 1000;       // full speed
constexpr ULONG kMicroframesPerSecond = 8000;  // high speed

constexpr ULONG64 CeilDiv(ULONG64 a, ULONG64 b) {
    return (a + b - 1) / b;
}

// A cycle that spreads its samples evenly: entry j carries
// ceil((j + 1) T / n) - ceil(j T / n) of the cycle's T samples, so the
// first entry takes the extra sample (44100 Hz at high speed: 6, 6, 5, 6, 5, ...).
template <ULONG Rate, ULONG Length, ULONG UnitsPerSecond>
struct EvenCycle {
    static_assert(static_cast<ULONG64>(Rate) * Length % UnitsPerSecond == 0,
                  "a cycle carries a whole number of samples");
    static constexpr ULONG64 kTotal = static_cast<ULONG64>(Rate) * Length / UnitsPerSecond;

    USHORT samples[Length];

    constexpr EvenCycle() : samples{} {
        for (ULONG j = 0; j < Length; ++j) {
            samples[j] = static_cast<USHORT>(CeilDiv((j + 1) * kTotal, Length) - CeilDiv(j * kTotal, Length));
        }
    }
};

// 705.6 samples per 1 ms frame, alternating from the first frame on.
constexpr USHORT k705600FullSpeed[] = {706, 705, 706, 705, 706};

constexpr EvenCycle<768000, 1, kFramesPerSecond> k768000Full;
constexpr EvenCycle<768000, 1, kMicroframesPerSecond> k768000High;
constexpr EvenCycle<705600, 5, kMicroframesPerSecond> k705600High;
constexpr EvenCycle<384000, 1, kFramesPerSecond> k384000Full;
constexpr EvenCycle<384000, 1, kMicroframesPerSecond> k384000High;
constexpr EvenCycle<352800, 5, kFramesPerSecond> k352800Full;
constexpr EvenCycle<352800, 10, kMicroframesPerSecond> k352800High;
constexpr EvenCycle<192000, 1, kFramesPerSecond> k192000Full;
constexpr EvenCycle<192000, 1, kMicroframesPerSecond> k192000High;
constexpr EvenCycle<176400, 5, kFramesPerSecond> k176400Full;
constexpr EvenCycle<176400, 20, kMicroframesPerSecond> k176400High;
constexpr EvenCycle<96000, 1, kFramesPerSecond> k96000Full;
constexpr EvenCycle<96000, 1, kMicroframesPerSecond> k96000High;
constexpr EvenCycle<88200, 5, kFramesPerSecond> k88200Full;
constexpr EvenCycle<88200, 40, kMicroframesPerSecond> k88200High;
constexpr EvenCycle<48000, 1, kFramesPerSecond> k48000Full;
constexpr EvenCycle<48000, 1, kMicroframesPerSecond> k48000High;
constexpr EvenCycle<44100, 10, kFramesPerSecond> k44100Full;
constexpr EvenCycle<44100, 80, kMicroframesPerSecond> k44100High;
constexpr EvenCycle<32000, 1, kFramesPerSecond> k32000Full;
constexpr EvenCycle<32000, 1, kMicroframesPerSecond> k32000High;
constexpr EvenCycle<22050, 20, kFramesPerSecond> k22050Full;
constexpr EvenCycle<22050, 160, kMicroframesPerSecond> k22050High;
constexpr EvenCycle<16000, 1, kFramesPerSecond> k16000Full;
constexpr EvenCycle<16000, 1, kMicroframesPerSecond> k16000High;
constexpr EvenCycle<11025, 40, kFramesPerSecond> k11025Full;
constexpr EvenCycle<11025, 320, kMicroframesPerSecond> k11025High;
constexpr EvenCycle<8000, 1, kFramesPerSecond> k8000Full;
constexpr EvenCycle<8000, 1, kMicroframesPerSecond> k8000High;

template <typename C>
constexpr PacketCycle CycleOf(const C& cycle) {
    return PacketCycle{cycle.samples, static_cast<ULONG>(sizeof cycle.samples / sizeof cycle.samples[0])};
}

// Searched in this order.
constexpr PacketScheduleRow kRows[] = {
    {768000, CycleOf(k768000Full), CycleOf(k768000High)},
    {705600, PacketCycle{k705600FullSpeed, RTL_NUMBER_OF(k705600FullSpeed)}, CycleOf(k705600High)},
    {384000, CycleOf(k384000Full), CycleOf(k384000High)},
    {352800, CycleOf(k352800Full), CycleOf(k352800High)},
    {192000, CycleOf(k192000Full), CycleOf(k192000High)},
    {176400, CycleOf(k176400Full), CycleOf(k176400High)},
    {96000, CycleOf(k96000Full), CycleOf(k96000High)},
    {88200, CycleOf(k88200Full), CycleOf(k88200High)},
    {48000, CycleOf(k48000Full), CycleOf(k48000High)},
    {44100, CycleOf(k44100Full), CycleOf(k44100High)},
    {32000, CycleOf(k32000Full), CycleOf(k32000High)},
    {22050, CycleOf(k22050Full), CycleOf(k22050High)},
    {16000, CycleOf(k16000Full), CycleOf(k16000High)},
    {11025, CycleOf(k11025Full), CycleOf(k11025High)},
    {8000, CycleOf(k8000Full), CycleOf(k8000High)},
};
static_assert(RTL_NUMBER_OF(kRows) == 15, "fifteen rates from 8000 to 768000 Hz");

constexpr bool RatesDescend() {
    for (ULONG i = 1; i < RTL_NUMBER_OF(kRows); ++i) {
        if (kRows[i].rate >= kRows[i - 1].rate) return false;
    }
    return true;
}
static_assert(RatesDescend(), "rows are ordered by rate, highest first");

// The rule that keeps a stream drift-free: one cycle carries exactly the
// rate's samples for the time it covers.
constexpr bool CarriesItsRate(const PacketCycle& cycle, ULONG rate, ULONG unitsPerSecond) {
    ULONG64 sum = 0;
    for (ULONG j = 0; j < cycle.length; ++j) sum += cycle.samples[j];
    return sum * unitsPerSecond == static_cast<ULONG64>(rate) * cycle.length;
}

// Entries of one cycle differ by one sample at most.
constexpr bool Even(const PacketCycle& cycle) {
    USHORT low = cycle.samples[0];
    USHORT high = cycle.samples[0];
    for (ULONG j = 1; j < cycle.length; ++j) {
        low = cycle.samples[j] < low ? cycle.samples[j] : low;
        high = cycle.samples[j] > high ? cycle.samples[j] : high;
    }
    return high - low <= 1;
}

constexpr bool EveryCycleKeepsItsRate() {
    for (const PacketScheduleRow& row : kRows) {
        if (!CarriesItsRate(row.fullSpeed, row.rate, kFramesPerSecond) ||
            !CarriesItsRate(row.highSpeed, row.rate, kMicroframesPerSecond) || !Even(row.fullSpeed) ||
            !Even(row.highSpeed)) {
            return false;
        }
    }
    return true;
}
static_assert(EveryCycleKeepsItsRate(), "each cycle carries its rate exactly, spread evenly");
static_assert(k44100High.samples[0] == 6 && k44100High.samples[1] == 6 && k44100High.samples[2] == 5,
              "the first entry of a cycle takes the extra sample");

}  // namespace

ULONG PacketCycle::Sum(ULONG position, ULONG count) const {
    ULONG sum = 0;
    for (ULONG i = 0; i < count; ++i) {
        sum += At(position + i);
    }
    return sum;
}

const PacketScheduleRow* FindPacketScheduleRow(ULONG rate) {
    for (const PacketScheduleRow& row : kRows) {
        if (row.rate == rate) {
            return &row;
        }
    }
    return nullptr;
}

ULONG PacketScheduleRowCount() {
    return RTL_NUMBER_OF(kRows);
}

const PacketScheduleRow& PacketScheduleRowAt(ULONG index) {
    return kRows[index];
}

}  // namespace vq7
