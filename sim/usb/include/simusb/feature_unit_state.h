// Mute and volume of one feature unit, per channel (0 is the master
// channel), with what the descriptor says the host may do with each.
#pragma once

#include <cstdint>
#include <vector>

#include "simusb/audio_model.h"
#include "simusb/audio_settings.h"

namespace simusb {

class FeatureUnitState {
public:
    FeatureUnitState(const FeatureUnitEntity& entity, const FeatureUnitSettings* settings);

    uint8_t Id() const { return id_; }
    size_t Channels() const { return channels_.size(); }  // including the master channel
    Access MuteAccess(uint8_t channel) const;
    Access VolumeAccess(uint8_t channel) const;
    bool Muted(uint8_t channel) const { return channels_.at(channel).muted; }
    int16_t Volume(uint8_t channel) const { return channels_.at(channel).volume; }
    const VolumeRange& Range(uint8_t channel) const { return channels_.at(channel).range; }
    void SetMuted(uint8_t channel, bool muted) { channels_.at(channel).muted = muted; }
    // Values outside the range are clamped to it, as a device's hardware would.
    void SetVolume(uint8_t channel, int16_t volume);

private:
    uint8_t id_;
    std::vector<uint32_t> controls_;
    std::vector<ChannelSettings> channels_;
};

}  // namespace simusb
