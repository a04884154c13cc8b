// A small hand-written USB device for testing the simulated host on its own:
// one configuration, an audio-like streaming interface whose alternate
// setting 1 has an isochronous OUT endpoint and an IN feedback endpoint, and
// a second interface with an isochronous IN endpoint. It records what the
// bus delivered and answers IN packets from a script.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "simusb/device.h"

namespace bustest {

struct DeliveredPacket {
    uint8_t endpoint;
    simusb::BusTime at;
    std::vector<uint8_t> data;
};

class ScriptedDevice : public simusb::Device {
public:
    explicit ScriptedDevice(simusb::Speed speed, uint16_t outMaxPacket = 200) : speed_(speed) {
        uint8_t interval = speed == simusb::Speed::High ? 1 : 1;
        device_ = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 1, 2, 3, 1};
        config_ = {
            9, 2, 0, 0, 3, 1, 0, 0x80, 50,
            // interface 0: no endpoints
            9, 4, 0, 0, 0, 0xFF, 0, 0, 0,
            // interface 1 alt 0: zero bandwidth
            9, 4, 1, 0, 0, 0xFF, 2, 0, 0,
            // interface 1 alt 1: iso OUT 0x01 (async), iso IN feedback 0x81
            9, 4, 1, 1, 2, 0xFF, 2, 0, 0,
            7, 5, 0x01, 0x05, static_cast<uint8_t>(outMaxPacket & 0xFF), static_cast<uint8_t>(outMaxPacket >> 8), interval,
            7, 5, 0x81, 0x11, 4, 0, 4,
            // interface 2 alt 0 and alt 1: iso IN 0x82
            9, 4, 2, 0, 0, 0xFF, 2, 0, 0,
            9, 4, 2, 1, 1, 0xFF, 2, 0, 0,
            7, 5, 0x82, 0x05, 0xC0, 0x00, interval,
        };
        config_[2] = static_cast<uint8_t>(config_.size());
        config_[3] = static_cast<uint8_t>(config_.size() >> 8);
    }

    simusb::Speed speed() const override { return speed_; }

    simusb::ControlReply control(const simusb::Setup& setup, std::span<const uint8_t> out, int64_t now_ns) override {
        requests.push_back(setup);
        requestTimes.push_back(now_ns);
        outData.assign(out.begin(), out.end());
        simusb::ControlReply reply;
        if (stallEverything) {
            reply.stall = true;
            return reply;
        }
        if (setup.Type() == 0 && setup.bRequest == 6) {  // GET_DESCRIPTOR
            uint8_t type = setup.wValue >> 8;
            if (type == 1) reply.data = device_;
            else if (type == 2) reply.data = config_;
            else if (type == 3 && (setup.wValue & 0xFF) == 0) reply.data = {4, 3, 0x09, 0x04};
            else reply.stall = true;
            return reply;
        }
        if (setup.Type() == 0 && setup.bRequest == 11) {  // SET_INTERFACE
            alternates[static_cast<uint8_t>(setup.wIndex)] = static_cast<uint8_t>(setup.wValue);
            return reply;
        }
        if (setup.Type() == 0) {
            return reply;  // SET_CONFIGURATION and the other standard requests
        }
        if (setup.Type() == 0x20 && setup.In()) {  // a class GET answers with a counting pattern
            for (uint16_t i = 0; i < setup.wLength; ++i) reply.data.push_back(static_cast<uint8_t>(i + 1));
            return reply;
        }
        if (setup.Type() == 0x40 && setup.wValue == 0xBAD) {
            reply.stall = true;
        }
        return reply;
    }

    void configured(uint8_t value, std::span<const uint8_t> interfaces, int64_t) override {
        configuration = value;
        configuredInterfaces.assign(interfaces.begin(), interfaces.end());
    }

    void isoOut(uint8_t endpoint, const simusb::BusTime& at, std::span<const uint8_t> packet) override {
        delivered.push_back(DeliveredPacket{endpoint, at, std::vector<uint8_t>(packet.begin(), packet.end())});
    }

    size_t isoIn(uint8_t endpoint, const simusb::BusTime& at, std::span<uint8_t> buffer) override {
        size_t length = inLength ? inLength(endpoint, at) : buffer.size();
        for (size_t i = 0; i < length && i < buffer.size(); ++i) {
            buffer[i] = static_cast<uint8_t>(at.Index(speed_) + i);
        }
        delivered.push_back(DeliveredPacket{endpoint, at, {}});
        return length;
    }

    void settle(int64_t now_ns) override { settledAt = now_ns; }

    std::vector<uint8_t> device_;
    std::vector<uint8_t> config_;
    std::vector<simusb::Setup> requests;
    std::vector<int64_t> requestTimes;
    std::vector<uint8_t> outData;
    std::map<uint8_t, uint8_t> alternates;
    uint8_t configuration = 0;
    std::vector<uint8_t> configuredInterfaces;
    std::vector<DeliveredPacket> delivered;
    std::function<size_t(uint8_t, const simusb::BusTime&)> inLength;
    bool stallEverything = false;
    int64_t settledAt = -1;

private:
    simusb::Speed speed_;
};

}  // namespace bustest
