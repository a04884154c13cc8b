// Forced into every Windows-facing target (vq7_windows_facing in
// ProjectOptions.cmake). Those targets are built with a 16-bit wchar_t, as on
// Windows, but the host's C library and libstdc++ were built for a 32-bit
// one: their wide-character functions misread every WCHAR string. The code
// uses the platform's string helpers (Rtl*UnicodeString*, RtlStringCch*) or
// its own UTF-16 code instead.
//
// This file is the one list of those functions: the compiler refuses them
// here, and the symbol check (tests/build_rules/wide_crt_symbols.cmake)
// reads the same lines to refuse them in a library's undefined symbols.
// The standard headers that declare them come first, so that their own
// declarations are not refused and later includes, in any order, add none
// (<stdlib.h> too: the compiler's SSE2 intrinsic headers include it, and
// libstdc++'s version of it names the functions again).
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string_view>

// Wide strings and memory.
#pragma GCC poison wcscat wcschr wcscmp wcscoll wcscpy wcscspn wcsdup wcsftime wcslen wcsncat wcsncmp wcsncpy
#pragma GCC poison wcsnlen wcspbrk wcsrchr wcsspn wcsstr wcstok wcsxfrm wcpcpy wcpncpy wcscasecmp wcsncasecmp
#pragma GCC poison wcswidth wcwidth wmemchr wmemcmp wmemcpy wmemmove wmemset wmempcpy
// Wide conversions to numbers.
#pragma GCC poison wcstod wcstof wcstold wcstol wcstoll wcstoul wcstoull wcstoimax wcstoumax
// Wide formatted and character I/O.
#pragma GCC poison wprintf fwprintf swprintf vwprintf vfwprintf vswprintf
#pragma GCC poison wscanf fwscanf swscanf vwscanf vfwscanf vswscanf
#pragma GCC poison fgetwc fgetws fputwc fputws fwide getwc getwchar putwc putwchar ungetwc
// Wide character classes and case.
#pragma GCC poison iswalnum iswalpha iswblank iswcntrl iswctype iswdigit iswgraph iswlower iswprint iswpunct
#pragma GCC poison iswspace iswupper iswxdigit towctrans towlower towupper wctrans wctype
// Conversions between multibyte and wide characters.
#pragma GCC poison mblen mbrlen mbrtowc mbsinit mbsnrtowcs mbsrtowcs mbstowcs mbtowc btowc wctob
#pragma GCC poison wcrtomb wcsnrtombs wcsrtombs wcstombs wctomb
// The Microsoft C library's names for the same.
#pragma GCC poison _wcsicmp _wcsnicmp wcsicmp wcsnicmp _wcslwr _wcsupr _wcsdup _snwprintf _vsnwprintf _wtoi _wtol _itow
