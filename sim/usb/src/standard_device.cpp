#include "simusb/standard_device.h"

#include <algorithm>

#include "simusb/usb_codes.h"

namespace simusb {

namespace {

ControlReply Stall() { return ControlReply{true, {}}; }
ControlReply Ack() { return ControlReply{}; }
ControlReply Reply(std::vector<uint8_t> data) { return ControlReply{false, std::move(data)}; }

}  // namespace

StandardDevice::StandardDevice(DescriptorSet descriptors) : descriptors_(std::move(descriptors)) {
    for (const std::vector<uint8_t>& config : descriptors_.configurations) {
        layouts_.push_back(ReadConfigurationLayout(config));
    }
}

ControlReply StandardDevice::control(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) {
    ControlReply reply;
    switch (setup.Type()) {
    case usb::kTypeStandard: reply = StandardRequest(setup, now_ns); break;
    case usb::kTypeClass: reply = ClassRequest(setup, outData, now_ns); break;
    case usb::kTypeVendor: reply = VendorRequest(setup, outData, now_ns); break;
    default: reply = Stall(); break;
    }
    faults_.Apply(setup, reply);
    if (!setup.In()) reply.data.clear();
    if (reply.data.size() > setup.wLength) reply.data.resize(setup.wLength);
    if (reply.stall) reply.data.clear();
    log_.Add(LoggedRequest{setup, std::vector<uint8_t>(outData.begin(), outData.end()), reply.data, reply.stall, now_ns});
    return reply;
}

void StandardDevice::configured(uint8_t configurationValue, std::span<const uint8_t> interfaces, int64_t now_ns) {
    hostInterfaces_.assign(interfaces.begin(), interfaces.end());
    if (configurationValue != configuration_) SetConfiguration(configurationValue, now_ns);
    UpdateEveryInterfaceConfigured();
    HostInterfacesChanged(now_ns);
}

uint8_t StandardDevice::AlternateSetting(uint8_t interfaceNumber) const {
    auto found = alternates_.find(interfaceNumber);
    return found == alternates_.end() ? 0 : found->second;
}

const ConfigurationLayout* StandardDevice::ActiveLayout() const {
    if (configuration_ == 0) return nullptr;
    for (const ConfigurationLayout& layout : layouts_) {
        if (layout.value == configuration_) return &layout;
    }
    return nullptr;
}

void StandardDevice::UpdateEveryInterfaceConfigured() {
    const ConfigurationLayout* layout = ActiveLayout();
    everyInterfaceConfigured_ = layout != nullptr;
    for (uint8_t number : layout != nullptr ? layout->InterfaceNumbers() : std::vector<uint8_t>{}) {
        if (std::find(hostInterfaces_.begin(), hostInterfaces_.end(), number) == hostInterfaces_.end()) {
            everyInterfaceConfigured_ = false;
        }
    }
}

ControlReply StandardDevice::ClassRequest(const Setup&, std::span<const uint8_t>, int64_t) { return Stall(); }
ControlReply StandardDevice::VendorRequest(const Setup&, std::span<const uint8_t>, int64_t) { return Stall(); }

ControlReply StandardDevice::StandardRequest(const Setup& setup, int64_t now_ns) {
    const bool toDevice = setup.Recipient() == usb::kRecipientDevice;
    const bool toInterface = setup.Recipient() == usb::kRecipientInterface;
    const uint8_t low = static_cast<uint8_t>(setup.wValue);
    const uint8_t interfaceNumber = static_cast<uint8_t>(setup.wIndex);
    switch (setup.bRequest) {
    case usb::kGetDescriptor:
        return setup.In() && toDevice ? GetDescriptor(setup) : Stall();
    case usb::kGetStatus:
        return setup.In() ? GetStatus(setup) : Stall();
    case usb::kClearFeature:
    case usb::kSetFeature:
        return setup.In() ? Stall() : ChangeFeature(setup, setup.bRequest == usb::kSetFeature);
    case usb::kSetAddress:
        if (!toDevice || setup.In() || setup.wValue > 127) return Stall();
        address_ = low;
        return Ack();
    case usb::kGetConfiguration:
        return setup.In() && toDevice ? Reply({configuration_}) : Stall();
    case usb::kSetConfiguration:
        return !setup.In() && toDevice && setup.wValue <= 0xFF ? SetConfiguration(low, now_ns) : Stall();
    case usb::kGetInterface:
        return setup.In() && toInterface ? GetInterface(interfaceNumber) : Stall();
    case usb::kSetInterface:
        return !setup.In() && toInterface && setup.wValue <= 0xFF ? SetInterface(interfaceNumber, low, now_ns) : Stall();
    default:
        return Stall();  // SET_DESCRIPTOR, SYNCH_FRAME and anything unknown
    }
}

ControlReply StandardDevice::GetDescriptor(const Setup& setup) const {
    const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
    const uint8_t index = static_cast<uint8_t>(setup.wValue);
    switch (type) {
    case usb::kDeviceDescriptor:
        return index == 0 ? Reply(descriptors_.device) : Stall();
    case usb::kConfigurationDescriptor:
        return index < descriptors_.configurations.size() ? Reply(descriptors_.configurations[index]) : Stall();
    case usb::kStringDescriptor:
        return GetString(index, setup.wIndex);
    case usb::kDeviceQualifierDescriptor:
        return DeviceQualifier();
    default:
        return Stall();
    }
}

ControlReply StandardDevice::GetString(uint8_t index, uint16_t langId) const {
    if (index == 0) {
        std::vector<uint16_t> ids = descriptors_.LangIds();
        return ids.empty() ? Stall() : Reply(LangIdDescriptorBytes(ids));
    }
    const StringEntry* entry = descriptors_.FindString(index, langId);
    return entry == nullptr ? Stall() : Reply(StringDescriptorBytes(entry->text));
}

// A high-speed capable device describes how it would look at the other
// speed; a full-speed-only device has no qualifier and stalls.
ControlReply StandardDevice::DeviceQualifier() const {
    const std::vector<uint8_t>& d = descriptors_.device;
    if (descriptors_.speed != Speed::High || d.size() < usb::kDeviceDescriptorLength) return Stall();
    return Reply({usb::kDeviceQualifierLength, usb::kDeviceQualifierDescriptor, d[2], d[3], d[4], d[5], d[6], d[7],
                  d[17], 0});
}

ControlReply StandardDevice::GetStatus(const Setup& setup) const {
    switch (setup.Recipient()) {
    case usb::kRecipientDevice: {
        bool selfPowered = !layouts_.empty() && (layouts_.front().attributes & usb::kConfigSelfPowered) != 0;
        return Reply({static_cast<uint8_t>((selfPowered ? 1 : 0) | (remoteWakeup_ ? 2 : 0)), 0});
    }
    case usb::kRecipientInterface: {
        const ConfigurationLayout* layout = ActiveLayout();
        bool exists = layout != nullptr && layout->Find(static_cast<uint8_t>(setup.wIndex), 0) != nullptr;
        return exists ? Reply({0, 0}) : Stall();
    }
    case usb::kRecipientEndpoint: {
        uint8_t address = static_cast<uint8_t>(setup.wIndex);
        if ((address & 0x7F) != 0 && !EndpointExists(address)) return Stall();
        return Reply({static_cast<uint8_t>(EndpointHalted(address) ? 1 : 0), 0});
    }
    default:
        return Stall();
    }
}

ControlReply StandardDevice::ChangeFeature(const Setup& setup, bool set) {
    if (setup.Recipient() == usb::kRecipientEndpoint && setup.wValue == usb::kEndpointHalt) {
        uint8_t address = static_cast<uint8_t>(setup.wIndex);
        if ((address & 0x7F) == 0) return Ack();  // the default pipe is never halted
        if (!EndpointExists(address)) return Stall();
        if (set) {
            halted_.insert(address);
        } else {
            halted_.erase(address);
        }
        return Ack();
    }
    if (setup.Recipient() == usb::kRecipientDevice && setup.wValue == usb::kDeviceRemoteWakeup) {
        bool supported = !layouts_.empty() && (layouts_.front().attributes & usb::kConfigRemoteWakeup) != 0;
        if (!supported) return Stall();
        remoteWakeup_ = set;
        return Ack();
    }
    return Stall();
}

ControlReply StandardDevice::SetConfiguration(uint8_t value, int64_t now_ns) {
    bool known = value == 0 || std::any_of(layouts_.begin(), layouts_.end(),
                                           [&](const ConfigurationLayout& l) { return l.value == value; });
    if (!known) return Stall();
    configuration_ = value;
    alternates_.clear();
    halted_.clear();
    UpdateEveryInterfaceConfigured();
    ConfigurationChanged(now_ns);
    return Ack();
}

ControlReply StandardDevice::SetInterface(uint8_t interfaceNumber, uint8_t alternate, int64_t now_ns) {
    const ConfigurationLayout* layout = ActiveLayout();
    if (layout == nullptr || layout->Find(interfaceNumber, alternate) == nullptr) return Stall();
    alternates_[interfaceNumber] = alternate;
    for (const EndpointLayout& endpoint : layout->Find(interfaceNumber, alternate)->endpoints) {
        halted_.erase(endpoint.Address());  // selecting a setting resets its endpoints
    }
    AlternateSettingChanged(interfaceNumber, alternate, now_ns);
    return Ack();
}

ControlReply StandardDevice::GetInterface(uint8_t interfaceNumber) const {
    const ConfigurationLayout* layout = ActiveLayout();
    if (layout == nullptr || layout->Find(interfaceNumber, 0) == nullptr) return Stall();
    return Reply({AlternateSetting(interfaceNumber)});
}

bool StandardDevice::EndpointExists(uint8_t address) const {
    const ConfigurationLayout* layout = ActiveLayout();
    if (layout == nullptr) return false;
    for (const AltSettingLayout& alt : layout->altSettings) {
        if (alt.Alternate() != AlternateSetting(alt.Number())) continue;
        for (const EndpointLayout& endpoint : alt.endpoints) {
            if (endpoint.Address() == address) return true;
        }
    }
    return false;
}

}  // namespace simusb
