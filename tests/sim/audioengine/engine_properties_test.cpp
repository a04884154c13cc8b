// The filter's properties as the platform's endpoint builder and volume
// control reach them through the engine's filter handle: the component id,
// the jacks of the bridge pins, the volume and mute nodes with their size
// negotiation, basic support and master-only channel rule, refusals of
// what the filter does not answer, and the master volume and mute written
// through the control cache's worker to the device's feature unit.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "engine_world.h"
#include "km_time.h"
#include "simusb/uac2_function.h"

namespace {

using audioengine::KsHandle;
using audioengine::NodeChannelProperty;

constexpr UCHAR kQ7Unit = 10;  // the Q7's feature unit: master mute and volume

class EnginePropertiesTest : public enginetest::EngineQ7Test {
protected:
    const KsHandle& Filter() { return engine_->Filter(); }
    ULONG VolumeNode() {
        const audioengine::PathControls path = engine_->Controls().PathOf(*engine_->StreamingPin(false));
        EXPECT_NE(path.volumeNode, audioengine::kNoNode);
        return path.volumeNode;
    }
    NodeChannelProperty VolumeRequest(ULONG verb, LONG channel = 0) {
        NodeChannelProperty request = {};
        request.node = audioengine::NodeProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, VolumeNode(), verb);
        request.channel = channel;
        return request;
    }
    simusb::FeatureUnitState Unit() {
        simusb::FeatureUnitState* unit = nullptr;
        std::optional<simusb::FeatureUnitState> copy;
        world_.Bus().WithDevice(device_.pdo, [&](simusb::Device& device) {
            unit = static_cast<simusb::AudioDevice&>(device).Uac2()->FeatureUnit(kQ7Unit);
            if (unit != nullptr) copy = *unit;
        });
        EXPECT_TRUE(copy.has_value());
        return *copy;
    }
};

TEST_F(EnginePropertiesTest, TheComponentIdIsReadWholeAndItsBasicSupportTellsTheAccess) {
    KSCOMPONENTID id = {};
    ASSERT_EQ(engine_->Controls().ReadComponentId(&id), STATUS_SUCCESS);
    const GUID manufacturer = {0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    EXPECT_TRUE(IsEqualGUID(id.Manufacturer, manufacturer));
    EXPECT_EQ(id.Version, 1u);
    EXPECT_EQ(id.Revision, 0u);
    const KSPROPERTY get = audioengine::Property(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID);
    UCHAR shorter[40] = {};
    EXPECT_EQ(Filter().Send(&get, sizeof get, shorter, sizeof shorter), STATUS_INVALID_PARAMETER);
    const KSPROPERTY support =
        audioengine::Property(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_BASICSUPPORT);
    KSPROPERTY_DESCRIPTION description = {};
    ULONG returned = 0;
    ASSERT_EQ(Filter().Send(&support, sizeof support, &description, sizeof description, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof description);
    EXPECT_EQ(description.AccessFlags, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT);
}

TEST_F(EnginePropertiesTest, EveryBridgePinDescribesOneJackAndStreamingPinsHaveNone) {
    std::vector<audioengine::JackInfo> jacks;
    ASSERT_EQ(engine_->Controls().ReadJacks(engine_->Pins(), &jacks), STATUS_SUCCESS);
    ASSERT_FALSE(jacks.empty());
    for (const audioengine::JackInfo& jack : jacks) {
        ASSERT_EQ(jack.jacks.size(), 1u) << jack.pin;
        EXPECT_EQ(jack.jacks[0].GeoLocation, eGeoLocFront);
        EXPECT_TRUE(jack.jacks[0].IsConnected);
    }
    const KSP_PIN streaming =
        audioengine::PinProperty(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, engine_->StreamingPin(false)->id);
    std::vector<uint8_t> answer;
    EXPECT_FALSE(NT_SUCCESS(Filter().GetVariable(&streaming, sizeof streaming, &answer)));
}

TEST_F(EnginePropertiesTest, VolumeRequestsNegotiateTheirSizeAndServeTheMasterChannelOnly) {
    ULONG returned = 0;
    const NodeChannelProperty get = VolumeRequest(KSPROPERTY_TYPE_GET);
    EXPECT_EQ(Filter().Send(&get, sizeof get, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof(LONG));
    LONG level = 0;
    EXPECT_EQ(Filter().Get(get, &level), STATUS_SUCCESS);
    EXPECT_EQ(Filter().Get(VolumeRequest(KSPROPERTY_TYPE_GET, 1), &level), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Filter().Set(VolumeRequest(KSPROPERTY_TYPE_SET, 1), level), STATUS_NOT_SUPPORTED);
    audioengine::VolumeRange range;
    ASSERT_EQ(engine_->Controls().GetVolumeRange(VolumeNode(), &range), STATUS_SUCCESS);
    EXPECT_LT(range.minimum, range.maximum);
    EXPECT_GT(range.step, 0u);
    // Below the range: the minimum.
    ASSERT_EQ(engine_->SetMasterVolume(false, range.minimum - static_cast<LONG>(range.step)), STATUS_SUCCESS);
    ASSERT_EQ(engine_->GetMasterVolume(false, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, range.minimum);
}

TEST_F(EnginePropertiesTest, WhatTheFilterDoesNotAnswerIsRefused) {
    LONG value = 0;
    const GUID unknownSet = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_FALSE(NT_SUCCESS(Filter().Get(audioengine::Property(unknownSet, 0), &value)));
    EXPECT_FALSE(NT_SUCCESS(Filter().Get(audioengine::Property(KSPROPSETID_General, 7), &value)));
    // A node property on a node that has no such control.
    const audioengine::PathControls path = engine_->Controls().PathOf(*engine_->StreamingPin(false));
    NodeChannelProperty onMute = {};
    onMute.node = audioengine::NodeProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, path.muteNode);
    if (path.muteNode != path.volumeNode) {
        EXPECT_FALSE(NT_SUCCESS(Filter().Get(onMute, &value)));
    }
    // The jack set on the filter itself, without a pin.
    const KSPROPERTY jack = audioengine::Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION);
    UCHAR answer[64] = {};
    EXPECT_FALSE(NT_SUCCESS(Filter().Send(&jack, sizeof jack, answer, sizeof answer)));
}

TEST_F(EnginePropertiesTest, TheMasterVolumeAndMuteReachTheDevicesFeatureUnit) {
    constexpr LONG kMinus10dB = -10 * 65536;
    ASSERT_EQ(engine_->SetMasterVolume(false, kMinus10dB), STATUS_SUCCESS);
    ASSERT_EQ(engine_->SetMute(false, true), STATUS_SUCCESS);
    for (int i = 0; i < 100 && (Unit().Volume(0) != -10 * 256 || !Unit().Muted(0)); ++i) kmtest::SleepMs(1);
    EXPECT_EQ(Unit().Volume(0), -10 * 256);  // the device's units are 1/256 dB
    EXPECT_TRUE(Unit().Muted(0));
    LONG level = 0;
    ASSERT_EQ(engine_->GetMasterVolume(false, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, kMinus10dB);
    bool muted = false;
    ASSERT_EQ(engine_->GetMute(false, &muted), STATUS_SUCCESS);
    EXPECT_TRUE(muted);
    ASSERT_EQ(engine_->SetMute(false, false), STATUS_SUCCESS);
    for (int i = 0; i < 100 && Unit().Muted(0); ++i) kmtest::SleepMs(1);
    EXPECT_FALSE(Unit().Muted(0));
}

}  // namespace
