// CUSBAudioCL: the WaveRT filter's description, built from the audio model.
// Every terminal becomes a pin, every unit one or more nodes (a feature unit
// one per control group it has), and two converter nodes stand for the
// analogue side. Pins and nodes are threaded onto two ordered chains, one
// per flow direction, and each pair of neighbours becomes a connection:
//
//   render:  streaming IT ─> units fed by it ... ─> DAC ─> bridge OT
//   capture: bridge IT ─> ADC ─> units fed by it ... ─> streaming OT
//
// A chain holds at most one bridge pin: further bridge pins of the same
// flow stay unconnected, since a chain is one path and the converter can
// sit in one place of it only.

#include "usbaudiocl.h"

#include <ntstrsafe.h>

#include "common/pool.h"
#include "common/trace.h"
#include "descriptor_walk.h"
#include "entity_clock.h"
#include "entity_feature_unit.h"
#include "entity_terminal.h"
#include "wavert/filter_property_handlers.h"
#include "stream_format.h"

namespace vq7 {

// The two ordered chains the connections are made from.
struct FilterChains {
    LIST_ENTRY capture;
    LIST_ENTRY render;
    bool captureBridge = false;  // the capture chain holds its bridge pin
    bool renderBridge = false;

    FilterChains() {
        InitializeListHead(&capture);
        InitializeListHead(&render);
    }
};

}  // namespace vq7

