#include "simusb/feature_unit_state.h"

#include <algorithm>

namespace simusb {

namespace {

constexpr unsigned kMuteField = 0;
constexpr unsigned kVolumeField = 1;

}  // namespace

FeatureUnitState::FeatureUnitState(const FeatureUnitEntity& entity, const FeatureUnitSettings* settings)
    : id_(entity.id), controls_(entity.controls), channels_(entity.controls.size()) {
    for (size_t ch = 0; settings != nullptr && ch < channels_.size() && ch < settings->channels.size(); ++ch) {
        channels_[ch] = settings->channels[ch];
    }
}

Access FeatureUnitState::MuteAccess(uint8_t channel) const {
    return channel < controls_.size() ? ControlAccess(controls_[channel], kMuteField) : Access::None;
}

Access FeatureUnitState::VolumeAccess(uint8_t channel) const {
    return channel < controls_.size() ? ControlAccess(controls_[channel], kVolumeField) : Access::None;
}

void FeatureUnitState::SetVolume(uint8_t channel, int16_t volume) {
    ChannelSettings& ch = channels_.at(channel);
    ch.volume = std::clamp(volume, ch.range.min, ch.range.max);
}

}  // namespace simusb
