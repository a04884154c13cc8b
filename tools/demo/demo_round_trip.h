// The round trip the session should measure, computed from the channel's,
// the driver's and the device's parameters by the round-trip model.
#pragma once

#include <optional>

#include "asiopeer/round_trip_model.h"
#include "demo_options.h"
#include "simusb/audio_device.h"

namespace vq7demo {

// `render` and `capture` are the device's running streams. The driver's
// transfer sizing is read from its process-wide performance values. None
// when the two streams' clocks differ in rate or offset, which the model
// does not describe.
std::optional<asiopeer::RoundTrip> ComputedRoundTrip(const DemoOptions& options, simusb::AudioDevice& device,
                                                     const simusb::RenderStream& render,
                                                     const simusb::CaptureStream& capture);

}  // namespace vq7demo
