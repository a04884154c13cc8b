// Version 2.0 class-specific descriptors of the builder: the audio control
// interface with its clock entities, terminals and units, and one streaming
// alternate setting.

#include <stdexcept>

#include "descriptor_emitters.h"
#include "simusb/usb_codes.h"

namespace simusb::emit {

namespace {

// bmaControls of a feature unit channel: mute in bits 1..0, volume in bits 3..2.
uint32_t FeatureControls(const desc::Channel& channel) {
    return static_cast<uint32_t>(channel.muteAccess) | static_cast<uint32_t>(channel.volumeAccess) << 2;
}

void ClockSource(ByteWriter& w, const desc::Clock& clock) {
    uint32_t controls = static_cast<uint32_t>(clock.frequency) | static_cast<uint32_t>(clock.validity) << 2;
    ClassSpecific(w, usb::kCsInterface, uac::kAc2ClockSource,
                  Body().U8(clock.id).U8(clock.attributes).U8(controls).U8(clock.assocTerminal).U8(0).Done());
}

void ClockSelector(ByteWriter& w, const desc::ClockSelector& selector) {
    Body body;
    body.U8(selector.id).U8(static_cast<uint32_t>(selector.sources.size())).Bytes(selector.sources);
    ClassSpecific(w, usb::kCsInterface, uac::kAc2ClockSelector,
                  body.U8(static_cast<uint32_t>(selector.selector)).U8(0).Done());
}

void Terminal(ByteWriter& w, const desc::Terminal& t) {
    uint32_t controls = static_cast<uint32_t>(t.connector) << 2;
    Body body;
    body.U8(t.id).U16(t.type).U8(t.assocTerminal);
    if (t.kind == desc::TerminalKind::Input) {
        body.U8(t.clock).U8(t.channels).U32(t.channelConfig).U8(0).U16(controls).U8(0);
        ClassSpecific(w, usb::kCsInterface, uac::kAcInputTerminal, body.Done());
    } else {
        body.U8(t.source).U8(t.clock).U16(controls).U8(0);
        ClassSpecific(w, usb::kCsInterface, uac::kAcOutputTerminal, body.Done());
    }
}

void FeatureUnit(ByteWriter& w, const desc::FeatureUnit& unit) {
    Body body;
    body.U8(unit.id).U8(unit.source);
    for (const desc::Channel& channel : unit.channels) body.U32(FeatureControls(channel));
    ClassSpecific(w, usb::kCsInterface, uac::kAcFeatureUnit, body.U8(0).Done());
}

void Unit(ByteWriter& w, const desc::Unit& unit) {
    Body body;
    auto sources = [&] { body.U8(static_cast<uint32_t>(unit.sources.size())).Bytes(unit.sources); };
    auto cluster = [&] { body.U8(unit.channels).U32(unit.channelConfig).U8(0); };
    switch (unit.kind) {
    case desc::UnitKind::Mixer: {
        uint32_t inputs = unit.inputChannels != 0 ? unit.inputChannels : unit.channels * unit.sources.size();
        size_t bitmapBytes = (inputs * unit.channels + 7) / 8;
        body.U8(unit.id);
        sources();
        cluster();
        body.Bytes(std::vector<uint8_t>(bitmapBytes, 0xFF)).U8(0).U8(0);
        ClassSpecific(w, usb::kCsInterface, uac::kAcMixerUnit, body.Done());
        break;
    }
    case desc::UnitKind::Selector:
        body.U8(unit.id);
        sources();
        ClassSpecific(w, usb::kCsInterface, uac::kAcSelectorUnit, body.U8(0).U8(0).Done());
        break;
    case desc::UnitKind::Effect:
        if (unit.sources.size() != 1) throw std::invalid_argument("an effect unit has exactly one source");
        body.U8(unit.id).U16(unit.code).U8(unit.sources[0]);
        for (size_t ch = 0; ch <= unit.channels; ++ch) body.U32(0);
        ClassSpecific(w, usb::kCsInterface, uac::kAc2EffectUnit, body.U8(0).Done());
        break;
    case desc::UnitKind::Processing:
    case desc::UnitKind::Extension: {
        bool processing = unit.kind == desc::UnitKind::Processing;
        body.U8(unit.id).U16(unit.code);
        sources();
        cluster();
        body.Le(0, processing ? 2 : 1).U8(0);  // bmControls is two bytes on a processing unit, one on an extension unit
        ClassSpecific(w, usb::kCsInterface, processing ? uac::kAc2ProcessingUnit : uac::kAc2ExtensionUnit, body.Done());
        break;
    }
    }
}

}  // namespace

void Uac2ControlInterface(ByteWriter& w, const AudioDescription& d) {
    Interface(w, 0, 0, 0, d.interfaceClass, uac::kSubclassAudioControl, uac::kProtocolVersion2);
    size_t header = w.Size();
    ClassSpecific(w, usb::kCsInterface, uac::kAcHeader, Body().U16(uac::kBcdVersion2).U8(d.category).U16(0).U8(0).Done());
    for (const desc::Clock& clock : d.clocks) ClockSource(w, clock);
    for (const desc::ClockSelector& selector : d.clockSelectors) ClockSelector(w, selector);
    for (const desc::Terminal& terminal : d.terminals) Terminal(w, terminal);
    for (const desc::FeatureUnit& unit : d.featureUnits) FeatureUnit(w, unit);
    for (const desc::Unit& unit : d.units) Unit(w, unit);
    constexpr size_t kTotalLengthOffset = 6;  // in the header: bLength, type, subtype, bcdADC, bCategory
    w.Patch(header + kTotalLengthOffset, w.Size() - header, 2);
}

void Uac2StreamingSetting(ByteWriter& w, const AudioDescription& d, const desc::Stream& stream,
                          const desc::Format& format) {
    ClassSpecific(w, usb::kCsInterface, uac::kAsGeneral,
                  Body().U8(stream.terminal).U8(0).U8(uac::kFormatTypeI).U32(format.formats).U8(format.channels)
                      .U32(SpatialConfig(format.channels)).U8(0).Done());
    ClassSpecific(w, usb::kCsInterface, uac::kAsFormatType,
                  Body().U8(uac::kFormatTypeI).U8(format.subslotBytes).U8(format.bitResolution).Done());
    Endpoint(w, AudioClassVersion::V2, stream.endpoint, DataEndpointAttributes(stream),
             DataMaxPacketSize(d, stream, format), stream.interval);
    ClassSpecific(w, usb::kCsEndpoint, uac::kEpGeneral, Body().U8(0).U8(0).U8(0).U16(0).Done());
    if (stream.feedbackEndpoint != 0) {
        uint8_t attributes = usb::kTransferIsochronous | usb::kUsageFeedback << usb::kUsageShift;
        Endpoint(w, AudioClassVersion::V2, stream.feedbackEndpoint, attributes, d.speed == Speed::High ? 4 : 3,
                 FeedbackInterval(d, stream));
    }
}

}  // namespace simusb::emit
