// Dispatcher objects and waits: events, mutexes, semaphores, fast and
// guarded mutexes, KeWaitFor*Object(s) and KeDelayExecutionThread.

#include "kernel_state.h"
#include "lock_order.h"
#include "verifier.h"

using km::K;

namespace {

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, size_t size, LONG signalState) {
    header->Type = type;
    header->Absolute = 0;
    header->Size = static_cast<UCHAR>(size / sizeof(LONG));
    header->Inserted = 0;
    header->SignalState = signalState;
    InitializeListHead(&header->WaitListHead);
}

void RequireInitialized(const DISPATCHER_HEADER* header, const void* caller, const char* function) {
    km::RequireDispatcherObject(header, caller, function);
}

// The absolute due time of a wait, rounded to the clock interrupt, or
// kInfinite; checks that only a zero time-out is used at DISPATCH_LEVEL.
km::Nanoseconds WaitDue(const PLARGE_INTEGER timeout, const void* caller, const char* function) {
    KIRQL irql = KeGetCurrentIrql();
    bool polls = timeout != nullptr && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !polls)) {
        km::Stop(IRQL_NOT_LESS_OR_EQUAL, caller, "%s with a %s time-out at IRQL %u", function,
                 timeout == nullptr ? "infinite" : "non-zero", irql);
    }
    if (timeout == nullptr) {
        return km::kInfinite;
    }
    if (polls) {
        return K().Now();
    }
    km::Nanoseconds due = km::DueFromTimeout(timeout->QuadPart);
    return due == km::kInfinite ? due : km::QuantizeToTick(due);
}

DISPATCHER_HEADER* Header(PVOID object) { return static_cast<DISPATCHER_HEADER*>(object); }

// A wait that may acquire kernel mutexes the thread does not own yet takes
// part in the lock order.
bool IsMutexToAcquire(const DISPATCHER_HEADER* object) {
    if (object->Type != MutantObject) {
        return false;
    }
    // Another thread may be acquiring or releasing it: the owner changes
    // under the kernel lock.
    std::lock_guard<std::mutex> guard(K().lock);
    return reinterpret_cast<const KMUTANT*>(object)->OwnerThread != km::CurrentThread();
}

void CheckMutexOrder(ULONG count, DISPATCHER_HEADER* const* objects, const void* caller) {
    for (ULONG i = 0; i < count; ++i) {
        if (IsMutexToAcquire(objects[i])) {
            km::CheckLockOrder(objects[i], km::LockKind::Mutex, caller);
        }
    }
}

void NoteMutexesAcquired(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE waitType, NTSTATUS status,
                         const void* caller) {
    auto index = static_cast<ULONG>(status - STATUS_WAIT_0);
    if (status == STATUS_ABANDONED) {
        index = 0;
    }
    for (ULONG i = 0; i < count; ++i) {
        bool acquired = waitType == WaitAll ? index == 0 : i == index;
        if (acquired && index < count && objects[i]->Type == MutantObject) {
            km::NoteLockAcquired(objects[i], km::LockKind::Mutex, caller);
        }
    }
}

}  // namespace

// ---------------------------------------------------------------- events

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    InitializeHeader(&Event->Header,
                     Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                     sizeof(KEVENT), State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    km::PreemptionPoint(KM_CALLER, "KeSetEvent");
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "KeSetEvent");
    std::lock_guard<std::mutex> guard(K().lock);
    RequireInitialized(&Event->Header, KM_CALLER, "KeSetEvent");
    LONG previous = Event->Header.SignalState;
    km::SignalObjectLocked(&Event->Header);
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    km::PreemptionPoint(KM_CALLER, "KeClearEvent");
    std::lock_guard<std::mutex> guard(K().lock);
    RequireInitialized(&Event->Header, KM_CALLER, "KeClearEvent");
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    km::PreemptionPoint(KM_CALLER, "KeResetEvent");
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "KeResetEvent");
    std::lock_guard<std::mutex> guard(K().lock);
    RequireInitialized(&Event->Header, KM_CALLER, "KeResetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    km::PreemptionPoint(KM_CALLER, "KeReadStateEvent");
    std::lock_guard<std::mutex> guard(K().lock);
    return Event->Header.SignalState;
}

