// The simulation clock and the scheduler: thread registry, the timer queue,
// waits, wake-ups and the jump of virtual time when every thread is blocked.

#include <cinttypes>
#include <cstdio>

#include "kernel_state.h"
#include "pool_internal.h"
#include "verifier.h"

namespace km {

namespace {

Kernel* g_kernel = nullptr;
thread_local _KTHREAD* t_current = nullptr;

const char* ObjectTypeName(const DISPATCHER_HEADER* header) {
    switch (header->Type) {
        case EventNotificationObject: return "notification event";
        case EventSynchronizationObject: return "synchronization event";
        case MutantObject: return "mutex";
        case SemaphoreObject: return "semaphore";
        case ThreadObject: return "thread";
        case GateObject: return "gate";
        case TimerNotificationObject: return "notification timer";
        case TimerSynchronizationObject: return "synchronization timer";
        default: return "unknown object";
    }
}

bool IsDispatcherType(UCHAR type) {
    switch (type) {
        case EventNotificationObject:
        case EventSynchronizationObject:
        case MutantObject:
        case SemaphoreObject:
        case ThreadObject:
        case GateObject:
        case TimerNotificationObject:
        case TimerSynchronizationObject:
            return true;
        default:
            return false;
    }
}

bool IsSignaledFor(const DISPATCHER_HEADER* object, const _KTHREAD* thread) {
    if (object->Type == MutantObject) {
        const auto* mutant = reinterpret_cast<const KMUTANT*>(object);
        return object->SignalState > 0 || mutant->OwnerThread == thread;
    }
    return object->SignalState > 0;
}

// Takes what a satisfied wait consumes from the object.
void Acquire(DISPATCHER_HEADER* object, _KTHREAD* thread) {
    switch (object->Type) {
        case EventSynchronizationObject:
        case TimerSynchronizationObject:
        case GateObject:
            object->SignalState = 0;
            break;
        case SemaphoreObject:
            object->SignalState -= 1;
            break;
        case MutantObject: {
            auto* mutant = reinterpret_cast<KMUTANT*>(object);
            if (object->SignalState == 1) {
                mutant->OwnerThread = thread;
                InsertTailList(&thread->ownedMutants, &mutant->MutantListEntry);
            }
            object->SignalState -= 1;
            break;
        }
        default:
            break;
    }
}

void Satisfy(_KTHREAD* thread, NTSTATUS status) {
    for (ULONG i = 0; i < thread->waitCount; ++i) {
        RemoveEntryList(&thread->blocks[i].link);
    }
    DisarmTimer(&thread->waitTimer);
    thread->waitCount = 0;
    thread->waiting = false;
    thread->satisfied = true;
    thread->waitStatus = status;
    K().blocked -= 1;
    K().progress.fetch_add(1, std::memory_order_relaxed);
    thread->wake.notify_one();
}

// The wait status for a thread whose wait can be satisfied now, or
// STATUS_PENDING.
NTSTATUS TrySatisfy(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE waitType, _KTHREAD* thread) {
    if (waitType == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (IsSignaledFor(objects[i], thread)) {
                Acquire(objects[i], thread);
                return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
        }
        return STATUS_PENDING;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (!IsSignaledFor(objects[i], thread)) {
            return STATUS_PENDING;
        }
    }
    for (ULONG i = 0; i < count; ++i) {
        Acquire(objects[i], thread);
    }
    return count == 0 ? STATUS_PENDING : STATUS_WAIT_0;
}

std::string DescribeOwner(const _KTHREAD* owner) {
    return owner != nullptr ? " (owned by \"" + owner->name + "\")" : std::string(" (free)");
}

// Where a thread that is not in a stand-in wait is: holding the turn, ready
// for it, spinning, or (in parallel mode) running; and its last service.
std::string DescribeRunningThread(const Kernel& k, const _KTHREAD* thread) {
    std::string text;
    char buffer[96];
    if (PKSPIN_LOCK lock = thread->spinningOn.load(std::memory_order_relaxed)) {
        snprintf(buffer, sizeof buffer, " spins on the spin lock at %p", static_cast<void*>(lock));
        text = buffer;
    } else if (!k.serial) {
        text = " is running";
    } else {
        text = k.running == thread ? " runs (it holds the turn)" : " is ready to run";
    }
    const char* service = thread->lastService.load(std::memory_order_relaxed);
    if (service != nullptr) {
        text += std::string("; its last stand-in call was ") + service + " from " +
                DescribeCodeAddress(thread->lastCall.load(std::memory_order_relaxed));
    }
    return text + "\n";
}

std::string DescribeThread(const Kernel& k, const _KTHREAD* thread) {
    std::string text = "  thread \"" + thread->name + "\"";
    if (!thread->waiting) {
        return text + DescribeRunningThread(k, thread);
    }
    text += thread->waitType == WaitAll ? " waits for all of" : " waits for any of";
    if (thread->waitCount == 0) {
        text += " nothing (a delay)";
    }
    char buffer[160];
    for (ULONG i = 0; i < thread->waitCount; ++i) {
        const DISPATCHER_HEADER* object = thread->blocks[i].object;
        bool gate = object->Type == GateObject && thread->gateOwner != nullptr;
        snprintf(buffer, sizeof buffer, "%s %s at %p", i == 0 ? "" : ",",
                 gate ? "fast or guarded mutex" : ObjectTypeName(object), static_cast<const void*>(object));
        text += buffer;
        if (object->Type == MutantObject) {
            text += DescribeOwner(reinterpret_cast<const KMUTANT*>(object)->OwnerThread);
        } else if (gate) {
            text += DescribeOwner(static_cast<const _KTHREAD*>(*thread->gateOwner));
        } else if (object->Type == ThreadObject) {
            text += " (\"" + reinterpret_cast<const _KTHREAD*>(object)->name + "\")";
        }
    }
    text += ", called from " + DescribeCodeAddress(thread->waitCaller) + "\n";
    return text;
}

[[noreturn]] void ReportDeadlockLocked() {
    Kernel& k = K();
    fprintf(stderr, "\n*** deadlock: every simulation thread is blocked and no timer is pending\n%s",
            DescribeThreadsLocked().c_str());
    Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, CurrentThread() ? CurrentThread()->waitCaller : nullptr,
         "simulation deadlock at %.6f s", static_cast<double>(k.Now()) / 1e9);
}

}  // namespace

