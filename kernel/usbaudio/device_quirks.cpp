#include "device_quirks.h"

namespace vq7 {

namespace {

struct QuirkEntry {
    USHORT vendorId;
    USHORT productId;
    ULONG quirks;
};

constexpr QuirkEntry kQuirks[] = {
    {0xF0E1, 0x0B40, kQuirkVendorClassInterfaces | kQuirkConfigureAllInterfaces | kQuirkRenderLengthHeader},
    {0x0499, 0x1504, kQuirkVendorClassInterfaces | kQuirkConfigureAllInterfaces},
    {0x20B1, 0x0002, kQuirkConfigureAllInterfaces},
    {0x054C, 0x09D5, kQuirkConfigureAllInterfaces},
    {0x0944, 0x020A, kQuirkPacketMargin},
};

constexpr bool EachDeviceOnce() {
    for (size_t i = 0; i < RTL_NUMBER_OF(kQuirks); ++i) {
        for (size_t j = i + 1; j < RTL_NUMBER_OF(kQuirks); ++j) {
            if (kQuirks[i].vendorId == kQuirks[j].vendorId && kQuirks[i].productId == kQuirks[j].productId) {
                return false;
            }
        }
    }
    return true;
}
static_assert(EachDeviceOnce(), "a device has one row");

}  // namespace

ULONG QuirksFor(USHORT vendorId, USHORT productId) {
    for (const QuirkEntry& entry : kQuirks) {
        if (entry.vendorId == vendorId && entry.productId == productId) {
            return entry.quirks;
        }
    }
    return 0;
}

}  // namespace vq7
