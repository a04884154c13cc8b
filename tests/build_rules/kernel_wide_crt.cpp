// Must not compile: kernel code may not call the C library's wide-character
// functions, which assume a 32-bit wchar_t on this host.
#include <wdm.h>

size_t LengthOf(const WCHAR* text) { return wcslen(text); }