// Memory that never went through KeInitialize* holds zeros, the fill of
// uninitialised pool or the poison of freed pool; none of them has a known
// object type with a linked wait list, so the check never follows a garbage
// link.
void RequireDispatcherObject(const DISPATCHER_HEADER* header, const void* caller, const char* function) {
    if (IsDispatcherType(header->Type) && header->WaitListHead.Flink != nullptr &&
        header->WaitListHead.Blink != nullptr) {
        return;
    }
    Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
         "%s on a dispatcher object at %p that was never initialised (its header holds type 0x%02X)", function,
         static_cast<const void*>(header), header->Type);
}

void CheckFreedRangeForWaitedObjects(const char* begin, size_t size, const void* caller) {
    std::lock_guard<std::mutex> guard(K().lock);
    Kernel& k = K();
    const char* end = begin + size;
    for (PLIST_ENTRY entry = k.threads.Flink; entry != &k.threads; entry = entry->Flink) {
        const _KTHREAD* thread = CONTAINING_RECORD(entry, ThreadLink, entry)->owner;
        for (ULONG i = 0; thread->waiting && i < thread->waitCount; ++i) {
            const auto* object = reinterpret_cast<const char*>(thread->blocks[i].object);
            if (object >= begin && object < end) {
                Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                     "freeing pool at %p that holds the %s at %p, which thread \"%s\" waits on",
                     static_cast<const void*>(begin), ObjectTypeName(thread->blocks[i].object),
                     static_cast<const void*>(object), thread->name.c_str());
            }
        }
    }
}

std::string DescribeThreadsLocked() {
    std::string report;
    Kernel& k = K();
    for (PLIST_ENTRY entry = k.threads.Flink; entry != &k.threads; entry = entry->Flink) {
        report += DescribeThread(k, CONTAINING_RECORD(entry, ThreadLink, entry)->owner);
    }
    return report;
}

Kernel& K() {
    if (g_kernel == nullptr) {
        fprintf(stderr, "a kernel service was called outside a kmsim::Simulation\n");
        abort();
    }
    return *g_kernel;
}

bool HaveKernel() { return g_kernel != nullptr; }

void InstallKernel(Kernel* kernel) { g_kernel = kernel; }

_KTHREAD* CurrentThread() { return t_current; }
void SetCurrentThread(_KTHREAD* thread) { t_current = thread; }

Nanoseconds Kernel::Now() const {
    if (mode == kmsim::ClockMode::Virtual) {
        return virtualNow.load(std::memory_order_acquire);
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - realBase).count();
}

