// Lock classes, the learnt lock order and the locks each thread holds
// (lock_order.cpp). Only platform/km/src sees this header.
#pragma once

#include <wdm.h>

#include <cstddef>

namespace km {

enum class LockKind { SpinLock, Mutex, FastMutex, GuardedMutex };

// KeInitializeSpinLock, KeInitializeMutex, ExInitializeFastMutex and
// KeInitializeGuardedMutex: the site becomes the lock's class.
void RecordLockInitialization(const void* lock, LockKind kind, const void* site);
// Before a blocking acquisition: stops when it would close a cycle.
void CheckLockOrder(const void* lock, LockKind kind, const void* site);
// After the acquisition and the release, in the acquiring thread.
void NoteLockAcquired(const void* lock, LockKind kind, const void* site);
void NoteLockReleased(const void* lock);
// Locks of a kind the calling thread holds.
ULONG LocksHeld(LockKind kind);
// Freed pool: the locks that lived in it are forgotten.
void ForgetLocksIn(const char* begin, size_t size);
void LockOrderReset();

}  // namespace km
