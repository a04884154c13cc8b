// Clock source and clock selector requests: sampling frequency CUR and
// RANGE, validity through the settle time, the selector's pin.

#include <gtest/gtest.h>

#include "simusb/audio_codes.h"
#include "simusb/byte_order.h"
#include "simusb/ready_made_devices.h"
#include "simusb/reply_faults.h"
#include "test_host.h"

namespace simusb {
namespace {

using testing::TestHost;

constexpr uint8_t kQ7Clock = 41;
constexpr int64_t kMs = 1000000;

struct Q7Fixture : ::testing::Test {
    std::unique_ptr<AudioDevice> device = FindReadyMadeDevice("q7-0b32")->Make();
    TestHost host{*device};
    void SetUp() override { ASSERT_TRUE(host.Configure()); }

    std::optional<bool> Valid() {
        auto data = host.GetCur(kQ7Clock, uac::kClockValidityControl, 0, 1);
        if (!data || data->size() != 1) return std::nullopt;
        return (*data)[0] == 1;
    }
};

TEST_F(Q7Fixture, RangeListsEveryPcmRateAsADiscreteSubrange) {
    auto count = host.GetRange(kQ7Clock, uac::kClockFrequencyControl, 0, 2);
    ASSERT_TRUE(count);
    ASSERT_EQ(count->size(), 2u);
    uint16_t subranges = static_cast<uint16_t>(ReadLe(*count, 0, 2));
    ASSERT_EQ(subranges, 11);
    auto range = host.GetRange(kQ7Clock, uac::kClockFrequencyControl, 0, static_cast<uint16_t>(2 + 12 * subranges));
    ASSERT_TRUE(range);
    ASSERT_EQ(range->size(), 2u + 12 * 11);
    const uint32_t expected[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000};
    for (size_t i = 0; i < 11; ++i) {
        EXPECT_EQ(ReadLe(*range, 2 + 12 * i, 4), expected[i]) << "MIN of subrange " << i;
        EXPECT_EQ(ReadLe(*range, 6 + 12 * i, 4), expected[i]) << "MAX of subrange " << i;
        EXPECT_EQ(ReadLe(*range, 10 + 12 * i, 4), 0u) << "RES of subrange " << i;
    }
}

TEST_F(Q7Fixture, RateChangeMakesTheClockInvalidForItsSettleTime) {
    EXPECT_EQ(host.Rate(kQ7Clock), 48000u);
    EXPECT_EQ(Valid(), true);
    host.now_ns = 100 * kMs;
    ASSERT_TRUE(host.SetRate(kQ7Clock, 96000));
    EXPECT_EQ(host.Rate(kQ7Clock), 96000u);
    EXPECT_EQ(Valid(), false);
    host.now_ns = 149 * kMs;
    EXPECT_EQ(Valid(), false);
    host.now_ns = 150 * kMs;
    EXPECT_EQ(Valid(), true) << "the Q7 settles in 50 ms";

    ASSERT_TRUE(host.SetRate(kQ7Clock, 96000));
    EXPECT_EQ(Valid(), true) << "setting the rate it already runs at changes nothing";
}

TEST_F(Q7Fixture, RefusedFrequencyRequestsStall) {
    EXPECT_FALSE(host.SetRate(kQ7Clock, 50000)) << "not offered";
    EXPECT_FALSE(host.SetCur(kQ7Clock, uac::kClockFrequencyControl, 0, {0x80, 0xBB, 0x00})) << "3 bytes, not 4";
    EXPECT_FALSE(host.SetCur(kQ7Clock, uac::kClockValidityControl, 0, {1})) << "validity is read-only";
    EXPECT_FALSE(host.GetRange(kQ7Clock, uac::kClockValidityControl, 0, 14)) << "validity has no RANGE";
    EXPECT_FALSE(host.GetCur(kQ7Clock, uac::kClockFrequencyControl, 1, 4)) << "clocks have channel 0 only";
    EXPECT_FALSE(host.GetCur(99, uac::kClockFrequencyControl, 0, 4)) << "no entity 99";
    EXPECT_FALSE(host.In(uac::kGetInterfaceRequest, uac::kCur, uac::kClockFrequencyControl << 8, kQ7Clock << 8 | 1, 4))
        << "addressed to a streaming interface, not the control interface";
    EXPECT_EQ(host.Rate(kQ7Clock), 48000u);
}

TEST_F(Q7Fixture, StreamsWaitForTheClockToSettle) {
    ASSERT_TRUE(host.SetInterface(1, 1));
    EXPECT_TRUE(device->StreamAllowed(1, host.now_ns));
    host.now_ns = 10 * kMs;
    ASSERT_TRUE(host.SetRate(kQ7Clock, 44100));
    EXPECT_FALSE(device->StreamAllowed(1, 10 * kMs));
    EXPECT_TRUE(device->StreamAllowed(1, 60 * kMs));
    RenderStream* render = device->Render(1);
    host.SendOut(0x01, 30 * 8, std::vector<uint8_t>(6 * 8, 0));  // at 30 ms: still settling
    EXPECT_EQ(render->Events().Count(StreamEvent::Kind::NotStreaming), 1u);
    EXPECT_FALSE(render->Running());
    host.SendOut(0x01, 60 * 8, std::vector<uint8_t>(6 * 8, 0));  // at 60 ms: settled
    EXPECT_EQ(render->Events().Count(StreamEvent::Kind::NotStreaming), 1u);
    EXPECT_TRUE(render->Running());
    EXPECT_EQ(render->Clock()->Rate(), 44100u);
}

TEST_F(Q7Fixture, RangeShorterThanItsCountIsOneFaultAway) {
    device->Faults().Add(TruncateReply(match::GetRange(kQ7Clock, uac::kClockFrequencyControl), 2 + 12 * 3));
    auto count = host.GetRange(kQ7Clock, uac::kClockFrequencyControl, 0, 2);
    EXPECT_EQ(ReadLe(*count, 0, 2), 11u) << "the count still claims 11";
    auto range = host.GetRange(kQ7Clock, uac::kClockFrequencyControl, 0, 2 + 12 * 11);
    EXPECT_EQ(range->size(), 2u + 12 * 3);
}

// A clock whose bmControls declare no frequency control stalls every
// frequency request, unless the device has the quirk of answering the reads.
TEST(FixedClock, AnswersFrequencyReadsOnlyWithTheQuirkAndNeverTakesARate) {
    constexpr uint8_t kFixedClock = 9;
    for (bool quirk : {true, false}) {
        SCOPED_TRACE(quirk ? "quirk" : "no quirk");
        AudioDescription d = FindReadyMadeDevice("uac2-fixed-clock")->describe();
        d.quirks.clockReadsWithoutControl = quirk;
        auto device = MakeAudioDevice(d);
        TestHost host{*device};
        ASSERT_TRUE(host.Configure());
        EXPECT_EQ(host.Rate(kFixedClock), quirk ? std::optional<uint32_t>(48000) : std::nullopt);
        EXPECT_EQ(host.GetRange(kFixedClock, uac::kClockFrequencyControl, 0, 14).has_value(), quirk);
        EXPECT_FALSE(host.SetRate(kFixedClock, 48000)) << "SET CUR stalls, even at its own rate";
        EXPECT_FALSE(host.GetCur(kFixedClock, uac::kClockValidityControl, 0, 1)) << "validity is absent too";
    }
}

TEST(ClockSelector, PinChoosesTheClockAStreamRunsOn) {
    auto device = FindReadyMadeDevice("uac2-clock-selector")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Configure());
    constexpr uint8_t kSelector = 23;
    constexpr uint8_t kClock44 = 21;
    constexpr uint8_t kClock48 = 22;
    EXPECT_EQ(host.GetCur(kSelector, uac::kClockSelectorControl, 0, 1), std::vector<uint8_t>{1});
    EXPECT_EQ(host.Rate(kClock44), 44100u) << "the 44.1 kHz family clock starts at its lowest rate";
    EXPECT_EQ(host.Rate(kClock48), 48000u);
    ASSERT_TRUE(host.SetInterface(1, 1));
    host.SendOut(0x01, 0, std::vector<uint8_t>(6 * 8, 0));
    ASSERT_EQ(device->FirstRender()->Clock(), device->Uac2()->Clock(kClock44));

    ASSERT_TRUE(host.SetCur(kSelector, uac::kClockSelectorControl, 0, {2}));
    EXPECT_EQ(host.GetCur(kSelector, uac::kClockSelectorControl, 0, 1), std::vector<uint8_t>{2});
    EXPECT_EQ(device->FirstRender()->Clock(), device->Uac2()->Clock(kClock48)) << "the stream restarts on the selected clock";
    EXPECT_FALSE(host.SetCur(kSelector, uac::kClockSelectorControl, 0, {3})) << "two pins";
    EXPECT_FALSE(host.SetCur(kSelector, uac::kClockSelectorControl, 0, {0})) << "pins count from 1";
    EXPECT_FALSE(host.SetRate(kClock48, 44100)) << "the 48 kHz family clock does not offer 44.1 kHz";
    EXPECT_FALSE(host.SetRate(kSelector, 48000)) << "a selector has no frequency control";
}

}  // namespace
}  // namespace simusb
