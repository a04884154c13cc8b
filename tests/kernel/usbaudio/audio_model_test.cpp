// The audio descriptor model the class layer builds from a device's
// configuration: the audio-control interface, the entities, the streaming
// interfaces with their alternate settings, the render and capture streams,
// and the configuration it selects.

#include <gtest/gtest.h>

#include "class_layer_world.h"
#include "descriptor_edits.h"
#include "descriptor_walk.h"
#include "entity_clock.h"
#include "entity_feature_unit.h"
#include "entity_terminal.h"
#include "simusb/ready_made_devices.h"

namespace {

using kerneltest::ClassLayerWorld;
using ConfigurationBytes = std::vector<uint8_t>;

simusb::AudioDescription Described(const char* name) { return simusb::FindReadyMadeDevice(name)->describe(); }

std::vector<EntityKind> KindsOf(const CUSBAudioCL& layer) {
    std::vector<EntityKind> kinds;
    for (CUSBAudioEntity* entity = layer.Entities(); entity != nullptr; entity = entity->Next()) {
        kinds.push_back(entity->Kind());
    }
    return kinds;
}

UCHAR Address(const UCHAR* endpoint) { return vq7::Field8(endpoint, 2); }

// ---------------------------------------------------------------- ready-made devices, field by field

TEST(AudioModel, TheQ7IsAClassTwoDuplexDeviceOnOneClock) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    EXPECT_EQ(layer.VendorId(), 0xF0E1);
    EXPECT_EQ(layer.ProductId(), 0x0B31);
    EXPECT_TRUE(layer.IsHighSpeed());
    EXPECT_TRUE(layer.IsClassTwo());
    EXPECT_EQ(layer.AudioControlInterfaceNumber(), 0);
    EXPECT_EQ(vq7::DescriptorSubtype(layer.AudioControlHeader()), 0x01);
    EXPECT_EQ(KindsOf(layer), (std::vector<EntityKind>{EntityKind::ClockSource, EntityKind::InputTerminal,
                                                       EntityKind::OutputTerminal, EntityKind::InputTerminal,
                                                       EntityKind::OutputTerminal, EntityKind::FeatureUnit}));
    ASSERT_EQ(layer.StreamingInterfaceCount(), 2u);
    USB_AS_INTERFACE* render = layer.RenderStream();
    USB_AS_INTERFACE* capture = layer.CaptureStream();
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(render->interfaceNumber, 1);
    EXPECT_EQ(render->inputFlag, 0);
    EXPECT_EQ(render->alternateCount, 4u);  // zero bandwidth, 24 in 32, 32 in 32, raw 32 for DSD
    EXPECT_EQ(render->terminal->GetID(), 1);
    EXPECT_EQ(capture->interfaceNumber, 2);
    EXPECT_EQ(capture->inputFlag, 1);
    EXPECT_EQ(capture->alternateCount, 3u);
    EXPECT_EQ(capture->terminal->GetID(), 4);
    EXPECT_TRUE(layer.SharedClock());  // both terminals run from clock 41

    const USB_AS_ALTERNATE& zero = render->alternates[0];
    EXPECT_NE(zero.interfaceDescriptor, nullptr);
    EXPECT_EQ(zero.dataEndpoint, nullptr);
    EXPECT_EQ(zero.general, nullptr);
    const USB_AS_ALTERNATE& first = render->alternates[1];
    EXPECT_EQ(Address(first.dataEndpoint), 0x01);
    EXPECT_EQ(Address(first.feedbackEndpoint), 0x81);
    EXPECT_EQ(vq7::Field8(first.general, 10), 2);      // bNrChannels
    EXPECT_EQ(vq7::Field32(first.general, 6), 1u);     // bmFormats: PCM
    EXPECT_EQ(vq7::Field8(first.format, 4), 4);        // bSubslotSize
    EXPECT_EQ(vq7::Field8(first.format, 5), 24);       // bBitResolution
    EXPECT_EQ(vq7::DescriptorType(first.dataEndpointGeneral), 0x25);
    EXPECT_EQ(Address(capture->alternates[1].dataEndpoint), 0x82);
    EXPECT_EQ(capture->alternates[1].feedbackEndpoint, nullptr);

    // Configured at zero bandwidth: no pipes yet.
    EXPECT_EQ(layer.GetCurrentAlternate(0), 0u);
    EXPECT_EQ(layer.GetCurrentAlternate(1), 0u);
    EXPECT_EQ(render->dataPipe, nullptr);
    EXPECT_EQ(render->feedbackPipe, nullptr);
    EXPECT_EQ(world.Device().Configuration(), 1);
    EXPECT_EQ(world.Device().HostConfiguredInterfaces(), (std::vector<uint8_t>{0, 1, 2}));
}

