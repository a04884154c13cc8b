// One-shot failure hooks: a set flag makes the next capture (or render)
// completion count as failed with STATUS_UNSUCCESSFUL, and is cleared by
// it. Process-wide, as the requests that set them address the driver, not
// one device. Exercises the recovery paths on a healthy device.
#pragma once

#include <ntddk.h>

namespace vq7 {

extern volatile LONG FailNextCaptureCompletion;
extern volatile LONG FailNextRenderCompletion;

// The status a completion carries after the hook had its say: `status`, or
// STATUS_UNSUCCESSFUL when the hook was armed (the hook is then disarmed).
// IRQL <= DISPATCH_LEVEL.
NTSTATUS ApplyFailureHook(volatile LONG& hook, NTSTATUS status);

}  // namespace vq7
