// A pin's KS state. PortCls never hands a stream a jump: a request for RUN
// from STOP reaches the stream's SetState as ACQUIRE, PAUSE, RUN; one for
// STOP from RUN as PAUSE, ACQUIRE, STOP. The pin's state follows each step
// the stream accepts; the first refusal ends the sequence and is the result.

#include "ks_objects.h"

namespace pc {

// Under the pin's lock. PASSIVE_LEVEL.
NTSTATUS StepPinState(Pin& pin, KSSTATE target) {
    while (pin.state != target) {
        KSSTATE next = static_cast<KSSTATE>(pin.state < target ? pin.state + 1 : pin.state - 1);
        NTSTATUS status = pin.stream->SetState(next);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        pin.state = next;
    }
    return STATUS_SUCCESS;
}

}  // namespace pc