TEST(AudioModel, TheQ7sEntitiesAreLinkedToTheirNeighbours) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    auto* out = static_cast<CUSBAudioOutputTerminal*>(layer.FindEntity(2));
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(out->Kind(), EntityKind::OutputTerminal);
    EXPECT_EQ(out->Source(), layer.FindEntity(10));
    EXPECT_EQ(out->Clock(), layer.FindEntity(41));
    EXPECT_EQ(out->TerminalType(), 0x0603);
    CUSBAudioFeatureUnit* unit = layer.FindEntity(10)->AsFeatureUnit();
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->Source(), layer.FindEntity(1));
    EXPECT_EQ(layer.FindEntity(99), nullptr);
}

TEST(AudioModel, AClassOneDuplexDeviceHasOneClockForBothDirections) {
    ClassLayerWorld world("uac1-duplex");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    EXPECT_FALSE(layer.IsClassTwo());
    EXPECT_FALSE(layer.IsHighSpeed());
    ASSERT_NE(layer.RenderStream(), nullptr);
    ASSERT_NE(layer.CaptureStream(), nullptr);
    EXPECT_TRUE(layer.SharedClock());
    CUSBAudioTerminal* terminal = layer.RenderStream()->terminal->AsTerminal();
    ASSERT_NE(terminal, nullptr);
    EXPECT_EQ(terminal->Clock(), nullptr);
    EXPECT_EQ(terminal->GetClockSourceID(), CUSBAudioEntity::kNone);
    const USB_AS_ALTERNATE& render = layer.RenderStream()->alternates[1];
    EXPECT_EQ(vq7::Field16(render.general, 5), 0x0001);  // wFormatTag: PCM
    EXPECT_EQ(vq7::Field8(render.format, 4), 2);          // bNrChannels
    EXPECT_EQ(vq7::Field8(render.format, 5), 2);          // bSubframeSize
    EXPECT_EQ(vq7::Field8(render.format, 7), 2);          // two discrete rates
    EXPECT_EQ(vq7::Field24(render.format, 8), 44100u);
    EXPECT_EQ(vq7::Field24(render.format, 11), 48000u);
}

TEST(AudioModel, AClassOneSynchEndpointIsTheFeedbackEndpoint) {
    ClassLayerWorld world("uac1-async-dac");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    const USB_AS_ALTERNATE& alternate = world.Layer().RenderStream()->alternates[1];
    ASSERT_NE(alternate.dataEndpoint, nullptr);
    ASSERT_NE(alternate.feedbackEndpoint, nullptr);
    EXPECT_EQ(vq7::Field8(alternate.dataEndpoint, 8), Address(alternate.feedbackEndpoint));  // bSynchAddress
}

TEST(AudioModel, AnImplicitFeedbackDataEndpointCarriesCaptureAndTheClocksAreSeparate) {
    ClassLayerWorld world("uac2-implicit-duplex");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    ASSERT_NE(layer.CaptureStream(), nullptr);
    const UCHAR* data = layer.CaptureStream()->alternates[1].dataEndpoint;
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(vq7::Field8(data, 3) & 0x30, 0x20);  // usage: implicit feedback data
    EXPECT_FALSE(layer.SharedClock());
    EXPECT_EQ(layer.RenderStream()->alternates[1].feedbackEndpoint, nullptr);
}

TEST(AudioModel, ATerminalBehindAClockSelectorRunsFromTheSelector) {
    ClassLayerWorld world("uac2-clock-selector");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    CUSBAudioTerminal* terminal = layer.RenderStream()->terminal->AsTerminal();
    ASSERT_NE(terminal, nullptr);
    ASSERT_NE(terminal->Clock(), nullptr);
    EXPECT_EQ(terminal->Clock()->Kind(), EntityKind::ClockSelector);
    auto* selector = static_cast<CUSBAudioClockSelector*>(terminal->Clock());
    EXPECT_EQ(selector->InputCount(), 2u);
    EXPECT_EQ(layer.FindEntity(selector->GetSourceID(0))->Kind(), EntityKind::ClockSource);
    EXPECT_EQ(layer.FindEntity(selector->GetSourceID(1))->Kind(), EntityKind::ClockSource);
    // Mixer, selector, effect, processing and extension units are modelled
    // as units the driver does not look into.
    size_t dummies = 0;
    for (EntityKind kind : KindsOf(layer)) dummies += kind == EntityKind::DummyUnit;
    EXPECT_EQ(dummies, 5u);
}

// ---------------------------------------------------------------- configuration

