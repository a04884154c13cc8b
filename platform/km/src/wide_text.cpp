// UTF-16 <-> UTF-8 conversion and case folding for names.

#include "wide_text.h"

#include "kmsim/utf8.h"

namespace km {

std::string Utf8(std::u16string_view text) {
    return kmsim::Utf8(reinterpret_cast<PCWSTR>(text.data()), text.size());
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
