// Running counts of what the transfer pipelines did, for tests, the soak
// and diagnostics. Each counter moves with one interlocked increment on the
// path that observes the event, so keeping them costs next to nothing.
#pragma once

#include <ntddk.h>

namespace vq7 {

struct EngineStatistics {
    volatile LONG renderRecoveries;           // render error handled by the render thread
    volatile LONG captureRecoveries;          // capture error handled by the capture thread
    volatile LONG renderResynchronisations;   // recoveries that also re-armed render under the start/stop flag
    volatile LONG frameContinuityFailures;    // completions that came too late or drifted too long
    volatile LONG feedbackValuesReplaced;     // implausible feedback values replaced by the nominal value
    volatile LONG renderTransfersCompleted;   // successful render completions
    volatile LONG captureTransfersCompleted;  // successful capture completions
    volatile LONG feedbackTransfersCompleted; // successful feedback completions
    volatile LONG failedCompletions;          // completions of any kind with a failure status
    // The feedback values handed to the render side (after the plausibility
    // check), summed in the device's own feedback format; with
    // feedbackTransfersCompleted their mean, which against the nominal
    // value is the device clock's offset from the bus clock.
    volatile LONG64 feedbackValueSum;
    // Frames the successful capture transfers carried: against the
    // transfers' count (each CaptureFramesPerTransfer bus frames long), the
    // device clock's rate where capture paces render.
    volatile LONG64 captureFramesReceived;
};

// IRQL <= DISPATCH_LEVEL.
inline void Count(volatile LONG& counter) { InterlockedIncrement(&counter); }

}  // namespace vq7
