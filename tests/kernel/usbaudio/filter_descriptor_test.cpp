// The WaveRT filter description the class layer builds from the audio
// model: pins, nodes, connections and data ranges, against hand-described
// topologies and every ready-made device, and its allocation failures.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "class_layer_world.h"
#include "descriptor_edits.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"
#include "simusb/audio_codes.h"
#include "simusb/ready_made_devices.h"

namespace {

using kerneltest::ClassLayerWorld;
using simusb::Access;
using vq7::FilterElement;
namespace desc = simusb::desc;
namespace uac = simusb::uac;

constexpr ULONG kPin = PCFILTER_NODE;

desc::Terminal Terminal(uint8_t id, desc::TerminalKind kind, uint16_t type, uint8_t source, uint8_t clock) {
    desc::Terminal t;
    t.id = id;
    t.kind = kind;
    t.type = type;
    t.source = source;
    t.clock = clock;
    return t;
}

desc::FeatureUnit MuteVolume(uint8_t id, uint8_t source) {
    desc::Channel master;
    master.muteAccess = Access::Programmable;
    master.volumeAccess = Access::Programmable;
    return desc::FeatureUnit{id, source, {master, desc::Channel{}, desc::Channel{}}};
}

desc::Stream StreamOf(uint8_t terminal, uint8_t endpoint, std::vector<desc::Format> formats) {
    desc::Stream s;
    s.terminal = terminal;
    s.endpoint = endpoint;
    s.formats = std::move(formats);
    s.sync = endpoint & 0x80 ? simusb::SyncType::Async : simusb::SyncType::Sync;
    return s;
}

desc::Format Pcm(uint8_t channels, uint8_t subslot, uint8_t bits) { return desc::Format{channels, subslot, bits}; }

// IT 1 (USB) -> FU 2 -> OT 3 (speaker); IT 4 (line) -> FU 5 -> OT 6 (USB); clock 10.
simusb::AudioDescription WorkedExample() {
    using K = desc::TerminalKind;
    simusb::AudioDescription d;
    d.identity.vendorId = 0x1234;
    d.identity.productId = 0x5678;
    d.identity.manufacturer = "Maker";
    d.identity.product = "Example";
    desc::Clock clock;
    clock.id = 10;
    clock.rates = {{44100, 192000, 0}};
    d.clocks = {clock};
    d.terminals = {Terminal(1, K::Input, uac::kTerminalUsbStreaming, 0, 10),
                   Terminal(3, K::Output, uac::kTerminalSpeaker, 2, 10),
                   Terminal(4, K::Input, uac::kTerminalLineConnector, 0, 10),
                   Terminal(6, K::Output, uac::kTerminalUsbStreaming, 5, 10)};
    d.featureUnits = {MuteVolume(2, 1), MuteVolume(5, 4)};
    d.streams = {StreamOf(1, 0x01, {Pcm(2, 4, 24)}), StreamOf(6, 0x82, {Pcm(2, 4, 24)})};
    return d;
}

// A started class layer and the description it built.
struct Built {
    std::unique_ptr<ClassLayerWorld> world;
    FilterDescriptionBlock block{};
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    ~Built() {
        if (world != nullptr) {
            CUSBAudioCL::FreeFilterDescriptor(&block);
        }
    }
    const PCFILTER_DESCRIPTOR& D() const { return block.descriptor; }
    const FilterElement& Pin(ULONG i) const { return vq7::FilterPins(block)[i]; }
    const FilterElement& Node(ULONG i) const { return vq7::FilterNodes(block)[i]; }
    std::vector<std::vector<ULONG>> Connections() const {
        std::vector<std::vector<ULONG>> out;
        for (ULONG i = 0; i < D().ConnectionCount; ++i) {
            const PCCONNECTION_DESCRIPTOR& c = D().Connections[i];
            out.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
        }
        return out;
    }
};

std::unique_ptr<Built> Build(std::shared_ptr<simusb::AudioDevice> device, ULONG forcedRate = 0) {
    auto built = std::make_unique<Built>();
    built->world = std::make_unique<ClassLayerWorld>(std::move(device));
    EXPECT_EQ(built->world->StartAndConfigure(), STATUS_SUCCESS);
    if (forcedRate != 0) {
        (void)built->world->Layer().SetSampleRate(forcedRate);
    }
    built->status = built->world->Layer().BuildFilterDescriptor(&built->block);
    return built;
}

std::unique_ptr<Built> Build(const simusb::AudioDescription& d, ULONG forcedRate = 0) {
    return Build(simusb::MakeAudioDevice(d), forcedRate);
}

bool IsType(const FilterElement& node, const GUID& type) {
    return node.node.Type != nullptr && IsEqualGUID(*node.node.Type, type);
}

const KSDATARANGE_AUDIO& Range(const vq7::DataRangeList& list, ULONG i) {
    return *reinterpret_cast<const KSDATARANGE_AUDIO*>(list.dataRanges[i]);
}

TEST(FilterDescriptor, WorkedExampleGivesItsPinsNodesAndConnections) {
    auto b = Build(WorkedExample());
    ASSERT_EQ(b->status, STATUS_SUCCESS);
    const PCFILTER_DESCRIPTOR& d = b->D();
    ASSERT_EQ(d.PinCount, 4u);
    EXPECT_EQ(d.PinSize, 144u);
    EXPECT_EQ(d.NodeSize, 144u);
    const KSPIN_DESCRIPTOR& render = b->Pin(0).pin.KsPinDescriptor;
    EXPECT_EQ(render.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(render.Communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_TRUE(IsEqualGUID(*render.Category, KSCATEGORY_AUDIO));
    EXPECT_EQ(render.DataRanges, b->block.render.dataRanges);
    EXPECT_EQ(b->Pin(0).pin.MaxFilterInstanceCount, 1u);
    const KSPIN_DESCRIPTOR& speaker = b->Pin(1).pin.KsPinDescriptor;
    EXPECT_EQ(speaker.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(speaker.Communication, KSPIN_COMMUNICATION_BRIDGE);
    EXPECT_TRUE(IsEqualGUID(*speaker.Category, KSNODETYPE_SPEAKER));
    ASSERT_EQ(speaker.DataRangesCount, 1u);
    EXPECT_TRUE(IsEqualGUID(speaker.DataRanges[0]->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
    const KSPIN_DESCRIPTOR& line = b->Pin(2).pin.KsPinDescriptor;
    EXPECT_EQ(line.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(line.Communication, KSPIN_COMMUNICATION_BRIDGE);
    EXPECT_EQ(line.Category->Data1, 0xDFF219E0u + 0x0603u);
    EXPECT_EQ(b->Pin(3).pin.KsPinDescriptor.DataRanges, b->block.capture.dataRanges);
    EXPECT_EQ(b->Pin(3).pin.KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);

    ASSERT_EQ(d.NodeCount, 6u);
    EXPECT_TRUE(IsType(b->Node(0), KSNODETYPE_ADC));
    EXPECT_TRUE(IsType(b->Node(1), KSNODETYPE_DAC));
    EXPECT_TRUE(IsType(b->Node(2), KSNODETYPE_MUTE));
    EXPECT_TRUE(IsType(b->Node(3), KSNODETYPE_VOLUME));
    EXPECT_TRUE(IsType(b->Node(4), KSNODETYPE_MUTE));
    EXPECT_TRUE(IsType(b->Node(5), KSNODETYPE_VOLUME));
    EXPECT_EQ(b->Node(2).entity->GetID(), 2);
    EXPECT_EQ(b->Node(5).entity->GetID(), 5);
    EXPECT_NE(b->Node(3).node.AutomationTable, nullptr);
    EXPECT_EQ(b->Node(0).node.AutomationTable, nullptr);

    const std::vector<std::vector<ULONG>> expected = {
        {kPin, 2, 0, 1}, {0, 0, 5, 1}, {5, 0, 4, 1}, {4, 0, kPin, 3},  // capture
        {kPin, 0, 3, 1}, {3, 0, 2, 1}, {2, 0, 1, 1}, {1, 0, kPin, 1},  // render
    };
    EXPECT_EQ(b->Connections(), expected);
}

TEST(FilterDescriptor, KeepsTheFiltersAutomationTable) {
    auto world = std::make_unique<ClassLayerWorld>(simusb::MakeAudioDevice(WorkedExample()));
    ASSERT_EQ(world->StartAndConfigure(), STATUS_SUCCESS);
    PCAUTOMATION_TABLE table{};
    FilterDescriptionBlock block{};
    block.descriptor.AutomationTable = &table;
    ASSERT_EQ(world->Layer().BuildFilterDescriptor(&block), STATUS_SUCCESS);
    EXPECT_EQ(block.descriptor.AutomationTable, &table);
    CUSBAudioCL::FreeFilterDescriptor(&block);
}

TEST(FilterDescriptor, RenderOnlyDeviceHasNoAdcAndTheDacIsNodeZero) {
    auto b = Build(kerneltest::ReadyMadeDevice("uac2-async-dac"));
    ASSERT_EQ(b->status, STATUS_SUCCESS);
    ASSERT_GT(b->D().NodeCount, 0u);
    EXPECT_TRUE(IsType(b->Node(0), KSNODETYPE_DAC));
    for (ULONG i = 0; i < b->D().NodeCount; ++i) {
        EXPECT_FALSE(IsType(b->Node(i), KSNODETYPE_ADC)) << i;
    }
    EXPECT_EQ(b->block.capture.count, 0u);
}

TEST(FilterDescriptor, InputGainBecomesADeviceSpecificNodeAfterMuteAndVolume) {
    auto device = kerneltest::MakeEditedDevice(WorkedExample(), [](std::vector<uint8_t>& set) {
        size_t fu = kerneltest::FindEntityDescriptor(set, 2);
        ASSERT_NE(fu, kerneltest::kNotFound);
        set[fu + 5 + 2] |= 0x10;  // master channel: input gain (control 10) present
    });
    auto b = Build(device);
    ASSERT_EQ(b->status, STATUS_SUCCESS);
    ASSERT_EQ(b->D().NodeCount, 7u);
    EXPECT_TRUE(IsType(b->Node(2), KSNODETYPE_MUTE));
    EXPECT_TRUE(IsType(b->Node(3), KSNODETYPE_VOLUME));
    EXPECT_TRUE(IsType(b->Node(4), KSNODETYPE_DEV_SPECIFIC));
    EXPECT_EQ(b->Node(4).entity->GetID(), 2);
}

TEST(FilterDescriptor, MixerBeforeAFeatureUnitLeavesBothUnconnected) {
    simusb::AudioDescription d = WorkedExample();
    desc::Unit mixer;
    mixer.kind = desc::UnitKind::Mixer;
    mixer.id = 7;
    mixer.sources = {1};
    d.units = {mixer};
    d.featureUnits[0].source = 7;
    auto b = Build(d);
    ASSERT_EQ(b->status, STATUS_SUCCESS);
    std::set<ULONG> connected;
    for (const auto& c : b->Connections()) {
        if (c[0] != kPin) connected.insert(c[0]);
        if (c[2] != kPin) connected.insert(c[2]);
    }
    for (ULONG i = 0; i < b->D().NodeCount; ++i) {
        const FilterElement& node = b->Node(i);
        const bool unplaced = node.entity != nullptr && (node.entity->GetID() == 7 || node.entity->GetID() == 2);
        EXPECT_EQ(connected.count(i) == 0, unplaced) << "node " << i;
        if (node.entity != nullptr && node.entity->GetID() == 7) {
            EXPECT_TRUE(IsType(node, KSNODETYPE_DEV_SPECIFIC));
        }
    }
    // The render chain is left with pin 0 -> DAC -> pin 1.
    EXPECT_EQ(b->Connections().size(), 6u);
}

TEST(FilterDescriptor, ASecondBridgePinOfOneFlowStaysUnconnected) {
    simusb::AudioDescription d = WorkedExample();
    d.terminals.push_back(Terminal(8, desc::TerminalKind::Output, uac::kTerminalHeadphones, 2, 10));
    d.terminals.push_back(Terminal(9, desc::TerminalKind::Input, uac::kTerminalMicrophone, 0, 10));
    auto b = Build(d);
    ASSERT_EQ(b->status, STATUS_SUCCESS);
    ASSERT_EQ(b->D().PinCount, 6u);
    // The converters stay with the first bridge pin of each flow (pins 1 and 2).
    for (const auto& c : b->Connections()) {
        EXPECT_FALSE(c[0] == kPin && (c[1] == 4 || c[1] == 5));
        EXPECT_FALSE(c[2] == kPin && (c[3] == 4 || c[3] == 5));
    }
    EXPECT_EQ(b->Connections().size(), 8u);
    EXPECT_EQ(b->Pin(4).pin.KsPinDescriptor.Communication, KSPIN_COMMUNICATION_BRIDGE);
}

// ---- data ranges

TEST(DataRanges, ClassTwoRangeFollowsTheClockAndAForcedRateNarrowsOrDropsIt) {
    auto b = Build(WorkedExample());
    ASSERT_EQ(b->status, STATUS_SUCCESS);
    ASSERT_GE(b->block.render.count, 1u);
    const KSDATARANGE_AUDIO& r = Range(b->block.render, 0);
    EXPECT_EQ(r.DataRange.FormatSize, 88u);
    EXPECT_TRUE(IsEqualGUID(r.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUID(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
    EXPECT_EQ(r.MaximumChannels, 2u);
    EXPECT_EQ(r.MinimumBitsPerSample, 24u);
    EXPECT_EQ(r.MaximumBitsPerSample, 24u);
    EXPECT_EQ(r.MinimumSampleFrequency, 44100u);
    EXPECT_EQ(r.MaximumSampleFrequency, 192000u);

    b.reset();  // one simulation at a time
    auto at48 = Build(WorkedExample(), 48000);
    ASSERT_EQ(at48->status, STATUS_SUCCESS);
    EXPECT_EQ(Range(at48->block.render, 0).MinimumSampleFrequency, 48000u);
    EXPECT_EQ(Range(at48->block.render, 0).MaximumSampleFrequency, 48000u);
    at48.reset();

    auto at32 = Build(WorkedExample(), 32000);
    ASSERT_EQ(at32->status, STATUS_SUCCESS);
    EXPECT_EQ(at32->block.render.count, 0u);
    EXPECT_EQ(at32->Pin(0).pin.KsPinDescriptor.DataRangesCount, 0u);
}

TEST(DataRanges, WindowsEightOneAppendsTheModeAttributeListAfterTheLastRange) {
    simusb::AudioDescription d = WorkedExample();
    d.streams[0].formats = {Pcm(2, 4, 24), Pcm(2, 4, 32)};
    auto b = Build(d);
    ASSERT_EQ(b->status, STATUS_SUCCESS);
    ASSERT_EQ(b->block.render.count, 3u);
    EXPECT_EQ(Range(b->block.render, 0).DataRange.Flags, 0u);
    EXPECT_EQ(Range(b->block.render, 1).DataRange.Flags, static_cast<ULONG>(KSDATARANGE_ATTRIBUTES));
    const auto* list = reinterpret_cast<const KSATTRIBUTE_LIST*>(b->block.render.dataRanges[2]);
    ASSERT_EQ(list->Count, 1u);
    EXPECT_EQ(list->Attributes[0]->Size, 24u);
    EXPECT_TRUE(IsEqualGUID(list->Attributes[0]->Attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE));

    kmsim::SetNtddiVersion(NTDDI_WIN8);
    FilterDescriptionBlock older{};
    ASSERT_EQ(b->world->Layer().BuildFilterDescriptor(&older), STATUS_SUCCESS);
    EXPECT_EQ(older.render.count, 2u);
    EXPECT_EQ(Range(older.render, 1).DataRange.Flags, 0u);
    CUSBAudioCL::FreeFilterDescriptor(&older);
}

TEST(DataRanges, ClassOneDiscreteRatesCountOnlyTheForcedRate) {
    auto b = Build(kerneltest::ReadyMadeDevice("uac1-duplex"));
    ASSERT_EQ(b->status, STATUS_SUCCESS);
    ASSERT_GE(b->block.render.count, 1u);
    EXPECT_EQ(Range(b->block.render, 0).MinimumSampleFrequency, 44100u);
    EXPECT_EQ(Range(b->block.render, 0).MaximumSampleFrequency, 48000u);
    EXPECT_TRUE(IsEqualGUID(Range(b->block.render, 0).DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    b.reset();  // one simulation at a time
    auto forced = Build(kerneltest::ReadyMadeDevice("uac1-duplex"), 48000);
    ASSERT_GE(forced->block.render.count, 1u);
    EXPECT_EQ(Range(forced->block.render, 0).MinimumSampleFrequency, 48000u);
    EXPECT_EQ(Range(forced->block.render, 0).MaximumSampleFrequency, 48000u);
}

TEST(DataRanges, NoStreamIsAnInvalidParameter) {
    ClassLayerWorld world(simusb::MakeAudioDevice(WorkedExample()));
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    vq7::DataRangeList list{};
    EXPECT_EQ(world.Layer().BuildDataRanges(nullptr, &list), STATUS_INVALID_PARAMETER);
}

// ---- every ready-made device

void ExpectConsistent(const Built& b, const std::string& name) {
    const PCFILTER_DESCRIPTOR& d = b.D();
    ULONG terminals = 0;
    for (CUSBAudioEntity* e = b.world->Layer().Entities(); e != nullptr; e = e->Next()) {
        terminals += e->IsTerminal() ? 1 : 0;
    }
    EXPECT_EQ(d.PinCount, terminals) << name;
    EXPECT_EQ(b.world->Layer().CountPins(), terminals) << name;
    for (ULONG i = 0; i < d.PinCount; ++i) {
        const FilterElement& pin = b.Pin(i);
        EXPECT_EQ(pin.number, i) << name;
        EXPECT_EQ(pin.isPin, 1) << name;
        ASSERT_NE(pin.entity, nullptr) << name;
        EXPECT_TRUE(pin.entity->IsTerminal()) << name;
        if (pin.pin.KsPinDescriptor.Communication == KSPIN_COMMUNICATION_SINK) {
            EXPECT_GT(pin.pin.KsPinDescriptor.DataRangesCount, 0u) << name << " pin " << i;
        }
        for (ULONG r = 0; r < pin.pin.KsPinDescriptor.DataRangesCount; ++r) {
            EXPECT_NE(pin.pin.KsPinDescriptor.DataRanges[r], nullptr) << name;
        }
    }
    for (ULONG i = 0; i < d.NodeCount; ++i) {
        EXPECT_EQ(b.Node(i).number, i) << name;
        EXPECT_EQ(b.Node(i).isPin, 0) << name;
        EXPECT_NE(b.Node(i).node.Type, nullptr) << name;
    }
    std::set<std::vector<ULONG>> seen;
    for (const auto& c : b.Connections()) {
        EXPECT_TRUE(c[0] == kPin ? c[1] < d.PinCount : c[0] < d.NodeCount && c[1] == KSNODEPIN_STANDARD_OUT) << name;
        EXPECT_TRUE(c[2] == kPin ? c[3] < d.PinCount : c[2] < d.NodeCount && c[3] == KSNODEPIN_STANDARD_IN) << name;
        EXPECT_FALSE(c[0] == kPin && c[2] == kPin) << name << ": a connection between two pins";
        EXPECT_TRUE(seen.insert(c).second) << name << ": a connection twice";
    }
}

TEST(FilterDescriptor, EveryReadyMadeDeviceBuildsAConsistentDescription) {
    for (const simusb::ReadyMadeDevice& device : simusb::ReadyMadeDevices()) {
        std::string name(device.name);
        auto b = Build(std::shared_ptr<simusb::AudioDevice>(device.Make()));
        ASSERT_EQ(b->status, STATUS_SUCCESS) << name;
        ExpectConsistent(*b, name);
        EXPECT_GT(b->D().ConnectionCount, 0u) << name;
    }
}

TEST(FilterDescriptor, EveryAllocationFailureLeavesAnEmptyDescriptionAndNoLeak) {
    ClassLayerWorld world(simusb::MakeAudioDevice(WorkedExample()));
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    const uint64_t before = kmsim::OutstandingAllocations();
    ULONG failures = 0;
    for (uint64_t n = 1; n < 64; ++n) {
        FilterDescriptionBlock block{};
        const uint64_t failedBefore = kmsim::FailedAllocationCount();
        kmsim::FailNthAllocation(n);
        NTSTATUS status = world.Layer().BuildFilterDescriptor(&block);
        const bool failed = kmsim::FailedAllocationCount() > failedBefore;
        kmsim::ClearAllocationFailures();
        if (!failed) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            CUSBAudioCL::FreeFilterDescriptor(&block);
            break;
        }
        ++failures;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_EQ(block.descriptor.PinCount, 0u);
        EXPECT_EQ(block.descriptor.Pins, nullptr);
        EXPECT_EQ(block.descriptor.NodeCount, 0u);
        EXPECT_EQ(block.descriptor.ConnectionCount, 0u);
        EXPECT_EQ(block.render.count, 0u);
        EXPECT_EQ(block.capture.dataRanges, nullptr);
        EXPECT_EQ(kmsim::OutstandingAllocations(), before) << "allocation " << n;
    }
    EXPECT_GE(failures, 5u);  // the clock requests, two range lists, pins, nodes, connections
}

}  // namespace