void ThreadWaitTimer::Expire(Nanoseconds) {
    if (thread->waiting) {
        Satisfy(thread, STATUS_TIMEOUT);
    }
}

void ArmTimer(TimerEntry* entry, Nanoseconds due) {
    Kernel& k = K();
    if (entry->armed) {
        k.timers.erase(entry);
    }
    entry->due = due;
    entry->seq = k.nextTimerSeq++;
    entry->armed = true;
    bool earliest = k.timers.empty() || TimerOrder{}(entry, *k.timers.begin());
    k.timers.insert(entry);
    if (earliest && k.mode == kmsim::ClockMode::Real) {
        k.timekeeperWake.notify_one();
    }
}

void DisarmTimer(TimerEntry* entry) {
    if (entry->armed) {
        K().timers.erase(entry);
        entry->armed = false;
    }
}

Nanoseconds QuantizeToTick(Nanoseconds due) {
    const Nanoseconds tick = static_cast<Nanoseconds>(K().clockTick_hns) * 100;
    if (due <= K().Now()) {
        return due;  // past due: it expires at once, not at the next clock interrupt
    }
    return ((due + tick - 1) / tick) * tick;
}

// System time at boot: 2026-01-01 00:00:00 UTC in 100 ns units since 1601.
constexpr LONGLONG kBootSystemTime_hns = 134116992000000000LL;

LONGLONG SystemTimeNow_hns() { return kBootSystemTime_hns + K().Now() / 100; }

Nanoseconds DueFromTimeout(LONGLONG timeout_hns) {
    Kernel& k = K();
    if (timeout_hns < 0) {
        // Relative; guard the multiplication against absurd values.
        if (timeout_hns < -(INT64_MAX / 200)) {
            return kInfinite;
        }
        return k.Now() - timeout_hns * 100;
    }
    LONGLONG sinceBoot_hns = timeout_hns - kBootSystemTime_hns;
    if (sinceBoot_hns <= 0) {
        return k.Now();
    }
    if (sinceBoot_hns > INT64_MAX / 200) {
        return kInfinite;
    }
    return sinceBoot_hns * 100;
}

void ExpireDueLocked(Nanoseconds now) {
    Kernel& k = K();
    while (!k.timers.empty()) {
        TimerEntry* entry = *k.timers.begin();
        if (entry->due > now) {
            break;
        }
        k.timers.erase(k.timers.begin());
        entry->armed = false;
        entry->Expire(now);
    }
}

void MaybeAdvanceLocked() {
    Kernel& k = K();
    if (k.mode != kmsim::ClockMode::Virtual) {
        return;
    }
    while (k.registered != 0 && k.blocked == k.registered) {
        if (k.timers.empty()) {
            ReportDeadlockLocked();
        }
        Nanoseconds due = (*k.timers.begin())->due;
        if (due > k.virtualLimit) {
            fprintf(stderr, "\n*** the virtual-time limit is reached; the simulation threads:\n%s",
                    DescribeThreadsLocked().c_str());
            Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr,
                 "virtual time would pass the simulation's limit of %.3f s (next deadline at %.3f s)",
                 static_cast<double>(k.virtualLimit) / 1e9, static_cast<double>(due) / 1e9);
        }
        if (due > k.virtualNow.load(std::memory_order_relaxed)) {
            k.virtualNow.store(due, std::memory_order_release);
            k.progress.fetch_add(1, std::memory_order_relaxed);
        }
        ExpireDueLocked(k.virtualNow.load(std::memory_order_relaxed));
    }
}

NTSTATUS WaitLocked(std::unique_lock<std::mutex>& guard, ULONG count, DISPATCHER_HEADER* const* objects,
                    WAIT_TYPE waitType, Nanoseconds due, const void* caller) {
    _KTHREAD* thread = CurrentThread();
    if (thread == nullptr || !thread->registered) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
             "a wait from a thread outside the simulation (create threads through the stand-in)");
    }
    for (ULONG i = 0; i < count; ++i) {
        RequireDispatcherObject(objects[i], caller, "a wait");
    }
    NTSTATUS status = TrySatisfy(count, objects, waitType, thread);
    if (status != STATUS_PENDING) {
        return status;
    }
    Kernel& k = K();
    if (due != kInfinite && due <= k.Now()) {
        return STATUS_TIMEOUT;
    }
    thread->waitType = waitType;
    thread->waitCount = count;
    thread->waitCaller = caller;
    for (ULONG i = 0; i < count; ++i) {
        WaitBlock& block = thread->blocks[i];
        block.thread = thread;
        block.object = objects[i];
        block.index = i;
        InsertTailList(&objects[i]->WaitListHead, &block.link);
    }
    if (due != kInfinite) {
        ArmTimer(&thread->waitTimer, due);
    }
    thread->waiting = true;
    thread->satisfied = false;
    k.blocked += 1;
    MaybeAdvanceLocked();
    PassTurnLocked();
    while (!thread->satisfied || (k.serial && k.running != thread)) {
        thread->wake.wait(guard);
    }
    return thread->waitStatus;
}

