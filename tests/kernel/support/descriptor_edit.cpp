#include "descriptor_edit.h"

#include "simusb/descriptor_builder.h"

namespace kerneltest {

size_t FindDescriptor(const ConfigurationBytes& set, uint8_t type, int subtype, size_t nth) {
    for (size_t at = 0; at + 2 <= set.size() && set[at] >= 2; at += set[at]) {
        if (set[at + 1] == type && (subtype < 0 || (set[at] > 2 && set[at + 2] == subtype))) {
            if (nth-- == 0) return at;
        }
    }
    return kNotFound;
}

size_t FindInterface(const ConfigurationBytes& set, uint8_t number, uint8_t alternate) {
    for (size_t n = 0;; ++n) {
        size_t at = FindDescriptor(set, 4, -1, n);
        if (at == kNotFound || (set[at + 2] == number && set[at + 3] == alternate)) return at;
    }
}

size_t FindEndpoint(const ConfigurationBytes& set, uint8_t address) {
    for (size_t n = 0;; ++n) {
        size_t at = FindDescriptor(set, 5, -1, n);
        if (at == kNotFound || set[at + 2] == address) return at;
    }
}

void FixTotalLength(ConfigurationBytes& set) {
    set[2] = static_cast<uint8_t>(set.size());
    set[3] = static_cast<uint8_t>(set.size() >> 8);
}

void EraseBytes(ConfigurationBytes& set, size_t offset, size_t count) {
    set.erase(set.begin() + static_cast<std::ptrdiff_t>(offset), set.begin() + static_cast<std::ptrdiff_t>(offset + count));
    FixTotalLength(set);
}

void RenumberInterface(ConfigurationBytes& set, uint8_t from, uint8_t to) {
    for (size_t n = 0;; ++n) {
        size_t at = FindDescriptor(set, 4, -1, n);
        if (at == kNotFound) return;
        if (set[at + 2] == from) set[at + 2] = to;
    }
}

std::shared_ptr<simusb::AudioDevice> MakeEditedDevice(const simusb::AudioDescription& description,
                                                      const std::function<void(ConfigurationBytes&)>& edit) {
    simusb::DescriptorSet descriptors = simusb::BuildDescriptors(description);
    edit(descriptors.configurations.at(0));
    return std::make_shared<simusb::AudioDevice>(std::move(descriptors), simusb::BuildSettings(description));
}

}  // namespace kerneltest
