#include "asiopeer/round_trip_device.h"

namespace asiopeer {

bool TakeDeviceParameters(const simusb::RenderStream& render, const simusb::CaptureStream& capture,
                          RoundTripParameters& p) {
    const simusb::ClockModel* clock = capture.Clock();
    if (clock == nullptr || render.Clock() != clock || !capture.Sampling()) return false;
    p.deviceStartThreshold_frames = render.StartThreshold();
    p.deviceClockOffset_ppb = clock->OffsetPpb();
    p.deviceClockPhase_e18 = clock->FractionBy(capture.SamplingSince());
    return true;
}

}  // namespace asiopeer
