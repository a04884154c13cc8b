// A declarative description of a simulated USB audio device, a few lines per
// device. The builder (descriptor_builder.h) turns it into descriptors and
// settings; the device model reads its behaviour back from those.
//
// Interface numbers follow the description: 0 is audio control, the streams
// take 1, 2, ... in order, the extra interfaces come last.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simusb/audio_codes.h"
#include "simusb/audio_settings.h"
#include "simusb/descriptor_set.h"
#include "simusb/device.h"

namespace simusb {

enum class AudioClassVersion { V1, V2 };

// A two-bit control field of version 2.0 (01 read-only, 11 host
// programmable). Version 1.0 has one bit per control: any present control
// is programmable.
enum class Access : uint8_t { None = 0, ReadOnly = 1, Programmable = 3 };

enum class SyncType : uint8_t { None = 0, Async = 1, Adaptive = 2, Sync = 3 };

namespace desc {

struct Identity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0x0100;
    std::string manufacturer;
    std::string product;
    std::string serial;                     // empty: no serial-number string
    std::vector<StringEntry> extraStrings;  // e.g. the product name in a second language
};

// Clock source bmAttributes: clock type in bits 1..0, bit 2 synchronised to SOF.
inline constexpr uint8_t kClockExternal = 0x00;
inline constexpr uint8_t kClockInternalFixed = 0x01;
inline constexpr uint8_t kClockInternalVariable = 0x02;
inline constexpr uint8_t kClockInternalProgrammable = 0x03;
inline constexpr uint8_t kClockSyncedToSof = 0x04;

struct Clock {
    uint8_t id = 0;
    uint8_t attributes = kClockInternalProgrammable;
    Access frequency = Access::Programmable;
    Access validity = Access::ReadOnly;
    std::vector<RateRange> rates;  // empty: DefaultRates()
    uint32_t rate = 0;             // at power-up; 0: 48 kHz if offered, else the lowest
    int64_t settle_ns = 0;         // validity reads false this long after a rate change
    uint8_t assocTerminal = 0;
};

struct ClockSelector {
    uint8_t id = 0;
    std::vector<uint8_t> sources;  // clock entity IDs, pin 1 first
    Access selector = Access::Programmable;
};

enum class TerminalKind { Input, Output };

struct Terminal {
    uint8_t id = 0;
    TerminalKind kind = TerminalKind::Input;
    uint16_t type = uac::kTerminalUsbStreaming;
    uint8_t source = 0;           // output terminals: the entity feeding it
    uint8_t clock = 0;            // version 2.0: the clock entity
    uint8_t channels = 2;         // input terminals: the cluster it starts
    uint32_t channelConfig = 0x3; // input terminals: spatial locations (front left, front right)
    Access connector = Access::None;
    uint8_t assocTerminal = 0;
};

struct Channel {
    Access muteAccess = Access::None;
    Access volumeAccess = Access::None;
    VolumeRange range;
    int16_t volume = 0;  // 1/256 dB
    bool muted = false;
};

struct FeatureUnit {
    uint8_t id = 0;
    uint8_t source = 0;
    std::vector<Channel> channels;  // [0] is the master channel, then one per channel of the source's cluster
};

enum class UnitKind { Mixer, Selector, Effect, Processing, Extension };

// Units the device describes but does not model (descriptors only).
struct Unit {
    UnitKind kind = UnitKind::Mixer;
    uint8_t id = 0;
    std::vector<uint8_t> sources;
    uint8_t channels = 2;          // mixer, processing, extension: the cluster it produces
    uint32_t channelConfig = 0x3;
    uint16_t code = 0;             // wEffectType, wProcessType or wExtensionCode
    uint8_t inputChannels = 0;     // mixer: channels over all inputs; 0: sources * channels
};

struct Format {
    uint8_t channels = 2;
    uint8_t subslotBytes = 4;
    uint8_t bitResolution = 24;
    uint32_t formats = uac::kFormatPcm;  // version 2.0 bmFormats; version 1.0 uses PCM or IEEE float of it
};

struct Stream {
    uint8_t terminal = 0;         // the USB streaming terminal it links to
    std::vector<Format> formats;  // alternate settings 1, 2, ...; setting 0 has no endpoint
    uint8_t endpoint = 0;         // data endpoint address: bit 7 set captures, clear renders
    SyncType sync = SyncType::Async;
    bool implicitFeedback = false;  // a capture endpoint that also paces the render stream (usage 10)
    uint8_t feedbackEndpoint = 0;   // explicit feedback endpoint address, 0: none
    uint8_t interval = 1;           // bInterval of the data endpoint
    uint8_t feedbackInterval = 0;   // 0: 1 ms
    uint8_t extraTransactions = 0;  // high speed: wMaxPacketSize bits 12..11; 0: as the payload needs
    // Version 1.0: the sampling rates of the format descriptor (continuous:
    // {lowest, highest}), and whether the endpoint takes the sampling
    // frequency request.
    std::vector<uint32_t> rates;
    bool continuousRates = false;
    bool frequencyControl = true;
    uint8_t refresh = 2;            // version 1.0 synch endpoint: bRefresh
    RenderOptions render;
    CaptureOptions capture;
};

enum class ExtraInterface { Hid, Dfu, Vendor };

}  // namespace desc

struct AudioDescription {
    desc::Identity identity;
    Speed speed = Speed::High;
    AudioClassVersion version = AudioClassVersion::V2;
    uint8_t interfaceClass = uac::kAudioClass;  // 0xFF for devices that hide their audio interfaces
    uint8_t category = 0x08;                    // bCategory: I/O box
    std::vector<desc::Clock> clocks;
    std::vector<desc::ClockSelector> clockSelectors;
    std::vector<desc::Terminal> terminals;
    std::vector<desc::FeatureUnit> featureUnits;
    std::vector<desc::Unit> units;
    std::vector<desc::Stream> streams;
    std::vector<desc::ExtraInterface> extraInterfaces;
    QuirkBehaviour quirks;
    std::vector<uint16_t> vendorModes;  // modes the vendor mode request accepts; empty: it stalls
    int64_t clockOffset_ppb = 0;
};

}  // namespace simusb