TEST(AudioModel, DevicesThatNeedItAreConfiguredWithEveryInterface) {
    for (const char* name : {"uac2-with-dfu", "uac2-with-hid", "framed-vendor-class", "vendor-class-extra-interface"}) {
        ClassLayerWorld world(name);
        ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS) << name;
        EXPECT_TRUE(world.Device().HostConfiguredEveryInterface()) << name;
    }
}

TEST(AudioModel, OtherDevicesAreConfiguredWithTheirAudioInterfacesOnly) {
    simusb::AudioDescription description = Described("q7-0b31");
    description.extraInterfaces = {simusb::desc::ExtraInterface::Hid};  // interface 3, not audio
    ClassLayerWorld world(std::shared_ptr<simusb::AudioDevice>(simusb::MakeAudioDevice(description)));
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    EXPECT_EQ(world.Device().HostConfiguredInterfaces(), (std::vector<uint8_t>{0, 1, 2}));
}

TEST(AudioModel, VendorClassInterfacesAreAudioInterfacesOnlyForTheDevicesThatUseThem) {
    {
        ClassLayerWorld framed("framed-vendor-class");
        ASSERT_EQ(framed.StartAndConfigure(), STATUS_SUCCESS);
        EXPECT_EQ(framed.Layer().AudioInterfaceClass(), 0xFF);
        EXPECT_NE(framed.Layer().RenderStream(), nullptr);
    }

    simusb::AudioDescription description = Described("framed-vendor-class");
    description.identity.productId = 0x0B41;  // the same hardware under another product: no special treatment
    ClassLayerWorld other(std::shared_ptr<simusb::AudioDevice>(simusb::MakeAudioDevice(description)));
    EXPECT_EQ(other.StartAndConfigure(), STATUS_NOT_SUPPORTED);  // no audio-control interface of class 1
}

TEST(AudioModel, SelectingAnAlternateAndResolvingGivesNormalisedPipes) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    USB_AS_INTERFACE* render = layer.RenderStream();
    ASSERT_EQ(layer.SelectAlternate(render->interfaceNumber, 1), STATUS_SUCCESS);
    render->currentAlternate = 1;
    ASSERT_EQ(layer.ResolvePipes(), STATUS_SUCCESS);
    ASSERT_NE(render->dataPipe, nullptr);
    ASSERT_NE(render->feedbackPipe, nullptr);
    EXPECT_EQ(render->dataPipe->EndpointAddress, 0x01);
    EXPECT_EQ(render->dataPipe->Interval, 1);
    EXPECT_EQ(render->feedbackPipe->EndpointAddress, 0x81);
    EXPECT_EQ(render->feedbackPipe->Interval, 4);
    EXPECT_EQ(layer.GetCurrentAlternate(0), 1u);
    EXPECT_EQ(world.Device().AlternateSetting(1), 1);
}

TEST(AudioModel, AFullSpeedIsochronousIntervalIsNormalisedToOne) {
    simusb::AudioDescription description = Described("uac1-async-dac");
    auto device = kerneltest::MakeEditedDevice(description, [](ConfigurationBytes& set) {
        size_t synch = kerneltest::FindEndpointDescriptor(set, 0x81);
        ASSERT_NE(synch, kerneltest::kNotFound);
        set[synch + 6] = 3;  // bInterval of the synch endpoint
    });
    ClassLayerWorld world(device);
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    USB_AS_INTERFACE* render = world.Layer().RenderStream();
    ASSERT_EQ(world.Layer().SelectAlternate(render->interfaceNumber, 1), STATUS_SUCCESS);
    render->currentAlternate = 1;
    ASSERT_EQ(world.Layer().ResolvePipes(), STATUS_SUCCESS);
    ASSERT_NE(render->feedbackPipe, nullptr);
    EXPECT_EQ(render->feedbackPipe->Interval, 1);
}

// ---------------------------------------------------------------- edge cases of the model

// AC 0, AS 1 rendering with alternates 0 to 2, AS 2 capturing with 0 and 1.
simusb::AudioDescription ThreeAndTwoAlternates() {
    simusb::AudioDescription description = Described("q7-0b31");
    description.streams[0].formats.resize(2);
    description.streams[1].formats.resize(1);
    return description;
}

TEST(AudioModel, StreamsAndAlternateCountsFollowTheInterfaces) {
    ClassLayerWorld world(std::shared_ptr<simusb::AudioDevice>(simusb::MakeAudioDevice(ThreeAndTwoAlternates())));
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    EXPECT_EQ(world.Layer().RenderStream()->interfaceNumber, 1);
    EXPECT_EQ(world.Layer().CaptureStream()->interfaceNumber, 2);
    EXPECT_EQ(world.Layer().RenderStream()->alternateCount, 3u);
    EXPECT_EQ(world.Layer().CaptureStream()->alternateCount, 2u);
}

