// Drives a simulated device the way the bus would: control transfers with
// the time they happen at, isochronous packets in (micro)frames the test
// numbers from 0.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "simusb/audio_description.h"
#include "simusb/audio_device.h"
#include "simusb/device.h"
#include "simusb/sample_format.h"

namespace simusb::testing {

class TestHost {
public:
    explicit TestHost(Device& device) : device_(device) {}

    int64_t now_ns = 0;

    ControlReply Control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                         std::vector<uint8_t> out = {});
    // The data of an IN request; nullopt if it stalled.
    std::optional<std::vector<uint8_t>> In(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                           uint16_t length);
    // Whether an OUT request was accepted.
    bool Out(uint8_t type, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data = {});

    std::optional<std::vector<uint8_t>> GetDescriptor(uint8_t type, uint8_t index, uint16_t length, uint16_t langId = 0);
    // SET_CONFIGURATION, then configured() naming `interfaces` (all of the
    // configuration's when empty).
    bool Configure(uint8_t value = 1, std::vector<uint8_t> interfaces = {});
    bool SetInterface(uint8_t interfaceNumber, uint8_t alternate);
    // Configure(), then each of `interfaces` on its setting 1.
    bool Start(std::vector<uint8_t> interfaces);

    // Version 2.0 class requests to the control interface (0).
    std::optional<std::vector<uint8_t>> GetCur(uint8_t entity, uint8_t selector, uint8_t channel, uint16_t length);
    std::optional<std::vector<uint8_t>> GetRange(uint8_t entity, uint8_t selector, uint8_t channel, uint16_t length);
    bool SetCur(uint8_t entity, uint8_t selector, uint8_t channel, std::vector<uint8_t> data);
    std::optional<uint32_t> Rate(uint8_t clock);
    bool SetRate(uint8_t clock, uint32_t rate);

    // (Micro)frame `index` since the bus started, at the device's speed.
    BusTime At(uint64_t index) const;
    void SendOut(uint8_t endpoint, uint64_t index, std::span<const uint8_t> packet);
    std::vector<uint8_t> ReceiveIn(uint8_t endpoint, uint64_t index, size_t maxBytes);

private:
    Device& device_;
};

// `frames` frames of `format`, sample (frame, channel) given by `value`.
std::vector<uint8_t> PackFrames(const SampleFormat& format, uint64_t firstFrame, size_t frames,
                                const std::function<int32_t(uint64_t frame, uint8_t channel)>& value);
// The frames of a packet, as sample_format.h holds them.
std::vector<int32_t> UnpackFrames(const SampleFormat& format, std::span<const uint8_t> packet);

// The description at full speed, its clocks limited to 96 kHz so that a
// packet fits the 1023 bytes of a full-speed isochronous endpoint.
AudioDescription AtFullSpeed(AudioDescription description);

// A render sample that names its frame and channel (the low byte stays zero
// for 24 bits in 32).
int32_t Marker(uint64_t frame, uint8_t channel);

}  // namespace simusb::testing
