// Every control transfer a device received, so that a test can assert that
// the driver sent a request, or did not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "simusb/device.h"

namespace simusb {

// Which requests something applies to; an empty field matches any value.
struct RequestMatch {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    std::optional<uint16_t> wValue;
    std::optional<uint16_t> wIndex;
    std::optional<uint8_t> entity;  // the high byte of wIndex alone (audio class requests)

    bool Matches(const Setup& setup) const {
        return setup.bmRequestType == bmRequestType && setup.bRequest == bRequest &&
               (!wValue || *wValue == setup.wValue) && (!wIndex || *wIndex == setup.wIndex) &&
               (!entity || *entity == (setup.wIndex >> 8));
    }
};

namespace match {
RequestMatch DeviceDescriptor();
RequestMatch ConfigurationDescriptor(uint8_t index);
RequestMatch StringDescriptor(uint8_t index);  // any language
RequestMatch SetConfiguration();
RequestMatch SetInterface(uint8_t interfaceNumber);
// Version 2.0 class requests to entity `entity`: wValue = selector << 8 | channel.
RequestMatch GetCur(uint8_t entity, uint8_t selector, uint8_t channel = 0);
RequestMatch SetCur(uint8_t entity, uint8_t selector, uint8_t channel = 0);
RequestMatch GetRange(uint8_t entity, uint8_t selector, uint8_t channel = 0);
RequestMatch VendorMode(uint8_t interfaceNumber);
}  // namespace match

struct LoggedRequest {
    Setup setup;
    std::vector<uint8_t> outData;  // the OUT data stage
    std::vector<uint8_t> inData;   // what the device answered, after any fault
    bool stalled = false;
    int64_t time_ns = 0;
};

// Written by whichever thread sends a request (a driver's worker, a DPC) and
// read by the test's thread, so every access takes a short host lock that is
// never held across a stand-in call. Entries live in a deque: one that Last
// returned stays where it is while later requests are added.
class RequestLog {
public:
    void Add(LoggedRequest entry);
    // A copy of every entry so far, in order.
    std::vector<LoggedRequest> Entries() const;
    size_t Count(const RequestMatch& match) const;
    // The last matching request, nullptr if none; valid until Clear.
    const LoggedRequest* Last(const RequestMatch& match) const;
    void Clear();

private:
    mutable std::mutex lock_;
    std::deque<LoggedRequest> entries_;
};

}  // namespace simusb
