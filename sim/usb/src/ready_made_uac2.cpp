// Version 2.0 devices that each show one way of pacing or clocking a stream.

#include "ready_made_catalog.h"
#include "ready_made_parts.h"

namespace simusb::catalog {

namespace {

using namespace parts;

constexpr uint16_t kVendor = 0xF0E1;

}  // namespace

// Playback only, asynchronous with explicit feedback.
//   clock 5 -> IT 1 (USB) -> FU 6 -> OT 3 (headphones)
// FU 6: master mute programmable, master volume read-only, per-channel
// volume programmable from -100 dB to 0 dB in 0.5 dB steps.
AudioDescription AsyncDac() {
    AudioDescription d;
    d.identity = desc::Identity{kVendor, 0x0C10, 0x0100, "VQ Audio", "Async DAC", "DAC-7731", {}};
    d.category = 0x01;  // desktop speaker
    d.clocks = {InternalClock(5, {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000}, 5 * kMillisecond_ns)};
    d.terminals = {FromHost(1, 5, 2), PhysicalOut(3, uac::kTerminalHeadphones, 6, 5)};
    VolumeRange fine{-100 * 256, 0, 128};
    d.featureUnits = {desc::FeatureUnit{6, 1, {Controls(Access::Programmable, Access::ReadOnly),
                                               Controls(Access::None, Access::Programmable, fine),
                                               Controls(Access::None, Access::Programmable, fine)}}};
    desc::Stream render;
    render.terminal = 1;
    render.formats = {Pcm(2, 4, 24), Pcm(2, 2, 16), Float32(2)};
    render.endpoint = 0x01;
    render.feedbackEndpoint = 0x81;
    d.streams = {render};
    return d;
}

// Duplex, the render stream paced by the capture stream (implicit feedback,
// usage 10 on the capture endpoint), each direction on its own clock.
//   clock 1 -> IT 10 (USB) -> OT 11 (speaker)
//   clock 2 -> IT 12 (line in) -> OT 13 (USB)
AudioDescription ImplicitFeedbackDuplex() {
    AudioDescription d;
    d.identity = desc::Identity{kVendor, 0x0C20, 0x0100, "VQ Audio", "Implicit Duplex", "IFD-0042", {}};
    d.clocks = {InternalClock(1, DefaultRates()), InternalClock(2, DefaultRates())};
    d.terminals = {FromHost(10, 1, 2), PhysicalOut(11, uac::kTerminalSpeaker, 10, 1),
                   PhysicalIn(12, uac::kTerminalLineConnector, 2, 2), ToHost(13, 12, 2)};
    desc::Stream render;
    render.terminal = 10;
    render.formats = {Pcm(2, 4, 24)};
    render.endpoint = 0x02;
    desc::Stream capture;
    capture.terminal = 13;
    capture.formats = {Pcm(2, 4, 24)};
    capture.endpoint = 0x81;
    capture.implicitFeedback = true;
    d.streams = {render, capture};
    return d;
}

// Playback through a clock selector over a 44.1 kHz and a 48 kHz family
// clock, with every kind of unit on the way (descriptors only).
//   clocks 21, 22 -> CX 23
//   IT 1 (USB) -> FU 5 -> MU 6 (+ IT 7 mic) -> SU 8 -> EU 9 -> PU 10 -> XU 11 -> OT 12
AudioDescription ClockSelectorDevice() {
    AudioDescription d;
    d.identity = desc::Identity{kVendor, 0x0C30, 0x0100, "VQ Audio", "Clock Selector DAC", "CSD-0300", {}};
    d.clocks = {InternalClock(21, {44100, 88200, 176400}, 2 * kMillisecond_ns),
                InternalClock(22, {48000, 96000, 192000}, 2 * kMillisecond_ns)};
    d.clockSelectors = {desc::ClockSelector{23, {21, 22}, Access::Programmable}};
    d.terminals = {FromHost(1, 23, 2), PhysicalIn(7, uac::kTerminalMicrophone, 23, 1),
                   PhysicalOut(12, uac::kTerminalSpeaker, 11, 23)};
    d.featureUnits = {desc::FeatureUnit{5, 1, {Controls(Access::Programmable, Access::Programmable),
                                               Controls(Access::None, Access::Programmable),
                                               Controls(Access::None, Access::Programmable)}}};
    d.units = {
        desc::Unit{desc::UnitKind::Mixer, 6, {5, 7}, 2, 0x3, 0, 3},
        desc::Unit{desc::UnitKind::Selector, 8, {6, 5}, 2, 0x3, 0, 0},
        desc::Unit{desc::UnitKind::Effect, 9, {8}, 2, 0x3, 0x02, 0},        // reverberation
        desc::Unit{desc::UnitKind::Processing, 10, {9}, 2, 0x3, 0x03, 0},   // stereo extender
        desc::Unit{desc::UnitKind::Extension, 11, {10}, 2, 0x3, 0x7A01, 0},
    };
    desc::Stream render;
    render.terminal = 1;
    render.formats = {Pcm(2, 4, 24)};
    render.endpoint = 0x01;
    render.feedbackEndpoint = 0x81;
    d.streams = {render};
    return d;
}

// Playback only from an internal fixed clock at 48 kHz whose bmControls
// declare no sampling frequency control; like real devices of the kind it
// still answers the frequency CUR and RANGE reads, and stalls SET CUR.
//   clock 9 -> IT 1 (USB) -> OT 3 (speaker)
AudioDescription FixedClockDac() {
    AudioDescription d;
    d.identity = desc::Identity{kVendor, 0x0C40, 0x0100, "VQ Audio", "Fixed Clock DAC", "FCD-0048", {}};
    d.category = 0x01;  // desktop speaker
    desc::Clock clock = InternalClock(9, {48000}, 0);
    clock.attributes = desc::kClockInternalFixed;
    clock.frequency = Access::None;
    clock.validity = Access::None;
    d.clocks = {clock};
    d.terminals = {FromHost(1, 9, 2), PhysicalOut(3, uac::kTerminalSpeaker, 1, 9)};
    desc::Stream render;
    render.terminal = 1;
    render.formats = {Pcm(2, 4, 24), Pcm(2, 2, 16)};
    render.endpoint = 0x01;
    render.sync = SyncType::Adaptive;
    d.streams = {render};
    d.quirks.clockReadsWithoutControl = true;
    return d;
}

}  // namespace simusb::catalog
