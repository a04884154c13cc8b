#include "model_view.h"

#include <iterator>

#include "descriptor_walk.h"
#include "entity_clock.h"
#include "entity_feature_unit.h"
#include "entity_terminal.h"
#include "json_writer.h"
#include "status_names.h"
#include "text_format.h"
#include "usbaudiocl.h"

namespace vq7usb {

namespace {

using vq7::Field16;
using vq7::Field24;
using vq7::Field32;
using vq7::Field8;

const char* KindName(EntityKind kind) {
    switch (kind) {
        case EntityKind::DummyUnit: return "DummyUnit";
        case EntityKind::ProcessingUnit: return "ProcessingUnit";
        case EntityKind::FeatureUnit: return "FeatureUnit";
        case EntityKind::InputTerminal: return "InputTerminal";
        case EntityKind::OutputTerminal: return "OutputTerminal";
        case EntityKind::ClockSource: return "ClockSource";
        case EntityKind::ClockSelector: return "ClockSelector";
    }
    return "Unknown";
}

constexpr const char* kControlNames[] = {"mute",     "volume",        "bass",          "mid",
                                         "treble",   "equalizer",     "automatic gain", "delay",
                                         "bass boost", "loudness",    "input gain",    "input gain pad",
                                         "phase inverter", "underflow", "overflow"};

std::optional<uint32_t> Known(ULONG value) {
    return value == CUSBAudioEntity::kNone ? std::nullopt : std::optional<uint32_t>(value);
}

EntityView DescribeEntity(CUSBAudioEntity& entity) {
    EntityView view;
    view.id = entity.GetID();
    view.kind = KindName(entity.Kind());
    char name[32];
    entity.GetName(name, sizeof name);
    view.name = name;
    if (CUSBAudioTerminal* terminal = entity.AsTerminal()) {
        view.terminalType = terminal->TerminalType();
        view.terminalTypeName = TerminalTypeName(terminal->TerminalType());
        view.clock = Known(terminal->GetClockSourceID());
    }
    if (entity.Kind() == EntityKind::ClockSelector) {
        auto& selector = static_cast<CUSBAudioClockSelector&>(entity);
        for (ULONG pin = 0; pin < selector.InputCount(); ++pin) {
            view.inputs.push_back(selector.GetSourceID(pin));
        }
    } else {
        view.source = Known(entity.GetSourceID(0));
    }
    if (CUSBAudioFeatureUnit* unit = entity.AsFeatureUnit()) {
        view.channels = unit->GetChannelCount();
        for (ULONG control = 0; control < std::size(kControlNames); ++control) {
            if (unit->HasControl(control)) view.controls.push_back(kControlNames[control]);
        }
    }
    return view;
}

EndpointView DescribeEndpoint(const UCHAR* endpoint) {
    return EndpointView{Field8(endpoint, 2), Field8(endpoint, 3), Field16(endpoint, 4), Field8(endpoint, 6)};
}

AlternateView DescribeAlternate(const USB_AS_ALTERNATE& alternate, ULONG number, bool classTwo) {
    AlternateView view;
    view.alternate = number;
    view.hasGeneral = alternate.general != nullptr;
    view.hasFormat = alternate.format != nullptr;
    if (classTwo) {
        if (alternate.general != nullptr) {
            view.channels = Field8(alternate.general, 10);
            view.formats = Field32(alternate.general, 6);
        }
        if (alternate.format != nullptr) {
            view.subslotBytes = Field8(alternate.format, 4);
            view.bitResolution = Field8(alternate.format, 5);
        }
    } else {
        if (alternate.general != nullptr) {
            view.formats = Field16(alternate.general, 5);
        }
        if (alternate.format != nullptr) {
            const UCHAR* format = alternate.format;
            view.channels = Field8(format, 4);
            view.subslotBytes = Field8(format, 5);
            view.bitResolution = Field8(format, 6);
            UCHAR kinds = Field8(format, 7);
            view.continuousRates = kinds == 0;
            ULONG count = kinds == 0 ? 2 : kinds;
            for (ULONG i = 0; i < count && 8 + 3 * i + 2 < vq7::DescriptorLength(format); ++i) {
                view.rates.push_back(Field24(format, 8 + 3 * i));
            }
        }
    }
    if (alternate.dataEndpoint != nullptr) view.dataEndpoint = DescribeEndpoint(alternate.dataEndpoint);
    if (alternate.feedbackEndpoint != nullptr) view.feedbackEndpoint = DescribeEndpoint(alternate.feedbackEndpoint);
    return view;
}

void WriteEndpoint(JsonWriter& json, const std::optional<EndpointView>& endpoint) {
    if (!endpoint) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.Key("address").Hex(endpoint->address, 2);
    json.Key("attributes").Hex(endpoint->attributes, 2);
    json.Key("maxPacket").Number(endpoint->maxPacket);
    json.Key("interval").Number(endpoint->interval);
    json.EndObject();
}

template <typename T>
void WriteOptional(JsonWriter& json, const std::optional<T>& value) {
    if (value) {
        json.Number(*value);
    } else {
        json.Null();
    }
}

std::string SyncName(uint8_t attributes) {
    static const char* const kSync[] = {"no synchronisation", "asynchronous", "adaptive", "synchronous"};
    static const char* const kUsage[] = {"data", "feedback", "implicit feedback data", "reserved usage"};
    static const char* const kType[] = {"control", "isochronous", "bulk", "interrupt"};
    return std::string(kType[attributes & 3]) + ", " + kSync[(attributes >> 2) & 3] + ", " + kUsage[(attributes >> 4) & 3];
}

std::string EndpointLine(const char* role, const EndpointView& endpoint) {
    unsigned transactions = ((endpoint.maxPacket >> 11) & 3) + 1;
    std::string packet = transactions > 1 ? Format("%u x %u bytes", transactions, endpoint.maxPacket & 0x7FFu)
                                          : Format("%u bytes", endpoint.maxPacket & 0x7FFu);
    return Format("      %s endpoint 0x%02X %s (%s), max packet %s, bInterval %u\n", role, endpoint.address,
                  (endpoint.address & 0x80) ? "IN" : "OUT", SyncName(endpoint.attributes).c_str(), packet.c_str(),
                  endpoint.interval);
}

const char* KindText(const std::string& kind) {
    if (kind == "InputTerminal") return "input terminal";
    if (kind == "OutputTerminal") return "output terminal";
    if (kind == "FeatureUnit") return "feature unit";
    if (kind == "ClockSource") return "clock source";
    if (kind == "ClockSelector") return "clock selector";
    if (kind == "ProcessingUnit") return "processing unit";
    return "unit the driver does not model";
}

std::string OptionalText(const std::optional<uint8_t>& value) {
    return value ? Format("interface %u", *value) : std::string("none");
}

}  // namespace

ModelView DescribeModel(CUSBAudioCL& layer, NTSTATUS status) {
    ModelView model;
    model.status = status;
    model.vendor = layer.VendorId();
    model.product = layer.ProductId();
    model.highSpeed = layer.IsHighSpeed();
    if (layer.AudioControlInterface() != nullptr) {
        model.uac = layer.AudioControlHeader() != nullptr ? (layer.IsClassTwo() ? 2 : 1) : 0;
        model.controlInterface = layer.AudioControlInterfaceNumber();
    }
    for (CUSBAudioEntity* entity = layer.Entities(); entity != nullptr; entity = entity->Next()) {
        model.entities.push_back(DescribeEntity(*entity));
    }
    for (USB_AS_INTERFACE* stream = layer.StreamingInterfaces(); stream != nullptr; stream = stream->next) {
        StreamView view;
        view.interfaceNumber = stream->interfaceNumber;
        view.capture = stream->inputFlag != 0;
        if (stream->terminal != nullptr) view.terminal = stream->terminal->GetID();
        for (ULONG i = 1; stream->alternates != nullptr && i < stream->alternateCount; ++i) {
            view.alternates.push_back(DescribeAlternate(stream->alternates[i], i, layer.IsClassTwo()));
        }
        model.streams.push_back(view);
    }
    if (layer.RenderStream() != nullptr) model.render = layer.RenderStream()->interfaceNumber;
    if (layer.CaptureStream() != nullptr) model.capture = layer.CaptureStream()->interfaceNumber;
    model.sharedClock = layer.SharedClock();
    model.renderFollowsCapture = layer.RenderFollowsCapture();
    return model;
}

std::string ModelJson(const ModelView& model) {
    JsonWriter json;
    json.BeginObject();
    json.Key("vendor").Hex(model.vendor, 4);
    json.Key("product").Hex(model.product, 4);
    json.Key("highSpeed").Bool(model.highSpeed);
    json.Key("uac");
    if (model.uac != 0) json.Number(model.uac); else json.Null();
    json.Key("controlInterface");
    WriteOptional(json, model.controlInterface);
    json.Key("status").String(StatusName(model.status));
    json.Key("refusal");
    WriteRefusal(json, model.refusal);
    json.Key("entities").BeginArray();
    for (const EntityView& entity : model.entities) {
        json.BeginObject();
        json.Key("id").Number(entity.id);
        json.Key("kind").String(entity.kind);
        json.Key("name").String(entity.name);
        if (entity.terminalType) {
            json.Key("terminalType").Hex(*entity.terminalType, 4);
            json.Key("terminalName").String(entity.terminalTypeName);
            json.Key("clock");
            WriteOptional(json, entity.clock);
        }
        if (entity.kind == "ClockSelector") {
            json.Key("inputs").BeginArray();
            for (uint32_t input : entity.inputs) json.Number(input);
            json.EndArray();
        } else {
            json.Key("source");
            WriteOptional(json, entity.source);
        }
        if (entity.kind == "FeatureUnit") {
            json.Key("channels").Number(entity.channels);
            json.Key("controls").BeginArray();
            for (const std::string& control : entity.controls) json.String(control);
            json.EndArray();
        }
        json.EndObject();
    }
    json.EndArray();
    json.Key("render");
    WriteOptional(json, model.render);
    json.Key("capture");
    WriteOptional(json, model.capture);
    json.Key("sharedClock").Bool(model.sharedClock);
    json.Key("renderFollowsCapture").Bool(model.renderFollowsCapture);
    json.Key("streams").BeginArray();
    for (const StreamView& stream : model.streams) {
        json.BeginObject();
        json.Key("interface").Number(stream.interfaceNumber);
        json.Key("direction").String(stream.capture ? "capture" : "render");
        json.Key("terminal");
        WriteOptional(json, stream.terminal);
        json.Key("alternates").BeginArray();
        for (const AlternateView& alternate : stream.alternates) {
            json.BeginObject();
            json.Key("alternate").Number(alternate.alternate);
            json.Key("channels").Number(alternate.channels);
            json.Key("subslotBytes").Number(alternate.subslotBytes);
            json.Key("bitResolution").Number(alternate.bitResolution);
            json.Key("formats").Hex(alternate.formats, model.uac == 1 ? 4 : 8);
            json.Key("dataEndpoint");
            WriteEndpoint(json, alternate.dataEndpoint);
            json.Key("feedbackEndpoint");
            WriteEndpoint(json, alternate.feedbackEndpoint);
            if (model.uac == 1) {
                json.Key("rates").BeginArray();
                for (uint32_t rate : alternate.rates) json.Number(rate);
                json.EndArray();
            }
            json.EndObject();
        }
        json.EndArray();
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    return json.Text();
}

std::string ModelText(const ModelView& model) {
    std::string text = Format("Device %04X:%04X, %s speed, %s\n", model.vendor, model.product,
                              model.highSpeed ? "high" : "full",
                              model.uac == 2   ? "USB Audio Class 2.0"
                              : model.uac == 1 ? "USB Audio Class 1.0"
                              : model.refusal && model.refusal->beforeModel ? "audio function not examined"
                                                                            : "no audio function found");
    text += "Start and configuration: " + StatusName(model.status) + "\n";
    text += RefusalText(model.refusal);
    if (model.controlInterface) {
        text += Format("Audio control: interface %u\n", *model.controlInterface);
    }
    if (!model.entities.empty()) {
        text += "Entities:\n";
    }
    for (const EntityView& entity : model.entities) {
        std::string line = Format("  %-18s %s", entity.name.c_str(), KindText(entity.kind));
        if (entity.terminalType) {
            line += Format(", %s (0x%04X)", entity.terminalTypeName.c_str(), *entity.terminalType);
            line += entity.clock ? Format(", clock %u", *entity.clock) : std::string();
        }
        if (entity.source) {
            line += Format(", source %u", *entity.source);
        }
        if (!entity.inputs.empty()) {
            line += ", inputs";
            for (uint32_t input : entity.inputs) line += Format(" %u", input);
        }
        if (entity.kind == "FeatureUnit") {
            line += Format(", %u channel bitmaps", entity.channels);
            for (const std::string& control : entity.controls) line += ", " + control;
        }
        text += line + "\n";
    }
    if (!model.streams.empty()) {
        text += "Streaming interfaces:\n";
    }
    for (const StreamView& stream : model.streams) {
        text += Format("  interface %u: %s, terminal %s, %zu alternate setting(s) besides 0\n", stream.interfaceNumber,
                       stream.capture ? "capture" : "render",
                       stream.terminal ? std::to_string(*stream.terminal).c_str() : "none", stream.alternates.size());
        for (const AlternateView& alternate : stream.alternates) {
            text += Format("    alternate %u: %u channels, %u-byte %s, %u bits, %s 0x%0*X%s\n", alternate.alternate,
                           alternate.channels, alternate.subslotBytes, model.uac == 1 ? "subframes" : "subslots",
                           alternate.bitResolution, model.uac == 1 ? "format tag" : "formats", model.uac == 1 ? 4 : 8,
                           alternate.formats, alternate.hasFormat ? "" : " (no format descriptor)");
            if (!alternate.rates.empty()) {
                std::string rates = alternate.continuousRates ? "      rates: continuous" : "      rates:";
                for (uint32_t rate : alternate.rates) rates += Format(" %u", rate);
                text += rates + "\n";
            }
            text += alternate.dataEndpoint ? EndpointLine("data", *alternate.dataEndpoint)
                                           : std::string("      no usable data endpoint\n");
            if (alternate.feedbackEndpoint) {
                text += EndpointLine(model.uac == 1 ? "synch" : "feedback", *alternate.feedbackEndpoint);
            }
        }
    }
    text += "Render: " + OptionalText(model.render) + "; capture: " + OptionalText(model.capture) + "\n";
    text += Format("Shared clock: %s; render follows capture: %s\n", model.sharedClock ? "yes" : "no",
                   model.renderFollowsCapture ? "yes" : "no");
    return text;
}

}  // namespace vq7usb
