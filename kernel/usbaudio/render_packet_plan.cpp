#include "render_packet_plan.h"

namespace vq7 {

namespace {

constexpr ULONG kUnitsPerFrameHighSpeed = 8;
constexpr ULONG kFractionMask = 0xFFFF;
constexpr ULONG kFractionBits = 16;

ULONG64 CeilDiv(ULONG64 a, ULONG64 b) {
    return (a + b - 1) / b;
}
ULONG64 RoundUp(ULONG64 a, ULONG64 multiple) {
    return CeilDiv(a, multiple) * multiple;
}

// Appends packets to a plan, each capped by the bytes still left.
class PacketWriter {
public:
    PacketWriter(RenderPacketPlan* plan, ULONG bytes) : plan_(plan), left_(bytes) {
        plan_->count = 0;
        plan_->lengthsFromOffsets = false;
    }
    void Add(ULONG64 wanted) {
        ULONG length = wanted < left_ ? static_cast<ULONG>(wanted) : left_;
        plan_->lengths[plan_->count++] = length;
        left_ -= length;
    }
    void Add(ULONG64 wanted, ULONG packets) {
        for (ULONG i = 0; i < packets; ++i) Add(wanted);
    }
    ULONG Left() const { return left_; }

private:
    RenderPacketPlan* plan_;
    ULONG left_;
};

bool UsableFormat(const RenderPacing& pacing) {
    return pacing.bytesPerFrame != 0 && pacing.serviceInterval != 0;
}

// One feedback step: the whole samples of v + f, keeping the new fraction.
ULONG64 FeedbackStep(ULONG feedback, ULONG* fraction) {
    ULONG64 sum = static_cast<ULONG64>(feedback) + *fraction;
    *fraction = static_cast<ULONG>(sum & kFractionMask);
    return sum >> kFractionBits;
}

// The packets `units` bus units of samples need: whole packets of H units,
// and at high speed whole milliseconds of packets, as the bus requires.
ULONG64 PacketsFor(const RenderPacing& pacing, ULONG units) {
    ULONG64 packets = CeilDiv(units, pacing.serviceInterval);
    return pacing.highSpeed ? RoundUp(packets, PacketsPerFrame(pacing)) : packets;
}

ULONG MaximumUnits(const RenderPacing& pacing) {
    return kMaximumRenderPackets * pacing.serviceInterval;
}

}  // namespace

ULONG RenderPacketPlan::Total() const {
    ULONG total = 0;
    for (ULONG i = 0; i < count; ++i) total += lengths[i];
    return total;
}

ULONG UnitsPerFrame(const RenderPacing& pacing) {
    return pacing.highSpeed ? kUnitsPerFrameHighSpeed : 1;
}

ULONG PacketsPerFrame(const RenderPacing& pacing) {
    ULONG packets = pacing.serviceInterval != 0 ? UnitsPerFrame(pacing) / pacing.serviceInterval : 0;
    return packets != 0 ? packets : 1;
}

ULONG RenderStepsPerTransfer(const RenderPacing& pacing, ULONG frames) {
    if (pacing.serviceInterval == 0) {
        return 0;
    }
    ULONG units = frames * UnitsPerFrame(pacing);
    return pacing.serviceInterval * (units / pacing.serviceInterval);
}

ULONG64 FeedbackBytes(const RenderPacing& pacing, ULONG feedback, ULONG fraction, ULONG steps) {
    ULONG64 samples = ((fraction & kFractionMask) + static_cast<ULONG64>(steps) * feedback) >> kFractionBits;
    return samples * pacing.bytesPerFrame;
}

// Nominal packets, one per packet slot of the transfer; as many big packets
// (one frame more) or small ones (one frame less) as the bytes deviate from
// nominal; small packets fill a high-speed transfer to whole milliseconds.
// Packets carry whole frames: bytes beyond the last whole frame are not
// planned, and the plan's total is what the transfer carries.
NTSTATUS PlanCapturePacedPackets(const RenderPacing& pacing, ULONG nominalPacketBytes, bool minimumDiffers, ULONG bytes,
                                 ULONG frames, RenderPacketPlan* plan) {
    if (!UsableFormat(pacing) || nominalPacketBytes == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONG frameBytes = pacing.bytesPerFrame;
    bytes -= bytes % frameBytes;
    if (bytes == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG nominal = nominalPacketBytes;
    const ULONG small = minimumDiffers && nominal > frameBytes ? nominal - frameBytes : nominal;
    const ULONG big = nominal + frameBytes;
    const LONG64 slots = static_cast<LONG64>(frames) * UnitsPerFrame(pacing) / pacing.serviceInterval;
    const LONG64 deviation = (static_cast<LONG64>(bytes) - slots * nominal) / static_cast<LONG64>(frameBytes);
    ULONG64 bigCount = 0;
    ULONG64 nominalCount = 0;
    ULONG64 smallCount = 0;
    if (deviation >= -slots && deviation < 0 && minimumDiffers) {
        smallCount = static_cast<ULONG64>(-deviation);
        nominalCount = static_cast<ULONG64>(slots + deviation);
    } else if (deviation > 0 && deviation <= slots) {
        bigCount = static_cast<ULONG64>(deviation);
        nominalCount = static_cast<ULONG64>(slots - deviation);
    } else {
        nominalCount = CeilDiv(bytes, nominal);
    }
    ULONG64 total = bigCount + nominalCount + smallCount;
    if (pacing.highSpeed) {
        ULONG64 padded = RoundUp(total, PacketsPerFrame(pacing));
        smallCount += padded - total;
        total = padded;
    }
    if (total == 0 || total > kMaximumRenderPackets) {
        return STATUS_INVALID_PARAMETER;
    }
    PacketWriter writer(plan, bytes);
    writer.Add(big, static_cast<ULONG>(bigCount));
    writer.Add(nominal, static_cast<ULONG>(nominalCount));
    writer.Add(small, static_cast<ULONG>(smallCount));
    return STATUS_SUCCESS;
}

// Counts the feedback steps the bytes need, then gives each packet H steps.
// When whole milliseconds at high speed need more packets than the steps
// fill, the frames are spread evenly over all of them instead, and the
// fraction stays where it was.
NTSTATUS PlanFeedbackPackets(const RenderPacing& pacing, ULONG feedback, ULONG fraction, ULONG bytes,
                             RenderPacketPlan* plan) {
    if (!UsableFormat(pacing)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (bytes == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG frameBytes = pacing.bytesPerFrame;
    fraction &= kFractionMask;
    ULONG steps = 0;
    ULONG counted = fraction;
    for (ULONG64 total = 0; total < bytes; ++steps) {
        if (steps == MaximumUnits(pacing)) {
            return STATUS_INVALID_PARAMETER;  // more than one URB holds, or a rate of nothing
        }
        total += frameBytes * FeedbackStep(feedback, &counted);
    }
    const ULONG64 needed = PacketsFor(pacing, steps);
    if (needed > kMaximumRenderPackets) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG packets = static_cast<ULONG>(needed);
    PacketWriter writer(plan, bytes);
    if (packets != CeilDiv(steps, pacing.serviceInterval)) {
        const ULONG frames = bytes / frameBytes;
        for (ULONG i = 0; i < packets; ++i) {
            writer.Add(static_cast<ULONG64>(frames / packets + (i < frames % packets ? 1 : 0)) * frameBytes);
        }
        plan->lengthsFromOffsets = true;
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < packets; ++i) {
        ULONG64 length = 0;
        for (ULONG h = 0; h < pacing.serviceInterval && length < writer.Left(); ++h) {
            length += frameBytes * FeedbackStep(feedback, &fraction);
        }
        writer.Add(length);
    }
    plan->after.feedbackFraction = fraction;
    return STATUS_SUCCESS;
}

// Walks the schedule from `position` until the bytes are covered, then
// gives each packet H entries; the position moves by every entry taken.
NTSTATUS PlanSchedulePackets(const RenderPacing& pacing, const PacketCycle& cycle, ULONG position, ULONG bytes,
                             RenderPacketPlan* plan) {
    if (!UsableFormat(pacing) || cycle.length == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (bytes == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG frameBytes = pacing.bytesPerFrame;
    position %= cycle.length;
    ULONG entries = 0;
    for (ULONG64 total = 0; total < bytes; ++entries) {
        if (entries == MaximumUnits(pacing)) {
            return STATUS_INVALID_PARAMETER;
        }
        total += static_cast<ULONG64>(cycle.At(position + entries)) * frameBytes;
    }
    const ULONG64 needed = PacketsFor(pacing, entries);
    if (needed > kMaximumRenderPackets) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG packets = static_cast<ULONG>(needed);
    PacketWriter writer(plan, bytes);
    for (ULONG i = 0; i < packets; ++i) {
        ULONG64 length = 0;
        for (ULONG h = 0; h < pacing.serviceInterval && length < writer.Left(); ++h) {
            length += static_cast<ULONG64>(cycle.At(position)) * frameBytes;
            position = (position + 1) % cycle.length;
        }
        writer.Add(length);
    }
    plan->after.schedulePosition = position;
    return STATUS_SUCCESS;
}

}  // namespace vq7
