// The devices the USB audio layer treats specially, by vendor and product.
// Resolved once at start into flags on the class layer object.
#pragma once

#include <ntddk.h>

namespace vq7 {

enum DeviceQuirk : ULONG {
    kQuirkVendorClassInterfaces = 0x1,  // audio interfaces carry class code 0xFF instead of 1
    kQuirkConfigureAllInterfaces = 0x2, // the configuration must include every interface
    kQuirkRenderLengthHeader = 0x4,     // each render packet starts with a 4-byte length
    kQuirkPacketMargin = 0x8,           // capture packets vary by up to two frames around nominal
};

ULONG QuirksFor(USHORT vendorId, USHORT productId);

}  // namespace vq7
