// A faulty or malicious device against the class layer: descriptors that are
// too short, too long or lie about their lengths, replies shorter than they
// claim, transfers that cannot fit one URB, and pool exhaustion. Each must be
// refused or skipped cleanly: no read or write outside a buffer, no endless
// walk, and no pool left behind (the simulated kernel's teardown stops the
// run on any leak; the tests also check the class layer's own tag).

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "class_layer_world.h"
#include "descriptor_edits.h"
#include "entity_clock.h"
#include "entity_feature_unit.h"
#include "entity_terminal.h"
#include "km_time.h"
#include "kmsim/verifier.h"
#include "ready_made_ids.h"
#include "simusb/audio_codes.h"
#include "simusb/reply_faults.h"
#include "simusb/request_log.h"

namespace {

using kerneltest::ClassLayerWorld;
using kerneltest::DescriptionOf;
using kerneltest::kNotFound;
using kerneltest::RawDevice;
namespace match = simusb::match;
namespace uac = simusb::uac;

using namespace kerneltest::ids;

RawDevice Q7Raw() { return RawDevice(DescriptionOf("q7-0b31")); }

// Whether a descriptor pointer of the model lies whole inside the
// configuration the layer owns.
bool InsideConfiguration(const CUSBAudioCL& layer, const UCHAR* descriptor) {
    const UCHAR* begin = layer.Configuration();
    const UCHAR* end = begin + layer.ConfigurationBytes();
    return descriptor >= begin && descriptor + 2 <= end && descriptor[0] >= 2 && descriptor + descriptor[0] <= end;
}

// Every descriptor the model points at lies inside the configuration, and
// every stream has its alternates and its terminal.
void ExpectModelInsideConfiguration(const CUSBAudioCL& layer) {
    if (layer.AudioControlInterface() != nullptr) {
        EXPECT_TRUE(InsideConfiguration(layer, layer.AudioControlInterface()));
    }
    for (const CUSBAudioEntity* entity = layer.Entities(); entity != nullptr; entity = entity->Next()) {
        EXPECT_TRUE(InsideConfiguration(layer, entity->Descriptor())) << "entity " << int{entity->GetID()};
    }
    ULONG streams = 0;
    for (const USB_AS_INTERFACE* stream = layer.StreamingInterfaces(); stream != nullptr; stream = stream->next) {
        ++streams;
        ASSERT_GE(stream->alternateCount, 2u);
        ASSERT_NE(stream->alternates, nullptr);
        for (ULONG i = 0; i < stream->alternateCount; ++i) {
            const USB_AS_ALTERNATE& a = stream->alternates[i];
            for (const UCHAR* d : {a.interfaceDescriptor, a.dataEndpoint, a.general, a.format, a.dataEndpointGeneral,
                                   a.feedbackEndpoint}) {
                if (d != nullptr) {
                    EXPECT_TRUE(InsideConfiguration(layer, d)) << "interface " << int{stream->interfaceNumber}
                                                               << " alternate " << i;
                }
            }
        }
    }
    EXPECT_EQ(streams, layer.StreamingInterfaceCount());
}

// Asks every entity everything it can be asked, as the rest of the driver
// would once started: nothing may read outside its descriptor.
void AskEveryEntity(CUSBAudioCL& layer) {
    for (CUSBAudioEntity* entity = layer.Entities(); entity != nullptr; entity = entity->Next()) {
        char name[24];
        entity->GetName(name, sizeof name);
        entity->GetSourceID(0);
        entity->GetSourceID(255);
        if (CUSBAudioClock* clock = entity->AsClock()) {
            ULONG minimum = 0;
            ULONG maximum = 0;
            ULONG rate = 0;
            (void)clock->GetFrequencyRange(&minimum, &maximum, 0, kAnyRate);
            (void)clock->IsFrequencySupported(48000);
            (void)clock->GetFrequency(&rate);
            clock->IsValid();
        } else if (CUSBAudioTerminal* terminal = entity->AsTerminal()) {
            terminal->TerminalType();
            terminal->GetClockSourceID();
            terminal->GetConnectorState();
        } else if (CUSBAudioFeatureUnit* unit = entity->AsFeatureUnit()) {
            for (ULONG channel = 0; channel < 4; ++channel) {
                SHORT volume = 0;
                UCHAR mute = 0;
                (void)unit->GetVolume(channel, &volume);
                (void)unit->GetMute(channel, &mute);
            }
            unit->HasControl(kControlVolume);
        }
    }
}

// Destroys the layer and expects it to have returned all of its pool.
void ExpectNoPoolLeftAfterDestroy(ClassLayerWorld& world) {
    world.DestroyLayer();
    EXPECT_EQ(kmsim::OutstandingAllocations(vq7::kPoolTagUsba), 0u);
}

// ---------------------------------------------------------------- descriptor walks

TEST(HostileDescriptors, DescriptorShorterThanTwoBytesEndsEveryWalk) {
    for (uint8_t length : {uint8_t{0}, uint8_t{1}}) {
        {
            // Inside the audio-control interface: its header now claims more
            // than the walk can reach.
            RawDevice raw = Q7Raw();
            size_t header = kerneltest::FindDescriptor(raw.Configuration(), 0x24, 0x01);
            ASSERT_NE(header, kNotFound);
            raw.Configuration().at(header + raw.Configuration()[header]) = length;
            ClassLayerWorld world(raw.Make());
            EXPECT_EQ(world.StartAndConfigure(), STATUS_NOT_SUPPORTED) << "bLength " << int{length};
            ExpectModelInsideConfiguration(world.Layer());
            ExpectNoPoolLeftAfterDestroy(world);
        }
        {
            // At the capture interface: everything from there on is out of reach.
            RawDevice raw = Q7Raw();
            size_t capture = kerneltest::FindInterfaceDescriptor(raw.Configuration(), kQ7CaptureInterface, 0);
            ASSERT_NE(capture, kNotFound);
            raw.Configuration().at(capture) = length;
            ClassLayerWorld world(raw.Make());
            ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS) << "bLength " << int{length};
            EXPECT_NE(world.Layer().RenderStream(), nullptr);
            EXPECT_EQ(world.Layer().CaptureStream(), nullptr);
            EXPECT_EQ(world.Layer().StreamingInterfaceCount(), 1u);
            ExpectModelInsideConfiguration(world.Layer());
            ExpectNoPoolLeftAfterDestroy(world);
        }
    }
}