// ---------------------------------------------------------------- mutexes

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
    InitializeHeader(&Mutex->Header, MutantObject, sizeof(KMUTEX), 1);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
    InitializeListHead(&Mutex->MutantListEntry);
    km::RecordLockInitialization(Mutex, km::LockKind::Mutex, KM_CALLER);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
    km::PreemptionPoint(KM_CALLER, "KeReleaseMutex");
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "KeReleaseMutex");
    std::lock_guard<std::mutex> guard(K().lock);
    RequireInitialized(&Mutex->Header, KM_CALLER, "KeReleaseMutex");
    _KTHREAD* thread = km::CurrentThread();
    if (Mutex->OwnerThread != thread || thread == nullptr) {
        km::Stop(THREAD_NOT_MUTEX_OWNER, KM_CALLER, "KeReleaseMutex of a mutex at %p that the caller does not own (owner: %s)",
                 static_cast<void*>(Mutex), Mutex->OwnerThread ? Mutex->OwnerThread->name.c_str() : "none");
    }
    LONG previous = Mutex->Header.SignalState;
    km::NoteLockReleased(Mutex);
    Mutex->Header.SignalState += 1;
    if (Mutex->Header.SignalState == 1) {
        RemoveEntryList(&Mutex->MutantListEntry);
        InitializeListHead(&Mutex->MutantListEntry);
        Mutex->OwnerThread = nullptr;
        km::WakeWaiters(&Mutex->Header);
    }
    return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    km::PreemptionPoint(KM_CALLER, "KeReadStateMutex");
    std::lock_guard<std::mutex> guard(K().lock);
    return Mutex->Header.SignalState;
}

// ---------------------------------------------------------------- semaphores

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    InitializeHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE), Count);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
    km::PreemptionPoint(KM_CALLER, "KeReleaseSemaphore");
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "KeReleaseSemaphore");
    std::lock_guard<std::mutex> guard(K().lock);
    RequireInitialized(&Semaphore->Header, KM_CALLER, "KeReleaseSemaphore");
    LONG previous = Semaphore->Header.SignalState;
    LONGLONG next = static_cast<LONGLONG>(previous) + Adjustment;
    if (Adjustment <= 0 || next > Semaphore->Limit) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER,
                 "KeReleaseSemaphore by %d would take the semaphore at %p past its limit %d "
                 "(STATUS_SEMAPHORE_LIMIT_EXCEEDED)",
                 Adjustment, static_cast<void*>(Semaphore), Semaphore->Limit);
    }
    Semaphore->Header.SignalState = static_cast<LONG>(next);
    km::WakeWaiters(&Semaphore->Header);
    return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    km::PreemptionPoint(KM_CALLER, "KeReadStateSemaphore");
    std::lock_guard<std::mutex> guard(K().lock);
    return Semaphore->Header.SignalState;
}

