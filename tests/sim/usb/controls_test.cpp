// Feature unit mute and volume, terminal connectors, and the vendor mode request.

#include <gtest/gtest.h>

#include "simusb/audio_codes.h"
#include "simusb/byte_order.h"
#include "simusb/ready_made_devices.h"
#include "test_host.h"

namespace simusb {
namespace {

using testing::TestHost;

constexpr uint8_t kDacFeatureUnit = 6;

struct DacFixture : ::testing::Test {
    std::unique_ptr<AudioDevice> device = FindReadyMadeDevice("uac2-async-dac")->Make();
    TestHost host{*device};
    void SetUp() override { ASSERT_TRUE(host.Configure()); }

    std::optional<int16_t> Volume(uint8_t channel) {
        auto data = host.GetCur(kDacFeatureUnit, uac::kVolumeControl, channel, 2);
        if (!data) return std::nullopt;
        return static_cast<int16_t>(ReadLe(*data, 0, 2));
    }
    bool SetVolume(uint8_t channel, int16_t value) {
        return host.SetCur(kDacFeatureUnit, uac::kVolumeControl, channel, LeBytes(static_cast<uint16_t>(value), 2));
    }
};

TEST_F(DacFixture, MasterMuteIsProgrammable) {
    EXPECT_EQ(host.GetCur(kDacFeatureUnit, uac::kMuteControl, 0, 1), std::vector<uint8_t>{0});
    ASSERT_TRUE(host.SetCur(kDacFeatureUnit, uac::kMuteControl, 0, {1}));
    EXPECT_EQ(host.GetCur(kDacFeatureUnit, uac::kMuteControl, 0, 1), std::vector<uint8_t>{1});
    EXPECT_TRUE(device->Uac2()->FeatureUnit(kDacFeatureUnit)->Muted(0));
    EXPECT_FALSE(host.SetCur(kDacFeatureUnit, uac::kMuteControl, 0, {2})) << "mute is a boolean";
    EXPECT_FALSE(host.SetCur(kDacFeatureUnit, uac::kMuteControl, 0, {1, 0})) << "one byte";
}

TEST_F(DacFixture, ReadOnlyAndAbsentControlsRefuseWhatTheyDoNotOffer) {
    EXPECT_EQ(Volume(0), 0) << "the master volume reads";
    EXPECT_FALSE(SetVolume(0, -256)) << "but is read-only (field 01)";
    EXPECT_FALSE(host.GetCur(kDacFeatureUnit, uac::kMuteControl, 1, 1)) << "no mute on channel 1";
    EXPECT_FALSE(host.SetCur(kDacFeatureUnit, uac::kMuteControl, 1, {1}));
    EXPECT_FALSE(Volume(3)) << "a stereo unit has channels 0 to 2";
    EXPECT_FALSE(host.GetCur(kDacFeatureUnit, 0x03, 0, 1)) << "no bass control";
    EXPECT_FALSE(host.GetRange(kDacFeatureUnit, uac::kMuteControl, 0, 8)) << "mute has no RANGE";
}

TEST_F(DacFixture, ChannelVolumeHasItsRangeAndIsClamped) {
    auto range = host.GetRange(kDacFeatureUnit, uac::kVolumeControl, 1, 8);
    ASSERT_TRUE(range);
    ASSERT_EQ(range->size(), 8u);
    EXPECT_EQ(ReadLe(*range, 0, 2), 1u);
    EXPECT_EQ(static_cast<int16_t>(ReadLe(*range, 2, 2)), -100 * 256);
    EXPECT_EQ(static_cast<int16_t>(ReadLe(*range, 4, 2)), 0);
    EXPECT_EQ(static_cast<int16_t>(ReadLe(*range, 6, 2)), 128);
    ASSERT_TRUE(SetVolume(1, -12 * 256));
    EXPECT_EQ(Volume(1), -12 * 256);
    EXPECT_EQ(Volume(2), 0) << "channels are independent";
    ASSERT_TRUE(SetVolume(2, -120 * 256));
    EXPECT_EQ(Volume(2), -100 * 256) << "clamped to MIN";
    ASSERT_TRUE(SetVolume(2, 6 * 256));
    EXPECT_EQ(Volume(2), 0) << "clamped to MAX";
}

TEST(Connector, ReportsThePluggedClusterAndFollowsTheTest) {
    auto device = FindReadyMadeDevice("q7-0b31")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Configure());
    constexpr uint8_t kLineOut = 2;
    constexpr uint8_t kLineIn = 3;
    auto lineOut = host.GetCur(kLineOut, uac::kConnectorControl, 0, 6);
    ASSERT_TRUE(lineOut);
    EXPECT_EQ(*lineOut, (std::vector<uint8_t>{2, 0, 0, 0, 0, 0})) << "two channels reach the line output";
    auto lineIn = host.GetCur(kLineIn, uac::kConnectorControl, 0, 6);
    ASSERT_TRUE(lineIn);
    EXPECT_EQ((*lineIn)[0], 4);

    device->Uac2()->SetConnector(kLineIn, ConnectorState{0, 0, 0});
    EXPECT_EQ(host.GetCur(kLineIn, uac::kConnectorControl, 0, 6), (std::vector<uint8_t>(6, 0))) << "unplugged";
    device->Uac2()->SetConnector(kLineOut, ConnectorState{1, 0x4, 7});
    EXPECT_EQ(host.GetCur(kLineOut, uac::kConnectorControl, 0, 6), (std::vector<uint8_t>{1, 4, 0, 0, 0, 7}));
    EXPECT_FALSE(host.SetCur(kLineOut, uac::kConnectorControl, 0, {2, 3, 0, 0, 0, 0})) << "read-only";
    EXPECT_FALSE(host.GetCur(1, uac::kConnectorControl, 0, 6)) << "the USB terminal has no connector control";
}

TEST(VendorMode, AcceptedAndRememberedPerInterfaceWhereTheDeviceOffersIt) {
    auto q7 = FindReadyMadeDevice("q7-0b33")->Make();
    TestHost host(*q7);
    ASSERT_TRUE(host.Configure());
    auto mode = [&](uint16_t value, uint16_t interfaceNumber) {
        return host.Out(uac::kVendorModeRequestType, uac::kVendorModeRequest, value, interfaceNumber);
    };
    EXPECT_FALSE(q7->VendorMode(1));
    EXPECT_TRUE(mode(1, 1));
    EXPECT_TRUE(mode(0, 2));
    EXPECT_EQ(q7->VendorMode(1), 1);
    EXPECT_EQ(q7->VendorMode(2), 0);
    EXPECT_FALSE(mode(7, 1)) << "no mode 7";
    EXPECT_FALSE(mode(1, 0)) << "the control interface does not stream";
    EXPECT_FALSE(host.Out(uac::kVendorModeRequestType, uac::kVendorModeRequest, 1, 1, {0})) << "no data stage";
    EXPECT_EQ(q7->VendorMode(1), 1);

    auto dac = FindReadyMadeDevice("uac2-async-dac")->Make();
    TestHost dacHost(*dac);
    ASSERT_TRUE(dacHost.Configure());
    EXPECT_FALSE(dacHost.Out(uac::kVendorModeRequestType, uac::kVendorModeRequest, 1, 1)) << "refused";
    EXPECT_FALSE(dac->VendorMode(1));
}

}  // namespace
}  // namespace simusb