void WakeWaiters(DISPATCHER_HEADER* object) {
    // Satisfying one waiter can change the object and other threads' wait
    // lists, so the scan starts over after every satisfied wait.
    bool progress = true;
    while (progress && IsSignaledFor(object, nullptr)) {
        progress = false;
        for (PLIST_ENTRY entry = object->WaitListHead.Flink; entry != &object->WaitListHead; entry = entry->Flink) {
            WaitBlock* block = CONTAINING_RECORD(entry, WaitBlock, link);
            _KTHREAD* thread = block->thread;
            DISPATCHER_HEADER* objects[MAXIMUM_WAIT_OBJECTS];
            for (ULONG i = 0; i < thread->waitCount; ++i) {
                objects[i] = thread->blocks[i].object;
            }
            NTSTATUS status = thread->waitType == WaitAny
                                  ? (IsSignaledFor(object, thread)
                                         ? (Acquire(object, thread), STATUS_WAIT_0 + static_cast<NTSTATUS>(block->index))
                                         : STATUS_PENDING)
                                  : TrySatisfy(thread->waitCount, objects, WaitAll, thread);
            if (status != STATUS_PENDING) {
                Satisfy(thread, status);
                progress = true;
                break;
            }
        }
    }
}

void SignalObjectLocked(DISPATCHER_HEADER* object) {
    object->SignalState = 1;
    WakeWaiters(object);
}

void InitializeThreadObject(_KTHREAD* thread, const char* name, bool system) {
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(_KTHREAD) / sizeof(LONG) > 255 ? 255 : sizeof(_KTHREAD) / sizeof(LONG);
    thread->Header.SignalState = 0;
    InitializeListHead(&thread->Header.WaitListHead);
    InitializeListHead(&thread->ownedMutants);
    InitializeListHead(&thread->allThreads.entry);
    thread->allThreads.owner = thread;
    thread->waitTimer.thread = thread;
    thread->name = name != nullptr ? name : "thread";
    thread->system = system;
}

void RegisterThreadLocked(_KTHREAD* thread) {
    Kernel& k = K();
    InsertTailList(&k.threads, &thread->allThreads.entry);
    thread->registered = true;
    k.registered += 1;
}

void UnregisterThreadLocked(_KTHREAD* thread) {
    Kernel& k = K();
    RemoveEntryList(&thread->allThreads.entry);
    InitializeListHead(&thread->allThreads.entry);
    thread->registered = false;
    k.registered -= 1;
    MaybeAdvanceLocked();
    if (k.running == thread) {
        PassTurnLocked();
    }
}

void StartTimekeeper() {
    Kernel& k = K();
    if (k.mode != kmsim::ClockMode::Real) {
        return;
    }
    k.timekeeper = std::thread([&k] {
        std::unique_lock<std::mutex> guard(k.lock);
        while (!k.stopping) {
            if (k.timers.empty()) {
                k.timekeeperWake.wait(guard);
                continue;
            }
            Nanoseconds due = (*k.timers.begin())->due;
            Nanoseconds now = k.Now();
            if (due <= now) {
                ExpireDueLocked(now);
                continue;
            }
            k.timekeeperWake.wait_for(guard, std::chrono::nanoseconds(due - now));
        }
    });
}

void StopTimekeeper() {
    Kernel& k = K();
    if (!k.timekeeper.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(k.lock);
        k.stopping = true;
        k.timekeeperWake.notify_one();
    }
    k.timekeeper.join();
}

}  // namespace km

namespace kmsim {

int64_t NowNs() { return km::K().Now(); }

ULONG ClockTick_hns() {
    std::lock_guard<std::mutex> guard(km::K().lock);
    return km::K().clockTick_hns;
}

void SetThreadName(const char* name) {
    _KTHREAD* thread = km::CurrentThread();
    if (thread != nullptr) {
        std::lock_guard<std::mutex> guard(km::K().lock);
        thread->name = name;
    }
}

}  // namespace kmsim