// ---------------------------------------------------------------- waits

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
    km::PreemptionPoint(KM_CALLER, "KeWaitForSingleObject");
    const void* caller = KM_CALLER;
    km::Nanoseconds due = WaitDue(Timeout, caller, "KeWaitForSingleObject");
    DISPATCHER_HEADER* object = Header(Object);
    CheckMutexOrder(1, &object, caller);
    NTSTATUS status;
    {
        std::unique_lock<std::mutex> guard(K().lock);
        status = km::WaitLocked(guard, 1, &object, WaitAny, due, caller);
    }
    NoteMutexesAcquired(1, &object, WaitAny, status, caller);
    return status;
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                        KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    km::PreemptionPoint(KM_CALLER, "KeWaitForMultipleObjects");
    const void* caller = KM_CALLER;
    if (Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        km::Stop(MAXIMUM_WAIT_OBJECTS_EXCEEDED, caller,
                 "KeWaitForMultipleObjects with %u objects and %s wait block array", Count,
                 WaitBlockArray ? "a" : "no");
    }
    if (WaitType != WaitAny && WaitType != WaitAll) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "KeWaitForMultipleObjects with wait type %d",
                 static_cast<int>(WaitType));
    }
    km::Nanoseconds due = WaitDue(Timeout, caller, "KeWaitForMultipleObjects");
    DISPATCHER_HEADER* objects[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        objects[i] = Header(Object[i]);
    }
    CheckMutexOrder(Count, objects, caller);
    NTSTATUS status;
    {
        std::unique_lock<std::mutex> guard(K().lock);
        status = km::WaitLocked(guard, Count, objects, WaitType, due, caller);
    }
    NoteMutexesAcquired(Count, objects, WaitType, status, caller);
    return status;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    km::PreemptionPoint(KM_CALLER, "KeDelayExecutionThread");
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(APC_LEVEL, caller, "KeDelayExecutionThread");
    km::Nanoseconds due = WaitDue(Interval, caller, "KeDelayExecutionThread");
    std::unique_lock<std::mutex> guard(K().lock);
    NTSTATUS status = km::WaitLocked(guard, 0, nullptr, WaitAny, due, caller);
    return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

// ---------------------------------------------------------------- fast and guarded mutexes
//
// Both are an owner and a synchronization gate; acquiring raises to
// APC_LEVEL (on Windows 8 and later the two are implemented alike), and
// acquiring one the thread already owns would deadlock, so it stops.

namespace {

void InitializeGateMutex(DISPATCHER_HEADER* gate, volatile LONG* count, km::LockKind kind, const void* site) {
    InitializeHeader(gate, GateObject, sizeof(KGATE), 1);
    *count = 1;
    km::RecordLockInitialization(gate, kind, site);
}

void AcquireGateMutex(DISPATCHER_HEADER* gate, volatile LONG* count, PVOID* owner, ULONG* oldIrql,
                      km::LockKind kind, const void* caller, const char* function) {
    km::PreemptionPoint(caller, function);
    km::RequireIrqlAtMost(APC_LEVEL, caller, function);
    _KTHREAD* thread = km::CurrentThread();
    KIRQL previous;
    KeRaiseIrql(APC_LEVEL, &previous);
    {
        std::unique_lock<std::mutex> guard(K().lock);
        if (thread != nullptr && *owner == thread) {
            km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "%s of a mutex at %p that the thread already owns",
                     function, static_cast<void*>(gate));
        }
        guard.unlock();
        km::CheckLockOrder(gate, kind, caller);
        guard.lock();
        thread->gateOwner = owner;
        km::WaitLocked(guard, 1, &gate, WaitAny, km::kInfinite, caller);
        thread->gateOwner = nullptr;
        *count = 0;
        *owner = thread;
        if (thread != nullptr) {
            thread->fastMutexesHeld += 1;
        }
    }
    km::NoteLockAcquired(gate, kind, caller);
    *oldIrql = previous;
}

bool TryAcquireGateMutex(DISPATCHER_HEADER* gate, volatile LONG* count, PVOID* owner, ULONG* oldIrql,
                         km::LockKind kind, const void* caller, const char* function) {
    km::PreemptionPoint(caller, function);
    km::RequireIrqlAtMost(APC_LEVEL, caller, function);
    KIRQL previous;
    KeRaiseIrql(APC_LEVEL, &previous);
    std::lock_guard<std::mutex> guard(K().lock);
    RequireInitialized(gate, caller, function);
    if (gate->SignalState <= 0) {
        KeLowerIrql(previous);
        return false;
    }
    gate->SignalState = 0;
    *count = 0;
    _KTHREAD* thread = km::CurrentThread();
    *owner = thread;
    if (thread != nullptr) {
        thread->fastMutexesHeld += 1;
    }
    km::NoteLockAcquired(gate, kind, caller);
    *oldIrql = previous;
    return true;
}

