// One kernel system thread run for an owner object: the thread calls the
// owner's Run and ends; Stop waits for it. The owner outlives the thread.
#pragma once

#include <ntddk.h>

namespace vq7 {

// What a SystemThread runs.
class SystemThreadOwner {
public:
    // Runs in the new thread at PASSIVE_LEVEL; the thread ends when it returns.
    virtual void Run() = 0;

protected:
    ~SystemThreadOwner() = default;  // never deleted through this interface
};

class SystemThread {
public:
    SystemThread() = default;
    SystemThread(const SystemThread&) = delete;
    SystemThread& operator=(const SystemThread&) = delete;
    ~SystemThread() { Stop(); }

    // Creates the thread. STATUS_INVALID_PARAMETER without an owner,
    // STATUS_DEVICE_BUSY while a thread is held; a failed creation's status
    // otherwise. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS Start(SystemThreadOwner* owner);
    // Waits without a time-out for the thread to end and lets it go; nothing
    // when none was started. PASSIVE_LEVEL, never from the thread itself.
    void Stop();
    bool IsStarted() const { return thread_ != nullptr; }

private:
    static VOID NTAPI Routine(PVOID context);

    SystemThreadOwner* owner_ = nullptr;
    PVOID thread_ = nullptr;  // the referenced thread object
};

}  // namespace vq7
