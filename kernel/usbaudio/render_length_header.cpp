#include "render_length_header.h"

namespace vq7 {

ULONG FramedTransferBytes(const RenderPacketPlan& plan) {
    return plan.Total() + kLengthHeaderBytes * plan.count;
}

void FrameWithLengthHeaders(const RenderPacketPlan& plan, const UCHAR* audio, UCHAR* staging) {
    for (ULONG i = 0; i < plan.count; ++i) {
        ULONG length = plan.lengths[i];
        for (ULONG b = 0; b < kLengthHeaderBytes; ++b) {
            staging[b] = static_cast<UCHAR>(length >> (8 * b));
        }
        RtlCopyMemory(staging + kLengthHeaderBytes, audio, length);
        staging += kLengthHeaderBytes + length;
        audio += length;
    }
}

}  // namespace vq7
