// The simulated devices tools and tests can name: each a few lines of
// AudioDescription, listed in one registry.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "simusb/audio_description.h"
#include "simusb/audio_device.h"

namespace simusb {

struct ReadyMadeDevice {
    std::string_view name;         // no spaces
    std::string_view description;  // one line
    AudioDescription (*describe)();

    std::unique_ptr<AudioDevice> Make() const { return MakeAudioDevice(describe()); }
};

std::span<const ReadyMadeDevice> ReadyMadeDevices();
// nullptr if no device has that name.
const ReadyMadeDevice* FindReadyMadeDevice(std::string_view name);

}  // namespace simusb
