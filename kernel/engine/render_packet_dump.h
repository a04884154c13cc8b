// The render packet dump: with the device's dump setting on, every render
// packet is written to the trace just before it is submitted, 16 bytes a
// message.
#pragma once

#include <ntddk.h>

namespace vq7 {

// IRQL <= DISPATCH_LEVEL.
void DumpRenderPacket(const UCHAR* packet, ULONG bytes);

}  // namespace vq7
