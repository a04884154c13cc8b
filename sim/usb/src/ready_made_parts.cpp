#include "ready_made_parts.h"

namespace simusb::parts {

desc::Format Pcm(uint8_t channels, uint8_t subslotBytes, uint8_t bitResolution) {
    return desc::Format{channels, subslotBytes, bitResolution, uac::kFormatPcm};
}

desc::Format Float32(uint8_t channels) { return desc::Format{channels, 4, 32, uac::kFormatIeeeFloat}; }

desc::Format Raw32(uint8_t channels) { return desc::Format{channels, 4, 32, uac::kFormatRaw}; }

namespace {

desc::Terminal UsbTerminal(uint8_t id, desc::TerminalKind kind, uint8_t clock) {
    desc::Terminal t;
    t.id = id;
    t.kind = kind;
    t.type = uac::kTerminalUsbStreaming;
    t.clock = clock;
    return t;
}

}  // namespace

desc::Terminal FromHost(uint8_t id, uint8_t clock, uint8_t channels) {
    desc::Terminal t = UsbTerminal(id, desc::TerminalKind::Input, clock);
    t.channels = channels;
    t.channelConfig = channels == 2 ? 0x3 : 0;
    return t;
}

desc::Terminal ToHost(uint8_t id, uint8_t source, uint8_t clock) {
    desc::Terminal t = UsbTerminal(id, desc::TerminalKind::Output, clock);
    t.source = source;
    return t;
}

desc::Terminal PhysicalIn(uint8_t id, uint16_t type, uint8_t clock, uint8_t channels) {
    desc::Terminal t = FromHost(id, clock, channels);
    t.type = type;
    t.connector = Access::ReadOnly;
    return t;
}

desc::Terminal PhysicalOut(uint8_t id, uint16_t type, uint8_t source, uint8_t clock) {
    desc::Terminal t = ToHost(id, source, clock);
    t.type = type;
    t.connector = Access::ReadOnly;
    return t;
}

desc::Channel Controls(Access mute, Access volume, VolumeRange range) {
    desc::Channel channel;
    channel.muteAccess = mute;
    channel.volumeAccess = volume;
    channel.range = range;
    return channel;
}

desc::FeatureUnit MasterMuteVolume(uint8_t id, uint8_t source, uint8_t channels) {
    desc::FeatureUnit unit{id, source, std::vector<desc::Channel>(channels + 1u)};
    unit.channels[0] = Controls(Access::Programmable, Access::Programmable);
    return unit;
}

desc::Clock InternalClock(uint8_t id, std::vector<uint32_t> rates, int64_t settle_ns) {
    desc::Clock clock;
    clock.id = id;
    clock.rates = DiscreteRates(rates);
    clock.settle_ns = settle_ns;
    return clock;
}

AudioDescription StereoDuplex(const desc::Identity& identity) {
    AudioDescription d;
    d.identity = identity;
    d.clocks = {InternalClock(kStereoDuplexClock, DefaultRates(), 10 * kMillisecond_ns)};
    d.terminals = {FromHost(1, kStereoDuplexClock, 2), PhysicalOut(2, uac::kTerminalLineConnector, 1, kStereoDuplexClock),
                   PhysicalIn(3, uac::kTerminalLineConnector, kStereoDuplexClock, 2), ToHost(4, 3, kStereoDuplexClock)};
    desc::Stream render;
    render.terminal = 1;
    render.formats = {Pcm(2, 4, 24)};
    render.endpoint = 0x01;
    render.feedbackEndpoint = 0x81;
    desc::Stream capture;
    capture.terminal = 4;
    capture.formats = {Pcm(2, 4, 24)};
    capture.endpoint = 0x82;
    d.streams = {render, capture};
    return d;
}

}  // namespace simusb::parts
