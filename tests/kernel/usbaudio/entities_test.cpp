// The audio entities against simulated devices: what clocks, clock
// selectors, terminals and feature units ask the device, what they make of
// the answers, and which requests they refuse without sending anything.

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <memory>
#include <string>

#include "class_layer_world.h"
#include "descriptor_edits.h"
#include "entity_clock.h"
#include "entity_feature_unit.h"
#include "entity_terminal.h"
#include "km_time.h"
#include "ready_made_ids.h"
#include "simusb/audio_codes.h"
#include "simusb/reply_faults.h"
#include "simusb/request_log.h"

namespace {

using kerneltest::ClassLayerWorld;
using kerneltest::DescriptionOf;
using kerneltest::RawDevice;
using simusb::Access;
using simusb::RateRange;
namespace match = simusb::match;
namespace uac = simusb::uac;

using namespace kerneltest::ids;

// A world whose class layer has started and configured the device.
std::unique_ptr<ClassLayerWorld> Started(std::shared_ptr<simusb::AudioDevice> device) {
    auto world = std::make_unique<ClassLayerWorld>(std::move(device));
    EXPECT_EQ(world->StartAndConfigure(), STATUS_SUCCESS);
    return world;
}

std::unique_ptr<ClassLayerWorld> Started(const simusb::AudioDescription& description) {
    return Started(simusb::MakeAudioDevice(description));
}

std::unique_ptr<ClassLayerWorld> Started(const char* readyMade) { return Started(DescriptionOf(readyMade)); }

template <class T>
T* EntityOf(ClassLayerWorld& world, UCHAR id, EntityKind kind) {
    CUSBAudioEntity* entity = world.Layer().FindEntity(id);
    EXPECT_NE(entity, nullptr) << "entity " << int{id};
    EXPECT_EQ(entity != nullptr ? entity->Kind() : kind, kind) << "entity " << int{id};
    return entity != nullptr && entity->Kind() == kind ? static_cast<T*>(entity) : nullptr;
}

CUSBAudioClockSource* ClockSource(ClassLayerWorld& world, UCHAR id) {
    return EntityOf<CUSBAudioClockSource>(world, id, EntityKind::ClockSource);
}
CUSBAudioClockSelector* ClockSelector(ClassLayerWorld& world, UCHAR id) {
    return EntityOf<CUSBAudioClockSelector>(world, id, EntityKind::ClockSelector);
}
CUSBAudioFeatureUnit* FeatureUnit(ClassLayerWorld& world, UCHAR id) {
    return EntityOf<CUSBAudioFeatureUnit>(world, id, EntityKind::FeatureUnit);
}
CUSBAudioTerminal* Terminal(ClassLayerWorld& world, UCHAR id) {
    CUSBAudioEntity* entity = world.Layer().FindEntity(id);
    EXPECT_TRUE(entity != nullptr && entity->IsTerminal()) << "entity " << int{id};
    return entity != nullptr ? entity->AsTerminal() : nullptr;
}

// The Q7 with its one clock offering exactly these subranges.
simusb::AudioDescription Q7WithRates(std::vector<RateRange> rates) {
    simusb::AudioDescription d = DescriptionOf("q7-0b31");
    d.clocks.at(0).rates = std::move(rates);
    return d;
}

// What GetFrequencyRange answers.
struct FrequencyRange {
    NTSTATUS status;
    ULONG minimum;
    ULONG maximum;
    bool operator==(const FrequencyRange&) const = default;
};

void PrintTo(const FrequencyRange& range, std::ostream* out) {
    *out << std::hex << "status 0x" << range.status << std::dec << ", " << range.minimum << " to " << range.maximum;
}

FrequencyRange RangeOf(CUSBAudioClock& clock, ULONG low = 0, ULONG high = kAnyRate) {
    FrequencyRange range{STATUS_PENDING, 1, 1};
    range.status = clock.GetFrequencyRange(&range.minimum, &range.maximum, low, high);
    return range;
}

// What GetVolumeRange answers, in 1/256 dB.
struct VolumeRange {
    NTSTATUS status;
    SHORT minimum;
    SHORT maximum;
    USHORT resolution;
    bool operator==(const VolumeRange&) const = default;
};

void PrintTo(const VolumeRange& range, std::ostream* out) {
    *out << std::hex << "status 0x" << range.status << std::dec << ", " << range.minimum << " to " << range.maximum
         << " by " << range.resolution;
}

VolumeRange VolumeRangeOf(CUSBAudioFeatureUnit& unit, ULONG channel) {
    VolumeRange range{STATUS_PENDING, 1, 1, 1};
    range.status = unit.GetVolumeRange(channel, &range.minimum, &range.maximum, &range.resolution);
    return range;
}

std::string NameOf(const CUSBAudioEntity& entity) {
    char name[32] = {};
    entity.GetName(name, sizeof name);
    return name;
}

simusb::RequestMatch ClassOneGet(UCHAR bRequest, UCHAR entity, UCHAR selector, UCHAR channel) {
    simusb::RequestMatch m;
    m.bmRequestType = uac::kGetInterfaceRequest;
    m.bRequest = bRequest;
    m.wValue = static_cast<uint16_t>(selector << 8 | channel);
    m.entity = entity;
    return m;
}

// ---------------------------------------------------------------- clock sources

struct RateCase {
    const char* what;
    std::vector<RateRange> subranges;
    ULONG rate;
    bool supported;
};

TEST(ClockSource, SupportsARateOnlyWhereASubrangeHoldsIt) {
    const RateCase cases[] = {
        {"one discrete subrange", {{44100, 44100, 0}}, 44100, true},
        {"one discrete subrange, another rate", {{44100, 44100, 0}}, 48000, false},
        {"continuous without resolution: no rate at all", {{44100, 192000, 0}}, 44100, false},
        {"continuous without resolution, inside", {{44100, 192000, 0}}, 96000, false},
        {"continuous without resolution, at the top", {{44100, 192000, 0}}, 192000, false},
        {"stepped, on a step", {{32000, 96000, 16000}}, 48000, true},
        {"stepped, between steps", {{32000, 96000, 16000}}, 44100, false},
        {"stepped, past the top", {{32000, 96000, 16000}}, 112000, false},
        {"second of three subranges", {{44100, 44100, 0}, {48000, 48000, 0}, {96000, 96000, 0}}, 48000, true},
    };
    for (const RateCase& c : cases) {
        auto world = Started(Q7WithRates(c.subranges));
        CUSBAudioClockSource* clock = ClockSource(*world, kQ7Clock);
        ASSERT_NE(clock, nullptr);
        EXPECT_EQ(clock->IsFrequencySupported(c.rate), c.supported ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED)
            << c.what << ", rate " << c.rate;
    }
}

TEST(ClockSource, RangeIsSeededByTheFirstSubrangeAndWidenedWithinTheLimits) {
    auto world = Started(Q7WithRates({{44100, 44100, 0}, {48000, 48000, 0}, {96000, 96000, 0}}));
    CUSBAudioClockSource* clock = ClockSource(*world, kQ7Clock);
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(RangeOf(*clock), (FrequencyRange{STATUS_SUCCESS, 44100, 96000}));
    EXPECT_EQ(RangeOf(*clock, 48000), (FrequencyRange{STATUS_SUCCESS, 44100, 96000}))
        << "the first subrange seeds the minimum whatever the low limit";
    EXPECT_EQ(RangeOf(*clock, 0, 48000), (FrequencyRange{STATUS_SUCCESS, 44100, 48000}))
        << "96000 lies above the high limit";
    // Two reads each: the count, then the whole list.
    EXPECT_EQ(world->Device().Requests().Count(match::GetRange(kQ7Clock, uac::kClockFrequencyControl)), 6u);
}

TEST(ClockSource, RangeShorterThanItsCountUsesOnlyWhatCameBack) {
    auto device = simusb::MakeAudioDevice(DescriptionOf("q7-0b31"));  // 11 discrete rates from 32 kHz
    // Three whole subranges and half of a fourth.
    device->Faults().Add(simusb::TruncateReply(match::GetRange(kQ7Clock, uac::kClockFrequencyControl), 2 + 12 * 3 + 6));
    auto world = Started(std::move(device));
    CUSBAudioClockSource* clock = ClockSource(*world, kQ7Clock);
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(RangeOf(*clock), (FrequencyRange{STATUS_SUCCESS, 32000, 48000}));
    EXPECT_EQ(clock->IsFrequencySupported(44100), STATUS_SUCCESS);
    EXPECT_EQ(clock->IsFrequencySupported(88200), STATUS_NOT_SUPPORTED) << "the half subrange is not used";
    EXPECT_EQ(clock->IsFrequencySupported(768000), STATUS_NOT_SUPPORTED);
}

TEST(ClockSource, SubrangeCountBeyondSixteenBitsIsUnsuccessfulAfterOneRead) {
    for (USHORT claimed : {USHORT{5461}, USHORT{5462}, USHORT{0xFFFF}}) {
        auto device = simusb::MakeAudioDevice(DescriptionOf("q7-0b31"));
        device->Faults().Add(simusb::PatchReply(match::GetRange(kQ7Clock, uac::kClockFrequencyControl), 0,
                                                {static_cast<uint8_t>(claimed), static_cast<uint8_t>(claimed >> 8)}));
        auto world = Started(std::move(device));
        CUSBAudioClockSource* clock = ClockSource(*world, kQ7Clock);
        ASSERT_NE(clock, nullptr);
        auto reads = [&] {
            return world->Device().Requests().Count(match::GetRange(kQ7Clock, uac::kClockFrequencyControl));
        };
        FrequencyRange range = RangeOf(*clock);
        if (claimed == 5461) {
            // 2 + 12 * 5461 bytes still fit wLength; the device sends its 11.
            EXPECT_EQ(range, (FrequencyRange{STATUS_SUCCESS, 32000, 768000}));
            EXPECT_EQ(reads(), 2u);
        } else {
            EXPECT_EQ(range.status, STATUS_UNSUCCESSFUL) << claimed << " subranges";
            EXPECT_EQ(reads(), 1u) << "the count, never the list";
            EXPECT_EQ(clock->IsFrequencySupported(48000), STATUS_UNSUCCESSFUL) << claimed << " subranges";
        }
    }
}

// A clock that settles 50 ms after a rate change reads valid before the
// change, not valid during the settle time, and valid after it.
void ExpectValidOnlyOutsideTheSettleTime(CUSBAudioClock& clock, ULONG newRate) {
    EXPECT_TRUE(clock.IsValid());
    ASSERT_EQ(clock.SetFrequency(newRate), STATUS_SUCCESS);
    EXPECT_FALSE(clock.IsValid());
    kmtest::SleepMs(30);
    EXPECT_FALSE(clock.IsValid()) << "30 ms into the settle time";
    kmtest::SleepMs(30);
    EXPECT_TRUE(clock.IsValid()) << "60 ms after the change";
}

TEST(ClockSource, ValidityFollowsTheSettleTimeAfterARateChange) {
    auto world = Started("q7-0b31");  // settles 50 ms after a change
    CUSBAudioClockSource* clock = ClockSource(*world, kQ7Clock);
    ASSERT_NE(clock, nullptr);
    ExpectValidOnlyOutsideTheSettleTime(*clock, 96000);
    EXPECT_EQ(world->Device().Requests().Count(match::GetCur(kQ7Clock, uac::kClockValidityControl)), 4u);
}

TEST(ClockSource, WithoutTheValidityControlIsValidWithoutAsking) {
    simusb::AudioDescription d = DescriptionOf("q7-0b31");
    d.clocks.at(0).validity = Access::None;
    auto world = Started(d);
    CUSBAudioClockSource* clock = ClockSource(*world, kQ7Clock);
    ASSERT_NE(clock, nullptr);
    ASSERT_EQ(clock->SetFrequency(96000), STATUS_SUCCESS);
    EXPECT_TRUE(clock->IsValid()) << "even inside the settle time";
    EXPECT_EQ(world->Device().Requests().Count(match::GetCur(kQ7Clock, uac::kClockValidityControl)), 0u);
}

TEST(ClockSource, ValidityRequestThatFailsMeansNotValid) {
    auto device = simusb::MakeAudioDevice(DescriptionOf("q7-0b31"));
    device->Faults().Add(simusb::StallRequest(match::GetCur(kQ7Clock, uac::kClockValidityControl)));
    auto world = Started(std::move(device));
    CUSBAudioClockSource* clock = ClockSource(*world, kQ7Clock);
    ASSERT_NE(clock, nullptr);
    EXPECT_FALSE(clock->IsValid());
}

TEST(ClockSource, FrequencyRoundTripsThroughTheDevice) {
    auto world = Started("q7-0b31");
    CUSBAudioClockSource* clock = ClockSource(*world, kQ7Clock);
    ASSERT_NE(clock, nullptr);
    ULONG rate = 0;
    ASSERT_EQ(clock->GetFrequency(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u);
    ASSERT_EQ(clock->SetFrequency(705600), STATUS_SUCCESS);
    EXPECT_EQ(world->Device().Uac2()->Rate(kQ7Clock), 705600u);
    ASSERT_EQ(clock->GetFrequency(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 705600u);
    const simusb::LoggedRequest* set =
        world->Device().Requests().Last(match::SetCur(kQ7Clock, uac::kClockFrequencyControl));
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->outData, (std::vector<uint8_t>{0x40, 0xC4, 0x0A, 0x00})) << "4 bytes, little-endian";

    EXPECT_FALSE(NT_SUCCESS(clock->SetFrequency(50000))) << "the device refuses a rate it does not offer";
    ASSERT_EQ(clock->GetFrequency(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 705600u);
}

// A clock whose frequency control is not host programmable stalls SET CUR:
// it is never sent one, and takes only the rate it runs at.
TEST(ClockSource, AFixedClockIsNeverSetAndTakesOnlyItsOwnRate) {
    const auto setRate = match::SetCur(kFixedClock, uac::kClockFrequencyControl);
    {
        auto world = Started("uac2-fixed-clock");
        CUSBAudioClockSource* clock = ClockSource(*world, kFixedClock);
        ASSERT_NE(clock, nullptr);
        EXPECT_EQ(clock->SetFrequency(48000), STATUS_SUCCESS) << "its current value";
        EXPECT_EQ(clock->SetFrequency(44100), STATUS_NOT_SUPPORTED);
        EXPECT_TRUE(clock->IsValid()) << "no validity control";
        EXPECT_EQ(world->Device().Requests().Count(setRate), 0u);
    }
    // When its current value cannot be read, its range tells its rate.
    auto device = simusb::MakeAudioDevice(DescriptionOf("uac2-fixed-clock"));
    device->Faults().Add(simusb::StallRequest(match::GetCur(kFixedClock, uac::kClockFrequencyControl)));
    auto world = Started(std::move(device));
    CUSBAudioClockSource* clock = ClockSource(*world, kFixedClock);
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(clock->SetFrequency(48000), STATUS_SUCCESS);
    EXPECT_EQ(clock->SetFrequency(96000), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(world->Device().Requests().Count(setRate), 0u);
}

// ---------------------------------------------------------------- clock selectors

TEST(ClockSelector, SetsTheFirstInputThatTakesTheRateAndSelectsIt) {
    auto world = Started("uac2-clock-selector");  // pin 1: 44.1 kHz family, pin 2: 48 kHz family
    CUSBAudioClockSelector* selector = ClockSelector(*world, kSelector);
    ASSERT_NE(selector, nullptr);
    simusb::RequestLog& log = world->Device().Requests();

    ASSERT_EQ(selector->SetFrequency(96000), STATUS_SUCCESS);
    EXPECT_EQ(world->Device().Uac2()->Rate(kSelectorClock48), 96000u);
    EXPECT_EQ(world->Device().Uac2()->SelectorPin(kSelector), 2);
    EXPECT_EQ(log.Count(match::SetCur(kSelectorClock44, uac::kClockFrequencyControl)), 0u)
        << "the first input rejected the rate";
    const simusb::LoggedRequest* select = log.Last(match::SetCur(kSelector, uac::kClockSelectorControl));
    ASSERT_NE(select, nullptr);
    EXPECT_EQ(select->outData, std::vector<uint8_t>{2});

    ULONG rate = 0;
    ASSERT_EQ(selector->GetFrequency(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 96000u);
    ULONG index = 9;
    ASSERT_EQ(selector->GetSelectedInput(&index), STATUS_SUCCESS);
    EXPECT_EQ(index, 1u);

    ASSERT_EQ(selector->SetFrequency(88200), STATUS_SUCCESS);
    EXPECT_EQ(world->Device().Uac2()->SelectorPin(kSelector), 1);
    EXPECT_EQ(world->Device().Uac2()->Rate(kSelectorClock44), 88200u);
    EXPECT_EQ(selector->SetFrequency(50000), STATUS_NOT_SUPPORTED) << "no input takes it";
}

TEST(ClockSelector, RangeAndSupportSpanEveryInput) {
    auto world = Started("uac2-clock-selector");
    CUSBAudioClockSelector* selector = ClockSelector(*world, kSelector);
    ASSERT_NE(selector, nullptr);
    EXPECT_EQ(RangeOf(*selector), (FrequencyRange{STATUS_SUCCESS, 44100, 192000}));
    EXPECT_EQ(selector->IsFrequencySupported(176400), STATUS_SUCCESS);
    EXPECT_EQ(selector->IsFrequencySupported(192000), STATUS_SUCCESS);
    EXPECT_EQ(selector->IsFrequencySupported(32000), STATUS_NOT_SUPPORTED);
}

TEST(ClockSelector, ValidityIsTheSelectedInputs) {
    simusb::AudioDescription d = DescriptionOf("uac2-clock-selector");
    d.clocks.at(1).settle_ns = 50 * 1000000;  // clock 22
    auto world = Started(d);
    CUSBAudioClockSelector* selector = ClockSelector(*world, kSelector);
    ASSERT_NE(selector, nullptr);
    ExpectValidOnlyOutsideTheSettleTime(*selector, 192000);
    EXPECT_GT(world->Device().Requests().Count(match::GetCur(kSelectorClock48, uac::kClockValidityControl)), 0u);
}

TEST(ClockSelector, SelectedInputAsksTheDeviceOnlyWhenThereIsAChoice) {
    {
        auto world = Started("uac2-clock-selector");
        CUSBAudioClockSelector* selector = ClockSelector(*world, kSelector);
        ASSERT_NE(selector, nullptr);
        ULONG index = 9;
        ASSERT_EQ(selector->GetSelectedInput(&index), STATUS_SUCCESS);
        EXPECT_EQ(index, 0u) << "pin 1 is index 0";
        EXPECT_EQ(world->Device().Requests().Count(match::GetCur(kSelector, uac::kClockSelectorControl)), 1u);
    }
    {
        simusb::AudioDescription d = DescriptionOf("uac2-clock-selector");
        d.clockSelectors.at(0).sources = {kSelectorClock44};
        auto world = Started(d);
        CUSBAudioClockSelector* selector = ClockSelector(*world, kSelector);
        ASSERT_NE(selector, nullptr);
        ULONG index = 9;
        ASSERT_EQ(selector->GetSelectedInput(&index), STATUS_SUCCESS);
        EXPECT_EQ(index, 0u);
        ULONG rate = 0;
        ASSERT_EQ(selector->GetFrequency(&rate), STATUS_SUCCESS);
        EXPECT_EQ(rate, 44100u);
        EXPECT_EQ(world->Device().Requests().Count(match::GetCur(kSelector, uac::kClockSelectorControl)), 0u)
            << "one pin: nothing to ask";
    }
    {
        simusb::AudioDescription d = DescriptionOf("uac2-clock-selector");
        d.clockSelectors.at(0).sources = {};
        auto world = std::make_unique<ClassLayerWorld>(simusb::MakeAudioDevice(d));
        world->StartAndConfigure();  // the terminals' clock leads nowhere; the entities still exist
        CUSBAudioClockSelector* selector = ClockSelector(*world, kSelector);
        ASSERT_NE(selector, nullptr);
        ULONG index = 9;
        EXPECT_EQ(selector->GetSelectedInput(&index), STATUS_UNSUCCESSFUL);
        ULONG rate = 0;
        EXPECT_EQ(selector->GetFrequency(&rate), STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(selector->IsValid());
        EXPECT_EQ(selector->IsFrequencySupported(48000), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(selector->SetFrequency(48000), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(world->Device().Requests().Count(match::GetCur(kSelector, uac::kClockSelectorControl)), 0u);
    }
}

TEST(ClockSelector, PinNumberOutsideItsInputsGivesNoClock) {
    auto device = simusb::MakeAudioDevice(DescriptionOf("uac2-clock-selector"));
    device->Faults().Add(simusb::ReplaceReply(match::GetCur(kSelector, uac::kClockSelectorControl), {0}));
    auto world = Started(std::move(device));
    CUSBAudioClockSelector* selector = ClockSelector(*world, kSelector);
    ASSERT_NE(selector, nullptr);
    ULONG rate = 0;
    EXPECT_EQ(selector->GetFrequency(&rate), STATUS_NOT_SUPPORTED) << "pin 0 does not exist";
    EXPECT_FALSE(selector->IsValid());
}

// ---------------------------------------------------------------- terminals

TEST(Terminal, ConnectorStateReportsPluggedEmptyOrUnknown) {
    auto world = Started("q7-0b31");  // IT 3 and OT 2 have a read-only connector control, IT 1 none
    CUSBAudioTerminal* lineIn = Terminal(*world, kQ7LineIn);
    CUSBAudioTerminal* lineOut = Terminal(*world, kQ7LineOut);
    CUSBAudioTerminal* fromHost = Terminal(*world, kQ7FromHost);
    ASSERT_TRUE(lineIn != nullptr && lineOut != nullptr && fromHost != nullptr);
    simusb::RequestLog& log = world->Device().Requests();

    EXPECT_TRUE(lineIn->HasConnectorControl());
    EXPECT_EQ(lineIn->GetConnectorState(), 1u);
    EXPECT_EQ(lineOut->GetConnectorState(), 1u);
    world->Device().Uac2()->SetConnector(kQ7LineIn, simusb::ConnectorState{});
    EXPECT_EQ(lineIn->GetConnectorState(), 0u) << "no channels: nothing plugged in";
    EXPECT_EQ(log.Count(match::GetCur(kQ7LineIn, uac::kConnectorControl)), 2u);

    EXPECT_FALSE(fromHost->HasConnectorControl());
    EXPECT_EQ(fromHost->GetConnectorState(), CUSBAudioEntity::kNone);
    EXPECT_EQ(log.Count(match::GetCur(kQ7FromHost, uac::kConnectorControl)), 0u);

    world->Device().Faults().Add(simusb::StallRequest(match::GetCur(kQ7LineOut, uac::kConnectorControl)));
    EXPECT_EQ(lineOut->GetConnectorState(), CUSBAudioEntity::kNone) << "a failed request is unknown";
}

TEST(Terminal, ConnectorFieldDecidesWhetherTheControlExists) {
    const struct {
        Access field;
        bool present;
    } cases[] = {
        {Access::None, false},
        {Access::ReadOnly, true},
        {static_cast<Access>(2), false},  // 10: not a valid field value
        {Access::Programmable, true},
    };
    for (const auto& c : cases) {
        simusb::AudioDescription d = DescriptionOf("q7-0b31");
        d.terminals.at(2).connector = c.field;  // IT 3, the line input
        auto world = Started(d);
        CUSBAudioTerminal* lineIn = Terminal(*world, kQ7LineIn);
        ASSERT_NE(lineIn, nullptr);
        unsigned field = static_cast<unsigned>(c.field);
        EXPECT_EQ(static_cast<unsigned>(lineIn->GetControls() >> 2 & 3), field);
        EXPECT_EQ(lineIn->HasConnectorControl(), c.present) << "field " << field;
        EXPECT_EQ(lineIn->GetConnectorState(), c.present ? 1u : CUSBAudioEntity::kNone) << "field " << field;
        EXPECT_EQ(world->Device().Requests().Count(match::GetCur(kQ7LineIn, uac::kConnectorControl)), c.present ? 1u : 0u)
            << "field " << field;
    }
}

TEST(Terminal, ClassOneTerminalsHaveNoClockAndNoControls) {
    auto world = Started("uac1-duplex");
    for (UCHAR id : {UCHAR{1}, UCHAR{3}, UCHAR{4}, UCHAR{5}}) {
        CUSBAudioTerminal* terminal = Terminal(*world, id);
        ASSERT_NE(terminal, nullptr);
        EXPECT_EQ(terminal->GetClockSourceID(), CUSBAudioEntity::kNone) << "terminal " << int{id};
        EXPECT_EQ(terminal->Clock(), nullptr);
        EXPECT_EQ(terminal->GetControls(), 0);
        EXPECT_EQ(terminal->GetConnectorState(), CUSBAudioEntity::kNone);
    }
    EXPECT_EQ(Terminal(*world, 4)->TerminalType(), uac::kTerminalMicrophone);
}

// ---------------------------------------------------------------- feature units

TEST(FeatureUnit, MuteAndVolumeRoundTripThroughTheDevice) {
    auto world = Started("q7-0b31");  // FU 10: master mute and volume, programmable
    CUSBAudioFeatureUnit* unit = FeatureUnit(*world, kQ7FeatureUnit);
    ASSERT_NE(unit, nullptr);
    simusb::FeatureUnitState* state = world->Device().Uac2()->FeatureUnit(kQ7FeatureUnit);

    ASSERT_EQ(unit->SetMute(0, 1), STATUS_SUCCESS);
    EXPECT_TRUE(state->Muted(0));
    UCHAR mute = 0;
    ASSERT_EQ(unit->GetMute(0, &mute), STATUS_SUCCESS);
    EXPECT_EQ(mute, 1);
    ASSERT_EQ(unit->SetMute(0, 0), STATUS_SUCCESS);
    ASSERT_EQ(unit->GetMute(0, &mute), STATUS_SUCCESS);
    EXPECT_EQ(mute, 0);

    ASSERT_EQ(unit->SetVolume(0, -12 * 256), STATUS_SUCCESS);
    EXPECT_EQ(state->Volume(0), -12 * 256);
    SHORT volume = 0;
    ASSERT_EQ(unit->GetVolume(0, &volume), STATUS_SUCCESS);
    EXPECT_EQ(volume, -12 * 256);
    const simusb::LoggedRequest* set =
        world->Device().Requests().Last(match::SetCur(kQ7FeatureUnit, uac::kVolumeControl));
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->outData, (std::vector<uint8_t>{0x00, 0xF4}));

    EXPECT_EQ(VolumeRangeOf(*unit, 0), (VolumeRange{STATUS_SUCCESS, -127 * 256, 0, 256}));
    const simusb::LoggedRequest* range =
        world->Device().Requests().Last(match::GetRange(kQ7FeatureUnit, uac::kVolumeControl));
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->setup.wLength, 8);
}

TEST(FeatureUnit, ReadOnlyControlIsRefusedForSetWithoutATransfer) {
    auto world = Started("uac2-async-dac");  // FU 6: master volume read-only, channel volumes programmable
    CUSBAudioFeatureUnit* unit = FeatureUnit(*world, kDacFeatureUnit);
    ASSERT_NE(unit, nullptr);
    simusb::RequestLog& log = world->Device().Requests();
    log.Clear();
    EXPECT_EQ(unit->SetVolume(0, -256), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(log.Entries().empty()) << "refused before anything reached the device";

    SHORT volume = 1;
    EXPECT_EQ(unit->GetVolume(0, &volume), STATUS_SUCCESS) << "present, so it can be read";
    EXPECT_EQ(unit->SetVolume(1, -3 * 256), STATUS_SUCCESS);
    EXPECT_EQ(world->Device().Uac2()->FeatureUnit(kDacFeatureUnit)->Volume(1), -3 * 256);

    EXPECT_EQ(VolumeRangeOf(*unit, 2), (VolumeRange{STATUS_SUCCESS, -100 * 256, 0, 128}));
}

TEST(FeatureUnit, RequestsTheClassDoesNotDefineAreRefusedWithoutATransfer) {
    auto world = Started("uac2-async-dac");
    CUSBAudioFeatureUnit* unit = FeatureUnit(*world, kDacFeatureUnit);
    ASSERT_NE(unit, nullptr);
    const struct {
        const char* what;
        bool get;
        UCHAR request;
        ULONG control;
        ULONG channel;
        USHORT length;
    } refused[] = {
        {"volume GET of 1 byte", true, kRequestCur, kControlVolume, 1, 1},
        {"volume GET of 4 bytes", true, kRequestCur, kControlVolume, 1, 4},
        {"volume RANGE of 2 bytes", true, kRequestRange, kControlVolume, 1, 2},
        {"volume SET RANGE", false, kRequestRange, kControlVolume, 1, 8},
        {"volume MIN on class 2.0", true, kRequestMax, kControlVolume, 1, 2},
        {"mute of 2 bytes", true, kRequestCur, kControlMute, 0, 2},
        {"mute RANGE", true, kRequestRange, kControlMute, 0, 1},
        {"mute on a channel without it", true, kRequestCur, kControlMute, 1, 1},
        {"volume past the last channel", true, kRequestCur, kControlVolume, 3, 2},
        {"bass", true, kRequestCur, kControlBass, 0, 1},
    };
    simusb::RequestLog& log = world->Device().Requests();
    log.Clear();
    for (const auto& r : refused) {
        UCHAR buffer[8] = {};
        EXPECT_EQ(unit->ControlRequest(r.get, r.request, r.control, r.channel, r.length, buffer), STATUS_NOT_SUPPORTED)
            << r.what;
    }
    EXPECT_TRUE(log.Entries().empty());
}

TEST(FeatureUnit, ControlsAreReadFromTheBitmapsOfClassTwo) {
    auto world = Started("uac2-async-dac");
    CUSBAudioFeatureUnit* unit = FeatureUnit(*world, kDacFeatureUnit);
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->GetChannelCount(), 3u);
    EXPECT_TRUE(unit->HasControl(kControlMute));
    EXPECT_TRUE(unit->HasControl(kControlVolume));
    EXPECT_FALSE(unit->HasControl(kControlBass));
    EXPECT_FALSE(unit->HasControl(kControlOverflow));
    EXPECT_TRUE(unit->HasControlOnChannel(0, kControlMute, kControlProgrammable));
    EXPECT_TRUE(unit->HasControlOnChannel(0, kControlVolume, kControlPresent));
    EXPECT_FALSE(unit->HasControlOnChannel(0, kControlVolume, kControlProgrammable));
    EXPECT_TRUE(unit->HasControlOnChannel(2, kControlVolume, kControlProgrammable));
    EXPECT_FALSE(unit->HasControlOnChannel(1, kControlMute, kControlPresent));
    EXPECT_FALSE(unit->HasControlOnChannel(3, kControlVolume, kControlPresent)) << "past the last bitmap";
    EXPECT_EQ(unit->Source(), world->Layer().FindEntity(1));
    EXPECT_EQ(unit->GetSourceID(0), 1u);
    EXPECT_EQ(unit->GetSourceID(7), 1u) << "any pin";
}

TEST(FeatureUnit, ClassOneUsesControlBitsAndMinMaxResRequests) {
    auto world = Started("uac1-duplex");  // FU 2: master mute, volume on channels 1 and 2
    CUSBAudioFeatureUnit* unit = FeatureUnit(*world, kUac1FeatureUnit);
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->GetChannelCount(), 3u);
    EXPECT_TRUE(unit->HasControl(kControlMute));
    EXPECT_TRUE(unit->HasControl(kControlVolume));
    EXPECT_FALSE(unit->HasControl(kControlBass));
    EXPECT_TRUE(unit->HasControlOnChannel(1, kControlVolume, kControlProgrammable)) << "one bit: present is settable";
    EXPECT_FALSE(unit->HasControlOnChannel(0, kControlVolume, kControlPresent));
    EXPECT_FALSE(unit->HasControl(kControlInputGain)) << "class 2.0 only";

    simusb::RequestLog& log = world->Device().Requests();
    log.Clear();
    ASSERT_EQ(unit->SetVolume(1, -5 * 256), STATUS_SUCCESS);
    EXPECT_EQ(world->Device().Uac1()->FeatureUnit(kUac1FeatureUnit)->Volume(1), -5 * 256);
    SHORT volume = 0;
    ASSERT_EQ(unit->GetVolume(1, &volume), STATUS_SUCCESS);
    EXPECT_EQ(volume, -5 * 256);
    EXPECT_EQ(log.Count(ClassOneGet(uac::kGetCur1, kUac1FeatureUnit, uac::kVolumeControl, 1)), 1u);

    EXPECT_EQ(VolumeRangeOf(*unit, 1), (VolumeRange{STATUS_SUCCESS, -127 * 256, 0, 256}));
    ASSERT_EQ(log.Entries().size(), 5u);
    EXPECT_EQ(log.Entries()[2].setup.bRequest, uac::kGetMin1);
    EXPECT_EQ(log.Entries()[3].setup.bRequest, uac::kGetMax1);
    EXPECT_EQ(log.Entries()[4].setup.bRequest, uac::kGetRes1);

    UCHAR mute = 0;
    ASSERT_EQ(unit->SetMute(0, 1), STATUS_SUCCESS);
    ASSERT_EQ(unit->GetMute(0, &mute), STATUS_SUCCESS);
    EXPECT_EQ(mute, 1);
    log.Clear();
    EXPECT_EQ(unit->SetVolume(0, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(unit->GetMute(1, &mute), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(log.Entries().empty());
}

TEST(FeatureUnit, ClassOneVolumeRangeStopsAtTheFirstFailure) {
    auto device = simusb::MakeAudioDevice(DescriptionOf("uac1-duplex"));
    device->Faults().Add(simusb::StallRequest(ClassOneGet(uac::kGetMax1, kUac1FeatureUnit, uac::kVolumeControl, 1)));
    auto world = Started(std::move(device));
    CUSBAudioFeatureUnit* unit = FeatureUnit(*world, kUac1FeatureUnit);
    ASSERT_NE(unit, nullptr);
    simusb::RequestLog& log = world->Device().Requests();
    log.Clear();
    EXPECT_FALSE(NT_SUCCESS(VolumeRangeOf(*unit, 1).status));
    EXPECT_EQ(log.Entries().size(), 2u) << "MIN, then MAX failed; no RES";
}

// ---------------------------------------------------------------- names and links

TEST(Entity, NamesCarryTheKindAndTheId) {
    {
        auto q7 = Started("q7-0b31");
        EXPECT_EQ(NameOf(*q7->Layer().FindEntity(kQ7FromHost)), "IT(1)");
        EXPECT_EQ(NameOf(*q7->Layer().FindEntity(kQ7LineOut)), "OT(2)");
        EXPECT_EQ(NameOf(*q7->Layer().FindEntity(kQ7FeatureUnit)), "Feature(10)");
        EXPECT_EQ(NameOf(*q7->Layer().FindEntity(kQ7Clock)), "ClockSource(41)");

        char small[8];
        std::memset(small, 'x', sizeof small);
        q7->Layer().FindEntity(kQ7FeatureUnit)->GetName(small, 5);
        EXPECT_STREQ(small, "Feat") << "cut to the buffer, terminated";
        EXPECT_EQ(small[5], 'x') << "nothing written past it";
    }
    auto selectorDevice = Started("uac2-clock-selector");
    EXPECT_EQ(NameOf(*selectorDevice->Layer().FindEntity(23)), "ClockSelector(23)");
    EXPECT_EQ(NameOf(*selectorDevice->Layer().FindEntity(kSelectorMixer)), "Dummy(6)") << "a mixer unit";
    EXPECT_EQ(NameOf(*selectorDevice->Layer().FindEntity(kSelectorExtension)), "Dummy(11)") << "an extension unit";
}

TEST(Entity, LinksFindTheEntitiesTheDescriptorsName) {
    {
    auto world = Started("q7-0b31");
    CUSBAudioCL& layer = world->Layer();
    for (CUSBAudioEntity* entity = layer.Entities(); entity != nullptr; entity = entity->Next()) {
        EXPECT_EQ(entity->Link(), STATUS_SUCCESS) << NameOf(*entity);
    }
    auto* lineOut = static_cast<CUSBAudioOutputTerminal*>(Terminal(*world, kQ7LineOut));
    EXPECT_EQ(lineOut->Source(), layer.FindEntity(kQ7FeatureUnit));
    EXPECT_EQ(lineOut->Clock(), layer.FindEntity(kQ7Clock));
    EXPECT_EQ(lineOut->GetSourceID(0), kQ7FeatureUnit);
    EXPECT_EQ(lineOut->GetClockSourceID(), kQ7Clock);
    EXPECT_EQ(Terminal(*world, kQ7FromHost)->Clock(), layer.FindEntity(kQ7Clock));
    EXPECT_EQ(Terminal(*world, kQ7FromHost)->GetSourceID(0), CUSBAudioEntity::kNone);
    EXPECT_EQ(layer.FindEntity(kQ7Clock)->GetSourceID(0), CUSBAudioEntity::kNone);
    }
    auto selectorDevice = Started("uac2-clock-selector");
    CUSBAudioClockSelector* selector = ClockSelector(*selectorDevice, kSelector);
    ASSERT_NE(selector, nullptr);
    EXPECT_EQ(selector->GetSourceID(0), kSelectorClock44);
    EXPECT_EQ(selector->GetSourceID(1), kSelectorClock48);
    EXPECT_EQ(selector->GetSourceID(2), CUSBAudioEntity::kNone);
    EXPECT_EQ(selectorDevice->Layer().FindEntity(kSelectorMixer)->Link(), STATUS_SUCCESS) << "a dummy unit links to nothing";
}

TEST(Entity, LinkToAMissingEntityIsNotSupported) {
    const struct {
        const char* what;
        UCHAR entity;
        size_t byte;
    } cases[] = {
        {"feature unit source", kQ7FeatureUnit, 4},
        {"input terminal clock", kQ7FromHost, 7},
        {"output terminal source", kQ7LineOut, 7},
        {"output terminal clock", kQ7LineOut, 8},
    };
    for (const auto& c : cases) {
        RawDevice raw(DescriptionOf("q7-0b31"));
        size_t at = kerneltest::FindEntityDescriptor(raw.Configuration(), c.entity);
        ASSERT_NE(at, kerneltest::kNotFound);
        raw.Configuration().at(at + c.byte) = 99;
        ClassLayerWorld world(raw.Make());
        world.StartAndConfigure();  // the status is the last entity's link
        CUSBAudioEntity* entity = world.Layer().FindEntity(c.entity);
        ASSERT_NE(entity, nullptr) << c.what;
        EXPECT_EQ(entity->Link(), STATUS_NOT_SUPPORTED) << c.what;
    }
}

// The capture stream's terminal is an output terminal: without a source it
// still runs from its clock, or no capture format could ever be selected.
TEST(Entity, OutputTerminalWithoutASourceStillLinksItsClock) {
    RawDevice raw(DescriptionOf("q7-0b31"));
    size_t at = kerneltest::FindEntityDescriptor(raw.Configuration(), kQ7ToHost);
    ASSERT_NE(at, kerneltest::kNotFound);
    raw.Configuration().at(at + 7) = 99;  // bSourceID names nothing
    ClassLayerWorld world(raw.Make());
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS) << "the feature unit links last";
    auto* toHost = static_cast<CUSBAudioOutputTerminal*>(Terminal(world, kQ7ToHost));
    ASSERT_NE(toHost, nullptr);
    EXPECT_EQ(toHost->Link(), STATUS_NOT_SUPPORTED) << "the missing source is reported";
    EXPECT_EQ(toHost->Source(), nullptr);
    EXPECT_EQ(toHost->Clock(), world.Layer().FindEntity(kQ7Clock));
    ULONG channels = 0;
    ULONG bits = 0;
    EXPECT_EQ(world.Layer().FindFormat(1, 1, 4, 24, 48000, &channels, &bits), STATUS_SUCCESS);
}

}  // namespace
