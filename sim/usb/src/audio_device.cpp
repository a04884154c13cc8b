#include "simusb/audio_device.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "simusb/audio_codes.h"
#include "simusb/descriptor_builder.h"
#include "simusb/feedback.h"
#include "simusb/packet_framing.h"
#include "simusb/usb_codes.h"

namespace simusb {

namespace {

constexpr int64_t kPowerUp_ns = 0;  // device clocks start with the bus

// Brings a render or capture stream to `alt` on `clock` (stopped when clock is nullptr).
template <typename Stream>
void Follow(Stream& stream, const StreamAltSetting* alt, ClockModel* clock, int64_t now_ns) {
    if (clock == nullptr) {
        if (stream.Running()) stream.Stop(now_ns);
        return;
    }
    bool current = stream.Clock() == clock && stream.Epoch() == clock->Epoch() && stream.Alternate() == alt->alternate;
    if (!current) stream.Start(*alt, *clock, now_ns);
}

}  // namespace

AudioDevice::AudioDevice(DescriptorSet descriptors, AudioSettings settings)
    : StandardDevice(std::move(descriptors)), settings_(std::move(settings)) {
    if (Descriptors().configurations.empty()) return;
    ConfigurationLayout layout = ReadConfigurationLayout(Descriptors().configurations.front());
    model_ = ReadAudioModel(layout);
    if (!model_) return;
    audioConfiguration_ = layout.value;
    if (model_->version == AudioClassVersion::V2) {
        function_ = std::make_unique<Uac2Function>(*model_, settings_, kPowerUp_ns);
    } else {
        function_ = std::make_unique<Uac1Function>(*model_, settings_, kPowerUp_ns);
    }
    BuildPorts();
}

void AudioDevice::BuildPorts() {
    for (const StreamingInterface& stream : model_->streaming) {
        auto port = std::make_unique<Port>();
        port->model = &stream;
        StreamSettings options = settings_.Stream(stream.number);
        if (stream.Capture()) {
            port->capture = std::make_unique<CaptureStream>(speed(), options.capture);
            bool implicitFeedback = stream.alternates.front().data->Usage() == usb::kUsageImplicitFeedback;
            if (implicitFeedback) port->capture->SetPacketJitter(settings_.quirks.capturePacketJitter_frames);
        } else {
            port->render = std::make_unique<RenderStream>(speed(), options.render);
        }
        ports_.push_back(std::move(port));
    }
    // Capture sources last: a loopback needs its render port to exist.
    for (auto& port : ports_) {
        if (!port->capture) continue;
        CaptureOptions options = settings_.Stream(port->model->number).capture;
        const LoopbackTap* tap = nullptr;
        if (options.kind == CaptureKind::Loopback) {
            Port* looped = PortFor(options.loopbackInterface);
            if (looped == nullptr || !looped->render) {
                throw std::invalid_argument("loopback from interface " + std::to_string(options.loopbackInterface) +
                                            ", which does not render");
            }
            looped->render->SetTap(&looped->tap);
            port->looped = looped;
            tap = &looped->tap;
        }
        port->capture->SetSource(MakeCaptureSource(options, tap));
    }
}

AudioDevice::Port* AudioDevice::PortFor(uint8_t interfaceNumber) {
    for (auto& port : ports_) {
        if (port->model->number == interfaceNumber) return port.get();
    }
    return nullptr;
}

AudioDevice::Port* AudioDevice::DataPort(uint8_t endpointAddress) {
    for (auto& port : ports_) {
        for (const StreamAltSetting& alt : port->model->alternates) {
            if (alt.data->address == endpointAddress) return port.get();
        }
    }
    return nullptr;
}

AudioDevice::Port* AudioDevice::FeedbackPort(uint8_t endpointAddress) {
    for (auto& port : ports_) {
        for (const StreamAltSetting& alt : port->model->alternates) {
            if (alt.feedback && alt.feedback->address == endpointAddress) return port.get();
        }
    }
    return nullptr;
}

const StreamAltSetting* AudioDevice::SelectedAlternate(const Port& port) const {
    if (Configuration() == 0 || Configuration() != audioConfiguration_) return nullptr;
    return port.model->Alternate(AlternateSetting(port.model->number));
}

bool AudioDevice::StreamAllowed(uint8_t interfaceNumber, int64_t now_ns) const {
    for (const auto& port : ports_) {
        if (port->model->number != interfaceNumber) continue;
        const StreamAltSetting* alt = SelectedAlternate(*port);
        if (alt == nullptr || !function_->ClockValid(*alt, now_ns)) return false;
        return !settings_.quirks.streamsOnlyWithEveryInterface || HostConfiguredEveryInterface();
    }
    return false;
}

void AudioDevice::Sync(Port& port, int64_t now_ns) {
    const StreamAltSetting* alt = SelectedAlternate(port);
    ClockModel* clock = alt != nullptr && StreamAllowed(port.model->number, now_ns) ? function_->StreamClock(*alt) : nullptr;
    if (port.render) {
        Follow(*port.render, alt, clock, now_ns);
    } else {
        Follow(*port.capture, alt, clock, now_ns);
    }
}

void AudioDevice::SyncAll(int64_t now_ns) {
    for (auto& port : ports_) Sync(*port, now_ns);
}

void AudioDevice::AlternateSettingChanged(uint8_t interfaceNumber, uint8_t, int64_t now_ns) {
    if (Port* port = PortFor(interfaceNumber)) Sync(*port, now_ns);
}

void AudioDevice::isoOut(uint8_t endpointAddress, const BusTime& at, std::span<const uint8_t> packet) {
    Port* port = DataPort(endpointAddress);
    if (port == nullptr || !port->render) return;
    Sync(*port, at.time_ns);
    RenderPacket(*port, at, packet);
}

void AudioDevice::RenderPacket(Port& port, const BusTime& at, std::span<const uint8_t> packet) {
    RenderStream& render = *port.render;
    if (!render.Running()) return render.Reject(at, StreamEvent::Kind::NotStreaming, packet.size());
    if (!settings_.quirks.lengthHeaderFraming) return render.Packet(at, packet);
    const StreamAltSetting* alt = SelectedAlternate(port);
    if (packet.size() > usb::PayloadPerInterval(alt->data->maxPacketSize)) {
        return render.Reject(at, StreamEvent::Kind::PacketTooLong, packet.size());
    }
    std::optional<std::span<const uint8_t>> audio = UnwrapLengthHeader(packet);
    if (!audio) return render.Reject(at, StreamEvent::Kind::MalformedPacket, packet.size());
    render.Packet(at, *audio);
}

size_t AudioDevice::isoIn(uint8_t endpointAddress, const BusTime& at, std::span<uint8_t> buffer) {
    if (Port* port = DataPort(endpointAddress); port != nullptr && port->capture) {
        Sync(*port, at.time_ns);
        CaptureStream& capture = *port->capture;
        if (!capture.Running()) {
            capture.Reject(at, StreamEvent::Kind::NotStreaming);
            return 0;
        }
        if (port->looped != nullptr) {  // what render plays up to now is what capture can return
            Sync(*port->looped, at.time_ns);
            port->looped->render->AdvanceTo(at.time_ns);
        }
        return capture.Packet(at, buffer);
    }
    if (Port* port = FeedbackPort(endpointAddress); port != nullptr && port->render) {
        Sync(*port, at.time_ns);
        RenderStream& render = *port->render;
        const ClockModel* clock = render.Clock();
        if (clock == nullptr) return 0;
        render.AdvanceTo(at.time_ns);
        return WriteFeedback(*clock, speed(), render.FifoShortfall(), buffer);
    }
    return 0;
}

void AudioDevice::settle(int64_t now_ns) {
    for (auto& port : ports_) {
        Sync(*port, now_ns);
        if (port->render) port->render->AdvanceTo(now_ns);
    }
    for (auto& port : ports_) {
        if (port->capture) port->capture->AdvanceTo(now_ns);
    }
}

RenderStream* AudioDevice::Render(uint8_t interfaceNumber) {
    Port* port = PortFor(interfaceNumber);
    return port == nullptr ? nullptr : port->render.get();
}

CaptureStream* AudioDevice::Capture(uint8_t interfaceNumber) {
    Port* port = PortFor(interfaceNumber);
    return port == nullptr ? nullptr : port->capture.get();
}

RenderStream* AudioDevice::FirstRender() {
    for (auto& port : ports_) {
        if (port->render) return port->render.get();
    }
    return nullptr;
}

CaptureStream* AudioDevice::FirstCapture() {
    for (auto& port : ports_) {
        if (port->capture) return port->capture.get();
    }
    return nullptr;
}

void AudioDevice::SetClockOffsetPpb(int64_t offset_ppb, int64_t now_ns) {
    settle(now_ns);  // what was due at the old rate is played or sampled first
    settings_.clockOffset_ppb = offset_ppb;
    if (function_) function_->SetClockOffsetPpb(offset_ppb, now_ns);
}

std::optional<uint16_t> AudioDevice::VendorMode(uint8_t interfaceNumber) const {
    auto found = vendorModes_.find(interfaceNumber);
    if (found == vendorModes_.end()) return std::nullopt;
    return found->second;
}

ControlReply AudioDevice::ClassRequest(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) {
    if (!function_ || Configuration() != audioConfiguration_) return ControlReply{true, {}};
    ControlReply reply = function_->Request(setup, outData, now_ns);
    if (!reply.stall && !setup.In()) SyncAll(now_ns);  // a rate or selector change restarts the streams on it
    return reply;
}

ControlReply AudioDevice::VendorRequest(const Setup& setup, std::span<const uint8_t> outData, int64_t) {
    bool modeRequest = setup.bmRequestType == uac::kVendorModeRequestType && setup.bRequest == uac::kVendorModeRequest;
    bool listed = std::find(settings_.vendorModes.begin(), settings_.vendorModes.end(), setup.wValue) !=
                  settings_.vendorModes.end();
    bool streaming = model_ && model_->Streaming(static_cast<uint8_t>(setup.wIndex)) != nullptr && setup.wIndex <= 0xFF;
    if (!modeRequest || !listed || !streaming || setup.wLength != 0 || !outData.empty()) return ControlReply{true, {}};
    vendorModes_[static_cast<uint8_t>(setup.wIndex)] = setup.wValue;
    return ControlReply{};
}

std::unique_ptr<AudioDevice> MakeAudioDevice(const AudioDescription& description) {
    return std::make_unique<AudioDevice>(BuildDescriptors(description), BuildSettings(description));
}

}  // namespace simusb
