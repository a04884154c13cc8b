// A gate that lets users in while it is open and, once closed, waits until
// the last one has left: the way an object outlives the work running on it.
#pragma once

#include <ntddk.h>

namespace vq7 {

class RundownGate {
public:
    explicit RundownGate(bool open = true);
    RundownGate(const RundownGate&) = delete;
    RundownGate& operator=(const RundownGate&) = delete;

    // Counts a user in while the gate is open. IRQL <= DISPATCH_LEVEL.
    [[nodiscard]] bool TryEnter();
    // Counts a user out; the last one out wakes CloseAndWait. IRQL <= DISPATCH_LEVEL.
    void Leave();
    // Closes the gate and waits, without a time-out, until no user is
    // inside. PASSIVE_LEVEL.
    void CloseAndWait();
    // Opens a closed gate again. IRQL <= DISPATCH_LEVEL.
    void Reopen();

private:
    KSPIN_LOCK lock_;
    KEVENT empty_;  // notification: set while nobody is inside
    LONG users_ = 0;
    bool closed_;
};

}  // namespace vq7
