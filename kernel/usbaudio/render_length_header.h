// Render packets framed with a length header, for devices that want every
// packet to say how many audio bytes it carries: a u32 little-endian length
// followed by that many bytes. The framed transfer is built in a staging
// buffer of its own.
#pragma once

#include <ntddk.h>

#include "render_packet_plan.h"

namespace vq7 {

constexpr ULONG kLengthHeaderBytes = 4;

// The staging bytes a framed transfer of `plan` needs: its audio plus one
// header per packet.
ULONG FramedTransferBytes(const RenderPacketPlan& plan);

// Writes each packet of `plan` into `staging` as header and audio, taking
// the audio from `audio` in order. `staging` holds FramedTransferBytes(plan).
// IRQL <= DISPATCH_LEVEL.
void FrameWithLengthHeaders(const RenderPacketPlan& plan, const UCHAR* audio, UCHAR* staging);

}  // namespace vq7
