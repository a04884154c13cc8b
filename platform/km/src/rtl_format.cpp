// The formatter behind RtlStringCchPrintf{W,A}: the Windows kernel's printf
// conventions for either character width, without the C library's wide
// functions. In the W form %s is a wide string and %S a narrow one, in the A
// form the other way round; %ls/%ws are always wide, %hs always narrow, and
// %wZ prints a UNICODE_STRING.

#include <ntstrsafe.h>

#include <cstdint>
#include <type_traits>

namespace {

template <typename C>
class Output {
public:
    Output(C* dest, size_t capacity) : dest_(dest), capacity_(capacity) {}
    void Put(unsigned c) {
        if (used_ + 1 < capacity_) {
            dest_[used_++] = static_cast<C>(c);
        } else {
            truncated_ = true;
        }
    }
    void Repeat(unsigned c, int count) {
        for (int i = 0; i < count; ++i) Put(c);
    }
    NTSTATUS Finish() {
        dest_[used_] = 0;
        return truncated_ ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

private:
    C* dest_;
    size_t capacity_;
    size_t used_ = 0;
    bool truncated_ = false;
};

struct Spec {
    bool left = false, zero = false, plus = false, space = false, alternate = false;
    int width = 0;
    int precision = -1;
};

template <typename C, typename S>
void PutText(Output<C>& out, const S* text, size_t length, const Spec& spec) {
    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < length) {
        length = static_cast<size_t>(spec.precision);
    }
    int pad = spec.width > static_cast<int>(length) ? spec.width - static_cast<int>(length) : 0;
    if (!spec.left) out.Repeat(' ', pad);
    for (size_t i = 0; i < length; ++i) {
        out.Put(static_cast<unsigned>(static_cast<std::make_unsigned_t<S>>(text[i])));
    }
    if (spec.left) out.Repeat(' ', pad);
}

template <typename S>
size_t TextLength(const S* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

template <typename C>
void PutNumber(Output<C>& out, uint64_t magnitude, bool negative, unsigned base, bool upper, const Spec& spec) {
    char digits[24];
    int count = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[count++] = set[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    if (spec.precision == 0 && count == 1 && digits[0] == '0') {
        count = 0;
    }
    int precisionZeros = spec.precision > count ? spec.precision - count : 0;
    const char* prefix = negative ? "-" : spec.plus ? "+" : spec.space ? " " : "";
    if (spec.alternate && base == 16) prefix = upper ? "0X" : "0x";
    int prefixLength = static_cast<int>(TextLength(prefix));
    int body = prefixLength + precisionZeros + count;
    int pad = spec.width > body ? spec.width - body : 0;
    bool zeroPad = spec.zero && !spec.left && spec.precision < 0;
    if (!spec.left && !zeroPad) out.Repeat(' ', pad);
    for (int i = 0; i < prefixLength; ++i) out.Put(static_cast<unsigned char>(prefix[i]));
    if (zeroPad) out.Repeat('0', pad);
    out.Repeat('0', precisionZeros);
    for (int i = count - 1; i >= 0; --i) out.Put(static_cast<unsigned char>(digits[i]));
    if (spec.left) out.Repeat(' ', pad);
}

template <typename C>
NTSTATUS Format(C* dest, size_t cchDest, const C* format, va_list args) {
    if (dest == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    constexpr bool kWide = sizeof(C) == 2;
    Output<C> out(dest, cchDest);
    for (const C* p = format; *p != 0; ++p) {
        if (*p != '%') {
            out.Put(static_cast<unsigned>(*p));
            continue;
        }
        ++p;
        Spec spec;
        for (;; ++p) {
            if (*p == '-') spec.left = true;
            else if (*p == '0') spec.zero = true;
            else if (*p == '+') spec.plus = true;
            else if (*p == ' ') spec.space = true;
            else if (*p == '#') spec.alternate = true;
            else break;
        }
        if (*p == '*') {
            spec.width = va_arg(args, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = -spec.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') spec.width = spec.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            if (*p == '*') {
                spec.precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') spec.precision = spec.precision * 10 + (*p++ - '0');
            }
        }
        enum { kInt, kLong64, kShort, kChar, kSize } size = kInt;
        bool markWide = false;    // l or w: wide text
        bool markNarrow = false;  // h: narrow text
        if (*p == 'h') {
            ++p;
            size = kShort;
            markNarrow = true;
            if (*p == 'h') {
                ++p;
                size = kChar;
            }
        } else if (*p == 'l') {
            ++p;
            markWide = true;  // long itself is 32 bits on Windows
            if (*p == 'l') {
                ++p;
                size = kLong64;
                markWide = false;
            }
        } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
            p += 3;
            size = kLong64;
        } else if (*p == 'I' || *p == 'z') {
            ++p;
            size = kSize;
        } else if (*p == 'w') {
            ++p;
            markWide = true;
        }
        auto textIsWide = [&](bool byDefault) { return markWide ? true : markNarrow ? false : byDefault; };
        unsigned conversion = static_cast<unsigned>(*p);
        switch (conversion) {
            case 'd':
            case 'i': {
                int64_t value = size == kLong64 || size == kSize ? va_arg(args, int64_t) : va_arg(args, int);
                if (size == kShort) value = static_cast<short>(value);
                if (size == kChar) value = static_cast<signed char>(value);
                PutNumber(out, value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value), value < 0, 10,
                          false, spec);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                uint64_t value =
                    size == kLong64 || size == kSize ? va_arg(args, uint64_t) : va_arg(args, unsigned);
                if (size == kShort) value = static_cast<unsigned short>(value);
                if (size == kChar) value = static_cast<unsigned char>(value);
                unsigned base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
                PutNumber(out, value, false, base, conversion == 'X', spec);
                break;
            }
            case 'p': {
                Spec pointer = spec;
                pointer.zero = true;
                pointer.width = 16;
                PutNumber(out, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, true, pointer);
                break;
            }
            case 'c': {
                unsigned c = static_cast<unsigned>(va_arg(args, int));
                c = textIsWide(kWide) ? c & 0xFFFF : c & 0xFF;
                out.Repeat(' ', !spec.left && spec.width > 1 ? spec.width - 1 : 0);
                out.Put(c);
                out.Repeat(' ', spec.left && spec.width > 1 ? spec.width - 1 : 0);
                break;
            }
            case 'C': {
                unsigned c = static_cast<unsigned>(va_arg(args, int));
                out.Put(textIsWide(!kWide) ? c & 0xFFFF : c & 0xFF);
                break;
            }
            case 's':
            case 'S': {
                if (textIsWide(conversion == 's' ? kWide : !kWide)) {
                    const WCHAR* text = va_arg(args, const WCHAR*);
                    if (text == nullptr) text = L"(null)";
                    PutText(out, text, TextLength(text), spec);
                } else {
                    const char* text = va_arg(args, const char*);
                    if (text == nullptr) text = "(null)";
                    PutText(out, text, TextLength(text), spec);
                }
                break;
            }
            case 'Z': {
                const UNICODE_STRING* text = va_arg(args, const UNICODE_STRING*);
                if (text == nullptr || text->Buffer == nullptr) {
                    PutText(out, "(null)", 6, spec);
                } else {
                    PutText(out, text->Buffer, text->Length / sizeof(WCHAR), spec);
                }
                break;
            }
            case '%':
                out.Put('%');
                break;
            case 0:
                return out.Finish();
            default:
                return STATUS_INVALID_PARAMETER;
        }
    }
    return out.Finish();
}

}  // namespace

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList) {
    return Format(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList) {
    return Format(pszDest, cchDest, pszFormat, argList);
}
