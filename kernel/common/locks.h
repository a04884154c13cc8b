// Lock guards whose scope shows a lock's lifetime.
#pragma once

#include <ntddk.h>

namespace vq7 {

// An in-stack queued spin lock held for the guard's scope; raises to
// DISPATCH_LEVEL. IRQL <= DISPATCH_LEVEL.
class InStackLock {
public:
    explicit InStackLock(KSPIN_LOCK& lock) { KeAcquireInStackQueuedSpinLock(&lock, &handle_); }
    ~InStackLock() { KeReleaseInStackQueuedSpinLock(&handle_); }
    InStackLock(const InStackLock&) = delete;
    InStackLock& operator=(const InStackLock&) = delete;

private:
    KLOCK_QUEUE_HANDLE handle_;
};

// The same for code that runs in a DPC.
class InStackLockForDpc {
public:
    explicit InStackLockForDpc(KSPIN_LOCK& lock) { KeAcquireInStackQueuedSpinLockForDpc(&lock, &handle_); }
    ~InStackLockForDpc() { KeReleaseInStackQueuedSpinLockForDpc(&handle_); }
    InStackLockForDpc(const InStackLockForDpc&) = delete;
    InStackLockForDpc& operator=(const InStackLockForDpc&) = delete;

private:
    KLOCK_QUEUE_HANDLE handle_;
};

// A kernel mutex held for the guard's scope, waited for without a time-out.
// IRQL == PASSIVE_LEVEL.
class MutexLock {
public:
    explicit MutexLock(KMUTEX& mutex) : mutex_(mutex) {
        KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, nullptr);
    }
    ~MutexLock() { KeReleaseMutex(&mutex_, FALSE); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    KMUTEX& mutex_;
};

}  // namespace vq7
