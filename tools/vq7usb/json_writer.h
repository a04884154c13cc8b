// A small writer of compact JSON: objects, arrays, strings, numbers, booleans
// and null, with commas placed by the writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vq7usb {

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(const std::string& key);
    JsonWriter& String(const std::string& value);
    JsonWriter& Number(int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    // "0x20b1": a hexadecimal string of `digits` digits.
    JsonWriter& Hex(uint64_t value, int digits);

    const std::string& Text() const { return text_; }

private:
    void Separate();

    std::string text_;
    std::vector<bool> first_;  // per open container: nothing written in it yet
    bool afterKey_ = false;
};

}  // namespace vq7usb
