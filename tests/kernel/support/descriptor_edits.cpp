#include "descriptor_edits.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "simusb/descriptor_builder.h"
#include "simusb/ready_made_devices.h"

namespace kerneltest {

namespace {

constexpr uint8_t kInterfaceType = 0x04;
constexpr uint8_t kEndpointType = 0x05;
constexpr uint8_t kClassInterfaceType = 0x24;
constexpr uint8_t kHeaderSubtype = 0x01;
constexpr size_t kTotalLengthOffset = 2;  // of the configuration descriptor

// Where the audio-control header keeps its wTotalLength: class 2.0 at byte
// 6, class 1.0 at byte 5.
size_t HeaderTotalOffset(const std::vector<uint8_t>& set, size_t header) {
    return ReadLe16(set, header + 3) == 0x0200 ? 6 : 5;
}

// Whether the descriptor at `at` lies whole inside the set.
bool Whole(const std::vector<uint8_t>& set, size_t at) {
    return at + 2 <= set.size() && set[at] >= 2 && at + set[at] <= set.size();
}

}  // namespace

simusb::AudioDescription DescriptionOf(std::string_view readyMade) {
    const simusb::ReadyMadeDevice* found = simusb::FindReadyMadeDevice(readyMade);
    if (found == nullptr) {
        fprintf(stderr, "no ready-made device named %s\n", std::string(readyMade).c_str());
        abort();
    }
    return found->describe();
}

RawDevice::RawDevice(const simusb::AudioDescription& description)
    : descriptors(simusb::BuildDescriptors(description)), settings(simusb::BuildSettings(description)) {}

std::shared_ptr<simusb::AudioDevice> RawDevice::Make() const {
    return std::make_shared<simusb::AudioDevice>(descriptors, settings);
}

size_t FindDescriptor(const std::vector<uint8_t>& set, uint8_t type, int subtype, int id) {
    for (size_t at = 0; Whole(set, at); at += set[at]) {
        uint8_t length = set[at];
        bool matches = set[at + 1] == type && (subtype == -1 || (length > 2 && set[at + 2] == subtype)) &&
                       (id == -1 || (length > 3 && set[at + 3] == id));
        if (matches) {
            return at;
        }
    }
    return kNotFound;
}

size_t FindEndpointDescriptor(const std::vector<uint8_t>& set, uint8_t address) {
    for (size_t at = 0; Whole(set, at); at += set[at]) {
        if (set[at + 1] == kEndpointType && set[at] > 2 && set[at + 2] == address) {
            return at;
        }
    }
    return kNotFound;
}

size_t LastDescriptor(const std::vector<uint8_t>& set) {
    size_t last = kNotFound;
    for (size_t at = 0; Whole(set, at); at += set[at]) {
        last = at;
    }
    return last;
}

size_t FindEntityDescriptor(const std::vector<uint8_t>& set, uint8_t id) {
    size_t header = FindDescriptor(set, kClassInterfaceType, kHeaderSubtype);
    for (size_t at = header;
         at != kNotFound && at + 3 < set.size() && set[at] >= 2 && set[at + 1] == kClassInterfaceType;
         at += set[at]) {
        if (at != header && set[at + 3] == id) {
            return at;
        }
    }
    return kNotFound;
}

size_t FindInterfaceDescriptor(const std::vector<uint8_t>& set, uint8_t number, uint8_t alternate) {
    for (size_t at = FindDescriptor(set, kInterfaceType); at != kNotFound && at + 3 < set.size(); at += set[at]) {
        if (set[at + 1] == kInterfaceType && set[at + 2] == number && set[at + 3] == alternate) {
            return at;
        }
        if (set[at] < 2) {
            break;
        }
    }
    return kNotFound;
}

void EraseFromDescriptor(std::vector<uint8_t>& set, size_t offset, size_t from, size_t count) {
    size_t header = FindDescriptor(set, kClassInterfaceType, kHeaderSubtype);
    if (header != kNotFound && offset > header) {
        size_t totalOffset = HeaderTotalOffset(set, header);
        uint16_t total = ReadLe16(set, header + totalOffset);
        if (offset < header + total) {
            WriteLe16(set, header + totalOffset, static_cast<uint16_t>(total - count));
        }
    }
    auto first = set.begin() + static_cast<std::ptrdiff_t>(offset + from);
    set.erase(first, first + static_cast<std::ptrdiff_t>(count));
    set.at(offset) = static_cast<uint8_t>(set.at(offset) - count);
    WriteLe16(set, kTotalLengthOffset, static_cast<uint16_t>(set.size()));
}

void ShrinkDescriptor(std::vector<uint8_t>& set, size_t offset, uint8_t length) {
    EraseFromDescriptor(set, offset, length, set.at(offset) - length);
}

bool ShrinkEntityDescriptor(std::vector<uint8_t>& set, uint8_t id, uint8_t length) {
    size_t at = FindEntityDescriptor(set, id);
    if (at == kNotFound) {
        return false;
    }
    ShrinkDescriptor(set, at, length);
    return true;
}

void TruncateSet(std::vector<uint8_t>& set, size_t offset) {
    set.resize(offset);
    WriteLe16(set, kTotalLengthOffset, static_cast<uint16_t>(set.size()));
}

uint16_t ReadLe16(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

void WriteLe16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
    bytes.at(offset) = static_cast<uint8_t>(value);
    bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

size_t FindNthDescriptor(const std::vector<uint8_t>& set, uint8_t type, int subtype, size_t nth) {
    for (size_t at = 0; at + 2 <= set.size() && set[at] >= 2 && at + set[at] <= set.size(); at += set[at]) {
        if (set[at + 1] == type && (subtype < 0 || (set[at] > 2 && set[at + 2] == subtype)) && nth-- == 0) {
            return at;
        }
    }
    return kNotFound;
}

void RenumberInterface(std::vector<uint8_t>& set, uint8_t from, uint8_t to) {
    for (size_t n = 0;; ++n) {
        size_t at = FindNthDescriptor(set, 4, -1, n);
        if (at == kNotFound) return;
        if (set[at + 2] == from) set[at + 2] = to;
    }
}

}  // namespace kerneltest
