// Little-endian byte access for descriptors and request payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace simusb {

// Appends little-endian fields to a byte vector; Patch rewrites one later
// (a length that is known only once the descriptors after it are written).
class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

    ByteWriter& U8(uint32_t value) { return Le(value, 1); }
    ByteWriter& U16(uint32_t value) { return Le(value, 2); }
    ByteWriter& U24(uint32_t value) { return Le(value, 3); }
    ByteWriter& U32(uint32_t value) { return Le(value, 4); }
    ByteWriter& Le(uint64_t value, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i) out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return *this;
    }
    ByteWriter& Bytes(std::span<const uint8_t> bytes) {
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    void Patch(size_t offset, uint64_t value, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i) out_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    size_t Size() const { return out_.size(); }

private:
    std::vector<uint8_t>& out_;
};

// Reads `bytes` little-endian bytes at `offset`; bytes past the end read as 0,
// so lenient parsers of hostile input never read out of bounds.
inline uint32_t ReadLe(std::span<const uint8_t> in, size_t offset, size_t bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i) {
        if (offset + i < in.size()) value |= static_cast<uint32_t>(in[offset + i]) << (8 * i);
    }
    return value;
}

inline std::vector<uint8_t> LeBytes(uint64_t value, size_t bytes) {
    std::vector<uint8_t> out;
    ByteWriter(out).Le(value, bytes);
    return out;
}

}  // namespace simusb
