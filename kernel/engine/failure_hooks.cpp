#include "engine/failure_hooks.h"

namespace vq7 {

volatile LONG FailNextCaptureCompletion = 0;
volatile LONG FailNextRenderCompletion = 0;

NTSTATUS ApplyFailureHook(volatile LONG& hook, NTSTATUS status) {
    if (InterlockedExchange(&hook, 0) != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

}  // namespace vq7
