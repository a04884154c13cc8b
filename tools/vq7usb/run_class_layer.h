// Runs the driver's class layer on a device, as the driver does at start:
// the device on a simulated bus, then Start and SelectConfiguration.
#pragma once

#include <memory>

#include "model_view.h"
#include "simusb/audio_device.h"

namespace vq7usb {

ModelView RunClassLayer(std::shared_ptr<simusb::AudioDevice> device);

}  // namespace vq7usb
