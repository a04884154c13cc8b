// Version 1.0 devices: sampling frequency on the endpoint, feature units
// with bControlSize, rate lists, synch endpoints.

#include <gtest/gtest.h>

#include "simusb/audio_codes.h"
#include "simusb/byte_order.h"
#include "simusb/ready_made_devices.h"
#include "test_host.h"

namespace simusb {
namespace {

using testing::PackFrames;
using testing::TestHost;

constexpr uint8_t kSetEndpoint = 0x22;
constexpr uint8_t kGetEndpoint = 0xA2;
constexpr uint16_t kSamplingFrequency = 0x0100;

std::optional<uint32_t> EndpointRate(TestHost& host, uint8_t endpoint) {
    auto data = host.In(kGetEndpoint, uac::kGetCur1, kSamplingFrequency, endpoint, 3);
    if (!data || data->size() != 3) return std::nullopt;
    return ReadLe(*data, 0, 3);
}

bool SetEndpointRate(TestHost& host, uint8_t endpoint, uint32_t rate) {
    return host.Out(kSetEndpoint, uac::kSetCur1, kSamplingFrequency, endpoint, LeBytes(rate, 3));
}

TEST(Uac1, ModelReadsTheVersion1Descriptors) {
    auto device = FindReadyMadeDevice("uac1-duplex")->Make();
    const AudioModel* model = device->Model();
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->version, AudioClassVersion::V1);
    EXPECT_EQ(device->speed(), Speed::Full);
    ASSERT_EQ(model->streaming.size(), 2u);
    const StreamAltSetting& render = model->streaming[0].alternates[0];
    EXPECT_EQ(render.format, (SampleFormat{2, 2, 16, false}));
    EXPECT_EQ(render.rates, (std::vector<RateRange>{DiscreteRate(44100), DiscreteRate(48000)}));
    EXPECT_EQ(render.data->Sync(), SyncType::Adaptive);
    EXPECT_EQ(render.data->maxPacketSize, 49u * 4);
    EXPECT_EQ(model->streaming[1].alternates[0].data->Sync(), SyncType::Sync);
    ASSERT_EQ(model->featureUnits.size(), 1u);
    EXPECT_EQ(model->featureUnits[0].controls.size(), 3u) << "master and two channels, one byte each";

    auto dac = FindReadyMadeDevice("uac1-async-dac")->Make();
    const StreamAltSetting& async = dac->Model()->streaming[0].alternates[0];
    EXPECT_EQ(async.rates, (std::vector<RateRange>{RateRange{32000, 96000, 1}})) << "continuous";
    ASSERT_TRUE(async.feedback);
    EXPECT_EQ(async.data->synchAddress, 0x81);
    EXPECT_EQ(async.feedback->refresh, 5);
    EXPECT_EQ(async.feedback->maxPacketSize, 3u);
}

TEST(Uac1, SamplingFrequencyIsSetAndReadPerEndpoint) {
    auto device = FindReadyMadeDevice("uac1-duplex")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Configure());
    EXPECT_EQ(EndpointRate(host, 0x01), 48000u);
    ASSERT_TRUE(SetEndpointRate(host, 0x01, 44100));
    EXPECT_EQ(EndpointRate(host, 0x01), 44100u);
    EXPECT_EQ(EndpointRate(host, 0x82), 48000u) << "each endpoint has its own rate";
    EXPECT_FALSE(SetEndpointRate(host, 0x01, 32000)) << "not in the rate list";
    EXPECT_FALSE(SetEndpointRate(host, 0x03, 48000)) << "no such endpoint";
    EXPECT_FALSE(host.Out(kSetEndpoint, uac::kSetCur1, 0x0200, 0x01, LeBytes(1, 1))) << "no pitch control";
    EXPECT_FALSE(host.Out(kSetEndpoint, uac::kSetCur1, kSamplingFrequency, 0x01, LeBytes(44100, 4))) << "3 bytes";

