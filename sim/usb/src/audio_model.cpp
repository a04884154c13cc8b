#include "simusb/audio_model.h"

#include <algorithm>

#include "simusb/byte_order.h"
#include "simusb/usb_codes.h"

namespace simusb {

namespace {

uint8_t At(DescriptorBytes d, size_t offset) { return offset < d.size() ? d[offset] : 0; }
uint32_t Le(DescriptorBytes d, size_t offset, size_t bytes) { return ReadLe(d, offset, bytes); }

bool IsClassSpecific(DescriptorBytes d, uint8_t subtype) {
    return d.size() >= 3 && d[1] == usb::kCsInterface && d[2] == subtype;
}

std::vector<uint8_t> Bytes(DescriptorBytes d, size_t offset, size_t count) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count && offset + i < d.size(); ++i) out.push_back(d[offset + i]);
    return out;
}

// A version 1.0 control bitmap of bControlSize bytes, as version 2.0 two-bit fields.
uint32_t WidenControlBits(uint32_t bits) {
    uint32_t fields = 0;
    for (unsigned i = 0; i < 16; ++i) {
        if ((bits >> i) & 1) fields |= 3u << (2 * i);
    }
    return fields;
}

TerminalEntity ReadTerminal(DescriptorBytes d, AudioClassVersion version) {
    TerminalEntity t;
    t.id = At(d, 3);
    t.input = d[2] == uac::kAcInputTerminal;
    t.type = static_cast<uint16_t>(Le(d, 4, 2));
    bool v2 = version == AudioClassVersion::V2;
    if (t.input && v2) {
        t.clock = At(d, 7);
        t.channels = At(d, 8);
        t.channelConfig = Le(d, 9, 4);
        t.channelNames = At(d, 13);
        t.controls = static_cast<uint16_t>(Le(d, 14, 2));
    } else if (t.input) {
        t.channels = At(d, 7);
        t.channelConfig = Le(d, 8, 2);
        t.channelNames = At(d, 10);
    } else {
        t.source = At(d, 7);
        if (v2) {
            t.clock = At(d, 8);
            t.controls = static_cast<uint16_t>(Le(d, 9, 2));
        }
    }
    return t;
}

FeatureUnitEntity ReadFeatureUnit(DescriptorBytes d, AudioClassVersion version) {
    FeatureUnitEntity unit{At(d, 3), At(d, 4), {}};
    if (version == AudioClassVersion::V2) {
        for (size_t offset = 5; offset + 4 + 1 <= d.size(); offset += 4) unit.controls.push_back(Le(d, offset, 4));
    } else {
        size_t size = At(d, 5);
        for (size_t offset = 6; size > 0 && size <= 4 && offset + size + 1 <= d.size(); offset += size) {
            unit.controls.push_back(WidenControlBits(Le(d, offset, size)));
        }
    }
    return unit;
}

// Mixer, selector, effect, processing and extension units: their sources
// and, where they start a cluster of their own, its channel count.
UnitEntity ReadUnit(DescriptorBytes d, AudioClassVersion version) {
    UnitEntity unit{At(d, 3), d[2], {}, 0};
    bool v2 = version == AudioClassVersion::V2;
    uint8_t subtype = d[2];
    if (subtype == uac::kAcMixerUnit || subtype == uac::kAcSelectorUnit) {
        uint8_t pins = At(d, 4);
        unit.sources = Bytes(d, 5, pins);
        if (subtype == uac::kAcMixerUnit) unit.channels = At(d, 5 + pins);
    } else if (v2 && subtype == uac::kAc2EffectUnit) {
        unit.sources = {At(d, 6)};
    } else {
        uint8_t pins = At(d, 6);  // processing and extension: after the two-byte type or code
        unit.sources = Bytes(d, 7, pins);
        unit.channels = At(d, 7 + pins);
    }
    return unit;
}

bool IsUnitSubtype(uint8_t subtype, AudioClassVersion version) {
    if (subtype == uac::kAcMixerUnit || subtype == uac::kAcSelectorUnit) return true;
    if (version == AudioClassVersion::V1) return subtype == uac::kAc1ProcessingUnit || subtype == uac::kAc1ExtensionUnit;
    return subtype == uac::kAc2EffectUnit || subtype == uac::kAc2ProcessingUnit || subtype == uac::kAc2ExtensionUnit;
}

