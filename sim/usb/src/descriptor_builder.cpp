#include "simusb/descriptor_builder.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "descriptor_emitters.h"
#include "simusb/bus_timing.h"
#include "simusb/usb_codes.h"

namespace simusb {

namespace emit {

void Interface(ByteWriter& w, uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls, uint8_t subclass,
               uint8_t protocol) {
    w.U8(usb::kInterfaceDescriptorLength).U8(usb::kInterfaceDescriptor).U8(number).U8(alternate).U8(endpoints);
    w.U8(cls).U8(subclass).U8(protocol).U8(0);
}

void Endpoint(ByteWriter& w, AudioClassVersion version, uint8_t address, uint8_t attributes, uint16_t maxPacketSize,
              uint8_t interval, uint8_t refresh, uint8_t synchAddress) {
    bool audioForm = version == AudioClassVersion::V1;
    w.U8(audioForm ? usb::kAudioEndpointDescriptorLength : usb::kEndpointDescriptorLength).U8(usb::kEndpointDescriptor);
    w.U8(address).U8(attributes).U16(maxPacketSize).U8(interval);
    if (audioForm) w.U8(refresh).U8(synchAddress);
}

void ClassSpecific(ByteWriter& w, uint8_t type, uint8_t subtype, const std::vector<uint8_t>& body) {
    w.U8(static_cast<uint32_t>(3 + body.size())).U8(type).U8(subtype).Bytes(body);
}

uint8_t DataEndpointAttributes(const desc::Stream& stream) {
    uint8_t usage = stream.implicitFeedback ? usb::kUsageImplicitFeedback : usb::kUsageData;
    return static_cast<uint8_t>(usb::kTransferIsochronous | static_cast<uint8_t>(stream.sync) << usb::kSyncShift |
                                usage << usb::kUsageShift);
}

uint32_t SpatialConfig(uint8_t channels) {
    if (channels == 1) return 0x4;  // front centre
    if (channels == 2) return 0x3;  // front left, front right
    return 0;                       // non-spatial
}

const desc::Terminal& FindTerminal(const AudioDescription& d, uint8_t id) {
    for (const desc::Terminal& terminal : d.terminals) {
        if (terminal.id == id) return terminal;
    }
    throw std::invalid_argument("no terminal with ID " + std::to_string(id));
}

const std::vector<RateRange>& ClockRates(const desc::Clock& clock) {
    static const std::vector<RateRange> defaults = DiscreteRates(DefaultRates());
    return clock.rates.empty() ? defaults : clock.rates;
}

namespace {

uint32_t HighestClockRate(const AudioDescription& d, uint8_t id, int depth) {
    if (depth > 8) throw std::invalid_argument("clock entities form a loop");
    for (const desc::Clock& clock : d.clocks) {
        if (clock.id != id) continue;
        uint32_t highest = 0;
        for (const RateRange& range : ClockRates(clock)) highest = std::max(highest, range.max);
        return highest;
    }
    for (const desc::ClockSelector& selector : d.clockSelectors) {
        if (selector.id != id) continue;
        uint32_t highest = 0;
        for (uint8_t source : selector.sources) highest = std::max(highest, HighestClockRate(d, source, depth + 1));
        return highest;
    }
    throw std::invalid_argument("no clock entity with ID " + std::to_string(id));
}

}  // namespace

uint32_t HighestRate(const AudioDescription& d, const desc::Stream& stream) {
    if (d.version == AudioClassVersion::V1) {
        if (stream.rates.empty()) throw std::invalid_argument("a version 1.0 stream needs its rates");
        return *std::max_element(stream.rates.begin(), stream.rates.end());
    }
    return HighestClockRate(d, FindTerminal(d, stream.terminal).clock, 0);
}

uint16_t DataMaxPacketSize(const AudioDescription& d, const desc::Stream& stream, const desc::Format& format) {
    constexpr uint32_t kLengthHeader_bytes = 4;
    uint64_t periodsPerSecond = PeriodsPerSecond(d.speed) / ServiceInterval(stream.interval);
    uint64_t frames = (HighestRate(d, stream) + periodsPerSecond - 1) / periodsPerSecond + 1;
    uint64_t payload = frames * format.channels * format.subslotBytes;
    bool render = (stream.endpoint & 0x80) == 0;
    if (render && d.quirks.lengthHeaderFraming) payload += kLengthHeader_bytes;
    if (d.speed == Speed::Full) {
        if (payload > 1023) throw std::invalid_argument("a full-speed isochronous packet holds at most 1023 bytes");
        return static_cast<uint16_t>(payload);
    }
    uint64_t transactions = std::max<uint64_t>(stream.extraTransactions + 1u,
                                               (payload + usb::kMaxHighSpeedTransaction - 1) / usb::kMaxHighSpeedTransaction);
    if (transactions > 3) throw std::invalid_argument("a high-speed isochronous endpoint carries at most 3 x 1024 bytes");
    uint64_t perTransaction = (payload + transactions - 1) / transactions;
    return static_cast<uint16_t>(perTransaction | (transactions - 1) << usb::kMaxPacketExtraShift);
}

uint8_t FeedbackInterval(const AudioDescription& d, const desc::Stream& stream) {
    if (stream.feedbackInterval != 0) return stream.feedbackInterval;
    return d.speed == Speed::High ? 4 : 1;  // 2^(4-1) microframes, or one frame: 1 ms
}

}  // namespace emit

namespace {

constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kHidEndpoint = 0x8E;  // clear of the streams' endpoints by convention

std::vector<uint8_t> DeviceDescriptor(const AudioDescription& d) {
    bool association = d.version == AudioClassVersion::V2;
    std::vector<uint8_t> out;
    ByteWriter w(out);
    w.U8(usb::kDeviceDescriptorLength).U8(usb::kDeviceDescriptor).U16(d.speed == Speed::High ? 0x0200 : 0x0110);
    // Miscellaneous / common class / interface association, so the host binds the audio function as a whole.
    w.U8(association ? 0xEF : 0).U8(association ? 0x02 : 0).U8(association ? 0x01 : 0).U8(64);
    w.U16(d.identity.vendorId).U16(d.identity.productId).U16(d.identity.bcdDevice);
    w.U8(kManufacturerString).U8(kProductString).U8(d.identity.serial.empty() ? 0 : kSerialString).U8(1);
    return out;
}

void InterfaceAssociation(ByteWriter& w, const AudioDescription& d) {
    w.U8(usb::kInterfaceAssociationLength).U8(usb::kInterfaceAssociationDescriptor).U8(0);
    w.U8(static_cast<uint32_t>(1 + d.streams.size())).U8(d.interfaceClass).U8(uac::kFunctionSubclassUndefined);
    w.U8(uac::kProtocolVersion2).U8(0);
}

void StreamingInterface(ByteWriter& w, const AudioDescription& d, size_t index) {
    const desc::Stream& stream = d.streams[index];
    uint8_t number = StreamInterfaceNumber(index);
    uint8_t protocol = d.version == AudioClassVersion::V2 ? uac::kProtocolVersion2 : 0;
    emit::Interface(w, number, 0, 0, d.interfaceClass, uac::kSubclassAudioStreaming, protocol);
    uint8_t endpoints = stream.feedbackEndpoint != 0 ? 2 : 1;
    for (size_t alt = 0; alt < stream.formats.size(); ++alt) {
        emit::Interface(w, number, static_cast<uint8_t>(alt + 1), endpoints, d.interfaceClass,
                        uac::kSubclassAudioStreaming, protocol);
        if (d.version == AudioClassVersion::V2) {
            emit::Uac2StreamingSetting(w, d, stream, stream.formats[alt]);
        } else {
            emit::Uac1StreamingSetting(w, d, stream, stream.formats[alt]);
        }
    }
}

void ExtraInterface(ByteWriter& w, const AudioDescription& d, desc::ExtraInterface kind, uint8_t number) {
    switch (kind) {
    case desc::ExtraInterface::Hid: {
        constexpr uint16_t kReportDescriptor_bytes = 23;
        emit::Interface(w, number, 0, 1, 0x03, 0, 0);
        w.U8(9).U8(usb::kHidDescriptor).U16(0x0111).U8(0).U8(1).U8(0x22).U16(kReportDescriptor_bytes);
        emit::Endpoint(w, AudioClassVersion::V2, kHidEndpoint, usb::kTransferInterrupt, 8,
                       d.speed == Speed::High ? 8 : 16);
        break;
    }
    case desc::ExtraInterface::Dfu:
        emit::Interface(w, number, 0, 0, 0xFE, 0x01, 0x01);  // application-specific: firmware upgrade, runtime
        w.U8(9).U8(usb::kDfuFunctionalDescriptor).U8(0x0B).U16(1000).U16(64).U16(0x0110);
        break;
    case desc::ExtraInterface::Vendor:
        emit::Interface(w, number, 0, 0, 0xFF, 0, 0);
        break;
    }
}

std::vector<uint8_t> ConfigurationDescriptor(const AudioDescription& d) {
    std::vector<uint8_t> out;
    ByteWriter w(out);
    size_t interfaces = 1 + d.streams.size() + d.extraInterfaces.size();
    w.U8(usb::kConfigurationDescriptorLength).U8(usb::kConfigurationDescriptor).U16(0);
    w.U8(static_cast<uint32_t>(interfaces)).U8(kConfigurationValue).U8(0).U8(0x80).U8(250);  // bus powered, 500 mA
    if (d.version == AudioClassVersion::V2) {
        InterfaceAssociation(w, d);
        emit::Uac2ControlInterface(w, d);
    } else {
        emit::Uac1ControlInterface(w, d);
    }
    for (size_t i = 0; i < d.streams.size(); ++i) StreamingInterface(w, d, i);
    for (size_t i = 0; i < d.extraInterfaces.size(); ++i) {
        ExtraInterface(w, d, d.extraInterfaces[i], static_cast<uint8_t>(1 + d.streams.size() + i));
    }
    w.Patch(2, w.Size(), 2);
    return out;
}

std::vector<StringEntry> Strings(const desc::Identity& identity) {
    std::vector<StringEntry> strings = {
        {kManufacturerString, usb::kLangEnglishUs, Utf16FromUtf8(identity.manufacturer)},
        {kProductString, usb::kLangEnglishUs, Utf16FromUtf8(identity.product)},
    };
    if (!identity.serial.empty()) {
        strings.push_back({kSerialString, usb::kLangEnglishUs, Utf16FromUtf8(identity.serial)});
    }
    strings.insert(strings.end(), identity.extraStrings.begin(), identity.extraStrings.end());
    return strings;
}

ChannelSettings ChannelSettingsOf(const desc::Channel& channel) {
    return ChannelSettings{channel.range, channel.volume, channel.muted};
}

}  // namespace

DescriptorSet BuildDescriptors(const AudioDescription& description) {
    DescriptorSet set;
    set.speed = description.speed;
    set.device = DeviceDescriptor(description);
    set.configurations.push_back(ConfigurationDescriptor(description));
    set.strings = Strings(description.identity);
    return set;
}

AudioSettings BuildSettings(const AudioDescription& description) {
    AudioSettings settings;
    for (const desc::Clock& clock : description.clocks) {
        settings.clocks.push_back(ClockSettings{clock.id, emit::ClockRates(clock), clock.rate, clock.settle_ns});
    }
    for (const desc::FeatureUnit& unit : description.featureUnits) {
        FeatureUnitSettings fu{unit.id, {}};
        for (const desc::Channel& channel : unit.channels) fu.channels.push_back(ChannelSettingsOf(channel));
        settings.featureUnits.push_back(fu);
    }
    for (size_t i = 0; i < description.streams.size(); ++i) {
        const desc::Stream& stream = description.streams[i];
        settings.streams.push_back(StreamSettings{StreamInterfaceNumber(i), stream.render, stream.capture});
    }
    settings.quirks = description.quirks;
    settings.vendorModes = description.vendorModes;
    settings.clockOffset_ppb = description.clockOffset_ppb;
    return settings;
}

}  // namespace simusb
