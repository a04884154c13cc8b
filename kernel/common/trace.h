// Software tracing of the kernel driver. Each message has a level and flags
// (the subsystem); a trace controller chooses which are recorded, and when
// none is, a message costs one enabled check. On Windows the messages go
// through the platform's event tracing under the driver's provider.
#pragma once

#include <ntddk.h>

// Messages are checked against the kernel formatter's conventions, which
// are Windows's: long is 32 bits, so a ULONG is %lu. GCC knows them as
// ms_printf when it targets Windows. Its Linux printf check assumes a 64-bit
// long and would refuse the right %lu, so there the check is left to the
// Windows build; the stand-in's formatter reads %lu as 32 bits, as Windows's.
#if defined(__GNUC__) && defined(_WIN32)
#define VQ7_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(ms_printf, formatIndex, firstArgument)))
#else
#define VQ7_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

namespace vq7 {

// Trace flags: which part of the driver speaks.
enum TraceFlag : ULONGLONG {
    kTraceUsb = 0x1,        // the USB bus layer
    kTraceModel = 0x2,      // the audio descriptor model
    kTraceEntity = 0x4,     // entities and their control requests
    kTraceFormat = 0x8,     // formats and clocks
    kTraceTransport = 0x10, // isochronous transfers and feedback
    kTraceAdapter = 0x20,
    kTraceEngine = 0x40,
    kTraceAsio = 0x80,
    kTraceWaveRt = 0x100,
};

// {7C3E2A51-4F0B-4D7A-9E61-2B8C5D4F1A93}
DEFINE_GUID(kTraceProvider, 0x7c3e2a51, 0x4f0b, 0x4d7a, 0x9e, 0x61, 0x2b, 0x8c, 0x5d, 0x4f, 0x1a, 0x93);

// Registers and unregisters the driver's provider (driver entry and unload).
// IRQL == PASSIVE_LEVEL.
NTSTATUS TraceRegister();
void TraceUnregister();

bool TraceEnabled(UCHAR level, ULONGLONG flags);
void TraceMessage(UCHAR level, ULONGLONG flags, const char* format, ...) VQ7_PRINTF_FORMAT(3, 4);

}  // namespace vq7

#define VQ7_TRACE(level, flags, ...)                       \
    do {                                                   \
        if (::vq7::TraceEnabled((level), (flags))) {       \
            ::vq7::TraceMessage((level), (flags), __VA_ARGS__); \
        }                                                  \
    } while (0)
