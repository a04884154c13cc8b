#include "simusb/configuration_layout.h"

#include <algorithm>

#include "simusb/byte_order.h"
#include "simusb/usb_codes.h"

namespace simusb {

uint16_t EndpointLayout::MaxPacketSize() const { return static_cast<uint16_t>(ReadLe(descriptor, 4, 2)); }

uint8_t EndpointLayout::Refresh() const {
    return descriptor.size() >= usb::kAudioEndpointDescriptorLength ? descriptor[7] : 0;
}

uint8_t EndpointLayout::SynchAddress() const {
    return descriptor.size() >= usb::kAudioEndpointDescriptorLength ? descriptor[8] : 0;
}

uint8_t EndpointLayout::Usage() const { return (Attributes() >> usb::kUsageShift) & 3; }

const AltSettingLayout* ConfigurationLayout::Find(uint8_t interfaceNumber, uint8_t alternate) const {
    for (const AltSettingLayout& alt : altSettings) {
        if (alt.Number() == interfaceNumber && alt.Alternate() == alternate) return &alt;
    }
    return nullptr;
}

std::vector<uint8_t> ConfigurationLayout::InterfaceNumbers() const {
    std::vector<uint8_t> numbers;
    for (const AltSettingLayout& alt : altSettings) {
        if (std::find(numbers.begin(), numbers.end(), alt.Number()) == numbers.end()) numbers.push_back(alt.Number());
    }
    return numbers;
}

std::vector<DescriptorBytes> SplitDescriptors(std::span<const uint8_t> bytes) {
    std::vector<DescriptorBytes> out;
    size_t offset = 0;
    while (offset + 2 <= bytes.size()) {
        size_t length = bytes[offset];
        if (length < 2 || offset + length > bytes.size()) break;
        out.push_back(bytes.subspan(offset, length));
        offset += length;
    }
    return out;
}

ConfigurationLayout ReadConfigurationLayout(std::span<const uint8_t> config) {
    ConfigurationLayout layout;
    if (config.size() < usb::kConfigurationDescriptorLength) return layout;
    layout.value = config[5];
    layout.attributes = config[7];
    size_t total = std::min<size_t>(ReadLe(config, 2, 2), config.size());
    std::vector<DescriptorBytes> descriptors = SplitDescriptors(config.first(total));
    for (size_t i = 1; i < descriptors.size(); ++i) {
        DescriptorBytes d = descriptors[i];
        uint8_t type = d[1];
        if (type == usb::kInterfaceDescriptor && d.size() >= usb::kInterfaceDescriptorLength) {
            layout.altSettings.push_back(AltSettingLayout{d, {}, {}});
        } else if (layout.altSettings.empty() || type == usb::kInterfaceAssociationDescriptor) {
            continue;  // an association, or a vendor descriptor before the first interface
        } else if (type == usb::kEndpointDescriptor && d.size() >= usb::kEndpointDescriptorLength) {
            layout.altSettings.back().endpoints.push_back(EndpointLayout{d, {}});
        } else if (!layout.altSettings.back().endpoints.empty()) {
            layout.altSettings.back().endpoints.back().classSpecific.push_back(d);
        } else {
            layout.altSettings.back().classSpecific.push_back(d);
        }
    }
    return layout;
}

}  // namespace simusb
