// The bytes of one fuzzer input, read front to back as the fields of a
// target's input format. Reading past the end yields zeros, so that every
// input, however short, decodes to something and the mutator never wastes
// an execution on a format error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vq7fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    size_t Remaining() const { return at_ < size_ ? size_ - at_ : 0; }

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t U32() {
        uint32_t low = U16();
        return low | (static_cast<uint32_t>(U16()) << 16);
    }
    // `count` bytes; those past the end are zeros.
    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> bytes(count, 0);
        for (uint8_t& byte : bytes) {
            if (Empty()) break;
            byte = Byte();
        }
        return bytes;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The writer seeds are built with: the same fields, appended.
class FuzzInputWriter {
public:
    FuzzInputWriter& Byte(uint8_t value) {
        bytes_.push_back(value);
        return *this;
    }
    FuzzInputWriter& U16(uint16_t value) { return Byte(static_cast<uint8_t>(value)).Byte(static_cast<uint8_t>(value >> 8)); }
    FuzzInputWriter& U32(uint32_t value) {
        return U16(static_cast<uint16_t>(value)).U16(static_cast<uint16_t>(value >> 16));
    }
    FuzzInputWriter& Bytes(const std::vector<uint8_t>& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    const std::vector<uint8_t>& Result() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace vq7fuzz