void ReadControlEntity(AudioModel& model, DescriptorBytes d) {
    if (d.size() < 4 || d[1] != usb::kCsInterface) return;
    uint8_t subtype = d[2];
    bool v2 = model.version == AudioClassVersion::V2;
    if (subtype == uac::kAcInputTerminal || subtype == uac::kAcOutputTerminal) {
        model.terminals.push_back(ReadTerminal(d, model.version));
    } else if (subtype == uac::kAcFeatureUnit) {
        model.featureUnits.push_back(ReadFeatureUnit(d, model.version));
    } else if (v2 && subtype == uac::kAc2ClockSource) {
        model.clockSources.push_back(ClockSourceEntity{At(d, 3), At(d, 4), At(d, 5)});
    } else if (v2 && subtype == uac::kAc2ClockSelector) {
        uint8_t pins = At(d, 4);
        model.clockSelectors.push_back(ClockSelectorEntity{At(d, 3), Bytes(d, 5, pins), At(d, 5 + pins)});
    } else if (IsUnitSubtype(subtype, model.version)) {
        model.units.push_back(ReadUnit(d, model.version));
    }
}

std::vector<RateRange> ReadVersion1Rates(DescriptorBytes d) {
    uint8_t count = At(d, 7);
    if (count == 0) return {RateRange{Le(d, 8, 3), Le(d, 11, 3), 1}};
    std::vector<RateRange> rates;
    for (size_t i = 0; i < count && 8 + 3 * i + 3 <= d.size(); ++i) rates.push_back(DiscreteRate(Le(d, 8 + 3 * i, 3)));
    return rates;
}

void ReadStreamingFormat(StreamAltSetting& alt, DescriptorBytes d, AudioClassVersion version) {
    bool v2 = version == AudioClassVersion::V2;
    if (IsClassSpecific(d, uac::kAsGeneral)) {
        alt.terminalLink = At(d, 3);
        if (v2) {
            alt.formats = Le(d, 6, 4);
            alt.format.channels = At(d, 10);
        } else {
            uint32_t tag = Le(d, 5, 2);
            alt.formats = tag == uac::kFormatTagIeeeFloat ? uac::kFormatIeeeFloat : tag == uac::kFormatTagPcm ? uac::kFormatPcm : 0;
        }
        alt.format.ieeeFloat = (alt.formats & uac::kFormatIeeeFloat) != 0 && (alt.formats & uac::kFormatPcm) == 0;
    } else if (IsClassSpecific(d, uac::kAsFormatType) && At(d, 3) == uac::kFormatTypeI) {
        if (v2) {
            alt.format.subslotBytes = At(d, 4);
            alt.format.bitResolution = At(d, 5);
        } else {
            alt.format.channels = At(d, 4);
            alt.format.subslotBytes = At(d, 5);
            alt.format.bitResolution = At(d, 6);
            alt.rates = ReadVersion1Rates(d);
        }
    }
}

StreamEndpoint ReadEndpoint(const EndpointLayout& e) {
    StreamEndpoint endpoint{e.Address(), e.Attributes(), e.MaxPacketSize(), e.Interval(), e.Refresh(), e.SynchAddress(), 0};
    for (DescriptorBytes cs : e.classSpecific) {
        if (cs.size() >= 4 && cs[1] == usb::kCsEndpoint && cs[2] == uac::kEpGeneral) endpoint.generalAttributes = cs[3];
    }
    return endpoint;
}

// The data endpoint is the isochronous one carrying audio (usage 00 or 10);
// the feedback endpoint has usage 01 or is the data endpoint's synch address.
void ReadStreamingEndpoints(StreamAltSetting& alt, const AltSettingLayout& layout) {
    for (const EndpointLayout& e : layout.endpoints) {
        if ((e.Attributes() & usb::kTransferMask) != usb::kTransferIsochronous) continue;
        StreamEndpoint endpoint = ReadEndpoint(e);
        if (!alt.data && endpoint.Usage() != usb::kUsageFeedback) {
            alt.data = endpoint;
        } else if (!alt.feedback) {
            alt.feedback = endpoint;
        }
    }
    if (alt.data && alt.feedback && alt.data->synchAddress == 0 && alt.feedback->Usage() != usb::kUsageFeedback) {
        alt.feedback.reset();  // a second data endpoint, not a feedback one
    }
}

