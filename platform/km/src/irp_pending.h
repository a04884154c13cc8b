// The verifier's view of an IRP's trip through the drivers (irp_pending.cpp):
// the checks at the exit of dispatch and completion routines, and the
// pending rules. Only platform/km/src sees this header.
#pragma once

#include <wdm.h>

#include "verifier.h"

namespace km {

struct PendingFrame;

// One call of a dispatch routine through IoCallDriver.
struct DispatchCall {
    RoutineFrame entry;
    PDRIVER_DISPATCH routine;
    PendingFrame* frame;
};

DispatchCall BeginDispatch(PIO_STACK_LOCATION stack, PDRIVER_DISPATCH routine);
// After the routine returned: its exit state, and the pending rules once the
// IRP's completion has passed the routine's stack location too.
void EndDispatch(const DispatchCall& call, NTSTATUS status);
// IoCompleteRequest passes a stack location, whose pending flag is final now.
void NoteLocationCompleted(PIO_STACK_LOCATION stack);
// After a completion routine returned: its exit state, and PendingReturned
// propagated into the location above unless it keeps the IRP.
void CheckCompletionRoutineExit(const RoutineFrame& entry, PIO_COMPLETION_ROUTINE routine, PIRP irp,
                                NTSTATUS result);
// The IRP's memory is initialised or reused: calls still in it are forgotten.
void ForgetDispatchCallsIn(const void* irp, size_t size);

}  // namespace km
