// Runs the driver's class layer on a device, as the driver does at start:
// the device on a simulated bus, then Start and SelectConfiguration.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "model_view.h"
#include "refusal.h"
#include "simusb/audio_device.h"

namespace vq7usb {

// One simulated kernel and bus with the device attached, the class layer
// started on it as the adapter starts it; `use` sees the layer and the start
// status (and `refusal` where it stopped) before everything goes away again.
void WithStartedLayer(std::shared_ptr<simusb::AudioDevice> device, std::optional<Refusal>* refusal,
                      const std::function<void(CUSBAudioCL& layer, NTSTATUS start)>& use);

ModelView RunClassLayer(std::shared_ptr<simusb::AudioDevice> device);

}  // namespace vq7usb