namespace {

using vq7::FilterChains;
using vq7::FilterElement;

constexpr USHORT kUsbStreamingTerminal = 0x0101;
constexpr UCHAR kClockMultiplierSubtype = 0x0C;  // class 2.0; a plain unit in the model
constexpr ULONG kMaxStreamInstances = 1;

// ---- data ranges

// One allocation per list: alternate count pointers, then as many records.
constexpr SIZE_T kRangeSlotBytes = sizeof(PKSDATARANGE) + sizeof(KSDATARANGE_AUDIO);
static_assert(kRangeSlotBytes == 96, "a pointer and an 88-byte record per alternate setting");
static_assert(sizeof(KSDATARANGE_AUDIO) % 8 == 0, "records stay 8-byte aligned");

// The attribute list that follows the last range on Windows 8.1 and later,
// laid out in the first unused record of the list's block.
struct AttributeListRecord {
    KSATTRIBUTE_LIST list;
    PKSATTRIBUTE pointers[1];
    KSATTRIBUTE attribute;
};
static_assert(sizeof(AttributeListRecord) <= sizeof(KSDATARANGE_AUDIO), "the attribute list fits a record");

constexpr ULONG kWholeRange = 0xFFFFFFFF;

// The class 2.0 bmFormats bits, in the order they choose the subformat.
struct FormatBit {
    ULONG bits;
    GUID subFormat;
};
constexpr FormatBit kClassTwoSubformats[] = {
    {0x00000003, {STATIC_KSDATAFORMAT_SUBTYPE_PCM}},         // PCM, PCM8
    {0x00000004, {STATIC_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT}},
    {0x00000008, {STATIC_KSDATAFORMAT_SUBTYPE_ALAW}},
    {0x00000010, {STATIC_KSDATAFORMAT_SUBTYPE_MULAW}},
};

// The class 1.0 wFormatTag values and their subformats.
struct FormatTag {
    USHORT tag;
    GUID subFormat;
};
constexpr FormatTag kClassOneSubformats[] = {
    {1, {STATIC_KSDATAFORMAT_SUBTYPE_PCM}},
    {2, {STATIC_KSDATAFORMAT_SUBTYPE_PCM}},  // PCM8
    {3, {STATIC_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT}},
    {4, {STATIC_KSDATAFORMAT_SUBTYPE_ALAW}},
    {5, {STATIC_KSDATAFORMAT_SUBTYPE_MULAW}},
};

GUID SubformatOf(const vq7::StreamFormat& format, bool classTwo) {
    if (classTwo) {
        for (const FormatBit& entry : kClassTwoSubformats) {
            if ((format.formats & entry.bits) != 0) {
                return entry.subFormat;
            }
        }
    } else {
        for (const FormatTag& entry : kClassOneSubformats) {
            if (format.formatTag == entry.tag) {
                return entry.subFormat;
            }
        }
    }
    return GUID{};  // a format the engine cannot name stays all zero
}

// Class 1.0: the rates a format descriptor offers, as a range; discrete
// rates count only when they are the forced rate (if there is one).
void ClassOneFrequencies(const UCHAR* format, ULONG forcedRate, PULONG minimum, PULONG maximum) {
    vq7::ClassOneRates rates(format);
    if (rates.Continuous()) {
        *minimum = rates.Rate(0);
        *maximum = rates.Rate(1);
        return;
    }
    *minimum = 0xFFFFFFFF;
    *maximum = 0;
    for (ULONG i = 0; i < rates.Count(); ++i) {
        ULONG rate = rates.Rate(i);
        if (forcedRate == 0 || rate == forcedRate) {
            *minimum = rate < *minimum ? rate : *minimum;
            *maximum = rate > *maximum ? rate : *maximum;
        }
    }
}

bool EqualsEarlierRange(const KSDATARANGE_AUDIO* records, ULONG count, const KSDATARANGE_AUDIO& range) {
    for (ULONG i = 0; i < count; ++i) {
        if (RtlCompareMemory(&records[i], &range, sizeof range) == sizeof range) {
            return true;
        }
    }
    return false;
}

constexpr GUID kModeAttribute = {STATIC_KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};

// Flags the last range and appends the signal-processing-mode attribute
// list in the record after it.
void AppendModeAttribute(vq7::DataRangeList* list, KSDATARANGE_AUDIO* records) {
    records[list->count - 1].DataRange.Flags = KSDATARANGE_ATTRIBUTES;
    auto* record = reinterpret_cast<AttributeListRecord*>(&records[list->count]);
    record->attribute.Size = sizeof(KSATTRIBUTE);
    record->attribute.Flags = 0;
    record->attribute.Attribute = kModeAttribute;
    record->pointers[0] = &record->attribute;
    record->list.Count = 1;
    record->list.Attributes = record->pointers;
    list->dataRanges[list->count] = reinterpret_cast<PKSDATARANGE>(&record->list);
    list->count += 1;
}

// ---- pins

// The one range of every bridge pin. PortCls takes ranges through
// non-const pointers but never writes them.
const KSDATARANGE kBridgeRange = {{sizeof(KSDATARANGE),
                                   0,
                                   0,
                                   0,
                                   {STATIC_KSDATAFORMAT_TYPE_AUDIO},
                                   {STATIC_KSDATAFORMAT_SUBTYPE_ANALOG},
                                   {STATIC_KSDATAFORMAT_SPECIFIER_NONE}}};
const PKSDATARANGE kBridgeRanges[] = {const_cast<PKSDATARANGE>(&kBridgeRange)};

// The terminal types that have a published USB terminal node type: the
// type added to the first field of one base GUID.
struct TerminalTypeSpan {
    USHORT first;
    USHORT last;
};
constexpr TerminalTypeSpan kTerminalTypeSpans[] = {
    {0x0201, 0x0206},  // input
    {0x0301, 0x0307},  // output
    {0x0401, 0x0405},  // bidirectional
    {0x0501, 0x0503},  // telephony
    {0x0601, 0x0607},  // external
    {0x0701, 0x0713},  // embedded
};

constexpr ULONG kTerminalGuidBase = 0xDFF219E0;
constexpr UCHAR kTerminalGuidTail[8] = {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96};

constexpr ULONG TerminalGuidCount() {
    ULONG count = 0;
    for (const TerminalTypeSpan& span : kTerminalTypeSpans) {
        count += span.last - span.first + 1U;
    }
    return count;
}

struct TerminalNodeTypes {
    GUID guids[TerminalGuidCount()];

    constexpr TerminalNodeTypes() : guids() {
        ULONG index = 0;
        for (const TerminalTypeSpan& span : kTerminalTypeSpans) {
            for (ULONG type = span.first; type <= span.last; ++type) {
                GUID& guid = guids[index++];
                guid.Data1 = kTerminalGuidBase + type;
                guid.Data2 = 0xF70F;
                guid.Data3 = 0x11D0;
                for (ULONG i = 0; i < 8; ++i) {
                    guid.Data4[i] = kTerminalGuidTail[i];
                }
            }
        }
    }
};
constexpr TerminalNodeTypes kTerminalNodeTypes;

constexpr bool SameGuid(const GUID& a, const GUID& b) {
    bool same = a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3;
    for (ULONG i = 0; i < 8; ++i) {
        same = same && a.Data4[i] == b.Data4[i];
    }
    return same;
}
static_assert(TerminalGuidCount() == 47, "six spans of terminal types");
static_assert(SameGuid(kTerminalNodeTypes.guids[0], GUID{STATIC_KSNODETYPE_MICROPHONE}), "0x0201 is the microphone");
static_assert(SameGuid(kTerminalNodeTypes.guids[6], GUID{STATIC_KSNODETYPE_SPEAKER}), "0x0301 is the speaker");

// The node GUID of a terminal type, or null for a type without one.
const GUID* TerminalCategory(USHORT type) {
    ULONG index = 0;
    for (const TerminalTypeSpan& span : kTerminalTypeSpans) {
        if (type >= span.first && type <= span.last) {
            return &kTerminalNodeTypes.guids[index + (type - span.first)];
        }
        index += span.last - span.first + 1U;
    }
    return nullptr;
}

// ---- nodes

// The volume and mute nodes' properties, answered by the filter's node
// handler.
const PCPROPERTY_ITEM kMuteNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, vq7::PropertyHandlerNode},
};
const PCPROPERTY_ITEM kVolumeNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, vq7::PropertyHandlerNode},
};
DEFINE_PCAUTOMATION_TABLE_PROP(kMuteNodeAutomation, kMuteNodeProperties);
DEFINE_PCAUTOMATION_TABLE_PROP(kVolumeNodeAutomation, kVolumeNodeProperties);

