#include "demo_round_trip.h"

#include "wavert/performance_parameters.h"

namespace vq7demo {

asiopeer::RoundTrip ComputedRoundTrip(const DemoOptions& options, simusb::AudioDevice& device,
                                      const simusb::RenderStream& render) {
    asiopeer::RoundTripParameters p;
    p.rate_hz = options.rate;
    p.bufferFrames = options.bufferFrames;
    p.latencyPercent = 0;
    p.outputFrameBytes = static_cast<uint32_t>(render.Format().FrameBytes());
    p.classOne = device.Uac1() != nullptr;
    p.playbackFramesPerTransfer = vq7::PlaybackFramesPerTransfer;
    p.playbackTransfersInFlight = vq7::PlaybackTransfersInFlight;
    p.captureFramesPerTransfer = vq7::CaptureFramesPerTransfer;
    p.captureTransfersInFlight = vq7::CaptureTransfersInFlight;
    p.loopbackDelay_frames = 0;
    p.deviceStartThreshold_frames = render.StartThreshold();
    p.highSpeed = device.speed() == simusb::Speed::High;
    return asiopeer::ComputeRoundTrip(p);
}

}  // namespace vq7demo
