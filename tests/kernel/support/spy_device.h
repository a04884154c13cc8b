// A device in front of a simulated device that records the isochronous
// packets the bus delivered, with their (micro)frames and sizes, and can
// answer IN packets itself.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "simusb/device.h"

namespace kerneltest {

struct SpiedPacket {
    uint8_t endpoint;
    simusb::BusTime at;
    size_t bytes;  // OUT: the packet's size; IN: the room the host gave it
};

class SpyDevice : public simusb::Device {
public:
    explicit SpyDevice(std::shared_ptr<simusb::Device> inner) : inner_(std::move(inner)) {}

    simusb::Speed speed() const override { return inner_->speed(); }
    simusb::ControlReply control(const simusb::Setup& setup, std::span<const uint8_t> out, int64_t now_ns) override {
        return inner_->control(setup, out, now_ns);
    }
    void configured(uint8_t value, std::span<const uint8_t> interfaces, int64_t now_ns) override {
        inner_->configured(value, interfaces, now_ns);
    }
    void isoOut(uint8_t endpoint, const simusb::BusTime& at, std::span<const uint8_t> packet) override {
        packets.push_back(SpiedPacket{endpoint, at, packet.size()});
        inner_->isoOut(endpoint, at, packet);
    }
    size_t isoIn(uint8_t endpoint, const simusb::BusTime& at, std::span<uint8_t> buffer) override {
        packets.push_back(SpiedPacket{endpoint, at, buffer.size()});
        return inAnswer ? inAnswer(endpoint, at, buffer) : inner_->isoIn(endpoint, at, buffer);
    }
    void settle(int64_t now_ns) override { inner_->settle(now_ns); }

    std::vector<SpiedPacket> On(uint8_t endpoint) const {
        std::vector<SpiedPacket> found;
        for (const SpiedPacket& packet : packets) {
            if (packet.endpoint == endpoint) found.push_back(packet);
        }
        return found;
    }

    std::vector<SpiedPacket> packets;
    std::function<size_t(uint8_t, const simusb::BusTime&, std::span<uint8_t>)> inAnswer;

private:
    std::shared_ptr<simusb::Device> inner_;
};

}  // namespace kerneltest
