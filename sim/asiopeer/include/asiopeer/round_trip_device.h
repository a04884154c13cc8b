// The device's side of the round trip's parameters, read from a simulated
// device whose streams run: its render start threshold and where its sample
// clocks stood when it began sampling.
#pragma once

#include "asiopeer/round_trip_model.h"
#include "simusb/capture_stream.h"
#include "simusb/render_stream.h"

namespace asiopeer {

// Fills the device's parameters of `p` from `render` and `capture`, which
// must both be running, at one rate and clock offset. False, leaving `p`
// alone, otherwise.
bool TakeDeviceParameters(const simusb::RenderStream& render, const simusb::CaptureStream& capture,
                          RoundTripParameters& p);

}  // namespace asiopeer