// The nodes a feature unit yields: one per control group it has, in this
// order. A group is present when any of its controls is.
struct ControlGroup {
    ULONG controls;  // bit n: feature control n
    const GUID* type;
    const PCAUTOMATION_TABLE* automation;
};
constexpr ULONG Bit(ULONG control) { return 1UL << control; }
const ControlGroup kControlGroups[] = {
    {Bit(kControlMute), &KSNODETYPE_MUTE, &kMuteNodeAutomation},
    {Bit(kControlVolume), &KSNODETYPE_VOLUME, &kVolumeNodeAutomation},
    {Bit(kControlBass) | Bit(kControlMid) | Bit(kControlTreble) | Bit(kControlBassBoost), &KSNODETYPE_TONE, nullptr},
    {Bit(kControlGraphicEqualizer), &KSNODETYPE_EQUALIZER, nullptr},
    {Bit(kControlAutomaticGain), &KSNODETYPE_AGC, nullptr},
    {Bit(kControlDelay), &KSNODETYPE_DELAY, nullptr},
    {Bit(kControlLoudness), &KSNODETYPE_LOUDNESS, nullptr},
    {Bit(kControlInputGain), &KSNODETYPE_DEV_SPECIFIC, nullptr},
    {Bit(kControlInputGainPad), &KSNODETYPE_DEV_SPECIFIC, nullptr},
    {Bit(kControlPhaseInverter), &KSNODETYPE_DEV_SPECIFIC, nullptr},
    {Bit(kControlUnderflow), &KSNODETYPE_DEV_SPECIFIC, nullptr},
    {Bit(kControlOverflow), &KSNODETYPE_DEV_SPECIFIC, nullptr},
};

bool GroupPresent(const CUSBAudioFeatureUnit& unit, const ControlGroup& group) {
    for (ULONG control = kControlMute; control <= kControlOverflow; ++control) {
        if ((group.controls & Bit(control)) != 0 && unit.HasControl(control)) {
            return true;
        }
    }
    return false;
}

// ---- chains

FilterElement* ElementOf(PLIST_ENTRY link) { return CONTAINING_RECORD(link, FilterElement, link); }
const FilterElement& ElementAt(const LIST_ENTRY* link) { return *ElementOf(const_cast<PLIST_ENTRY>(link)); }

bool InChain(const FilterElement& element) { return element.link.Flink != nullptr; }

ULONG ChainLength(const LIST_ENTRY& head) {
    ULONG length = 0;
    for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) {
        ++length;
    }
    return length;
}

// The connections a chain yields.
ULONG LinksOf(const LIST_ENTRY& head) {
    ULONG length = ChainLength(head);
    return length > 0 ? length - 1 : 0;
}

// Inserts `element` directly after `position` (a chain's head or an element's link).
void InsertAfter(PLIST_ENTRY position, FilterElement& element) { InsertHeadList(position, &element.link); }

// The element in the chain whose entity has `id`, looking at every element
// but the chain's last; null when none has.
FilterElement* FindSource(LIST_ENTRY& head, ULONG id) {
    for (PLIST_ENTRY link = head.Flink; link != &head && link->Flink != &head; link = link->Flink) {
        FilterElement* element = ElementOf(link);
        if (element->entity != nullptr && element->entity->GetID() == id) {
            return element;
        }
    }
    return nullptr;
}

// A pin end is the filter with the pin number; a node end the node with
// its standard output as a source and its standard input as a target.
void Connect(const FilterElement& from, const FilterElement& to, PCCONNECTION_DESCRIPTOR* connection) {
    connection->FromNode = from.isPin != 0 ? PCFILTER_NODE : from.number;
    connection->FromNodePin = from.isPin != 0 ? from.number : KSNODEPIN_STANDARD_OUT;
    connection->ToNode = to.isPin != 0 ? PCFILTER_NODE : to.number;
    connection->ToNodePin = to.isPin != 0 ? to.number : KSNODEPIN_STANDARD_IN;
}

