// A strict check of a device's descriptors, for tests and tools. Reports
// every problem it finds, each naming where:
//   - every descriptor has bLength >= 2 and lies inside wTotalLength, which
//     is the size of the set; fixed-size descriptors have their size;
//   - bNumInterfaces counts the interfaces, bNumEndpoints the endpoints
//     after each interface descriptor, every interface has setting 0, an
//     interface association covers interfaces that exist;
//   - class-specific audio descriptors have the size their fields give
//     (units with a variable tail at least that), the audio control
//     header's wTotalLength covers exactly its class-specific descriptors,
//     every entity ID is unique and every ID referenced exists and is of the
//     right kind (a clock where a clock belongs), a streaming interface
//     links to a terminal, a synch address names an endpoint of its setting.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "simusb/descriptor_set.h"

namespace simusb {

struct WalkReport {
    std::vector<std::string> problems;

    bool Ok() const { return problems.empty(); }
    std::string Text() const;  // one problem a line
};

WalkReport WalkDescriptors(const DescriptorSet& descriptors);
// One configuration descriptor set; `speed`, when given, also bounds
// isochronous packet sizes.
WalkReport WalkConfiguration(std::span<const uint8_t> config, std::optional<Speed> speed = std::nullopt);

}  // namespace simusb
