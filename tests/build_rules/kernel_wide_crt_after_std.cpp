// Must not compile: standard headers included before <wdm.h> do not let the
// wide-character functions through.
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include <wdm.h>

int ParseRate(const WCHAR* text) {
    int rate = 0;
    swscanf(text, L"%d", &rate);
    return rate;
}

size_t Widen(WCHAR* out, const char* text) { return mbstowcs(out, text, 8); }

bool IsUpper(WCHAR c) { return iswupper(c) != 0; }

size_t Narrow(char* out, WCHAR c) {
    mbstate_t state{};
    return wcrtomb(out, c, &state);
}
