#include "engine/render_packet_dump.h"

#include "common/trace.h"

namespace vq7 {

namespace {

constexpr ULONG kBytesPerLine = 16;
constexpr ULONG kCharsPerByte = 5;  // "0x" two digits ","
constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

void DumpRenderPacket(const UCHAR* packet, ULONG bytes) {
    for (ULONG offset = 0; offset < bytes; offset += kBytesPerLine) {
        char line[kBytesPerLine * kCharsPerByte + 1];
        ULONG used = 0;
        for (ULONG i = offset; i < bytes && i < offset + kBytesPerLine; ++i) {
            line[used++] = '0';
            line[used++] = 'x';
            line[used++] = kDigits[packet[i] >> 4];
            line[used++] = kDigits[packet[i] & 0xF];
            line[used++] = ',';
        }
        line[used] = '\0';
        VQ7_TRACE(TRACE_LEVEL_VERBOSE, kTraceEngine, "%s", line);
    }
}

}  // namespace vq7
