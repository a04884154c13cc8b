// Version 1.0 class-specific descriptors of the builder: the audio control
// interface (header with its collection, terminals, units with bControlSize)
// and one streaming alternate setting (type I format with its rate list,
// 9-byte audio endpoints, the synch endpoint).

#include <stdexcept>

#include "descriptor_emitters.h"
#include "simusb/descriptor_builder.h"
#include "simusb/usb_codes.h"

namespace simusb::emit {

namespace {

constexpr uint8_t kControlSize = 1;  // bControlSize of the units this builder writes

// One bit per control: mute D0, volume D1.
uint8_t FeatureControls(const desc::Channel& channel) {
    return static_cast<uint8_t>((channel.muteAccess != Access::None ? 1 : 0) | (channel.volumeAccess != Access::None ? 2 : 0));
}

void Terminal(ByteWriter& w, const desc::Terminal& t) {
    Body body;
    body.U8(t.id).U16(t.type).U8(t.assocTerminal);
    if (t.kind == desc::TerminalKind::Input) {
        body.U8(t.channels).U16(t.channelConfig & 0xFFFF).U8(0).U8(0);
        ClassSpecific(w, usb::kCsInterface, uac::kAcInputTerminal, body.Done());
    } else {
        ClassSpecific(w, usb::kCsInterface, uac::kAcOutputTerminal, body.U8(t.source).U8(0).Done());
    }
}

void FeatureUnit(ByteWriter& w, const desc::FeatureUnit& unit) {
    Body body;
    body.U8(unit.id).U8(unit.source).U8(kControlSize);
    for (const desc::Channel& channel : unit.channels) body.U8(FeatureControls(channel));
    ClassSpecific(w, usb::kCsInterface, uac::kAcFeatureUnit, body.U8(0).Done());
}

void Unit(ByteWriter& w, const desc::Unit& unit) {
    Body body;
    auto sources = [&] { body.U8(static_cast<uint32_t>(unit.sources.size())).Bytes(unit.sources); };
    auto cluster = [&] { body.U8(unit.channels).U16(unit.channelConfig & 0xFFFF).U8(0); };
    switch (unit.kind) {
    case desc::UnitKind::Mixer: {
        uint32_t inputs = unit.inputChannels != 0 ? unit.inputChannels : unit.channels * unit.sources.size();
        body.U8(unit.id);
        sources();
        cluster();
        body.Bytes(std::vector<uint8_t>((inputs * unit.channels + 7) / 8, 0xFF)).U8(0);
        ClassSpecific(w, usb::kCsInterface, uac::kAcMixerUnit, body.Done());
        break;
    }
    case desc::UnitKind::Selector:
        body.U8(unit.id);
        sources();
        ClassSpecific(w, usb::kCsInterface, uac::kAcSelectorUnit, body.U8(0).Done());
        break;
    case desc::UnitKind::Processing:
    case desc::UnitKind::Extension:
        body.U8(unit.id).U16(unit.code);
        sources();
        cluster();
        body.U8(kControlSize).U8(0).U8(0);
        ClassSpecific(w, usb::kCsInterface,
                      unit.kind == desc::UnitKind::Processing ? uac::kAc1ProcessingUnit : uac::kAc1ExtensionUnit,
                      body.Done());
        break;
    case desc::UnitKind::Effect:
        throw std::invalid_argument("version 1.0 has no effect unit");
    }
}

uint16_t FormatTag(const desc::Format& format) {
    return (format.formats & uac::kFormatIeeeFloat) != 0 ? uac::kFormatTagIeeeFloat : uac::kFormatTagPcm;
}

}  // namespace

void Uac1ControlInterface(ByteWriter& w, const AudioDescription& d) {
    Interface(w, 0, 0, 0, d.interfaceClass, uac::kSubclassAudioControl, 0);
    size_t header = w.Size();
    Body body;
    body.U16(uac::kBcdVersion1).U16(0).U8(static_cast<uint32_t>(d.streams.size()));
    for (size_t i = 0; i < d.streams.size(); ++i) body.U8(StreamInterfaceNumber(i));
    ClassSpecific(w, usb::kCsInterface, uac::kAcHeader, body.Done());
    for (const desc::Terminal& terminal : d.terminals) Terminal(w, terminal);
    for (const desc::FeatureUnit& unit : d.featureUnits) FeatureUnit(w, unit);
    for (const desc::Unit& unit : d.units) Unit(w, unit);
    constexpr size_t kTotalLengthOffset = 5;  // in the header: bLength, type, subtype, bcdADC
    w.Patch(header + kTotalLengthOffset, w.Size() - header, 2);
}

void Uac1StreamingSetting(ByteWriter& w, const AudioDescription& d, const desc::Stream& stream,
                          const desc::Format& format) {
    ClassSpecific(w, usb::kCsInterface, uac::kAsGeneral, Body().U8(stream.terminal).U8(1).U16(FormatTag(format)).Done());
    Body rates;
    rates.U8(uac::kFormatTypeI).U8(format.channels).U8(format.subslotBytes).U8(format.bitResolution);
    if (stream.continuousRates) {
        if (stream.rates.size() != 2) throw std::invalid_argument("a continuous rate range is {lowest, highest}");
        rates.U8(0).U24(stream.rates[0]).U24(stream.rates[1]);
    } else {
        rates.U8(static_cast<uint32_t>(stream.rates.size()));
        for (uint32_t rate : stream.rates) rates.U24(rate);
    }
    ClassSpecific(w, usb::kCsInterface, uac::kAsFormatType, rates.Done());
    Endpoint(w, AudioClassVersion::V1, stream.endpoint, DataEndpointAttributes(stream),
             DataMaxPacketSize(d, stream, format), stream.interval, 0, stream.feedbackEndpoint);
    uint8_t attributes = stream.frequencyControl ? uac::kEpSamplingFrequencyControl : 0;
    ClassSpecific(w, usb::kCsEndpoint, uac::kEpGeneral, Body().U8(attributes).U8(0).U16(0).Done());
    if (stream.feedbackEndpoint != 0) {
        Endpoint(w, AudioClassVersion::V1, stream.feedbackEndpoint, usb::kTransferIsochronous, 3,
                 FeedbackInterval(d, stream), stream.refresh, 0);
    }
}

}  // namespace simusb::emit