void ReadStreamingAlternate(AudioModel& model, const AltSettingLayout& layout) {
    StreamAltSetting alt;
    alt.alternate = layout.Alternate();
    for (DescriptorBytes d : layout.classSpecific) ReadStreamingFormat(alt, d, model.version);
    ReadStreamingEndpoints(alt, layout);
    if (!alt.data || alt.format.channels == 0 || alt.format.subslotBytes == 0 || alt.format.subslotBytes > 4) return;
    auto existing = std::find_if(model.streaming.begin(), model.streaming.end(),
                                 [&](const StreamingInterface& s) { return s.number == layout.Number(); });
    if (existing == model.streaming.end()) {
        model.streaming.push_back(StreamingInterface{layout.Number(), {}});
        existing = model.streaming.end() - 1;
    }
    existing->alternates.push_back(alt);
}

template <typename T>
const T* FindById(const std::vector<T>& entities, uint8_t id) {
    for (const T& entity : entities) {
        if (entity.id == id) return &entity;
    }
    return nullptr;
}

}  // namespace

bool IsAudioInterface(const AltSettingLayout& alt, uint8_t subclass) {
    return (alt.Class() == uac::kAudioClass || alt.Class() == uac::kVendorClass) && alt.Subclass() == subclass;
}

const StreamAltSetting* StreamingInterface::Alternate(uint8_t alternate) const {
    for (const StreamAltSetting& alt : alternates) {
        if (alt.alternate == alternate) return &alt;
    }
    return nullptr;
}

const ClockSourceEntity* AudioModel::ClockSource(uint8_t id) const { return FindById(clockSources, id); }
const ClockSelectorEntity* AudioModel::ClockSelector(uint8_t id) const { return FindById(clockSelectors, id); }
const TerminalEntity* AudioModel::Terminal(uint8_t id) const { return FindById(terminals, id); }
const FeatureUnitEntity* AudioModel::FeatureUnit(uint8_t id) const { return FindById(featureUnits, id); }

const StreamingInterface* AudioModel::Streaming(uint8_t interfaceNumber) const {
    for (const StreamingInterface& s : streaming) {
        if (s.number == interfaceNumber) return &s;
    }
    return nullptr;
}

uint8_t AudioModel::ClusterChannels(uint8_t id) const {
    // Follows sources upstream; a bounded walk, since hostile descriptors may loop.
    for (int depth = 0; depth < 32; ++depth) {
        if (const TerminalEntity* t = Terminal(id)) {
            if (t->input) return t->channels;
            id = t->source;
        } else if (const FeatureUnitEntity* fu = FeatureUnit(id)) {
            id = fu->source;
        } else if (const UnitEntity* unit = FindById(units, id)) {
            if (unit->channels != 0) return unit->channels;
            if (unit->sources.empty()) return 0;
            id = unit->sources.front();
        } else {
            return 0;
        }
    }
    return 0;
}

std::optional<AudioModel> ReadAudioModel(const ConfigurationLayout& layout) {
    const AltSettingLayout* control = nullptr;
    for (const AltSettingLayout& alt : layout.altSettings) {
        bool hasHeader = !alt.classSpecific.empty() && IsClassSpecific(alt.classSpecific.front(), uac::kAcHeader);
        if (IsAudioInterface(alt, uac::kSubclassAudioControl) && hasHeader) {
            control = &alt;
            break;
        }
    }
    if (control == nullptr) return std::nullopt;
    AudioModel model;
    model.controlInterface = control->Number();
    uint32_t bcdADC = Le(control->classSpecific.front(), 3, 2);
    model.version = bcdADC >= uac::kBcdVersion2 ? AudioClassVersion::V2 : AudioClassVersion::V1;
    for (DescriptorBytes d : control->classSpecific) ReadControlEntity(model, d);
    for (const AltSettingLayout& alt : layout.altSettings) {
        if (IsAudioInterface(alt, uac::kSubclassAudioStreaming)) ReadStreamingAlternate(model, alt);
    }
    return model;
}

}  // namespace simusb
