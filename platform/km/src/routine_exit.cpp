// The checks at a routine's exit: every routine the stand-in calls on a
// driver's behalf returns at the IRQL it was called at, holding no lock it
// did not hold on entry, with its critical and guarded regions balanced (a
// lock held is reported before the IRQL it raised). The
// report names the routine, not whoever later trips over the leftover.

#include "kernel_state.h"
#include "lock_order.h"
#include "verifier.h"

namespace km {

namespace {

std::string RoutineName(const void* routine) {
    // DescribeCodeAddress looks up the instruction before a return address.
    return DescribeCodeAddress(static_cast<const char*>(routine) + 1);
}

}  // namespace

RoutineFrame EnterRoutine() {
    const _KTHREAD* thread = CurrentThread();
    return RoutineFrame{KeGetCurrentIrql(),
                        LocksHeld(LockKind::SpinLock),
                        LocksHeld(LockKind::Mutex),
                        LocksHeld(LockKind::FastMutex) + LocksHeld(LockKind::GuardedMutex),
                        thread != nullptr ? thread->criticalRegion : 0,
                        thread != nullptr ? thread->guardedRegion : 0};
}

void CheckRoutineExit(const RoutineFrame& entry, const void* routine, const char* kind) {
    RoutineFrame exit = EnterRoutine();
    if (exit.spinLocks != entry.spinLocks) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr, "the %s %s returned holding %u spin lock(s) it acquired",
             kind, RoutineName(routine).c_str(), exit.spinLocks - entry.spinLocks);
    }
    if (exit.mutexes != entry.mutexes || exit.gateMutexes != entry.gateMutexes) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr, "the %s %s returned holding a %s it acquired", kind,
             RoutineName(routine).c_str(),
             exit.mutexes != entry.mutexes ? "kernel mutex" : "fast or guarded mutex");
    }
    if (exit.irql != entry.irql) {
        Stop(IRQL_UNEXPECTED_VALUE, nullptr, "the %s %s returned at IRQL %u; it was called at IRQL %u", kind,
             RoutineName(routine).c_str(), exit.irql, entry.irql);
    }
    if (exit.criticalRegion != entry.criticalRegion || exit.guardedRegion != entry.guardedRegion) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr,
             "the %s %s returned inside a %s region it entered (KeEnter%sRegion without KeLeave%sRegion)", kind,
             RoutineName(routine).c_str(), exit.criticalRegion != entry.criticalRegion ? "critical" : "guarded",
             exit.criticalRegion != entry.criticalRegion ? "Critical" : "Guarded",
             exit.criticalRegion != entry.criticalRegion ? "Critical" : "Guarded");
    }
}

}  // namespace km
