// UTF-16 to UTF-8, for traces, reports and tests.

#include "kmsim/utf8.h"

namespace {

void Append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsHigh(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::string kmsim::Utf8(PCWSTR text, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        char32_t c = static_cast<char16_t>(text[i]);
        if (IsHigh(c) && i + 1 < count && IsLow(static_cast<char16_t>(text[i + 1]))) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00);
        } else if (IsHigh(c) || IsLow(c)) {
            c = 0xFFFD;
        }
        Append(out, c);
    }
    return out;
}
