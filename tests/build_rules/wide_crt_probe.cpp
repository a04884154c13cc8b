// A library built without the wide-function poison, for the symbol check to
// find its references.
#include <cstdlib>
#include <cwchar>

int ProbeParse(const wchar_t* text) {
    int value = 0;
    swscanf(text, L"%d", &value);
    return value;
}

size_t ProbeWiden(wchar_t* out, const char* text) { return mbstowcs(out, text, 4); }
