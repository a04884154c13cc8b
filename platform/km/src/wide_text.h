// UTF-16 text as the Windows side holds it, converted to and from the UTF-8
// the simulation's own files and messages use, and the case-blind form names
// are compared in (object, registry and interface names ignore case).
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

namespace km {

std::string Utf8(std::u16string_view text);
std::string Utf8(PCWSTR text);  // terminated
std::u16string Utf16(std::string_view text);

inline std::u16string_view View(PCUNICODE_STRING text) {
    return text == nullptr || text->Buffer == nullptr
               ? std::u16string_view()
               : std::u16string_view(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

inline std::u16string_view View(PCWSTR text) {
    return text == nullptr ? std::u16string_view() : std::u16string_view(reinterpret_cast<const char16_t*>(text));
}

// The upper-case form, as the object manager compares names.
std::u16string Upcase(std::u16string_view text);

}  // namespace km
