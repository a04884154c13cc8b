#include "rundown_gate.h"

#include "locks.h"

namespace vq7 {

RundownGate::RundownGate(bool open) : closed_(!open) {
    KeInitializeSpinLock(&lock_);
    KeInitializeEvent(&empty_, NotificationEvent, TRUE);
}

bool RundownGate::TryEnter() {
    InStackLock guard(lock_);
    if (closed_) {
        return false;
    }
    users_ += 1;
    KeClearEvent(&empty_);
    return true;
}

void RundownGate::Leave() {
    InStackLock guard(lock_);
    users_ -= 1;
    if (users_ == 0) {
        KeSetEvent(&empty_, IO_NO_INCREMENT, FALSE);
    }
}

void RundownGate::CloseAndWait() {
    PAGED_CODE();
    {
        InStackLock guard(lock_);
        closed_ = true;
    }
    KeWaitForSingleObject(&empty_, Executive, KernelMode, FALSE, nullptr);
    // The last user signalled under the lock and may still be releasing it;
    // taking it once more waits for that, so that the owner may free the
    // gate as soon as this returns.
    InStackLock barrier(lock_);
}

void RundownGate::Reopen() {
    InStackLock guard(lock_);
    closed_ = false;
}

}  // namespace vq7
