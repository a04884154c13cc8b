#include "json_writer.h"

#include <cstdio>

namespace vq7usb {

void JsonWriter::Separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) text_ += ',';
        first_.back() = false;
    }
}

JsonWriter& JsonWriter::BeginObject() {
    Separate();
    text_ += '{';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    text_ += '}';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    Separate();
    text_ += '[';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    text_ += ']';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key) {
    String(key);
    text_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(const std::string& value) {
    Separate();
    text_ += '"';
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            text_ += '\\';
            text_ += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            text_ += escape;
        } else {
            text_ += static_cast<char>(c);
        }
    }
    text_ += '"';
    return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
    Separate();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    Separate();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    Separate();
    text_ += "null";
    return *this;
}

JsonWriter& JsonWriter::Hex(uint64_t value, int digits) {
    char text[24];
    snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return String(text);
}

}  // namespace vq7usb
