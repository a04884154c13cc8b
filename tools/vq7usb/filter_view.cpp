#include "filter_view.h"

#include <ntddk.h>
#include <ksmedia.h>

#include "entity_terminal.h"
#include "filter_description.h"
#include "json_writer.h"
#include "run_class_layer.h"
#include "status_names.h"
#include "text_format.h"
#include "usbaudiocl.h"

namespace vq7usb {

namespace {

struct GuidName {
    const GUID* guid;
    const char* name;
};

// The names the report gives to the subformats the data ranges carry.
const GuidName kSubFormats[] = {
    {&KSDATAFORMAT_SUBTYPE_PCM, "PCM"},     {&KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, "IEEE_FLOAT"},
    {&KSDATAFORMAT_SUBTYPE_ALAW, "ALAW"},   {&KSDATAFORMAT_SUBTYPE_MULAW, "MULAW"},
    {&KSDATAFORMAT_SUBTYPE_ANALOG, "ANALOG"},
};

// The node types the description uses.
const GuidName kNodeTypes[] = {
    {&KSNODETYPE_ADC, "ADC"},           {&KSNODETYPE_DAC, "DAC"},
    {&KSNODETYPE_MUTE, "MUTE"},         {&KSNODETYPE_VOLUME, "VOLUME"},
    {&KSNODETYPE_TONE, "TONE"},         {&KSNODETYPE_EQUALIZER, "EQUALIZER"},
    {&KSNODETYPE_AGC, "AGC"},           {&KSNODETYPE_DELAY, "DELAY"},
    {&KSNODETYPE_LOUDNESS, "LOUDNESS"}, {&KSNODETYPE_DEV_SPECIFIC, "DEV_SPECIFIC"},
};

std::string NameOf(const GUID* guid, const GuidName* table, size_t count, const char* none) {
    for (size_t i = 0; guid != nullptr && i < count; ++i) {
        if (IsEqualGUID(*guid, *table[i].guid)) return table[i].name;
    }
    return none;
}

std::string GuidText(const GUID& guid) {
    return Format("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(guid.Data1),
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

constexpr GUID kNoGuid = {};

DataRangeView DescribeRange(const KSDATARANGE& range) {
    DataRangeView view;
    view.flags = range.Flags;
    view.subFormat = IsEqualGUID(range.SubFormat, kNoGuid)
                         ? "NONE"
                         : NameOf(&range.SubFormat, kSubFormats, std::size(kSubFormats), "NONE");
    if (range.FormatSize >= sizeof(KSDATARANGE_AUDIO)) {
        const auto& audio = reinterpret_cast<const KSDATARANGE_AUDIO&>(range);
        view.audio = true;
        view.maxChannels = audio.MaximumChannels;
        view.minBits = audio.MinimumBitsPerSample;
        view.maxBits = audio.MaximumBitsPerSample;
        view.minRate = audio.MinimumSampleFrequency;
        view.maxRate = audio.MaximumSampleFrequency;
    }
    return view;
}

PinView DescribePin(const vq7::FilterElement& element) {
    const KSPIN_DESCRIPTOR& ks = element.pin.KsPinDescriptor;
    PinView view;
    view.pin = element.number;
    if (element.entity != nullptr) {
        view.terminal = element.entity->GetID();
        if (element.entity->IsTerminal()) {
            view.terminalType = static_cast<const CUSBAudioTerminal*>(element.entity)->TerminalType();
        }
    }
    view.dataFlowIn = ks.DataFlow == KSPIN_DATAFLOW_IN;
    view.sink = ks.Communication == KSPIN_COMMUNICATION_SINK;
    if (ks.Category != nullptr) view.category = GuidText(*ks.Category);
    // A range flagged with attributes is followed by its attribute list.
    for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
        const KSDATARANGE& range = *ks.DataRanges[i];
        view.dataRanges.push_back(DescribeRange(range));
        if ((range.Flags & KSDATARANGE_ATTRIBUTES) != 0 && i + 1 < ks.DataRangesCount) {
            view.attributeList = true;
            ++i;
        }
    }
    return view;
}

NodeView DescribeNode(const vq7::FilterElement& element) {
    NodeView view;
    view.node = element.number;
    view.type = NameOf(element.node.Type, kNodeTypes, std::size(kNodeTypes), "Unknown");
    if (element.entity != nullptr) view.entity = element.entity->GetID();
    return view;
}

void ReadDescription(const FilterDescriptionBlock& block, FilterView& view) {
    const PCFILTER_DESCRIPTOR& descriptor = block.descriptor;
    for (ULONG i = 0; i < descriptor.PinCount; ++i) view.pins.push_back(DescribePin(vq7::FilterPins(block)[i]));
    for (ULONG i = 0; i < descriptor.NodeCount; ++i) view.nodes.push_back(DescribeNode(vq7::FilterNodes(block)[i]));
    for (ULONG i = 0; i < descriptor.ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = descriptor.Connections[i];
        view.connections.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
    }
}

void WriteOptional(JsonWriter& json, const std::optional<uint32_t>& value) {
    if (value) json.Number(*value); else json.Null();
}

void WriteRange(JsonWriter& json, const DataRangeView& range) {
    json.BeginObject();
    json.Key("subFormat").String(range.subFormat);
    const std::pair<const char*, uint32_t> numbers[] = {{"maxChannels", range.maxChannels}, {"minBits", range.minBits},
                                                        {"maxBits", range.maxBits},         {"minRate", range.minRate},
                                                        {"maxRate", range.maxRate}};
    for (const auto& [key, value] : numbers) {
        json.Key(key);
        if (range.audio) json.Number(value); else json.Null();
    }
    json.Key("flags").Number(range.flags);
    json.EndObject();
}

void WritePin(JsonWriter& json, const PinView& pin) {
    json.BeginObject();
    json.Key("pin").Number(pin.pin);
    json.Key("terminal");
    WriteOptional(json, pin.terminal);
    json.Key("terminalType").Hex(pin.terminalType, 4);
    json.Key("dataFlow").String(pin.dataFlowIn ? "in" : "out");
    json.Key("communication").String(pin.sink ? "sink" : "bridge");
    json.Key("category");
    if (pin.category) json.String(*pin.category); else json.Null();
    json.Key("dataRanges").BeginArray();
    for (const DataRangeView& range : pin.dataRanges) WriteRange(json, range);
    json.EndArray();
    json.Key("attributeList").Bool(pin.attributeList);
    json.EndObject();
}

void WriteEnd(JsonWriter& json, const char* nodeKey, const char* pinKey, uint32_t node, uint32_t pin) {
    json.Key(nodeKey);
    if (node == PCFILTER_NODE) json.String("pin"); else json.Number(node);
    json.Key(pinKey).Number(pin);
}

std::string EndText(uint32_t node, uint32_t pin) {
    return node == PCFILTER_NODE ? Format("pin %u", pin) : Format("node %u", node);
}

std::string RangeText(const DataRangeView& range) {
    if (!range.audio) return Format("      %s\n", range.subFormat.c_str());
    return Format("      %s, up to %u channels, %u-%u bits, %u-%u Hz%s\n", range.subFormat.c_str(), range.maxChannels,
                  range.minBits, range.maxBits, range.minRate, range.maxRate,
                  (range.flags & KSDATARANGE_ATTRIBUTES) != 0 ? ", with attributes" : "");
}

}  // namespace

FilterView BuildFilterView(std::shared_ptr<simusb::AudioDevice> device, std::optional<uint32_t> rate) {
    FilterView view;
    view.rate = rate;
    WithStartedLayer(device, &view.refusal, [&](CUSBAudioCL& layer, NTSTATUS start) {
        view.status = start;
        if (!NT_SUCCESS(start)) return;
        // As the driver does at start and after a rate change, a clock that
        // cannot be set (any class 1.0 device) still fixes the ranges' rate.
        if (rate) view.rateStatus = layer.SetSampleRate(*rate);
        FilterDescriptionBlock block = {};
        view.status = layer.BuildFilterDescriptor(&block);
        ReadDescription(block, view);
        CUSBAudioCL::FreeFilterDescriptor(&block);
    });
    return view;
}

std::string FilterJson(const FilterView& filter) {
    JsonWriter json;
    json.BeginObject();
    json.Key("status").String(StatusName(filter.status));
    json.Key("rate");
    WriteOptional(json, filter.rate);
    json.Key("rateStatus");
    if (filter.rate && filter.rateStatus) json.String(StatusName(*filter.rateStatus)); else json.Null();
    json.Key("refusal");
    WriteRefusal(json, filter.refusal);
    json.Key("pins").BeginArray();
    for (const PinView& pin : filter.pins) WritePin(json, pin);
    json.EndArray();
    json.Key("nodes").BeginArray();
    for (const NodeView& node : filter.nodes) {
        json.BeginObject();
        json.Key("node").Number(node.node);
        json.Key("type").String(node.type);
        json.Key("entity");
        WriteOptional(json, node.entity);
        json.EndObject();
    }
    json.EndArray();
    json.Key("connections").BeginArray();
    for (const ConnectionView& c : filter.connections) {
        json.BeginObject();
        WriteEnd(json, "fromNode", "fromPin", c.fromNode, c.fromPin);
        WriteEnd(json, "toNode", "toPin", c.toNode, c.toPin);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    return json.Text();
}

std::string FilterText(const FilterView& filter) {
    std::string text = Format("Filter%s: %s\n", filter.rate ? Format(" at %u Hz", *filter.rate).c_str() : "",
                              StatusName(filter.status).c_str());
    text += RefusalText(filter.refusal);
    if (filter.rateStatus && !NT_SUCCESS(*filter.rateStatus)) {
        text += Format("  the clock was not set to that rate (%s); the ranges are narrowed to it all the same\n",
                       StatusName(*filter.rateStatus).c_str());
    }
    for (const PinView& pin : filter.pins) {
        text += Format("  pin %u: terminal %s (type 0x%04X), %s, %s%s%s\n", pin.pin,
                       pin.terminal ? Format("%u", *pin.terminal).c_str() : "none", pin.terminalType,
                       pin.dataFlowIn ? "in" : "out", pin.sink ? "sink" : "bridge",
                       pin.category ? (", category " + *pin.category).c_str() : "",
                       pin.attributeList ? ", attribute list after the ranges" : "");
        for (const DataRangeView& range : pin.dataRanges) text += RangeText(range);
    }
    for (const NodeView& node : filter.nodes) {
        text += Format("  node %u: %s%s\n", node.node, node.type.c_str(),
                       node.entity ? Format(" (entity %u)", *node.entity).c_str() : "");
    }
    for (const ConnectionView& c : filter.connections) {
        text += Format("  %s -> %s\n", EndText(c.fromNode, c.fromPin).c_str(), EndText(c.toNode, c.toPin).c_str());
    }
    return text;
}

}  // namespace vq7usb
