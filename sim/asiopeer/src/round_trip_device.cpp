#include "asiopeer/round_trip_device.h"

namespace asiopeer {

bool TakeDeviceParameters(const simusb::RenderStream& render, const simusb::CaptureStream& capture,
                          RoundTripParameters& p) {
    const simusb::ClockModel* clock = capture.Clock();
    const simusb::ClockModel* renderClock = render.Clock();
    if (clock == nullptr || renderClock == nullptr || !capture.Sampling() || renderClock->Rate() != clock->Rate() ||
        renderClock->OffsetPpb() != clock->OffsetPpb()) {
        return false;
    }
    p.deviceStartThreshold_frames = render.StartThreshold();
    p.deviceClockOffset_ppb = clock->OffsetPpb();
    p.captureClockPhase_e18 = clock->FractionBy(capture.SamplingSince());
    p.renderClockPhase_e18 = renderClock->FractionBy(capture.SamplingSince());
    return true;
}

}  // namespace asiopeer