ULONG ConnectChain(const LIST_ENTRY& head, PCCONNECTION_DESCRIPTOR* connections) {
    ULONG made = 0;
    for (const LIST_ENTRY* link = head.Flink; link != &head && link->Flink != &head; link = link->Flink) {
        Connect(ElementAt(link), ElementAt(link->Flink), &connections[made++]);
    }
    return made;
}

// ---- building

// PASSIVE_LEVEL.
void DescribePin(const FilterDescriptionBlock& block, CUSBAudioTerminal* terminal, ULONG number,
                 FilterElement* element, FilterChains* chains) {
    const bool input = terminal->Kind() == EntityKind::InputTerminal;
    const bool streaming = terminal->TerminalType() == kUsbStreamingTerminal;
    PCPIN_DESCRIPTOR& pin = element->pin;
    KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
    element->entity = terminal;
    element->number = number;
    element->isPin = 1;
    ks.DataFlow = input ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    if (streaming) {
        const vq7::DataRangeList& ranges = input ? block.render : block.capture;
        pin.MaxGlobalInstanceCount = kMaxStreamInstances;
        pin.MaxFilterInstanceCount = kMaxStreamInstances;
        ks.DataRangesCount = ranges.count;
        ks.DataRanges = ranges.dataRanges;
        ks.Communication = KSPIN_COMMUNICATION_SINK;
        ks.Category = &KSCATEGORY_AUDIO;
        // Streaming input terminals start the render chain, streaming output
        // terminals end the capture chain.
        if (input) {
            InsertAfter(&chains->render, *element);
        } else {
            InsertTailList(&chains->capture, &element->link);
        }
        return;
    }
    ks.DataRangesCount = RTL_NUMBER_OF(kBridgeRanges);
    ks.DataRanges = kBridgeRanges;
    ks.Communication = KSPIN_COMMUNICATION_BRIDGE;
    ks.Category = TerminalCategory(terminal->TerminalType());
    // Bridge input terminals start the capture chain, bridge output terminals
    // end the render chain; one bridge pin per chain.
    if (input && !chains->captureBridge) {
        chains->captureBridge = true;
        InsertAfter(&chains->capture, *element);
    } else if (!input && !chains->renderBridge) {
        chains->renderBridge = true;
        InsertTailList(&chains->render, &element->link);
    }
}

// PASSIVE_LEVEL. The number of nodes a unit yields.
ULONG NodesOf(CUSBAudioEntity* entity) {
    CUSBAudioFeatureUnit* unit = entity->AsFeatureUnit();
    if (unit == nullptr) {
        return 1;
    }
    ULONG count = 0;
    for (const ControlGroup& group : kControlGroups) {
        count += GroupPresent(*unit, group) ? 1 : 0;
    }
    return count;
}

// PASSIVE_LEVEL. Fills a unit's nodes from `number` on; the next free number.
ULONG DescribeUnitNodes(CUSBAudioEntity* entity, FilterElement* nodes, ULONG number) {
    CUSBAudioFeatureUnit* unit = entity->AsFeatureUnit();
    if (unit == nullptr) {
        nodes[number].node.Type = &KSNODETYPE_DEV_SPECIFIC;
        nodes[number].entity = entity;
        nodes[number].number = number;
        return number + 1;
    }
    for (const ControlGroup& group : kControlGroups) {
        if (GroupPresent(*unit, group)) {
            nodes[number].node.Type = group.type;
            nodes[number].node.AutomationTable = group.automation;
            nodes[number].entity = entity;
            nodes[number].number = number;
            ++number;
        }
    }
    return number;
}

// IRQL <= DISPATCH_LEVEL. A unit's node goes directly after the first
// element whose entity is the unit's source, capture chain first; a unit
// without a source, or whose source is in neither chain, stays unconnected.
void PlaceNode(FilterElement* node, FilterChains* chains) {
    if (node->entity == nullptr) {
        return;
    }
    const ULONG source = node->entity->GetSourceID(0);
    if (source == CUSBAudioEntity::kNone) {
        return;
    }
    FilterElement* after = FindSource(chains->capture, source);
    if (after == nullptr) {
        after = FindSource(chains->render, source);
    }
    if (after != nullptr) {
        InsertAfter(&after->link, *node);
    }
}

