#include "test_host.h"

#include "simusb/audio_codes.h"
#include "simusb/bus_timing.h"
#include "simusb/byte_order.h"
#include "simusb/standard_device.h"
#include "simusb/usb_codes.h"

namespace simusb::testing {

ControlReply TestHost::Control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                               std::vector<uint8_t> out) {
    Setup setup{type, request, value, index, length};
    return device_.control(setup, out, now_ns);
}

std::optional<std::vector<uint8_t>> TestHost::In(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                                 uint16_t length) {
    ControlReply reply = Control(type, request, value, index, length);
    if (reply.stall) return std::nullopt;
    if (reply.data.size() > length) reply.data.resize(length);
    return reply.data;
}

bool TestHost::Out(uint8_t type, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data) {
    uint16_t length = static_cast<uint16_t>(data.size());
    return !Control(type, request, value, index, length, std::move(data)).stall;
}

std::optional<std::vector<uint8_t>> TestHost::GetDescriptor(uint8_t type, uint8_t index, uint16_t length,
                                                            uint16_t langId) {
    return In(usb::kDirectionIn, usb::kGetDescriptor, static_cast<uint16_t>(type << 8 | index), langId, length);
}

bool TestHost::Configure(uint8_t value, std::vector<uint8_t> interfaces) {
    if (!Out(usb::kTypeStandard, usb::kSetConfiguration, value, 0)) return false;
    if (interfaces.empty()) {
        if (auto* standard = dynamic_cast<StandardDevice*>(&device_); standard && standard->ActiveLayout()) {
            interfaces = standard->ActiveLayout()->InterfaceNumbers();
        }
    }
    device_.configured(value, interfaces, now_ns);
    return true;
}

bool TestHost::SetInterface(uint8_t interfaceNumber, uint8_t alternate) {
    return Out(usb::kRecipientInterface, usb::kSetInterface, alternate, interfaceNumber);
}

bool TestHost::Start(std::vector<uint8_t> interfaces) {
    if (!Configure()) return false;
    for (uint8_t number : interfaces) {
        if (!SetInterface(number, 1)) return false;
    }
    return true;
}

std::optional<std::vector<uint8_t>> TestHost::GetCur(uint8_t entity, uint8_t selector, uint8_t channel,
                                                     uint16_t length) {
    return In(uac::kGetInterfaceRequest, uac::kCur, static_cast<uint16_t>(selector << 8 | channel),
              static_cast<uint16_t>(entity << 8), length);
}

std::optional<std::vector<uint8_t>> TestHost::GetRange(uint8_t entity, uint8_t selector, uint8_t channel,
                                                       uint16_t length) {
    return In(uac::kGetInterfaceRequest, uac::kRange, static_cast<uint16_t>(selector << 8 | channel),
              static_cast<uint16_t>(entity << 8), length);
}

bool TestHost::SetCur(uint8_t entity, uint8_t selector, uint8_t channel, std::vector<uint8_t> data) {
    return Out(uac::kSetInterfaceRequest, uac::kCur, static_cast<uint16_t>(selector << 8 | channel),
               static_cast<uint16_t>(entity << 8), std::move(data));
}

std::optional<uint32_t> TestHost::Rate(uint8_t clock) {
    std::optional<std::vector<uint8_t>> data = GetCur(clock, uac::kClockFrequencyControl, 0, 4);
    if (!data || data->size() != 4) return std::nullopt;
    return ReadLe(*data, 0, 4);
}

bool TestHost::SetRate(uint8_t clock, uint32_t rate) {
    return SetCur(clock, uac::kClockFrequencyControl, 0, LeBytes(rate, 4));
}

BusTime TestHost::At(uint64_t index) const {
    Speed speed = device_.speed();
    BusTime at{};
    at.frame = speed == Speed::High ? index / 8 : index;
    at.microframe = speed == Speed::High ? static_cast<uint32_t>(index % 8) : 0;
    at.time_ns = static_cast<int64_t>(index) * PeriodNs(speed);
    return at;
}

void TestHost::SendOut(uint8_t endpoint, uint64_t index, std::span<const uint8_t> packet) {
    device_.isoOut(endpoint, At(index), packet);
}

std::vector<uint8_t> TestHost::ReceiveIn(uint8_t endpoint, uint64_t index, size_t maxBytes) {
    std::vector<uint8_t> buffer(maxBytes);
    size_t sent = device_.isoIn(endpoint, At(index), buffer);
    buffer.resize(std::min(sent, maxBytes));
    return buffer;
}

std::vector<uint8_t> PackFrames(const SampleFormat& format, uint64_t firstFrame, size_t frames,
                                const std::function<int32_t(uint64_t, uint8_t)>& value) {
    std::vector<uint8_t> packet(frames * format.FrameBytes());
    for (size_t f = 0; f < frames; ++f) {
        for (uint8_t c = 0; c < format.channels; ++c) {
            WriteSample(packet, (f * format.channels + c) * format.subslotBytes, format.subslotBytes,
                        value(firstFrame + f, c));
        }
    }
    return packet;
}

std::vector<int32_t> UnpackFrames(const SampleFormat& format, std::span<const uint8_t> packet) {
    std::vector<int32_t> samples;
    for (size_t offset = 0; offset + format.subslotBytes <= packet.size(); offset += format.subslotBytes) {
        samples.push_back(ReadSample(packet, offset, format.subslotBytes));
    }
    return samples;
}

AudioDescription AtFullSpeed(AudioDescription description) {
    description.speed = Speed::Full;
    for (desc::Clock& clock : description.clocks) {
        std::erase_if(clock.rates, [](const RateRange& r) { return r.max > 96000; });
    }
    return description;
}

int32_t Marker(uint64_t frame, uint8_t channel) {
    return static_cast<int32_t>(static_cast<uint32_t>(frame * 4 + channel + 1) << 8);
}

}  // namespace simusb::testing