TEST(HostileDescriptors, DescriptorRunningPastTheEndIsNotTaken) {
    {
        RawDevice raw = Q7Raw();
        size_t last = kerneltest::LastDescriptor(raw.Configuration());
        ASSERT_NE(last, kNotFound);
        raw.Configuration().at(last) = static_cast<uint8_t>(raw.Configuration().size() - last + 1);
        ClassLayerWorld world(raw.Make());
        EXPECT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
        ExpectModelInsideConfiguration(world.Layer());
        ExpectNoPoolLeftAfterDestroy(world);
    }
    {
        // The set ends in the middle of the last capture setting's data endpoint.
        RawDevice raw = Q7Raw();
        size_t lastSetting = kerneltest::FindInterfaceDescriptor(raw.Configuration(), kQ7CaptureInterface, 2);
        ASSERT_NE(lastSetting, kNotFound);
        size_t endpoint = lastSetting;
        while (raw.Configuration().at(endpoint + 1) != 0x05) {
            endpoint += raw.Configuration()[endpoint];
        }
        kerneltest::TruncateSet(raw.Configuration(), endpoint + 4);
        ClassLayerWorld world(raw.Make());
        ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
        const USB_AS_INTERFACE* capture = world.Layer().CaptureStream();
        ASSERT_NE(capture, nullptr);
        ASSERT_EQ(capture->alternateCount, 3u);
        EXPECT_EQ(capture->alternates[2].dataEndpoint, nullptr) << "cut short, so not there";
        EXPECT_NE(capture->alternates[1].dataEndpoint, nullptr);
        ExpectModelInsideConfiguration(world.Layer());
        ExpectNoPoolLeftAfterDestroy(world);
    }
}

// ---------------------------------------------------------------- descriptors shorter than their fields