// IRQL <= DISPATCH_LEVEL. The ADC follows the capture chain's bridge pin,
// the DAC precedes the render chain's; without a bridge pin in a chain its
// converter stays unconnected.
void PlaceConverters(const FilterDescriptionBlock& block, FilterElement* adc, FilterElement* dac) {
    for (ULONG i = 0; i < block.descriptor.PinCount; ++i) {
        FilterElement& pin = vq7::FilterPins(block)[i];
        if (pin.pin.KsPinDescriptor.Communication != KSPIN_COMMUNICATION_BRIDGE || !InChain(pin)) {
            continue;
        }
        if (pin.pin.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN && adc != nullptr) {
            InsertAfter(&pin.link, *adc);
        } else if (pin.pin.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT && dac != nullptr) {
            InsertAfter(pin.link.Blink, *dac);
        }
    }
}

// PASSIVE_LEVEL. One connection per pair of neighbours in each chain.
NTSTATUS BuildConnections(FilterDescriptionBlock* block, const FilterChains& chains) {
    const ULONG count = LinksOf(chains.capture) + LinksOf(chains.render);
    if (count == 0) {
        return STATUS_SUCCESS;
    }
    auto* connections = static_cast<PCCONNECTION_DESCRIPTOR*>(
        vq7::AllocateZeroed(count * sizeof(PCCONNECTION_DESCRIPTOR), vq7::kPoolTagUsba));
    if (connections == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG made = ConnectChain(chains.capture, connections);
    made += ConnectChain(chains.render, connections + made);
    block->descriptor.ConnectionCount = made;
    block->descriptor.Connections = connections;
    return STATUS_SUCCESS;
}

// ---- trace

struct TypeName {
    GUID type;
    const char* name;
};
// Node types as the trace names them (the names keep the published
// constants' trailing blanks).
constexpr TypeName kTypeNames[] = {
    {{STATIC_KSNODETYPE_DAC}, "DAC "},
    {{STATIC_KSNODETYPE_ADC}, "ADC "},
    {{STATIC_KSNODETYPE_SRC}, "SRC "},
    {{STATIC_KSNODETYPE_SUPERMIX}, "SUPERMIX "},
    {{STATIC_KSNODETYPE_MUX}, "MUX "},
    {{STATIC_KSNODETYPE_DEMUX}, "DEMUX "},
    {{STATIC_KSNODETYPE_SUM}, "SUM "},
    {{STATIC_KSNODETYPE_MUTE}, "MUTE "},
    {{STATIC_KSNODETYPE_VOLUME}, "VOLUME "},
    {{STATIC_KSNODETYPE_TONE}, "TONE "},
    {{STATIC_KSNODETYPE_EQUALIZER}, "EQUALIZER "},
    {{STATIC_KSNODETYPE_AGC}, "AGC "},
    {{STATIC_KSNODETYPE_NOISE_SUPPRESS}, "NOISE_SUPPRESS "},
    {{STATIC_KSNODETYPE_DELAY}, "DELAY "},
    {{STATIC_KSNODETYPE_LOUDNESS}, "LOUDNESS "},
    {{STATIC_KSNODETYPE_PROLOGIC_DECODER}, "PROLOGIC_DECODER "},
    {{STATIC_KSNODETYPE_STEREO_WIDE}, "STEREO_WIDE "},
    {{STATIC_KSNODETYPE_REVERB}, "REVERB "},
    {{STATIC_KSNODETYPE_CHORUS}, "CHORUS "},
    {{STATIC_KSNODETYPE_3D_EFFECTS}, "3D_EFFECTS "},
    {{STATIC_KSNODETYPE_ACOUSTIC_ECHO_CANCEL}, "ACOUSTIC_ECHO_CANCEL"},
    {{STATIC_KSNODETYPE_MICROPHONE_ARRAY_PROCESSOR}, "MICROPHONE_ARRAY_PROCESSOR"},
    {{STATIC_KSNODETYPE_DEV_SPECIFIC}, "DEV_SPECIFIC "},
    {{STATIC_KSNODETYPE_SURROUND_ENCODER}, "SURROUND_ENCODER"},
    {{STATIC_KSNODETYPE_PEAKMETER}, "PEAKMETER "},
    {{STATIC_KSCATEGORY_AUDIO}, "USB streaming"},
};

const char* TypeNameOf(const GUID* type) {
    if (type == nullptr) {
        return "Unknown";
    }
    for (const TypeName& entry : kTypeNames) {
        if (IsEqualGUID(entry.type, *type)) {
            return entry.name;
        }
    }
    for (const GUID& terminal : kTerminalNodeTypes.guids) {
        if (IsEqualGUID(terminal, *type)) {
            return TerminalTypeName(static_cast<USHORT>(type->Data1 - kTerminalGuidBase));
        }
    }
    return "Unknown";
}

void ElementName(const FilterElement& element, PCHAR buffer, size_t size) {
    if (element.entity != nullptr) {
        element.entity->GetName(buffer, size);
    } else if (element.isPin == 0 && element.node.Type != nullptr) {
        RtlStringCchCopyA(buffer, size, IsEqualGUID(*element.node.Type, KSNODETYPE_ADC) ? "ADC" : "DAC");
    } else {
        RtlStringCchCopyA(buffer, size, "Unknown");
    }
}

void TraceChain(const char* direction, const LIST_ENTRY& head) {
    for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) {
        const FilterElement& element = ElementAt(link);
        VQ7_TRACE(TRACE_LEVEL_VERBOSE, vq7::kTraceModel, "%s chain: %s %lu", direction,
                  element.isPin != 0 ? "pin" : "node", element.number);
    }
}

