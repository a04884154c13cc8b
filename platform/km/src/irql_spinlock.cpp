// IRQL per thread, spin locks and in-stack queued spin locks.
//
// A spin lock word holds its owner's token while held, so that releasing a
// lock that is not held, or acquiring one the thread already holds, stops.
// Waiting threads spin and yield; they count as runnable, which is right:
// the holder runs at DISPATCH_LEVEL and cannot block.

#include <sched.h>

#include "kernel_state.h"
#include "lock_order.h"
#include "verifier.h"

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local char t_token;  // its address identifies the thread as a lock owner

ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(&t_token); }

void SpinAcquire(PKSPIN_LOCK lock, const void* caller, const char* function) {
    km::PreemptionPoint(caller, function);
    ULONG_PTR me = OwnerToken();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        km::Stop(SPIN_LOCK_ALREADY_OWNED, caller, "acquiring the spin lock at %p that this thread already holds",
                 static_cast<void*>(lock));
    }
    km::CheckLockOrder(lock, km::LockKind::SpinLock, caller);
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            km::NoteLockAcquired(lock, km::LockKind::SpinLock, caller);
            return;
        }
        // With one thread running at a time the holder must get the turn;
        // in parallel it runs on another processor.
        km::YieldWhileSpinning(lock);
        if (spins > 64) {
            sched_yield();
        }
    }
}

void SpinRelease(PKSPIN_LOCK lock, const void* caller) {
    ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner != OwnerToken()) {
        km::Stop(SPIN_LOCK_NOT_OWNED, caller, "releasing the spin lock at %p, which this thread does not hold (%s)",
                 static_cast<void*>(lock), owner == 0 ? "it is free" : "another thread holds it");
    }
    km::NoteLockReleased(lock);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

void RequireDispatch(const void* caller, const char* function) {
    if (t_irql < DISPATCH_LEVEL) {
        km::Stop(IRQL_NOT_GREATER_OR_EQUAL, caller, "%s at IRQL %u; it requires DISPATCH_LEVEL", function, t_irql);
    }
}

}  // namespace

KIRQL NTAPI KeGetCurrentIrql(VOID) { return t_irql; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < t_irql) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "KeRaiseIrql from %u to the lower IRQL %u", t_irql,
                 NewIrql);
    }
    *OldIrql = t_irql;
    t_irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > t_irql) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "KeLowerIrql from %u to the higher IRQL %u", t_irql,
                 NewIrql);
    }
    t_irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID NTAPI KmAssertPageable(const char* Function) {
    if (t_irql > APC_LEVEL) {
        km::Stop(IRQL_NOT_LESS_OR_EQUAL, KM_CALLER, "pageable code (%s) runs at IRQL %u", Function, t_irql);
    }
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
    km::RecordLockInitialization(SpinLock, km::LockKind::SpinLock, KM_CALLER);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    if (t_irql > DISPATCH_LEVEL) {
        km::Stop(IRQL_NOT_LESS_OR_EQUAL, KM_CALLER, "KeAcquireSpinLock at IRQL %u", t_irql);
    }
    KIRQL old = t_irql;
    t_irql = DISPATCH_LEVEL;
    SpinAcquire(SpinLock, KM_CALLER, "KeAcquireSpinLock");
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    RequireDispatch(KM_CALLER, "KeReleaseSpinLock");
    SpinRelease(SpinLock, KM_CALLER);
    KeLowerIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    RequireDispatch(KM_CALLER, "KeAcquireSpinLockAtDpcLevel");
    SpinAcquire(SpinLock, KM_CALLER, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    RequireDispatch(KM_CALLER, "KeReleaseSpinLockFromDpcLevel");
    SpinRelease(SpinLock, KM_CALLER);
}

namespace {

// In-stack queued locks: `raise` for the forms that raise to DISPATCH_LEVEL
// and restore the IRQL they found; the AtDpcLevel forms require it instead.
void QueuedAcquire(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle, bool raise, const void* caller,
                   const char* function) {
    if (raise && t_irql > DISPATCH_LEVEL) {
        km::Stop(IRQL_NOT_LESS_OR_EQUAL, caller, "%s at IRQL %u", function, t_irql);
    }
    if (!raise) {
        RequireDispatch(caller, function);
    }
    LockHandle->OldIrql = t_irql;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
    t_irql = DISPATCH_LEVEL;
    SpinAcquire(SpinLock, caller, function);
}

void QueuedRelease(PKLOCK_QUEUE_HANDLE LockHandle, bool lower, const void* caller, const char* function) {
    RequireDispatch(caller, function);
    if (LockHandle->LockQueue.Lock == nullptr) {
        km::Stop(SPIN_LOCK_NOT_OWNED, caller, "%s with a handle that holds no lock", function);
    }
    SpinRelease(LockHandle->LockQueue.Lock, caller);
    LockHandle->LockQueue.Lock = nullptr;
    if (lower) {
        KeLowerIrql(LockHandle->OldIrql);
    }
}

}  // namespace

VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    QueuedAcquire(SpinLock, LockHandle, true, KM_CALLER, "KeAcquireInStackQueuedSpinLock");
}

VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
    QueuedRelease(LockHandle, true, KM_CALLER, "KeReleaseInStackQueuedSpinLock");
}

VOID FASTCALL KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    QueuedAcquire(SpinLock, LockHandle, false, KM_CALLER, "KeAcquireInStackQueuedSpinLockAtDpcLevel");
}

VOID FASTCALL KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
    QueuedRelease(LockHandle, false, KM_CALLER, "KeReleaseInStackQueuedSpinLockFromDpcLevel");
}

// The ForDpc variants serve DPC routines, which may run at DISPATCH_LEVEL or
// (threaded) below it: they raise when needed and restore what they found.
VOID FASTCALL KeAcquireInStackQueuedSpinLockForDpc(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    QueuedAcquire(SpinLock, LockHandle, true, KM_CALLER, "KeAcquireInStackQueuedSpinLockForDpc");
}

VOID FASTCALL KeReleaseInStackQueuedSpinLockForDpc(PKLOCK_QUEUE_HANDLE LockHandle) {
    QueuedRelease(LockHandle, true, KM_CALLER, "KeReleaseInStackQueuedSpinLockForDpc");
}
