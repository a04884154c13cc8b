// A lenient reading of a configuration descriptor set: its interfaces,
// their alternate settings, endpoints and the class-specific descriptors
// that follow each. Hostile bytes never make it read out of bounds: the walk
// stops at the first descriptor that does not fit (the strict checks live in
// descriptor_walker.h).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace simusb {

using DescriptorBytes = std::span<const uint8_t>;  // one descriptor, bLength bytes

struct EndpointLayout {
    DescriptorBytes descriptor;
    std::vector<DescriptorBytes> classSpecific;  // the descriptors after it, before the next endpoint or interface

    uint8_t Address() const { return descriptor[2]; }
    uint8_t Attributes() const { return descriptor[3]; }
    uint16_t MaxPacketSize() const;
    uint8_t Interval() const { return descriptor[6]; }
    uint8_t Refresh() const;       // 0 unless the 9-byte audio form
    uint8_t SynchAddress() const;  // 0 unless the 9-byte audio form
    uint8_t Usage() const;
    bool In() const { return (Address() & 0x80) != 0; }
};

struct AltSettingLayout {
    DescriptorBytes descriptor;                  // the interface descriptor
    std::vector<DescriptorBytes> classSpecific;  // before the first endpoint
    std::vector<EndpointLayout> endpoints;

    uint8_t Number() const { return descriptor[2]; }
    uint8_t Alternate() const { return descriptor[3]; }
    uint8_t Class() const { return descriptor[5]; }
    uint8_t Subclass() const { return descriptor[6]; }
    uint8_t Protocol() const { return descriptor[7]; }
};

struct ConfigurationLayout {
    uint8_t value = 0;       // bConfigurationValue
    uint8_t attributes = 0;  // bmAttributes
    std::vector<AltSettingLayout> altSettings;  // in descriptor order

    const AltSettingLayout* Find(uint8_t interfaceNumber, uint8_t alternate) const;
    std::vector<uint8_t> InterfaceNumbers() const;  // distinct, in order of appearance
};

// The descriptors of `bytes` one by one, up to the first that is shorter
// than 2 bytes or runs past the end.
std::vector<DescriptorBytes> SplitDescriptors(std::span<const uint8_t> bytes);

// Reads the configuration set `config` up to min(wTotalLength, its size).
ConfigurationLayout ReadConfigurationLayout(std::span<const uint8_t> config);

}  // namespace simusb
