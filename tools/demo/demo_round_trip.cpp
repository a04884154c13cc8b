#include "demo_round_trip.h"

#include "asiopeer/round_trip_device.h"
#include "wavert/performance_parameters.h"

namespace vq7demo {

std::optional<asiopeer::RoundTrip> ComputedRoundTrip(const DemoOptions& options, simusb::AudioDevice& device,
                                                     const simusb::RenderStream& render,
                                                     const simusb::CaptureStream& capture) {
    asiopeer::RoundTripParameters p;
    if (!asiopeer::TakeDeviceParameters(render, capture, p)) return std::nullopt;
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
    p.highSpeed = device.speed() == simusb::Speed::High;
    return asiopeer::ComputeRoundTrip(p);
}

}  // namespace vq7demo
