#include "trace.h"

#include <ntstrsafe.h>
#include <stdarg.h>

namespace vq7 {

namespace {

REGHANDLE g_provider = 0;

}  // namespace

NTSTATUS TraceRegister() {
    PAGED_CODE();
    return EtwRegister(&kTraceProvider, nullptr, nullptr, &g_provider);
}

void TraceUnregister() {
    PAGED_CODE();
    if (g_provider != 0) {
        EtwUnregister(g_provider);
        g_provider = 0;
    }
}

bool TraceEnabled(UCHAR level, ULONGLONG flags) {
    return g_provider != 0 && EtwProviderEnabled(g_provider, level, flags);
}

void TraceMessage(UCHAR level, ULONGLONG flags, const char* format, ...) {
    char narrow[256];
    va_list args;
    va_start(args, format);
    RtlStringCchVPrintfA(narrow, sizeof narrow, format, args);
    va_end(args);
    WCHAR wide[256];
    size_t i = 0;
    for (; narrow[i] != 0 && i + 1 < RTL_NUMBER_OF(wide); ++i) {
        wide[i] = static_cast<WCHAR>(static_cast<UCHAR>(narrow[i]));
    }
    wide[i] = 0;
    EtwWriteString(g_provider, level, flags, nullptr, wide);
}

}  // namespace vq7
