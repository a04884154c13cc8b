// The render lead: its ceiling for the transfer sizing, the floor and the
// latency percent between them, the client's override and its cut, the
// additions of a class 1.0 device, and rounding to whole frames.

#include <gtest/gtest.h>

#include "engine/mixer_lead.h"

namespace {

using vq7::ComputeLead;
using vq7::LeadInputs;

// 16-bit stereo at 48 kHz with the default transfer sizing.
LeadInputs Defaults(ULONG percent = 0) {
    return LeadInputs{4, 48000, percent, false, 8, 8, 1, 0};
}

TEST(MixerLead, CeilingFollowsTheTransferSizing) {
    EXPECT_EQ(vq7::MaximumLead_ms(Defaults()), 16);
    LeadInputs amd = Defaults();
    amd.playbackFramesPerTransfer = 1;  // one frame per transfer, eight in flight
    EXPECT_EQ(vq7::MaximumLead_ms(amd), 5);
    LeadInputs tiny = Defaults();
    tiny.playbackFramesPerTransfer = 1;
    tiny.playbackTransfersInFlight = 2;  // less room than two capture transfers
    EXPECT_EQ(vq7::MaximumLead_ms(tiny), 0);
}

TEST(MixerLead, PercentMovesTheLeadFromTheFloorToTheCeiling) {
    EXPECT_EQ(ComputeLead(Defaults(0)), 48 * 4);    // one capture transfer
    EXPECT_EQ(ComputeLead(Defaults(100)), 768 * 4);  // 16 ms
    EXPECT_EQ(ComputeLead(Defaults(50)), 192 + (3072 - 192) / 2);
    EXPECT_EQ(ComputeLead(Defaults(250)), 768 * 4);  // the percent is capped
    LeadInputs amd = Defaults(100);
    amd.playbackFramesPerTransfer = 1;
    EXPECT_EQ(ComputeLead(amd), 5 * 48 * 4);
}

TEST(MixerLead, ClassOneDevicesGetTwoMillisecondsAndTwoFramesMore) {
    LeadInputs one = Defaults(0);
    one.classOne = true;
    EXPECT_EQ(ComputeLead(one), (48 + 2 * 48 + 2) * 4);
    one.rate = 44100;  // 44.1 frames per ms count as 45
    EXPECT_EQ(ComputeLead(one), (45 + 2 * 45 + 2) * 4);
}

TEST(MixerLead, OverrideIsCutToSixteenMilliseconds) {
    LeadInputs asked = Defaults(70);
    asked.overrideFrames = 100;
    EXPECT_EQ(ComputeLead(asked), 100 * 4);  // the percent plays no part
    asked.overrideFrames = 1000;
    EXPECT_EQ(ComputeLead(asked), 784 * 4);  // (48000 + 999) x 16 / 1000, whole frames
    asked.frameBytes = 6;
    EXPECT_EQ(ComputeLead(asked), 784 * 6);
}

TEST(MixerLead, RoundsToTheNearestWholeFrame) {
    // 24-bit stereo at 44.1 kHz, 33 %: 270 + (4224 - 270) x 33 / 100 = 1574
    // bytes, 262.33 frames.
    LeadInputs odd{6, 44100, 33, false, 8, 8, 1, 0};
    EXPECT_EQ(ComputeLead(odd), 262 * 6);
    odd.latencyPercent = 34;  // 1614.36 bytes: 269 frames
    EXPECT_EQ(ComputeLead(odd), 269 * 6);
    for (ULONG percent = 0; percent <= 100; ++percent) {
        odd.latencyPercent = percent;
        EXPECT_EQ(ComputeLead(odd) % 6, 0) << percent;
    }
}

TEST(MixerLead, CorrectionIsTheElapsedTimeRoundedOnce) {
    EXPECT_EQ(vq7::LeadCorrection(4, 48000, 1), 48 * 4);
    EXPECT_EQ(vq7::LeadCorrection(6, 44100, 1), 44 * 6);  // 44.1 rounds to 44
    EXPECT_EQ(vq7::LeadCorrection(4, 44600, 2), 89 * 4);  // 89.2, not twice 44.6 rounded up
    EXPECT_EQ(vq7::LeadCorrection(4, 48000, 8), 384 * 4);  // a whole render transfer, exactly
}

TEST(MixerLead, BufferDurationGivesTheLatencyPercent) {
    EXPECT_EQ(vq7::BufferLatencyPercent(48000 * 4 / 5, 4, 48000), 100u);  // 200 ms
    EXPECT_EQ(vq7::BufferLatencyPercent(48000 * 4 / 100, 4, 48000), 10u);
    EXPECT_EQ(vq7::BufferLatencyPercent(4 * 479, 4, 48000), 9u);  // 9.98 ms
    EXPECT_EQ(vq7::BufferLatencyPercent(4096, 0, 48000), 0u);
}

TEST(MixerLead, CurrentInputsCarryTheOverride) {
    vq7::PlaybackLeadOverride_frames = 300;
    EXPECT_EQ(vq7::CurrentLeadInputs(4, 48000, 0, false).overrideFrames, 300u);
    vq7::PlaybackLeadOverride_frames = 0;
    EXPECT_EQ(vq7::CurrentLeadInputs(4, 48000, 0, false).overrideFrames, 0u);
}

}  // namespace
