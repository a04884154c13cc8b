// Run-time library: counted UTF-16 strings, case mapping, integer and GUID
// conversions, memory comparison and the OS version query. Nothing here uses
// the C library's wide-character functions, which assume a 32-bit wchar_t.

#include <cstdio>

#include "kernel_state.h"
#include "verifier.h"

namespace {

size_t WideLength(PCWSTR text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

}  // namespace

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// Case mapping for the Latin, Greek and Cyrillic letters; other characters
// map to themselves.
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR c) {
    unsigned u = static_cast<unsigned>(c);
    if (u >= 'a' && u <= 'z') return static_cast<WCHAR>(u - 0x20);
    if (u < 0x80) return c;
    if ((u >= 0xE0 && u <= 0xFE && u != 0xF7)) return static_cast<WCHAR>(u - 0x20);
    if (u == 0xFF) return static_cast<WCHAR>(0x178);
    if (u >= 0x100 && u <= 0x17F && u != 0x130 && u != 0x131 && u != 0x138 && u != 0x149 && u != 0x17F) {
        bool oddIsLower = !((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E));
        bool lower = oddIsLower ? (u & 1) != 0 : (u & 1) == 0;
        return lower ? static_cast<WCHAR>(u - 1) : c;
    }
    if (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) return static_cast<WCHAR>(u - 0x20);
    if (u >= 0x430 && u <= 0x44F) return static_cast<WCHAR>(u - 0x20);
    if (u >= 0x450 && u <= 0x45F) return static_cast<WCHAR>(u - 0x50);
    return c;
}

WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR c) {
    unsigned u = static_cast<unsigned>(c);
    if (u >= 'A' && u <= 'Z') return static_cast<WCHAR>(u + 0x20);
    if (u < 0x80) return c;
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<WCHAR>(u + 0x20);
    if (u == 0x178) return static_cast<WCHAR>(0xFF);
    if (u >= 0x100 && u <= 0x17F && RtlUpcaseUnicodeChar(static_cast<WCHAR>(u + 1)) == c && u + 1 <= 0x17E) {
        return static_cast<WCHAR>(u + 1);
    }
    if (u >= 0x391 && u <= 0x3A9 && u != 0x3A2) return static_cast<WCHAR>(u + 0x20);
    if (u >= 0x410 && u <= 0x42F) return static_cast<WCHAR>(u + 0x20);
    if (u >= 0x400 && u <= 0x40F) return static_cast<WCHAR>(u + 0x50);
    return c;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;  // the count is 16 bits
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString != nullptr && WideLength(SourceString) * sizeof(WCHAR) > 0xFFFC) {
        return STATUS_NAME_TOO_LONG;
    }
    RtlInitUnicodeString(DestinationString, SourceString);
    return STATUS_SUCCESS;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                          : DestinationString->MaximumLength;
    bytes &= static_cast<USHORT>(~1u);
    RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) {
            return static_cast<LONG>(static_cast<unsigned>(a)) - static_cast<LONG>(static_cast<unsigned>(b));
        }
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    UNICODE_STRING head = *String2;
    head.Length = String1->Length;
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    size_t total = static_cast<size_t>(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlMoveMemory(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR digits[33];
    int count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = static_cast<WCHAR>(digit < 10 ? '0' + digit : 'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    size_t bytes = static_cast<size_t>(count) * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (int i = 0; i < count; ++i) {
        String->Buffer[i] = digits[count - 1 - i];
    }
    String->Buffer[count] = 0;
    String->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    size_t n = String->Length / sizeof(WCHAR);
    size_t i = 0;
    while (i < n && (String->Buffer[i] == ' ' || String->Buffer[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < n && (String->Buffer[i] == '-' || String->Buffer[i] == '+')) {
        negative = String->Buffer[i] == '-';
        ++i;
    }
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && String->Buffer[i] == '0') {
            WCHAR p = String->Buffer[i + 1];
            if (p == 'x' || p == 'X') Base = 16;
            if (p == 'o' || p == 'O') Base = 8;
            if (p == 'b' || p == 'B') Base = 2;
            if (Base != 10) i += 2;
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG result = 0;
    for (; i < n; ++i) {
        unsigned c = static_cast<unsigned>(String->Buffer[i]);
        unsigned digit = c >= '0' && c <= '9' ? c - '0'
                         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                  : 99;
        if (digit >= Base) {
            break;
        }
        result = result * Base + digit;
    }
    *Value = negative ? static_cast<ULONG>(-static_cast<LONG>(result)) : result;
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
             Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
             Guid.Data4[6], Guid.Data4[7]);
    constexpr size_t kChars = 38;
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, (kChars + 1) * sizeof(WCHAR), 0x69727453 /* 'Stri' */));
    if (buffer == nullptr) {
        return STATUS_NO_MEMORY;
    }
    for (size_t i = 0; i <= kChars; ++i) {
        buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    }
    GuidString->Buffer = buffer;
    GuidString->Length = kChars * sizeof(WCHAR);
    GuidString->MaximumLength = (kChars + 1) * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
    constexpr size_t kChars = 38;
    if (GuidString->Length != kChars * sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    unsigned values[16];
    size_t v = 0;
    unsigned current = 0;
    int nibbles = 0;
    static const int kGroupNibbles[] = {8, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2};
    for (size_t i = 0; i < kChars; ++i) {
        unsigned c = static_cast<unsigned>(GuidString->Buffer[i]);
        bool brace = (i == 0 && c == '{') || (i == kChars - 1 && c == '}');
        bool dash = (i == 9 || i == 14 || i == 19 || i == 24) && c == '-';
        if (brace || dash) {
            continue;
        }
        unsigned digit = c >= '0' && c <= '9' ? c - '0'
                         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                  : 99;
        if (digit > 15 || v >= 11) {
            return STATUS_INVALID_PARAMETER;
        }
        current = current * 16 + digit;
        if (++nibbles == kGroupNibbles[v]) {
            values[v++] = current;
            current = 0;
            nibbles = 0;
        }
    }
    if (v != 11) {
        return STATUS_INVALID_PARAMETER;
    }
    Guid->Data1 = values[0];
    Guid->Data2 = static_cast<unsigned short>(values[1]);
    Guid->Data3 = static_cast<unsigned short>(values[2]);
    for (int i = 0; i < 8; ++i) {
        Guid->Data4[i] = static_cast<unsigned char>(values[3 + i]);
    }
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version) { return Version <= km::K().ntddiVersion ? TRUE : FALSE; }

void kmsim::SetNtddiVersion(ULONG version) { km::K().ntddiVersion = version; }
