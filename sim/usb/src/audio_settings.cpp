#include "simusb/audio_settings.h"

#include <algorithm>

namespace simusb {

std::vector<RateRange> DiscreteRates(const std::vector<uint32_t>& rates) {
    std::vector<RateRange> ranges;
    for (uint32_t rate : rates) ranges.push_back(DiscreteRate(rate));
    return ranges;
}

bool Offers(const std::vector<RateRange>& rates, uint32_t rate) {
    return std::any_of(rates.begin(), rates.end(), [&](const RateRange& r) { return r.Contains(rate); });
}

uint32_t PowerUpRate(const std::vector<RateRange>& rates, uint32_t preferred) {
    if (preferred != 0 && Offers(rates, preferred)) return preferred;
    if (Offers(rates, 48000)) return 48000;
    return rates.empty() ? 48000 : rates.front().min;
}

const std::vector<uint32_t>& DefaultRates() {
    static const std::vector<uint32_t> rates = {44100, 48000, 88200, 96000, 176400, 192000};
    return rates;
}

const ClockSettings* AudioSettings::Clock(uint8_t id) const {
    for (const ClockSettings& clock : clocks) {
        if (clock.id == id) return &clock;
    }
    return nullptr;
}

const FeatureUnitSettings* AudioSettings::FeatureUnit(uint8_t id) const {
    for (const FeatureUnitSettings& unit : featureUnits) {
        if (unit.id == id) return &unit;
    }
    return nullptr;
}

StreamSettings AudioSettings::Stream(uint8_t interfaceNumber) const {
    for (const StreamSettings& stream : streams) {
        if (stream.interfaceNumber == interfaceNumber) return stream;
    }
    StreamSettings defaults;
    defaults.interfaceNumber = interfaceNumber;
    return defaults;
}

}  // namespace simusb
