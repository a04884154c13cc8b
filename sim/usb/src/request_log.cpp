#include "simusb/request_log.h"

#include <algorithm>

#include "simusb/audio_codes.h"
#include "simusb/usb_codes.h"

namespace simusb {

namespace match {

namespace {

RequestMatch GetDescriptorOf(uint8_t type, std::optional<uint8_t> index) {
    RequestMatch m{usb::kDirectionIn, usb::kGetDescriptor, std::nullopt, std::nullopt, std::nullopt};
    if (index) m.wValue = static_cast<uint16_t>(type << 8 | *index);
    return m;
}

RequestMatch ClassRequest(uint8_t type, uint8_t request, uint8_t entity, uint8_t selector, uint8_t channel) {
    // The interface half of wIndex is left open: the entity decides.
    return RequestMatch{type, request, static_cast<uint16_t>(selector << 8 | channel), std::nullopt, entity};
}

}  // namespace

RequestMatch DeviceDescriptor() { return GetDescriptorOf(usb::kDeviceDescriptor, 0); }
RequestMatch ConfigurationDescriptor(uint8_t index) { return GetDescriptorOf(usb::kConfigurationDescriptor, index); }
RequestMatch StringDescriptor(uint8_t index) { return GetDescriptorOf(usb::kStringDescriptor, index); }
RequestMatch SetConfiguration() { return {usb::kTypeStandard, usb::kSetConfiguration, {}, {}, {}}; }
RequestMatch SetInterface(uint8_t interfaceNumber) {
    return {usb::kRecipientInterface, usb::kSetInterface, {}, interfaceNumber, {}};
}
RequestMatch GetCur(uint8_t entity, uint8_t selector, uint8_t channel) {
    return ClassRequest(uac::kGetInterfaceRequest, uac::kCur, entity, selector, channel);
}
RequestMatch SetCur(uint8_t entity, uint8_t selector, uint8_t channel) {
    return ClassRequest(uac::kSetInterfaceRequest, uac::kCur, entity, selector, channel);
}
RequestMatch GetRange(uint8_t entity, uint8_t selector, uint8_t channel) {
    return ClassRequest(uac::kGetInterfaceRequest, uac::kRange, entity, selector, channel);
}
RequestMatch VendorMode(uint8_t interfaceNumber) {
    return {uac::kVendorModeRequestType, uac::kVendorModeRequest, {}, interfaceNumber, {}};
}

}  // namespace match

void RequestLog::Add(LoggedRequest entry) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(std::move(entry));
}

std::vector<LoggedRequest> RequestLog::Entries() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {entries_.begin(), entries_.end()};
}

void RequestLog::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
}

size_t RequestLog::Count(const RequestMatch& m) const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<size_t>(
        std::count_if(entries_.begin(), entries_.end(), [&](const LoggedRequest& e) { return m.Matches(e.setup); }));
}

const LoggedRequest* RequestLog::Last(const RequestMatch& m) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (m.Matches(it->setup)) return &*it;
    }
    return nullptr;
}

}  // namespace simusb
