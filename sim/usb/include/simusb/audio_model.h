// The audio function of a configuration as its descriptors describe it:
// clock entities, terminals, units and streaming interfaces. Read leniently
// from any bytes (a hostile descriptor yields a smaller model, never a read
// out of bounds); the device answers class requests and streams from it.
//
// Audio interfaces are those of class 1, or of class 0xFF (vendor-specific)
// with the audio subclasses 1 (control) and 2 (streaming).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "simusb/audio_description.h"
#include "simusb/audio_settings.h"
#include "simusb/configuration_layout.h"
#include "simusb/sample_format.h"

namespace simusb {

// The two-bit field `index` (0 for bits 1..0) of a version 2.0 bmControls.
inline Access ControlAccess(uint32_t controls, unsigned index) {
    uint32_t field = (controls >> (2 * index)) & 3;
    return field == 3 ? Access::Programmable : field == 1 ? Access::ReadOnly : Access::None;
}

struct ClockSourceEntity {
    uint8_t id = 0;
    uint8_t attributes = 0;
    uint8_t controls = 0;  // frequency in bits 1..0, validity in bits 3..2
};

struct ClockSelectorEntity {
    uint8_t id = 0;
    std::vector<uint8_t> sources;
    uint8_t controls = 0;
};

struct TerminalEntity {
    uint8_t id = 0;
    bool input = true;
    uint16_t type = 0;
    uint8_t source = 0;  // output terminals
    uint8_t clock = 0;   // version 2.0
    uint8_t channels = 0;
    uint32_t channelConfig = 0;
    uint8_t channelNames = 0;
    uint16_t controls = 0;  // version 2.0; connector in bits 3..2
};

struct FeatureUnitEntity {
    uint8_t id = 0;
    uint8_t source = 0;
    // Per channel, [0] master, in the version 2.0 two-bit form (a version 1.0
    // control bit reads as programmable).
    std::vector<uint32_t> controls;
};

struct UnitEntity {
    uint8_t id = 0;
    uint8_t subtype = 0;
    std::vector<uint8_t> sources;
    uint8_t channels = 0;  // 0 where the unit passes its source's cluster through
};

struct StreamEndpoint {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacketSize = 0;
    uint8_t interval = 1;
    uint8_t refresh = 0;
    uint8_t synchAddress = 0;
    uint8_t generalAttributes = 0;  // EP_GENERAL bmAttributes

    SyncType Sync() const { return static_cast<SyncType>((attributes >> 2) & 3); }
    uint8_t Usage() const { return (attributes >> 4) & 3; }
    bool In() const { return (address & 0x80) != 0; }
};

struct StreamAltSetting {
    uint8_t alternate = 0;
    uint8_t terminalLink = 0;
    uint32_t formats = 0;  // version 2.0 bmFormats; version 1.0 maps its format tag onto them
    SampleFormat format;
    std::vector<RateRange> rates;  // version 1.0: from the format descriptor
    std::optional<StreamEndpoint> data;
    std::optional<StreamEndpoint> feedback;
};

struct StreamingInterface {
    uint8_t number = 0;
    std::vector<StreamAltSetting> alternates;  // those with a data endpoint

    const StreamAltSetting* Alternate(uint8_t alternate) const;
    bool Capture() const { return !alternates.empty() && alternates.front().data->In(); }
};

struct AudioModel {
    AudioClassVersion version = AudioClassVersion::V2;
    uint8_t controlInterface = 0;
    std::vector<ClockSourceEntity> clockSources;
    std::vector<ClockSelectorEntity> clockSelectors;
    std::vector<TerminalEntity> terminals;
    std::vector<FeatureUnitEntity> featureUnits;
    std::vector<UnitEntity> units;
    std::vector<StreamingInterface> streaming;

    const ClockSourceEntity* ClockSource(uint8_t id) const;
    const ClockSelectorEntity* ClockSelector(uint8_t id) const;
    const TerminalEntity* Terminal(uint8_t id) const;
    const FeatureUnitEntity* FeatureUnit(uint8_t id) const;
    const StreamingInterface* Streaming(uint8_t interfaceNumber) const;
    // Channels of the cluster entity `id` produces (0 if unknown).
    uint8_t ClusterChannels(uint8_t id) const;
};

// nullopt when the configuration has no audio control interface.
std::optional<AudioModel> ReadAudioModel(const ConfigurationLayout& layout);

bool IsAudioInterface(const AltSettingLayout& alt, uint8_t subclass);

}  // namespace simusb