TEST(AudioModel, AGapAfterTheAudioControlInterfaceLeavesNoStreams) {
    simusb::AudioDescription description = Described("uac2-async-dac");
    auto device = kerneltest::MakeEditedDevice(description, [](ConfigurationBytes& set) {
        kerneltest::RenumberInterface(set, 1, 2);  // AC 0, AS 2
    });
    ClassLayerWorld world(device);
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    EXPECT_EQ(world.Layer().StreamingInterfaceCount(), 0u);
    EXPECT_EQ(world.Layer().RenderStream(), nullptr);
    EXPECT_EQ(world.Layer().CaptureStream(), nullptr);
}

TEST(AudioModel, AHighSpeedDataEndpointWithIntervalFiveIsNotUsed) {
    auto device = kerneltest::MakeEditedDevice(Described("uac2-async-dac"), [](ConfigurationBytes& set) {
        size_t data = kerneltest::FindEndpointDescriptor(set, 0x01);
        ASSERT_NE(data, kerneltest::kNotFound);
        set[data + 6] = 5;
    });
    ClassLayerWorld world(device);
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    EXPECT_EQ(world.Layer().RenderStream()->alternates[1].dataEndpoint, nullptr);
    EXPECT_NE(world.Layer().RenderStream()->alternates[1].feedbackEndpoint, nullptr);
}

TEST(AudioModel, AClassOneDataEndpointOfSevenBytesNeverGetsASynchEndpoint) {
    auto device = kerneltest::MakeEditedDevice(Described("uac1-async-dac"), [](ConfigurationBytes& set) {
        size_t data = kerneltest::FindEndpointDescriptor(set, 0x01);
        ASSERT_NE(data, kerneltest::kNotFound);
        ASSERT_EQ(set[data], 9);
        kerneltest::EraseFromDescriptor(set, data, 7, 2);  // without bRefresh and bSynchAddress
    });
    ClassLayerWorld world(device);
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    const USB_AS_ALTERNATE& alternate = world.Layer().RenderStream()->alternates[1];
    EXPECT_NE(alternate.dataEndpoint, nullptr);
    EXPECT_EQ(alternate.feedbackEndpoint, nullptr);
}

TEST(AudioModel, AnUnknownClassTwoSubtypeEndsTheEntitiesAndKeepsThoseBefore) {
    auto device = kerneltest::MakeEditedDevice(Described("q7-0b31"), [](ConfigurationBytes& set) {
        // The fourth class-specific audio-control descriptor (after the
        // header, the clock and IT 1) gets subtype 0x0E.
        size_t at = kerneltest::FindNthDescriptor(set, 0x24, -1, 3);
        ASSERT_NE(at, kerneltest::kNotFound);
        set[at + 2] = 0x0E;
    });
    ClassLayerWorld world(device);
    world.Start();
    EXPECT_EQ(KindsOf(world.Layer()), (std::vector<EntityKind>{EntityKind::ClockSource, EntityKind::InputTerminal}));
}

TEST(AudioModel, AStreamWhoseTerminalLinkNamesNoEntityIsNotSupported) {
    auto device = kerneltest::MakeEditedDevice(Described("uac2-async-dac"), [](ConfigurationBytes& set) {
        size_t general = kerneltest::FindNthDescriptor(set, 0x24, 0x01, 1);  // AS_GENERAL, after the AC header
        ASSERT_NE(general, kerneltest::kNotFound);
        set[general + 3] = 0xEE;
    });
    ClassLayerWorld world(device);
    EXPECT_EQ(world.Start(), STATUS_NOT_SUPPORTED);
}

TEST(AudioModel, AHeaderThatReachesPastItsInterfaceIsNotSupported) {
    auto device = kerneltest::MakeEditedDevice(Described("q7-0b31"), [](ConfigurationBytes& set) {
        size_t header = kerneltest::FindNthDescriptor(set, 0x24, 0x01, 0);
        USHORT total = static_cast<USHORT>(set[header + 6] | set[header + 7] << 8);
        total += 20;
        set[header + 6] = static_cast<uint8_t>(total);
        set[header + 7] = static_cast<uint8_t>(total >> 8);
    });
    ClassLayerWorld world(device);
    EXPECT_EQ(world.Start(), STATUS_NOT_SUPPORTED);
}

TEST(AudioModel, ADeviceWithoutAnAudioControlInterfaceIsNotSupported) {
    auto device = kerneltest::MakeEditedDevice(Described("q7-0b31"), [](ConfigurationBytes& set) {
        size_t control = kerneltest::FindInterfaceDescriptor(set, 0, 0);
        set[control + 6] = 0x03;  // a subclass that is not audio control
    });
    ClassLayerWorld world(device);
    EXPECT_EQ(world.Start(), STATUS_NOT_SUPPORTED);
}

}  // namespace
