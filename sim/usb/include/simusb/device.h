// The contract between the simulated USB bus and a simulated USB device.
//
// The bus (host controller and the physical device object the driver talks
// to) turns URBs into what a device sees on the wire: control transfers as a
// setup packet with an optional data stage, isochronous packets one per
// (micro)frame. A device model implements this interface; it never sees
// URBs, IRPs or anything of the Windows side.
//
// Time: the bus clock defines true time. Every call carries the bus time of
// the (micro)frame it belongs to. Calls for one endpoint arrive in bus order;
// within one 1 ms frame the bus delivers every OUT packet of that frame before
// it asks for the frame's IN packets, so a device can loop OUT data back to IN.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace simusb {

enum class Speed { Full, High };

// One setup packet (USB 2.0, 9.3).
struct Setup {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;

    bool In() const { return (bmRequestType & 0x80) != 0; }
    uint8_t Type() const { return bmRequestType & 0x60; }       // 0 standard, 0x20 class, 0x40 vendor
    uint8_t Recipient() const { return bmRequestType & 0x1F; }  // 0 device, 1 interface, 2 endpoint, 3 other
};

// What the device answers to a control transfer.
struct ControlReply {
    bool stall = false;
    // IN: the bytes the device sends; the bus delivers at most wLength of them.
    std::vector<uint8_t> data;
};

// The (micro)frame a packet occupies on the bus.
struct BusTime {
    uint64_t frame;       // 1 ms frame number since the bus started
    uint32_t microframe;  // 0 to 7 at high speed, always 0 at full speed
    int64_t time_ns;      // bus time at the start of this (micro)frame

    // (Micro)frames since the bus started: frame at full speed, frame * 8 +
    // microframe at high speed.
    uint64_t Index(Speed speed) const { return speed == Speed::High ? frame * 8 + microframe : frame; }
};

class Device {
public:
    virtual ~Device() = default;

    virtual Speed speed() const = 0;

    // Every control transfer, standard requests included (GET_DESCRIPTOR,
    // SET_CONFIGURATION, SET_INTERFACE, ...). outData is the OUT data stage.
    virtual ControlReply control(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) = 0;

    // The host selected a configuration; `interfaces` lists the interface
    // numbers the host included in the request (the host stack opens pipes
    // only for those). The bus has already sent SET_CONFIGURATION.
    virtual void configured(uint8_t configurationValue, std::span<const uint8_t> interfaces, int64_t now_ns) = 0;

    // One isochronous OUT packet received in the (micro)frame `at`.
    virtual void isoOut(uint8_t endpointAddress, const BusTime& at, std::span<const uint8_t> packet) = 0;

    // One isochronous IN packet for the (micro)frame `at`: write at most
    // buffer.size() bytes and return how many were sent. Returning more than
    // buffer.size() means the device babbled: the bus reports an overrun.
    virtual size_t isoIn(uint8_t endpointAddress, const BusTime& at, std::span<uint8_t> buffer) = 0;

    // Lets the device account for time up to `now_ns` with no packet (its
    // clock keeps running: a render buffer drains, a capture buffer fills).
    // The bus calls it before it detaches a device; tests call it before they
    // read what the device played or recorded.
    virtual void settle(int64_t now_ns) = 0;
};

}  // namespace simusb
