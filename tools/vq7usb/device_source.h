// Where the device to look at comes from: a ready-made simulated device by
// name, or a descriptor file.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "simusb/audio_device.h"

namespace vq7usb {

// A device the user named that cannot be had: unknown name, unreadable or
// malformed file. Its message says why.
class DeviceSourceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `source` is a path to an existing file, or else a ready-made device's name.
// A file's warnings (it loads all the same) go to standard error.
std::shared_ptr<simusb::AudioDevice> OpenDevice(const std::string& source);

}  // namespace vq7usb
