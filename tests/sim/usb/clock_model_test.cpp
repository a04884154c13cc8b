// The device sample clock: exact over hours, continuous across offset
// changes, restarted by rate changes.

#include <gtest/gtest.h>

#include "simusb/clock_model.h"

namespace simusb {
namespace {

constexpr int64_t kSecond_ns = 1000000000;
constexpr int64_t kHour_ns = 3600 * kSecond_ns;

TEST(ClockModel, CountsExactlyOverHours) {
    ClockModel clock(768000, 0);
    clock.SetOffsetPpb(250000, 0);  // +250 ppm
    // 768000 * 1.00025 = 768192 frames a second, with no fraction to lose.
    EXPECT_EQ(clock.FramesBy(5 * kHour_ns), 768192ull * 3600 * 5);
    ClockModel odd(44100, 0);
    odd.SetOffsetPpb(-1, 0);
    // 44100 * (1 - 1e-9) per second: 3 hours lose 0.4763 frame, so the count is one short.
    EXPECT_EQ(odd.FramesBy(3 * kHour_ns), 44100ull * 3600 * 3 - 1);
    EXPECT_EQ(odd.FramesBy(3 * kHour_ns + 2), 44100ull * 3600 * 3 - 1);
}

TEST(ClockModel, OffsetChangesKeepTheCountContinuous) {
    ClockModel clock(48000, 0);
    clock.SetOffsetPpb(250000, 0);
    clock.SetOffsetPpb(-100000, kSecond_ns / 3);
    // 333333333 ns at 48012 Hz is 16003.99998 frames: the fraction is carried
    // into the next 1 ms at 47995.2 Hz, which ends at 16051.99518.
    EXPECT_EQ(clock.FramesBy(kSecond_ns / 3), 16003u);
    int64_t t = kSecond_ns / 3 + 1000000;
    unsigned __int128 before = static_cast<unsigned __int128>(kSecond_ns / 3) * 48000 * 1000250000;
    unsigned __int128 after = static_cast<unsigned __int128>(1000000) * 48000 * 999900000;
    uint64_t expected = static_cast<uint64_t>((before + after) / (static_cast<unsigned __int128>(1000000000000000000ull)));
    EXPECT_EQ(clock.FramesBy(t), expected);
    for (int64_t step = 0; step < 1000; ++step) {
        ASSERT_LE(clock.FramesBy(t + step * 997), clock.FramesBy(t + (step + 1) * 997)) << "never runs backwards";
    }
}

TEST(ClockModel, TimeOfFrameIsTheFirstInstantTheFrameIsDue) {
    ClockModel clock(44100, 12345);
    clock.SetOffsetPpb(333, 12345);
    for (uint64_t frame : {1ull, 2ull, 441ull, 44100ull, 1234567ull}) {
        int64_t t = clock.TimeOfFrame(frame);
        EXPECT_GE(clock.FramesBy(t), frame);
        EXPECT_LT(clock.FramesBy(t - 1), frame);
    }
}

TEST(ClockModel, FractionIsWhatTheCountLeavesOfTheExactPosition) {
    ClockModel clock(44100, 0);
    // 125 us at 44.1 kHz: 5.5125 frames.
    EXPECT_EQ(clock.FramesBy(125000), 5u);
    EXPECT_EQ(clock.FractionBy(125000), 512500000000000000ull);
    clock.SetOffsetPpb(1000000, kSecond_ns);  // +1000 ppm from 1 s on
    // 1 ms more at 44144.1 Hz: 44.1441 frames past the whole second.
    EXPECT_EQ(clock.FramesBy(kSecond_ns + 1000000), 44100u + 44u);
    EXPECT_EQ(clock.FractionBy(kSecond_ns + 1000000), 144100000000000000ull);
}

TEST(ClockModel, RateChangeStartsANewEpochFromZero) {
    ClockModel clock(48000, 0);
    uint64_t epoch = clock.Epoch();
    clock.Start(96000, kSecond_ns);
    EXPECT_NE(clock.Epoch(), epoch);
    EXPECT_EQ(clock.FramesBy(kSecond_ns), 0u);
    EXPECT_EQ(clock.FramesBy(kSecond_ns + 1000000), 96u);
}

TEST(ClockModel, BusLockedClockIgnoresTheOffset) {
    ClockModel clock(48000, 0);
    clock.SetOffsetPpb(250000, 0);
    clock.SetLockedToBus(true, 0);
    EXPECT_EQ(clock.FramesBy(kSecond_ns), 48000u);
    EXPECT_EQ(clock.FramesPerPeriodFixed(1000, 14), 48u << 14);
}

}  // namespace
}  // namespace simusb
