// UTF-16 <-> UTF-8 conversion and case folding for names.

#include "wide_text.h"

namespace km {

namespace {

void AppendUtf8(std::string& out, unsigned c) {
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

}  // namespace

std::string Utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned>(text[i + 1]) - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string Utf8(PCWSTR text) { return Utf8(View(text)); }

std::u16string Utf16(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        unsigned c = byte;
        size_t extra = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
        if (extra != 0) {
            c = byte & (0x3F >> extra);
        }
        ++i;
        for (size_t k = 0; k < extra && i < text.size(); ++k, ++i) {
            c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::u16string Upcase(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) {
        c = static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c)));
    }
    return out;
}

}  // namespace km