TEST(HostileDescriptors, TerminalShorterThanItsFieldsHasNoClockAndNoConnector) {
    RawDevice raw = Q7Raw();
    ASSERT_TRUE(kerneltest::ShrinkEntityDescriptor(raw.Configuration(), kQ7LineIn, 7));    // ends before bCSourceID
    ASSERT_TRUE(kerneltest::ShrinkEntityDescriptor(raw.Configuration(), kQ7LineOut, 9));   // ends before bmControls
    ClassLayerWorld world(raw.Make());
    world.StartAndConfigure();
    CUSBAudioTerminal* in = world.Layer().FindEntity(kQ7LineIn)->AsTerminal();
    CUSBAudioTerminal* out = world.Layer().FindEntity(kQ7LineOut)->AsTerminal();
    ASSERT_TRUE(in != nullptr && out != nullptr);
    world.Device().Requests().Clear();

    EXPECT_EQ(in->TerminalType(), uac::kTerminalLineConnector) << "bytes 4 and 5 are still there";
    EXPECT_EQ(in->GetClockSourceID(), CUSBAudioEntity::kNone);
    EXPECT_EQ(in->Link(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(in->GetControls(), 0);
    EXPECT_EQ(in->GetConnectorState(), CUSBAudioEntity::kNone);

    EXPECT_EQ(out->GetClockSourceID(), kQ7Clock);
    EXPECT_EQ(out->Link(), STATUS_SUCCESS);
    EXPECT_EQ(out->GetControls(), 0) << "bmControls lies past bLength";
    EXPECT_EQ(out->GetConnectorState(), CUSBAudioEntity::kNone);
    EXPECT_TRUE(world.Device().Requests().Entries().empty());
    ExpectNoPoolLeftAfterDestroy(world);
}

TEST(HostileDescriptors, ClockShorterThanItsFieldsAsksNothingItCannotRead) {
    RawDevice raw = Q7Raw();
    ASSERT_TRUE(kerneltest::ShrinkEntityDescriptor(raw.Configuration(), kQ7Clock, 5));  // ends before bmControls
    ClassLayerWorld world(raw.Make());
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioClock* source = world.Layer().FindEntity(kQ7Clock)->AsClock();
    ASSERT_NE(source, nullptr);
    EXPECT_TRUE(source->IsValid()) << "no validity control it could know of";
    EXPECT_EQ(world.Device().Requests().Count(match::GetCur(kQ7Clock, uac::kClockValidityControl)), 0u);
    ExpectNoPoolLeftAfterDestroy(world);
}

TEST(HostileDescriptors, ClockSelectorInputsStopAtItsEnd) {
    for (uint8_t pins : {uint8_t{3}, uint8_t{200}, uint8_t{255}}) {
        RawDevice raw(DescriptionOf("uac2-clock-selector"));
        size_t selector = kerneltest::FindEntityDescriptor(raw.Configuration(), kSelector);
        ASSERT_NE(selector, kNotFound);
        raw.Configuration().at(selector + 4) = pins;  // bNrInPins; the descriptor holds 2 IDs and 2 more bytes
        ClassLayerWorld world(raw.Make());
        world.StartAndConfigure();
        CUSBAudioEntity* entity = world.Layer().FindEntity(kSelector);
        ASSERT_NE(entity, nullptr);
        auto* clock = static_cast<CUSBAudioClockSelector*>(entity->AsClock());
        ASSERT_NE(clock, nullptr);
        ULONG inside = entity->Descriptor()[0] - 5u;
        EXPECT_EQ(clock->InputCount(), inside < pins ? inside : pins);
        EXPECT_EQ(clock->GetSourceID(inside), CUSBAudioEntity::kNone);
        if (pins > inside) {
            EXPECT_EQ(clock->GetSourceID(pins - 1u), CUSBAudioEntity::kNone);
        }
        AskEveryEntity(world.Layer());
        (void)clock->SetFrequency(48000);
        const simusb::LoggedRequest* select =
            world.Device().Requests().Last(match::SetCur(kSelector, uac::kClockSelectorControl));
        if (select != nullptr) {
            ASSERT_EQ(select->outData.size(), 1u);
            EXPECT_LE(select->outData[0], inside) << "never a pin past the descriptor";
        }
        ExpectNoPoolLeftAfterDestroy(world);
    }
}

TEST(HostileDescriptors, FeatureUnitUsesOnlyTheBitmapsInsideIt) {
    const struct {
        uint8_t length;
        ULONG channels;
    } cases[] = {
        {18, 3},  // as built: master and two channels
        {17, 2},  // the last bitmap one byte short
        {11, 1},
        {9, 0},   // the master bitmap cut
        {5, 0},
        {4, 0},   // not even its source
    };
    for (const auto& c : cases) {
        RawDevice raw = Q7Raw();
        ASSERT_TRUE(kerneltest::ShrinkEntityDescriptor(raw.Configuration(), kQ7FeatureUnit, c.length));
        ClassLayerWorld world(raw.Make());
        world.StartAndConfigure();
        CUSBAudioFeatureUnit* unit = world.Layer().FindEntity(kQ7FeatureUnit)->AsFeatureUnit();
        ASSERT_NE(unit, nullptr);
        EXPECT_EQ(unit->GetChannelCount(), c.channels) << "bLength " << int{c.length};
        EXPECT_EQ(unit->HasControl(kControlVolume), c.channels > 0) << "bLength " << int{c.length};
        EXPECT_EQ(unit->GetSourceID(0), c.length > 4 ? 1u : CUSBAudioEntity::kNone);
        EXPECT_EQ(unit->Link(), c.length > 4 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
        world.Device().Requests().Clear();
        EXPECT_EQ(unit->SetVolume(c.channels, 0), STATUS_NOT_SUPPORTED) << "past the last bitmap";
        if (c.channels == 0) {
            SHORT volume = 0;
            EXPECT_EQ(unit->GetVolume(0, &volume), STATUS_NOT_SUPPORTED);
        }
        EXPECT_TRUE(world.Device().Requests().Entries().empty());
        ExpectNoPoolLeftAfterDestroy(world);
    }
}

TEST(HostileDescriptors, ClassOneFeatureUnitControlSizeNeverDividesByZeroOrReadsPastIt) {
    const struct {
        uint8_t controlSize;
        ULONG channels;
    } cases[] = {
        {0, 0},
        {1, 3},  // as built: 7 + 3 bytes
        {2, 1},
        {5, 0},
        {255, 0},
    };
    for (const auto& c : cases) {
        RawDevice raw(DescriptionOf("uac1-duplex"));
        size_t unitAt = kerneltest::FindEntityDescriptor(raw.Configuration(), kUac1FeatureUnit);
        ASSERT_NE(unitAt, kNotFound);
        raw.Configuration().at(unitAt + 5) = c.controlSize;
        ClassLayerWorld world(raw.Make());
        world.StartAndConfigure();
        CUSBAudioFeatureUnit* unit = world.Layer().FindEntity(kUac1FeatureUnit)->AsFeatureUnit();
        ASSERT_NE(unit, nullptr);
        EXPECT_EQ(unit->GetChannelCount(), c.channels) << "bControlSize " << int{c.controlSize};
        for (ULONG control = kControlMute; control <= kControlOverflow; ++control) {
            for (ULONG channel = 0; channel < 4; ++channel) {
                if (channel >= c.channels) {
                    EXPECT_FALSE(unit->HasControlOnChannel(channel, control, kControlPresent));
                }
            }
        }
        if (c.channels == 0) {
            world.Device().Requests().Clear();
            SHORT volume = 0;
            UCHAR mute = 0;
            EXPECT_FALSE(unit->HasControl(kControlMute));
            EXPECT_EQ(unit->GetMute(0, &mute), STATUS_NOT_SUPPORTED);
            EXPECT_EQ(unit->SetVolume(1, 0), STATUS_NOT_SUPPORTED);
            EXPECT_EQ(unit->GetVolume(1, &volume), STATUS_NOT_SUPPORTED);
            EXPECT_TRUE(world.Device().Requests().Entries().empty());
        }
        ExpectNoPoolLeftAfterDestroy(world);
    }
}

// Asking a selector that is, through its inputs, its own input would never end.
TEST(HostileDescriptors, ClockSelectorsThatLoopHaveNoUsableInput) {
    using Selectors = std::vector<simusb::desc::ClockSelector>;
    constexpr UCHAR kOther = 24;
    constexpr UCHAR kChain = 30;
    Selectors twentyInARow = {{kSelector, {kSelectorClock44, kSelectorClock48}}};
    for (UCHAR id = kChain; id < kChain + 20; ++id) {
        twentyInARow.push_back({id, {static_cast<uint8_t>(id + 1 < kChain + 20 ? id + 1 : kSelectorClock48)}});
    }
    // The builder refuses what follows, so each case is patched in after it:
    // `patched`'s first input becomes `input`.
    const struct {
        const char* what;
        Selectors selectors;
        UCHAR patched;
        UCHAR input;
    } cases[] = {
        {"its own input", {{kSelector, {kSelectorClock44, kSelectorClock48}}}, kSelector, kSelector},
        {"each other's input", {{kSelector, {kOther, kSelectorClock48}}, {kOther, {kSelectorClock44}}}, kOther,
         kSelector},
        {"twenty selectors in a row", twentyInARow, kSelector, kChain},
    };
    for (const auto& c : cases) {
        simusb::AudioDescription d = DescriptionOf("uac2-clock-selector");
        d.clockSelectors = c.selectors;
        RawDevice raw(d);
        size_t at = kerneltest::FindEntityDescriptor(raw.Configuration(), c.patched);
        ASSERT_NE(at, kNotFound);
        raw.Configuration().at(at + 5) = c.input;  // baCSourceID[0]
        ClassLayerWorld world(raw.Make());
        world.StartAndConfigure();
        CUSBAudioEntity* entity = world.Layer().FindEntity(kSelector);
        ASSERT_NE(entity, nullptr) << c.what;
        CUSBAudioClock* selector = entity->AsClock();
        EXPECT_EQ(entity->Link(), STATUS_NOT_SUPPORTED) << c.what;
        ULONG minimum = 0;
        ULONG maximum = 0;
        ULONG rate = 0;
        EXPECT_EQ(selector->GetFrequencyRange(&minimum, &maximum, 0, kAnyRate), STATUS_NOT_SUPPORTED) << c.what;
        EXPECT_EQ(selector->IsFrequencySupported(48000), STATUS_NOT_SUPPORTED) << c.what;
        EXPECT_EQ(selector->SetFrequency(48000), STATUS_NOT_SUPPORTED) << c.what;
        EXPECT_EQ(selector->GetFrequency(&rate), STATUS_NOT_SUPPORTED) << c.what;
        EXPECT_FALSE(selector->IsValid()) << c.what;
        AskEveryEntity(world.Layer());
        ExpectNoPoolLeftAfterDestroy(world);
    }
}

TEST(HostileDescriptors, ClockSelectorOverASelectorStillWorks) {
    constexpr UCHAR kOuter = 24;
    simusb::AudioDescription d = DescriptionOf("uac2-clock-selector");
    d.clockSelectors.push_back({kOuter, {kSelector}});
    for (simusb::desc::Terminal& terminal : d.terminals) {
        terminal.clock = kOuter;
    }
    ClassLayerWorld world(simusb::MakeAudioDevice(d));
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioClock* outer = world.Layer().FindEntity(kOuter)->AsClock();
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(outer->Link(), STATUS_SUCCESS);
    ASSERT_EQ(outer->SetFrequency(96000), STATUS_SUCCESS);
    EXPECT_EQ(world.Device().Uac2()->SelectorPin(kSelector), 2);
    ULONG rate = 0;
    ASSERT_EQ(outer->GetFrequency(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 96000u);
}

// ---------------------------------------------------------------- reads that come back short or lie

TEST(HostileDescriptors, ConfigurationThatDoesNotMatchItsLengthIsNotSupported) {
    const struct {
        const char* what;
        simusb::ReplyFault fault;
        bool consistent;  // the set read is whole, it just holds no audio function
    } cases[] = {
        {"second read short", simusb::TruncateReply(match::ConfigurationDescriptor(0), 100, 2), false},
        {"second read as short as the header", simusb::TruncateReply(match::ConfigurationDescriptor(0), 9, 2), false},
        {"first read short", simusb::TruncateReply(match::ConfigurationDescriptor(0), 8, 1), false},
        {"wTotalLength 0", simusb::TotalLengthReads(0), false},
        {"wTotalLength below the header", simusb::TotalLengthReads(8), false},
        {"wTotalLength of the header alone", simusb::TotalLengthReads(9), true},
        {"wTotalLength far past the set", simusb::TotalLengthReads(0xFFFF), false},
        {"the second read names another length",
         simusb::PatchReply(match::ConfigurationDescriptor(0), 2, {0x20, 0x00}, 2), false},
    };
    for (const auto& c : cases) {
        auto device = kerneltest::ReadyMadeDevice("q7-0b31");
        device->Faults().Add(c.fault);
        ClassLayerWorld world(device);
        EXPECT_EQ(world.Start(), STATUS_NOT_SUPPORTED) << c.what;
        EXPECT_EQ(world.Layer().Configuration() != nullptr, c.consistent) << c.what << ": nothing half read is kept";
        ExpectNoPoolLeftAfterDestroy(world);
    }
}

TEST(HostileDescriptors, ConfigurationShorterThanItsDescriptorsKeepsTheWholeOnes) {
    auto device = kerneltest::ReadyMadeDevice("q7-0b31");
    uint16_t total = kerneltest::ReadLe16(device->Descriptors().configurations.at(0), 2);
    device->Faults().Add(simusb::TotalLengthReads(static_cast<uint16_t>(total - 20)));
    ClassLayerWorld world(device);
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    EXPECT_EQ(world.Layer().ConfigurationBytes(), total - 20u);
    ExpectModelInsideConfiguration(world.Layer());
    AskEveryEntity(world.Layer());
    ExpectNoPoolLeftAfterDestroy(world);
}

TEST(HostileDescriptors, StringShorterThanItsLengthGivesWhatCameBack) {
    const struct {
        size_t keep;
        ULONG size;
    } cases[] = {{7, 6}, {3, 2}, {0, 0}};
    for (const auto& c : cases) {
        auto device = kerneltest::ReadyMadeDevice("q7-0b31");
        device->Faults().Add(simusb::TruncateReply(match::StringDescriptor(kQ7ManufacturerString), c.keep, 2));
        ClassLayerWorld world(device);
        ASSERT_EQ(world.Start(), STATUS_SUCCESS);
        CUSBStringDescriptor text;
        ASSERT_EQ(world.Layer().GetStringDescriptor(kQ7ManufacturerString, text, 0), STATUS_SUCCESS);
        EXPECT_EQ(text.Size(), c.size) << c.keep << " bytes came back";
        EXPECT_EQ(text.Characters(), c.size >= 2 ? (c.size - 2) / 2 : 0u);
        EXPECT_EQ(text.Character(text.Characters()), 0) << "nothing past the end";
        if (c.size == 6) {
            EXPECT_EQ(text.Character(0), u'V');
            EXPECT_EQ(text.Character(1), u'Q');
        }
    }
}

TEST(HostileDescriptors, LanguageListShorterThanItsLengthRefusesEveryString) {
    auto device = kerneltest::ReadyMadeDevice("q7-0b31");
    device->Faults().Add(simusb::TruncateReply(match::StringDescriptor(0), 3, 2));
    ClassLayerWorld world(device);
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    CUSBStringDescriptor text;
    EXPECT_EQ(world.Layer().GetStringDescriptor(kQ7ManufacturerString, text, 0), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(world.Layer().GetStringDescriptor(kQ7ManufacturerString, text, 0x0409), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(text.Size(), 0u);
}

TEST(HostileDescriptors, ClockRangeReplyWithoutACountGivesNoRate) {
    for (size_t keep : {size_t{0}, size_t{1}, size_t{13}}) {
        auto device = kerneltest::ReadyMadeDevice("q7-0b31");
        device->Faults().Add(simusb::TruncateReply(match::GetRange(kQ7Clock, uac::kClockFrequencyControl), keep));
        ClassLayerWorld world(device);
        ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
        CUSBAudioClock* clock = world.Layer().FindEntity(kQ7Clock)->AsClock();
        ASSERT_NE(clock, nullptr);
        ULONG minimum = 1;
        ULONG maximum = 1;
        EXPECT_EQ(clock->GetFrequencyRange(&minimum, &maximum, 0, kAnyRate), STATUS_SUCCESS) << keep << " bytes";
        EXPECT_EQ(minimum, 0u);
        EXPECT_EQ(maximum, 0u);
        EXPECT_EQ(clock->IsFrequencySupported(48000), STATUS_NOT_SUPPORTED) << keep << " bytes";
    }
}

// A CUR reply carries a fixed parameter block; one that comes back shorter
// says nothing, so it must not be read as a value.
TEST(HostileDescriptors, CurReplyShorterThanItsBlockIsNoAnswer) {
    auto device = kerneltest::ReadyMadeDevice("q7-0b31");
    device->Faults().Add(simusb::TruncateReply(match::GetCur(kQ7Clock, uac::kClockFrequencyControl), 2));
    device->Faults().Add(simusb::TruncateReply(match::GetCur(kQ7Clock, uac::kClockValidityControl), 0));
    device->Faults().Add(simusb::TruncateReply(match::GetCur(kQ7FeatureUnit, uac::kVolumeControl), 1));
    device->Faults().Add(simusb::TruncateReply(match::GetCur(kQ7FeatureUnit, uac::kMuteControl), 0));
    device->Faults().Add(simusb::TruncateReply(match::GetCur(kQ7LineIn, uac::kConnectorControl), 0));
    device->Faults().Add(simusb::TruncateReply(match::GetRange(kQ7FeatureUnit, uac::kVolumeControl), 7));
    ClassLayerWorld world(device);
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioClock* clock = world.Layer().FindEntity(kQ7Clock)->AsClock();
    CUSBAudioFeatureUnit* unit = world.Layer().FindEntity(kQ7FeatureUnit)->AsFeatureUnit();
    CUSBAudioTerminal* lineIn = world.Layer().FindEntity(kQ7LineIn)->AsTerminal();
    ASSERT_TRUE(clock != nullptr && unit != nullptr && lineIn != nullptr);

    ULONG rate = 7;
    EXPECT_FALSE(NT_SUCCESS(clock->GetFrequency(&rate)));
    EXPECT_EQ(rate, 7u) << "left as it was";
    EXPECT_FALSE(clock->IsValid());
    SHORT volume = 7;
    EXPECT_FALSE(NT_SUCCESS(unit->GetVolume(0, &volume)));
    EXPECT_EQ(volume, 7);
    UCHAR mute = 7;
    EXPECT_FALSE(NT_SUCCESS(unit->GetMute(0, &mute)));
    EXPECT_EQ(mute, 7);
    SHORT minimum = 0;
    SHORT maximum = 0;
    USHORT resolution = 0;
    EXPECT_FALSE(NT_SUCCESS(unit->GetVolumeRange(0, &minimum, &maximum, &resolution)));
    EXPECT_EQ(lineIn->GetConnectorState(), CUSBAudioEntity::kNone) << "unknown, not empty";
}

TEST(HostileDescriptors, SelectorReplyShorterThanItsBlockIsNoAnswer) {
    auto device = kerneltest::ReadyMadeDevice("uac2-clock-selector");
    device->Faults().Add(simusb::TruncateReply(match::GetCur(kSelector, uac::kClockSelectorControl), 0));
    ClassLayerWorld world(device);
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    auto* selector = static_cast<CUSBAudioClockSelector*>(world.Layer().FindEntity(kSelector)->AsClock());
    ASSERT_NE(selector, nullptr);
    ULONG index = 7;
    EXPECT_FALSE(NT_SUCCESS(selector->GetSelectedInput(&index)));
    EXPECT_EQ(index, 7u);
    EXPECT_FALSE(selector->IsValid());
}

// ---------------------------------------------------------------- endpoints and transfers

TEST(HostileDescriptors, AlternateClaimingMoreEndpointsThanFollowUsesThoseThatDo) {
    RawDevice raw = Q7Raw();
    size_t zero = kerneltest::FindInterfaceDescriptor(raw.Configuration(), kQ7CaptureInterface, 0);
    size_t one = kerneltest::FindInterfaceDescriptor(raw.Configuration(), kQ7CaptureInterface, 1);
    ASSERT_TRUE(zero != kNotFound && one != kNotFound);
    raw.Configuration().at(zero + 4) = 3;    // none follow
    raw.Configuration().at(one + 4) = 255;   // one follows
    ClassLayerWorld world(raw.Make());
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    const USB_AS_INTERFACE* capture = world.Layer().CaptureStream();
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(capture->alternates[0].dataEndpoint, nullptr);
    ASSERT_NE(capture->alternates[1].dataEndpoint, nullptr);
    EXPECT_EQ(capture->alternates[1].dataEndpoint[2], kQ7CaptureEndpoint);
    EXPECT_EQ(capture->alternates[1].feedbackEndpoint, nullptr);
    ExpectModelInsideConfiguration(world.Layer());
    ASSERT_EQ(world.Layer().SelectAlternate(kQ7CaptureInterface, 1), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = world.Layer().FindPipe(kQ7CaptureEndpoint);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(world.Layer().FindPipe(0x00), nullptr) << "no pipe made up for the missing endpoints";
    ExpectNoPoolLeftAfterDestroy(world);
}

struct Completion {
    Completion() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    KEVENT done;
    ULONG calls = 0;
};

VOID CountCompletion(NTSTATUS, ULONG, ULONG, PVOID context, ULONG) {
    auto* completion = static_cast<Completion*>(context);
    completion->calls += 1;
    KeSetEvent(&completion->done, IO_NO_INCREMENT, FALSE);
}

bool WaitForCompletion(Completion& completion) {
    LARGE_INTEGER timeout = kmtest::RelativeMs(100);
    return KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

TEST(HostileDescriptors, IsochronousTransferBeyondOneUrbIsRefused) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    ASSERT_EQ(world.Layer().SelectAlternate(kQ7CaptureInterface, 1), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = world.Layer().FindPipe(kQ7CaptureEndpoint);
    ASSERT_NE(pipe, nullptr);
    ASSERT_EQ(pipe->Interval, 1) << "8 packets a millisecond";
    ULONG packet = pipe->MaximumPacketSize;
    std::vector<UCHAR> buffer(80 * packet);
    Completion refused;
    EXPECT_EQ(world.Layer().SubmitInTransfer(pipe, buffer.data(), 72 * packet, CountCompletion, &refused),
              STATUS_INVALID_PARAMETER)
        << "9 ms is 72 packets";
    EXPECT_EQ(world.Layer().SubmitInTransfer(pipe, buffer.data(), 65 * packet, CountCompletion, &refused),
              STATUS_INVALID_PARAMETER)
        << "65 packets, rounded to 72";
    EXPECT_EQ(world.Layer().SubmitTransfer(pipe, buffer.data(), 80 * packet, 0, CountCompletion, &refused, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(world.Layer().SubmitInTransfer(pipe, buffer.data(), 0, CountCompletion, &refused),
              STATUS_INVALID_PARAMETER)
        << "no packet at all";
    EXPECT_EQ(world.Layer().SubmitInTransfer(pipe, buffer.data(), packet, CountCompletion, &refused),
              STATUS_INVALID_PARAMETER)
        << "a whole millisecond of packets would lie past the buffer";

    Completion accepted;
    ASSERT_EQ(world.Layer().SubmitInTransfer(pipe, buffer.data(), 64 * packet, CountCompletion, &accepted),
              STATUS_SUCCESS);
    ASSERT_TRUE(WaitForCompletion(accepted));
    EXPECT_EQ(accepted.calls, 1u);
    kmtest::SleepMs(20);
    EXPECT_EQ(refused.calls, 0u) << "a refused transfer is never reported";
    ExpectNoPoolLeftAfterDestroy(world);
}

TEST(HostileDescriptors, PipeWhoseMaximumPacketIsZeroCarriesNothing) {
    RawDevice raw = Q7Raw();
    size_t endpoint = kerneltest::FindEndpointDescriptor(raw.Configuration(), kQ7CaptureEndpoint);
    ASSERT_NE(endpoint, kNotFound);
    kerneltest::WriteLe16(raw.Configuration(), endpoint + 4, 0);  // wMaxPacketSize
    ClassLayerWorld world(raw.Make());
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    ASSERT_EQ(world.Layer().SelectAlternate(kQ7CaptureInterface, 1), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = world.Layer().FindPipe(kQ7CaptureEndpoint);
    ASSERT_NE(pipe, nullptr);
    ASSERT_EQ(pipe->MaximumPacketSize, 0);
    std::vector<UCHAR> buffer(4096);
    Completion refused;
    EXPECT_EQ(world.Layer().SubmitInTransfer(pipe, buffer.data(), 4096, CountCompletion, &refused),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(world.Layer().SubmitTransfer(pipe, buffer.data(), 4096, 0, CountCompletion, &refused, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.calls, 0u);
    ExpectNoPoolLeftAfterDestroy(world);
}

// ---------------------------------------------------------------- fuzzing and pool exhaustion

// One deterministic mutation of a configuration set per seed: bytes
// changed, a bLength rewritten, or the set cut short.
void Mutate(std::vector<uint8_t>& set, uint32_t seed) {
    std::mt19937 random(seed);
    auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
    switch (seed % 3) {
    case 0: {
        size_t changes = 1 + below(4);
        for (size_t i = 0; i < changes; ++i) {
            set.at(9 + below(set.size() - 9)) = static_cast<uint8_t>(random());
        }
        break;
    }
    case 1: {
        std::vector<size_t> starts;
        for (size_t at = 0; at + 2 <= set.size() && set[at] >= 2; at += set[at]) {
            starts.push_back(at);
        }
        set.at(starts.at(1 + below(starts.size() - 1))) = static_cast<uint8_t>(random());
        break;
    }
    default: {
        size_t keep = 9 + below(set.size() - 9);
        bool honest = (random() & 1) != 0;  // else wTotalLength still claims the whole set
        uint16_t claimed = kerneltest::ReadLe16(set, 2);
        kerneltest::TruncateSet(set, keep);
        if (!honest) {
            kerneltest::WriteLe16(set, 2, claimed);
        }
        break;
    }
    }
}

TEST(HostileDescriptors, MutatedConfigurationsNeverCrashOrLeak) {
    constexpr uint32_t kSeeds = 300;
    const char* devices[] = {"q7-0b31", "uac1-duplex", "uac2-clock-selector"};
    uint32_t started = 0;
    for (uint32_t seed = 0; seed < kSeeds; ++seed) {
        RawDevice raw(DescriptionOf(devices[seed / 3 % 3]));
        Mutate(raw.Configuration(), seed);
        std::shared_ptr<simusb::AudioDevice> device;
        try {
            device = raw.Make();
        } catch (const std::exception&) {
            continue;  // the simulated device itself refuses these bytes
        }
        ClassLayerWorld world(device);
        NTSTATUS status = world.StartAndConfigure();
        if (NT_SUCCESS(status)) {
            ++started;
        }
        ExpectModelInsideConfiguration(world.Layer());
        AskEveryEntity(world.Layer());
        world.DestroyLayer();
        ASSERT_EQ(kmsim::OutstandingAllocations(vq7::kPoolTagUsba), 0u) << "seed " << seed;
    }
    EXPECT_GT(started, kSeeds / 10) << "most mutations should still leave a device that starts";
}

// Every class request answered with bytes of a random length and content,
// or a stall: whatever the entities make of it, they stay inside their
// buffers and return their pool.
TEST(HostileDescriptors, RandomClassRepliesNeverCrashOrLeak) {
    constexpr uint32_t kSeeds = 200;
    const char* devices[] = {"q7-0b31", "uac2-clock-selector", "uac1-duplex"};
    for (uint32_t seed = 0; seed < kSeeds; ++seed) {
        auto device = kerneltest::ReadyMadeDevice(devices[seed % 3]);
        device->Faults().SetHook([random = std::mt19937(seed)](const simusb::Setup& setup,
                                                               simusb::ControlReply& reply) mutable {
            if (setup.Type() != 0x20) {
                return;  // standard requests stay as they are
            }
            reply.stall = random() % 8 == 0;
            reply.data.resize(random() % (setup.wLength + 4u));
            for (uint8_t& byte : reply.data) {
                byte = static_cast<uint8_t>(random());
            }
        });
        ClassLayerWorld world(device);
        ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS) << "seed " << seed;
        AskEveryEntity(world.Layer());
        world.DestroyLayer();
        ASSERT_EQ(kmsim::OutstandingAllocations(vq7::kPoolTagUsba), 0u) << "seed " << seed;
    }
}

TEST(HostileDescriptors, EveryAllocationFailureDuringStartIsCleanlyReturned) {
    constexpr uint64_t kGiveUp = 5000;
    uint64_t n = 1;
    for (; n < kGiveUp; ++n) {
        ClassLayerWorld world("q7-0b31");
        uint64_t failedBefore = kmsim::FailedAllocationCount();
        kmsim::FailNthAllocation(n);
        NTSTATUS status = world.StartAndConfigure();
        bool hit = kmsim::FailedAllocationCount() != failedBefore;
        kmsim::ClearAllocationFailures();
        if (hit && NT_SUCCESS(status)) {
            // Only an allocation the layer can do without may fail unnoticed.
            ASSERT_NE(world.Layer().RenderStream(), nullptr) << "allocation " << n;
            ASSERT_NE(world.Layer().CaptureStream(), nullptr) << "allocation " << n;
        }
        if (world.HasLayer()) {
            ExpectModelInsideConfiguration(world.Layer());
        }
        world.DestroyLayer();
        ASSERT_EQ(kmsim::OutstandingAllocations(vq7::kPoolTagUsba), 0u) << "allocation " << n;
        if (!hit) {
            EXPECT_EQ(status, STATUS_SUCCESS) << "the run without a failure";
            break;
        }
    }
    EXPECT_LT(n, kGiveUp);
    EXPECT_GT(n, 10u) << "start allocates more than a few blocks";
}

}  // namespace
