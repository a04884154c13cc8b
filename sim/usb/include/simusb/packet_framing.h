// Render packets of devices that frame them: a 4-byte little-endian length,
// then exactly that many audio bytes. A packet without a whole header, or
// whose length disagrees with what follows it, is malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace simusb {

inline constexpr std::size_t kLengthHeader_bytes = 4;

// The audio bytes of a framed packet; nullopt if it is malformed.
std::optional<std::span<const uint8_t>> UnwrapLengthHeader(std::span<const uint8_t> packet);
std::vector<uint8_t> WrapLengthHeader(std::span<const uint8_t> audio);

}  // namespace simusb
