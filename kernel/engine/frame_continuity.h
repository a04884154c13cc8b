// Frame continuity of one direction's completions: the USB frame at which
// each completion arrives must advance by the frames one transfer covers.
// A completion that arrives as late as the whole pipeline is deep, or a
// drift that lasts for about a second, means transfers were lost and the
// direction must recover. Touched only by the direction's completion DPC.
#pragma once

#include <ntddk.h>

namespace vq7 {

class FrameContinuity {
public:
    // The first completion after a start: the reference frame, no drift.
    void Restart(ULONG completionFrame);
    // The status the completion at `completionFrame` is to be handled with:
    // STATUS_UNEXPECTED_IO_ERROR instead of a success when the step since the
    // previous completion reached `limitFrames` or the drift from
    // `stepFrames` per completion lasted too long. IRQL == DISPATCH_LEVEL.
    NTSTATUS Check(ULONG completionFrame, NTSTATUS status, ULONG limitFrames, ULONG stepFrames);

private:
    static constexpr LONG kLongestDriftFrames = 999;

    ULONG previousFrame_ = 0;
    LONG drift_ = 0;
    LONG driftDuration_ = 0;
};

}  // namespace vq7
