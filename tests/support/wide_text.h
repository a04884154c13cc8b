// UTF-16 text in tests. WCHAR strings are 16 bits here, as on Windows, but
// GoogleTest's wide-string assertions and printers were built for a 32-bit
// wchar_t and misread them; compare and print WCHAR strings through these
// helpers instead. They hold the text as char16_t and print it as UTF-8.
//
//   EXPECT_EQ(kmtest::WideText(buffer), kmtest::WideText(L"{A9305ACA}_48000"));
//   EXPECT_THAT(name, kmtest::UnicodeStringIs(L"\\Device\\Q7"));   // name: UNICODE_STRING
//
// Never pass a bare WCHAR pointer to EXPECT_EQ or EXPECT_THAT: printing it
// on failure reads it as 32-bit characters.
#pragma once

#include <gmock/gmock.h>
#include <wdm.h>

#include "kmsim/utf8.h"

#include <ostream>
#include <string>

namespace kmtest {

class WideText {
public:
    WideText(PCWSTR text) {  // NOLINT: implicit, so that matchers take literals
        for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
            units_.push_back(static_cast<char16_t>(text[i]));
        }
    }
    WideText(PCWSTR text, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            units_.push_back(static_cast<char16_t>(text[i]));
        }
    }
    WideText(const UNICODE_STRING& text) : WideText(text.Buffer, text.Length / sizeof(WCHAR)) {}  // NOLINT

    const std::u16string& units() const { return units_; }

    // UTF-8 for printing; a lone surrogate shows as U+FFFD.
    std::string Utf8() const {
        return kmsim::Utf8(reinterpret_cast<PCWSTR>(units_.data()), units_.size());
    }

    friend bool operator==(const WideText& a, const WideText& b) { return a.units_ == b.units_; }
    friend void PrintTo(const WideText& text, std::ostream* os) { *os << "u\"" << text.Utf8() << "\""; }

private:
    std::u16string units_;
};

// A UNICODE_STRING whose counted text (Length, not a terminator) is `expected`.
MATCHER_P(UnicodeStringIs, expected, "is the UNICODE_STRING " + ::testing::PrintToString(WideText(expected))) {
    if (arg.Length % sizeof(WCHAR) != 0 || arg.Length > arg.MaximumLength) {
        *result_listener << "with the inconsistent lengths " << arg.Length << "/" << arg.MaximumLength;
        return false;
    }
    return WideText(arg) == WideText(expected);
}

}  // namespace kmtest

// GoogleTest finds printers next to the type: UNICODE_STRING is global.
inline void PrintTo(const UNICODE_STRING& text, std::ostream* os) {
    *os << "UNICODE_STRING " << ::testing::PrintToString(kmtest::WideText(text)) << " (Length " << text.Length
        << ", MaximumLength " << text.MaximumLength << ")";
}
