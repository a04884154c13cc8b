// How one render transfer is cut into isochronous packets. Three pacings:
//
//   capture-paced  the transfer follows what capture delivered: nominal
//                  packets, with up to one frame more (big) or less (small)
//                  in as many packets as the deviation needs;
//   feedback       the device's rate in 16.16 samples per bus unit, with the
//                  fractional samples carried from packet to packet;
//   schedule       the packet schedule's samples per bus unit, continued
//                  from where the last transfer stopped.
//
// A packet covers H bus units (H = the render service interval). The
// planners only compute; the caller commits the cursor they return once the
// transfer is on its way. A planner sets the part of the cursor its pacing
// moves and leaves the rest as the caller put it. Computation only: every
// function here runs at IRQL <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

#include "packet_schedule.h"

namespace vq7 {

// An isochronous URB of the URB lookaside holds this many packets.
constexpr ULONG kMaximumRenderPackets = 64;

// Where the sample pattern stands between two render transfers.
struct RenderCursor {
    ULONG schedulePosition;  // next entry of the schedule's cycle
    ULONG feedbackFraction;  // fractional samples carried over, low 16 bits
};

struct RenderPacketPlan {
    ULONG count;                           // packets
    ULONG lengths[kMaximumRenderPackets];  // audio bytes of each packet
    bool lengthsFromOffsets;               // the bus takes each size from the next packet's offset
    RenderCursor after;                    // where the next transfer continues

    ULONG Total() const;
};

// What every pacing needs to know about the stream.
struct RenderPacing {
    bool highSpeed;
    ULONG serviceInterval;  // H: bus units per packet, 1 to 8
    ULONG bytesPerFrame;    // F
};

// Bus units per 1 ms frame, and packets per 1 ms frame (at least 1).
ULONG UnitsPerFrame(const RenderPacing& pacing);
ULONG PacketsPerFrame(const RenderPacing& pacing);

// Feedback steps (bus units) of a transfer of `frames` milliseconds, in whole packets.
ULONG RenderStepsPerTransfer(const RenderPacing& pacing, ULONG frames);

// Bytes that `steps` feedback steps of `feedback` (16.16) carry from `fraction` on.
ULONG64 FeedbackBytes(const RenderPacing& pacing, ULONG feedback, ULONG fraction, ULONG steps);

// The planners, IRQL <= DISPATCH_LEVEL. STATUS_INVALID_DEVICE_STATE when
// the stream has no usable format, STATUS_INVALID_PARAMETER when `bytes`
// is 0 or does not fit one URB's packets.
[[nodiscard]] NTSTATUS PlanCapturePacedPackets(const RenderPacing& pacing, ULONG nominalPacketBytes,
                                               bool minimumDiffers, ULONG bytes, ULONG frames, RenderPacketPlan* plan);
[[nodiscard]] NTSTATUS PlanFeedbackPackets(const RenderPacing& pacing, ULONG feedback, ULONG fraction, ULONG bytes,
                                           RenderPacketPlan* plan);
[[nodiscard]] NTSTATUS PlanSchedulePackets(const RenderPacing& pacing, const PacketCycle& cycle, ULONG position,
                                           ULONG bytes, RenderPacketPlan* plan);

}  // namespace vq7
