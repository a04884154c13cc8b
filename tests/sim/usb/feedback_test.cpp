// Explicit feedback: the device's true rate in frames per (micro)frame, 10.14
// in 3 bytes at full speed and 16.16 in 4 bytes at high speed, rounded to nearest.

#include <gtest/gtest.h>

#include "simusb/byte_order.h"
#include "simusb/descriptor_builder.h"
#include "simusb/feedback.h"
#include "simusb/ready_made_devices.h"
#include "test_host.h"

namespace simusb {
namespace {

using testing::TestHost;

constexpr uint8_t kFeedbackEndpoint = 0x81;

std::vector<uint8_t> Feedback(AudioDevice& device, int64_t offset_ppm, uint64_t index) {
    TestHost host(device);
    EXPECT_TRUE(host.Configure());
    EXPECT_TRUE(host.SetInterface(1, 1));
    device.SetClockOffsetPpm(offset_ppm, 0);
    return host.ReceiveIn(kFeedbackEndpoint, index, 4);
}

TEST(Feedback, HighSpeedReports6Point0015PerMicroframeAt250PpmFast) {
    auto device = FindReadyMadeDevice("q7-0b31")->Make();
    std::vector<uint8_t> value = Feedback(*device, 250, 8);
    ASSERT_EQ(value.size(), 4u);
    // 6.0015 * 65536 = 393314.304
    EXPECT_EQ(ReadLe(value, 0, 4), 393314u);
}

TEST(Feedback, FullSpeedReports48Point012PerFrameAt250PpmFast) {
    auto device = MakeAudioDevice(testing::AtFullSpeed(FindReadyMadeDevice("uac2-async-dac")->describe()));
    std::vector<uint8_t> value = Feedback(*device, 250, 1);
    ASSERT_EQ(value.size(), 3u);
    // 48.012 * 16384 = 786628.608, rounded to nearest
    EXPECT_EQ(ReadLe(value, 0, 3), 786629u);
    EXPECT_EQ(value, (std::vector<uint8_t>{0xC5, 0x00, 0x0C}));
}

TEST(Feedback, FollowsRateAndOffsetChanges) {
    auto device = FindReadyMadeDevice("q7-0b31")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Start({1}));
    EXPECT_EQ(ReadLe(host.ReceiveIn(kFeedbackEndpoint, 8, 4), 0, 4), 6u << 16) << "exactly 6 with no offset";
    device->SetClockOffsetPpm(-100, 1000000);
    // 6 * (1 - 100e-6) * 65536 = 393176.68 -> 393177
    EXPECT_EQ(ReadLe(host.ReceiveIn(kFeedbackEndpoint, 16, 4), 0, 4), 393177u);
    host.now_ns = 3000000;
    ASSERT_TRUE(host.SetRate(41, 44100));
    host.now_ns = 60000000;
    // 44100 / 8000 * (1 - 100e-6) * 65536 = 361231.07 -> 361231
    EXPECT_EQ(ReadLe(host.ReceiveIn(kFeedbackEndpoint, 480, 4), 0, 4), 361231u);
}

TEST(Feedback, ABufferTooSmallMakesTheDeviceBabble) {
    auto device = FindReadyMadeDevice("q7-0b31")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Start({1}));
    std::vector<uint8_t> buffer(3);
    EXPECT_EQ(device->isoIn(kFeedbackEndpoint, host.At(8), buffer), 4u);
}

TEST(Feedback, Version1SynchEndpointReports10Point14AtFullSpeed) {
    auto device = FindReadyMadeDevice("uac1-async-dac")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Start({1}));
    ASSERT_TRUE(host.Out(0x22, 0x01, 0x0100, 0x01, LeBytes(48000, 3)));
    device->SetClockOffsetPpm(250, 0);
    std::vector<uint8_t> value = host.ReceiveIn(kFeedbackEndpoint, 1, 3);
    ASSERT_EQ(value.size(), 3u);
    EXPECT_EQ(ReadLe(value, 0, 3), 786629u);
    ASSERT_TRUE(host.Out(0x22, 0x01, 0x0100, 0x01, LeBytes(44100, 3)));
    device->SetClockOffsetPpm(0, 0);
    // 44.1 * 16384 = 722534.4
    EXPECT_EQ(ReadLe(host.ReceiveIn(kFeedbackEndpoint, 2, 3), 0, 3), 722534u);
}

}  // namespace
}  // namespace simusb
