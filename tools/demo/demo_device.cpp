#include "demo_device.h"

#include <algorithm>

#include "demo_error.h"
#include "device_source.h"

namespace vq7demo {

namespace {

const simusb::StreamingInterface* FirstStream(const simusb::AudioModel& model, bool capture) {
    for (const simusb::StreamingInterface& stream : model.streaming) {
        if (!stream.alternates.empty() && stream.Capture() == capture) return &stream;
    }
    return nullptr;
}

}  // namespace

LoopedDevice MakeLoopedDevice(const std::string& source, int64_t driftPpm) {
    std::shared_ptr<simusb::AudioDevice> original;
    try {
        original = vq7usb::OpenDevice(source);
    } catch (const std::exception& failure) {
        throw DemoError(failure.what());
    }
    const simusb::AudioModel* model = original->Model();
    const simusb::StreamingInterface* render = model != nullptr ? FirstStream(*model, false) : nullptr;
    const simusb::StreamingInterface* capture = model != nullptr ? FirstStream(*model, true) : nullptr;
    if (render == nullptr || capture == nullptr) {
        throw DemoError(source + ": the device needs a render and a capture stream for a round trip");
    }
    simusb::AudioSettings settings = original->Settings();
    simusb::StreamSettings looped = settings.Stream(capture->number);
    looped.interfaceNumber = capture->number;
    looped.capture.kind = simusb::CaptureKind::Loopback;
    looped.capture.loopbackInterface = render->number;
    looped.capture.loopbackDelay_frames = 0;
    std::erase_if(settings.streams, [&](const simusb::StreamSettings& s) { return s.interfaceNumber == capture->number; });
    settings.streams.push_back(looped);
    settings.clockOffset_ppb = driftPpm * 1000;
    LoopedDevice device;
    device.renderInterface = render->number;
    device.captureInterface = capture->number;
    device.usb = std::make_shared<simusb::AudioDevice>(original->Descriptors(), settings);
    return device;
}

}  // namespace vq7demo