    auto dac = FindReadyMadeDevice("uac1-async-dac")->Make();
    TestHost dacHost(*dac);
    ASSERT_TRUE(dacHost.Configure());
    EXPECT_TRUE(SetEndpointRate(dacHost, 0x01, 37800)) << "anything from 32 to 96 kHz";
    EXPECT_EQ(EndpointRate(dacHost, 0x01), 37800u);
    EXPECT_FALSE(SetEndpointRate(dacHost, 0x01, 100000));
}

TEST(Uac1, FeatureUnitAnswersCurMinMaxRes) {
    auto device = FindReadyMadeDevice("uac1-duplex")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Configure());
    constexpr uint8_t kUnit = 2;
    auto get = [&](uint8_t request, uint8_t selector, uint8_t channel, uint16_t length) {
        return host.In(uac::kGetInterfaceRequest, request, static_cast<uint16_t>(selector << 8 | channel), kUnit << 8, length);
    };
    auto set = [&](uint8_t selector, uint8_t channel, std::vector<uint8_t> data) {
        return host.Out(uac::kSetInterfaceRequest, uac::kSetCur1, static_cast<uint16_t>(selector << 8 | channel), kUnit << 8,
                        std::move(data));
    };
    EXPECT_EQ(get(uac::kGetCur1, uac::kMuteControl, 0, 1), std::vector<uint8_t>{0});
    EXPECT_TRUE(set(uac::kMuteControl, 0, {1}));
    EXPECT_EQ(get(uac::kGetCur1, uac::kMuteControl, 0, 1), std::vector<uint8_t>{1});
    EXPECT_EQ(get(uac::kGetMin1, uac::kVolumeControl, 1, 2), LeBytes(static_cast<uint16_t>(-127 * 256), 2));
    EXPECT_EQ(get(uac::kGetMax1, uac::kVolumeControl, 1, 2), LeBytes(0, 2));
    EXPECT_EQ(get(uac::kGetRes1, uac::kVolumeControl, 1, 2), LeBytes(256, 2));
    EXPECT_TRUE(set(uac::kVolumeControl, 2, LeBytes(static_cast<uint16_t>(-3 * 256), 2)));
    EXPECT_EQ(get(uac::kGetCur1, uac::kVolumeControl, 2, 2), LeBytes(static_cast<uint16_t>(-3 * 256), 2));
    EXPECT_EQ(get(uac::kGetCur1, uac::kVolumeControl, 1, 2), LeBytes(0, 2));
    EXPECT_FALSE(get(uac::kGetCur1, uac::kVolumeControl, 0, 2)) << "no master volume";
    EXPECT_FALSE(get(uac::kGetMin1, uac::kMuteControl, 0, 1)) << "mute has no range";
    EXPECT_FALSE(get(uac::kCur, uac::kClockFrequencyControl, 0, 4)) << "version 1.0 has no clock entities";
}

TEST(Uac1, AdaptiveRenderPlaysAtTheBusRate) {
    auto device = FindReadyMadeDevice("uac1-duplex")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Start({1}));
    device->SetClockOffsetPpm(500, 0);  // the crystal is off, but an adaptive endpoint follows the host
    SampleFormat format{2, 2, 16, false};
    uint64_t sent = 0;
    for (uint64_t frame = 0; frame < 1000; ++frame, sent += 48) {
        host.SendOut(0x01, frame, PackFrames(format, sent, 48, [](uint64_t f, uint8_t c) {
                         return static_cast<int32_t>(static_cast<int16_t>(f * 2 + c));
                     }));
    }
    device->settle(1000000000);
    RenderStream* render = device->Render(1);
    EXPECT_TRUE(render->Events().All().empty());
    EXPECT_EQ(render->Played().Count() + render->FifoFrames(), sent);
    EXPECT_EQ(render->Played().Frame(1000)[1], static_cast<int16_t>(2001));
}

}  // namespace
}  // namespace simusb
