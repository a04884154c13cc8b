// The device a session runs on: a ready-made simulated device or one read
// from a descriptor file, rebuilt with its first capture stream looping
// back its first render stream (so what the client plays comes back to
// it) and its clock set off by the asked offset.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "simusb/audio_device.h"

namespace vq7demo {

struct LoopedDevice {
    std::shared_ptr<simusb::AudioDevice> usb;
    uint8_t renderInterface = 0;
    uint8_t captureInterface = 0;
};

// Throws DemoError for a source that cannot be had or a device without
// both a render and a capture stream.
LoopedDevice MakeLoopedDevice(const std::string& source, int64_t driftPpm);

}  // namespace vq7demo