void TraceDescription(const FilterDescriptionBlock& block, const FilterChains& chains) {
    if (!vq7::TraceEnabled(TRACE_LEVEL_VERBOSE, vq7::kTraceModel)) {
        return;
    }
    CHAR name[32];
    const PCFILTER_DESCRIPTOR& descriptor = block.descriptor;
    for (ULONG i = 0; i < descriptor.PinCount; ++i) {
        const FilterElement& pin = vq7::FilterPins(block)[i];
        ElementName(pin, name, sizeof name);
        VQ7_TRACE(TRACE_LEVEL_VERBOSE, vq7::kTraceModel, "pin %lu: %s, %s", i, name,
                  TypeNameOf(pin.pin.KsPinDescriptor.Category));
    }
    for (ULONG i = 0; i < descriptor.NodeCount; ++i) {
        const FilterElement& node = vq7::FilterNodes(block)[i];
        ElementName(node, name, sizeof name);
        VQ7_TRACE(TRACE_LEVEL_VERBOSE, vq7::kTraceModel, "node %lu: %s, %s", i, name, TypeNameOf(node.node.Type));
    }
    for (ULONG i = 0; i < descriptor.ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = descriptor.Connections[i];
        VQ7_TRACE(TRACE_LEVEL_VERBOSE, vq7::kTraceModel, "connection %lu: %lX.%lu -> %lX.%lu", i, c.FromNode,
                  c.FromNodePin, c.ToNode, c.ToNodePin);
    }
    TraceChain("capture", chains.capture);
    TraceChain("render", chains.render);
}

}  // namespace

