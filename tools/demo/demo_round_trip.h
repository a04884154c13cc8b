// The round trip the session should measure, computed from the channel's,
// the driver's and the device's parameters by the round-trip model.
#pragma once

#include "asiopeer/round_trip_model.h"
#include "demo_options.h"
#include "simusb/audio_device.h"

namespace vq7demo {

// `render` is the device's running render stream. The driver's transfer
// sizing is read from its process-wide performance values.
asiopeer::RoundTrip ComputedRoundTrip(const DemoOptions& options, simusb::AudioDevice& device,
                                      const simusb::RenderStream& render);

}  // namespace vq7demo
