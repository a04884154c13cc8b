// The bytes a device answers GET_DESCRIPTOR with: its device descriptor,
// its configuration descriptor sets and its strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simusb/device.h"

namespace simusb {

struct StringEntry {
    uint8_t index;
    uint16_t langId;
    std::u16string text;

    bool operator==(const StringEntry&) const = default;
};

struct DescriptorSet {
    Speed speed = Speed::High;
    std::vector<uint8_t> device;                       // the 18-byte device descriptor
    std::vector<std::vector<uint8_t>> configurations;  // each a whole configuration descriptor set
    std::vector<StringEntry> strings;

    // The language IDs string descriptor 0 lists: those of the strings, in
    // the order they first appear.
    std::vector<uint16_t> LangIds() const;
    const StringEntry* FindString(uint8_t index, uint16_t langId) const;
    // The configuration set whose bConfigurationValue is `value`.
    const std::vector<uint8_t>* FindConfiguration(uint8_t value) const;

    bool operator==(const DescriptorSet&) const = default;
};

// String descriptor bytes: bLength, type 3, UTF-16LE text.
std::vector<uint8_t> StringDescriptorBytes(const std::u16string& text);
std::vector<uint8_t> LangIdDescriptorBytes(const std::vector<uint16_t>& langIds);

// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf16FromUtf8(std::string_view text);
std::string Utf8FromUtf16(std::u16string_view text);
// Whether `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

}  // namespace simusb
