#include "engine/frame_continuity.h"

namespace vq7 {

void FrameContinuity::Restart(ULONG completionFrame) {
    previousFrame_ = completionFrame;
    drift_ = 0;
    driftDuration_ = 0;
}

NTSTATUS FrameContinuity::Check(ULONG completionFrame, NTSTATUS status, ULONG limitFrames, ULONG stepFrames) {
    // Unsigned difference: the frame counter may wrap.
    const ULONG step = completionFrame - previousFrame_;
    previousFrame_ = completionFrame;
    bool broken = step >= limitFrames;
    drift_ += static_cast<LONG>(step) - static_cast<LONG>(stepFrames);
    if (drift_ != 0) {
        driftDuration_ += static_cast<LONG>(step);
        broken = broken || driftDuration_ > kLongestDriftFrames;
    } else {
        driftDuration_ = 0;
    }
    return broken && NT_SUCCESS(status) ? STATUS_UNEXPECTED_IO_ERROR : status;
}

}  // namespace vq7