// ---------------------------------------------------------------- data ranges

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::BuildDataRanges(USB_AS_INTERFACE* stream, vq7::DataRangeList* list) {
    PAGED_CODE();
    if (stream == nullptr || list == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    list->count = 0;
    list->dataRanges = nullptr;
    const ULONG slots = stream->alternateCount;
    if (slots == 0) {
        return STATUS_SUCCESS;
    }
    auto* block = static_cast<PUCHAR>(vq7::AllocateZeroed(slots * kRangeSlotBytes, vq7::kPoolTagUsba));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    list->dataRanges = reinterpret_cast<PKSDATARANGE*>(block);
    auto* records = reinterpret_cast<KSDATARANGE_AUDIO*>(block + slots * sizeof(PKSDATARANGE));
    for (ULONG i = 0; i < slots; ++i) {
        list->dataRanges[i] = &records[i].DataRange;
    }
    for (ULONG index = 1; index < slots; ++index) {
        KSDATARANGE_AUDIO range = {};
        bool offered = false;
        NTSTATUS status = DescribeRange(stream, stream->alternates[index], &range, &offered);
        if (!NT_SUCCESS(status)) {
            FreeDataRanges(list);
            return status;
        }
        if (offered && (forcedSampleRate_ == 0 || NarrowToForcedRate(records, list->count, &range))) {
            records[list->count++] = range;
        }
    }
    if (list->count > 0 && RtlIsNtDdiVersionAvailable(NTDDI_WINBLUE)) {
        AppendModeAttribute(list, records);
    }
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. The range one alternate setting offers (`offered` false
// for a setting that offers none). A clock that cannot report its range
// leaves a range of no rate; only running out of resources while asking it
// fails the list, since the range would then be wrong for a working device.
NTSTATUS CUSBAudioCL::DescribeRange(const USB_AS_INTERFACE* stream, const USB_AS_ALTERNATE& alternate,
                                    KSDATARANGE_AUDIO* range, bool* offered) const {
    const bool classTwo = IsClassTwo();
    vq7::StreamFormat format = vq7::ReadStreamFormat(alternate, classTwo);
    *offered = false;
    if (!format.TypeOne(classTwo)) {
        return STATUS_SUCCESS;
    }
    // 8-bit PCM is unsigned on class 1.0 and has a tag of its own.
    if (!classTwo && format.formatTag == vq7::kFormatTagPcm && format.subslotBytes == 1) {
        return STATUS_SUCCESS;
    }
    *offered = true;
    range->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range->DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range->DataRange.SubFormat = SubformatOf(format, classTwo);
    range->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range->MaximumChannels = format.channels;
    range->MinimumBitsPerSample = format.bitResolution;
    range->MaximumBitsPerSample = format.bitResolution;
    if (!classTwo) {
        ClassOneFrequencies(alternate.format, forcedSampleRate_, &range->MinimumSampleFrequency,
                            &range->MaximumSampleFrequency);
        return STATUS_SUCCESS;
    }
    CUSBAudioClock* clock = StreamClock(stream);
    NTSTATUS status = clock != nullptr ? clock->GetFrequencyRange(&range->MinimumSampleFrequency,
                                                                  &range->MaximumSampleFrequency, 0, kWholeRange)
                                       : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
        range->MinimumSampleFrequency = 0;
        range->MaximumSampleFrequency = 0;
    }
    return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL. With a forced rate a range offers that rate
// alone, or nothing; a range equal to an earlier one once narrowed is
// dropped.
bool CUSBAudioCL::NarrowToForcedRate(const KSDATARANGE_AUDIO* records, ULONG count, KSDATARANGE_AUDIO* range) const {
    const ULONG rate = forcedSampleRate_;
    if (rate < range->MinimumSampleFrequency || rate > range->MaximumSampleFrequency) {
        return false;
    }
    range->MinimumSampleFrequency = rate;
    range->MaximumSampleFrequency = rate;
    return !EqualsEarlierRange(records, count, *range);
}

// IRQL <= DISPATCH_LEVEL.
void CUSBAudioCL::FreeDataRanges(vq7::DataRangeList* list) {
    if (list->dataRanges != nullptr) {
        ExFreePoolWithTag(list->dataRanges, vq7::kPoolTagUsba);
    }
    list->dataRanges = nullptr;
    list->count = 0;
}

// ---------------------------------------------------------------- the description

ULONG CUSBAudioCL::CountPins() const {
    ULONG count = 0;
    for (CUSBAudioEntity* entity = Entities(); entity != nullptr; entity = entity->Next()) {
        count += entity->IsTerminal() ? 1 : 0;
    }
    return count;
}

// IRQL <= DISPATCH_LEVEL. Units that become nodes: everything but the
// terminals and, on class 2.0, the clock entities.
bool CUSBAudioCL::IsNodeEntity(CUSBAudioEntity* entity) const {
    if (entity->IsTerminal()) {
        return false;
    }
    if (IsClassTwo() && (entity->IsClock() || (entity->Kind() == EntityKind::DummyUnit &&
                                               vq7::DescriptorSubtype(entity->Descriptor()) ==
                                                   kClockMultiplierSubtype))) {
        return false;
    }
    return true;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::BuildFilterDescriptor(FilterDescriptionBlock* block) {
    PAGED_CODE();
    if (block == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const PCAUTOMATION_TABLE* filterAutomation = block->descriptor.AutomationTable;
    RtlZeroMemory(block, sizeof *block);
    FilterChains chains;
    NTSTATUS status = BuildBothRangeLists(block);
    if (NT_SUCCESS(status)) {
        status = BuildPins(block, filterAutomation, &chains);
    }
    if (NT_SUCCESS(status) && block->descriptor.PinCount > 0) {
        status = BuildNodes(block, &chains);
    }
    if (NT_SUCCESS(status)) {
        status = BuildConnections(block, chains);
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceModel, "filter description failed: 0x%08lX",
                  static_cast<ULONG>(status));
        FreeFilterDescriptor(block);
        return status;
    }
    TraceDescription(*block, chains);
    // The chains' heads live on this stack; the records keep no links to them.
    for (ULONG i = 0; i < block->descriptor.PinCount; ++i) {
        InitializeListHead(&vq7::FilterPins(*block)[i].link);
    }
    for (ULONG i = 0; i < block->descriptor.NodeCount; ++i) {
        InitializeListHead(&vq7::FilterNodes(*block)[i].link);
    }
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. A direction without a stream has an empty list; a list
// that cannot be built fails the description.
NTSTATUS CUSBAudioCL::BuildBothRangeLists(FilterDescriptionBlock* block) {
    NTSTATUS status = STATUS_SUCCESS;
    if (RenderStream() != nullptr) {
        status = BuildDataRanges(RenderStream(), &block->render);
    }
    if (NT_SUCCESS(status) && CaptureStream() != nullptr) {
        status = BuildDataRanges(CaptureStream(), &block->capture);
    }
    return status;
}

// PASSIVE_LEVEL. One pin per terminal, in entity order, threaded onto the
// chain of its flow.
NTSTATUS CUSBAudioCL::BuildPins(FilterDescriptionBlock* block, const PCAUTOMATION_TABLE* filterAutomation,
                                FilterChains* chains) {
    const ULONG count = CountPins();
    if (count == 0) {
        return STATUS_SUCCESS;
    }
    PCFILTER_DESCRIPTOR& descriptor = block->descriptor;
    auto* pins = static_cast<FilterElement*>(vq7::AllocateZeroed(count * sizeof(FilterElement), vq7::kPoolTagUsba));
    if (pins == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    descriptor.AutomationTable = filterAutomation;
    descriptor.PinSize = sizeof(FilterElement);
    descriptor.PinCount = count;
    descriptor.Pins = &pins[0].pin;
    ULONG number = 0;
    for (CUSBAudioEntity* entity = Entities(); entity != nullptr; entity = entity->Next()) {
        if (entity->IsTerminal()) {
            DescribePin(*block, entity->AsTerminal(), number, &pins[number], chains);
            ++number;
        }
    }
    return STATUS_SUCCESS;
}


// PASSIVE_LEVEL. The converters first (ADC, then DAC, each only when its
// chain has elements), then each unit's nodes in entity order; then every
// node that has a source is placed after it, and the converters next to
// their bridge pins.
NTSTATUS CUSBAudioCL::BuildNodes(FilterDescriptionBlock* block, FilterChains* chains) {
    const bool adc = !IsListEmpty(&chains->capture);
    const bool dac = !IsListEmpty(&chains->render);
    ULONG count = (adc ? 1 : 0) + (dac ? 1 : 0);
    for (CUSBAudioEntity* entity = Entities(); entity != nullptr; entity = entity->Next()) {
        count += IsNodeEntity(entity) ? NodesOf(entity) : 0;
    }
    if (count == 0) {
        return STATUS_SUCCESS;
    }
    auto* nodes = static_cast<FilterElement*>(vq7::AllocateZeroed(count * sizeof(FilterElement), vq7::kPoolTagUsba));
    if (nodes == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PCFILTER_DESCRIPTOR& descriptor = block->descriptor;
    descriptor.NodeSize = sizeof(FilterElement);
    descriptor.NodeCount = count;
    descriptor.Nodes = &nodes[0].node;
    ULONG number = 0;
    FilterElement* adcNode = adc ? &nodes[number] : nullptr;
    if (adc) {
        nodes[number].node.Type = &KSNODETYPE_ADC;
        nodes[number].number = number;
        ++number;
    }
    FilterElement* dacNode = dac ? &nodes[number] : nullptr;
    if (dac) {
        nodes[number].node.Type = &KSNODETYPE_DAC;
        nodes[number].number = number;
        ++number;
    }
    for (CUSBAudioEntity* entity = Entities(); entity != nullptr; entity = entity->Next()) {
        if (IsNodeEntity(entity)) {
            number = DescribeUnitNodes(entity, nodes, number);
        }
    }
    for (ULONG i = 0; i < count; ++i) {
        PlaceNode(&nodes[i], chains);
    }
    PlaceConverters(*block, adcNode, dacNode);
    return STATUS_SUCCESS;
}



// IRQL <= DISPATCH_LEVEL.
void CUSBAudioCL::FreeFilterDescriptor(FilterDescriptionBlock* block) {
    PCFILTER_DESCRIPTOR& descriptor = block->descriptor;
    if (descriptor.Pins != nullptr) {
        ExFreePoolWithTag(vq7::FilterPins(*block), vq7::kPoolTagUsba);
    }
    if (descriptor.Nodes != nullptr) {
        ExFreePoolWithTag(vq7::FilterNodes(*block), vq7::kPoolTagUsba);
    }
    if (descriptor.Connections != nullptr) {
        ExFreePoolWithTag(const_cast<PCCONNECTION_DESCRIPTOR*>(descriptor.Connections), vq7::kPoolTagUsba);
    }
    descriptor.Pins = nullptr;
    descriptor.PinCount = 0;
    descriptor.Nodes = nullptr;
    descriptor.NodeCount = 0;
    descriptor.Connections = nullptr;
    descriptor.ConnectionCount = 0;
    FreeDataRanges(&block->capture);
    FreeDataRanges(&block->render);
}