void ReleaseGateMutex(DISPATCHER_HEADER* gate, volatile LONG* count, PVOID* owner, ULONG oldIrql,
                      const void* caller, const char* function) {
    km::PreemptionPoint(caller, function);
    _KTHREAD* thread = km::CurrentThread();
    if (KeGetCurrentIrql() != APC_LEVEL) {
        km::Stop(IRQL_UNEXPECTED_VALUE, caller, "%s at IRQL %u; the mutex was acquired at APC_LEVEL", function,
                 KeGetCurrentIrql());
    }
    {
        std::lock_guard<std::mutex> guard(K().lock);
        if (*owner != thread || *count != 0) {
            km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "%s of a mutex at %p that the caller does not own",
                     function, static_cast<void*>(gate));
        }
        km::NoteLockReleased(gate);
        *owner = nullptr;
        *count = 1;
        if (thread != nullptr) {
            thread->fastMutexesHeld -= 1;
        }
        km::SignalObjectLocked(gate);
    }
    KeLowerIrql(static_cast<KIRQL>(oldIrql));
}

}  // namespace

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    InitializeGateMutex(&FastMutex->Event.Header, &FastMutex->Count, km::LockKind::FastMutex, KM_CALLER);
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = 0;
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    AcquireGateMutex(&FastMutex->Event.Header, &FastMutex->Count, &FastMutex->Owner, &FastMutex->OldIrql,
                     km::LockKind::FastMutex, KM_CALLER, "ExAcquireFastMutex");
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    return TryAcquireGateMutex(&FastMutex->Event.Header, &FastMutex->Count, &FastMutex->Owner,
                               &FastMutex->OldIrql, km::LockKind::FastMutex, KM_CALLER, "ExTryToAcquireFastMutex");
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    ReleaseGateMutex(&FastMutex->Event.Header, &FastMutex->Count, &FastMutex->Owner, FastMutex->OldIrql,
                     KM_CALLER, "ExReleaseFastMutex");
}

VOID FASTCALL KeInitializeGuardedMutex(PKGUARDED_MUTEX Mutex) {
    InitializeGateMutex(&Mutex->Gate.Header, &Mutex->Count, km::LockKind::GuardedMutex, KM_CALLER);
    Mutex->Owner = nullptr;
    Mutex->Contention = 0;
    Mutex->CombinedApcDisable = 0;
}

VOID FASTCALL KeAcquireGuardedMutex(PKGUARDED_MUTEX Mutex) {
    ULONG oldIrql = 0;
    AcquireGateMutex(&Mutex->Gate.Header, &Mutex->Count, reinterpret_cast<PVOID*>(&Mutex->Owner), &oldIrql,
                     km::LockKind::GuardedMutex, KM_CALLER, "KeAcquireGuardedMutex");
    Mutex->CombinedApcDisable = oldIrql;
}

BOOLEAN FASTCALL KeTryToAcquireGuardedMutex(PKGUARDED_MUTEX Mutex) {
    ULONG oldIrql = 0;
    if (!TryAcquireGateMutex(&Mutex->Gate.Header, &Mutex->Count, reinterpret_cast<PVOID*>(&Mutex->Owner),
                             &oldIrql, km::LockKind::GuardedMutex, KM_CALLER, "KeTryToAcquireGuardedMutex")) {
        return FALSE;
    }
    Mutex->CombinedApcDisable = oldIrql;
    return TRUE;
}

VOID FASTCALL KeReleaseGuardedMutex(PKGUARDED_MUTEX Mutex) {
    ReleaseGateMutex(&Mutex->Gate.Header, &Mutex->Count, reinterpret_cast<PVOID*>(&Mutex->Owner),
                     Mutex->CombinedApcDisable, KM_CALLER, "KeReleaseGuardedMutex");
}
