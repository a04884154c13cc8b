// Full-speed version 1.0 devices.

#include "ready_made_catalog.h"
#include "ready_made_parts.h"

namespace simusb::catalog {

namespace {

using namespace parts;

constexpr uint16_t kVendor = 0xF0E1;

desc::Terminal Version1Input(uint8_t id, uint16_t type, uint8_t channels) {
    desc::Terminal t = FromHost(id, 0, channels);
    t.type = type;
    return t;
}

desc::Terminal Version1Output(uint8_t id, uint16_t type, uint8_t source) {
    desc::Terminal t = ToHost(id, source, 0);
    t.type = type;
    return t;
}

desc::FeatureUnit MuteAndVolumes(uint8_t id, uint8_t source) {
    return desc::FeatureUnit{id, source, {Controls(Access::Programmable, Access::None),
                                          Controls(Access::None, Access::Programmable),
                                          Controls(Access::None, Access::Programmable)}};
}

}  // namespace

// 16-bit stereo both ways at 44.1 or 48 kHz; adaptive render, synchronous capture.
//   IT 1 (USB) -> FU 2 -> OT 3 (speaker);  IT 4 (microphone) -> OT 5 (USB)
AudioDescription Uac1Duplex() {
    AudioDescription d;
    d.identity = desc::Identity{kVendor, 0x0D10, 0x0100, "VQ Audio", "USB Headset", "", {}};
    d.speed = Speed::Full;
    d.version = AudioClassVersion::V1;
    d.terminals = {Version1Input(1, uac::kTerminalUsbStreaming, 2), Version1Output(3, uac::kTerminalSpeaker, 2),
                   Version1Input(4, uac::kTerminalMicrophone, 2), Version1Output(5, uac::kTerminalUsbStreaming, 4)};
    d.featureUnits = {MuteAndVolumes(2, 1)};
    desc::Stream render;
    render.terminal = 1;
    render.formats = {Pcm(2, 2, 16)};
    render.endpoint = 0x01;
    render.sync = SyncType::Adaptive;
    render.rates = {44100, 48000};
    desc::Stream capture = render;
    capture.terminal = 5;
    capture.endpoint = 0x82;
    capture.sync = SyncType::Sync;
    d.streams = {render, capture};
    return d;
}

// Asynchronous playback paced by a synch endpoint (10.14 feedback), 24 bits
// in 3-byte subslots, any rate from 32 to 96 kHz.
//   IT 1 (USB) -> FU 2 -> OT 3 (headphones)
AudioDescription Uac1AsyncDac() {
    AudioDescription d;
    d.identity = desc::Identity{kVendor, 0x0D20, 0x0100, "VQ Audio", "Async DAC 1", "A1-5521", {}};
    d.speed = Speed::Full;
    d.version = AudioClassVersion::V1;
    d.terminals = {Version1Input(1, uac::kTerminalUsbStreaming, 2), Version1Output(3, uac::kTerminalHeadphones, 2)};
    d.featureUnits = {MuteAndVolumes(2, 1)};
    desc::Stream render;
    render.terminal = 1;
    render.formats = {Pcm(2, 3, 24)};
    render.endpoint = 0x01;
    render.feedbackEndpoint = 0x81;
    render.refresh = 5;  // feedback every 32 ms
    render.rates = {32000, 96000};
    render.continuousRates = true;
    d.streams = {render};
    return d;
}

}  // namespace simusb::catalog
