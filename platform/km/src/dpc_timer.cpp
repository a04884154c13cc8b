// DPCs, kernel timers, the clock interrupt's resolution and the time queries.
//
// DPCs run in queue order on one DPC thread at DISPATCH_LEVEL. Kernel timers
// expire on the clock interrupt: a due time is rounded up to the next tick of
// the current timer resolution (15.625 ms unless a driver asked for finer
// with ExSetTimerResolution), as on Windows. Hardware events use
// kmsim::SetTimerAtNs, which is exact.

#include <map>
#include <unordered_set>
#include <vector>

#include "kernel_state.h"
#include "pool_internal.h"
#include "verifier.h"

using km::K;

namespace {

struct KernelTimer final : km::TimerEntry {
    PKTIMER timer = nullptr;
    bool exact = false;  // hardware timers are not rounded to the clock tick
    void Expire(km::Nanoseconds now) override;
};

struct DpcState {
    PKDPC head = nullptr;
    PKDPC tail = nullptr;
    bool running = false;
    bool stop = false;
    KEVENT work;  // synchronization: a DPC was queued
    KEVENT idle;  // notification: the queue is empty and no DPC runs
    PETHREAD thread = nullptr;
    std::unordered_set<PKDPC> queuedByTimer;  // named as timer DPCs in the verifier's reports
};

// Side tables, under the dispatcher lock. Keyed by address so that freeing
// pool can find the timers and DPCs that lived in it.
std::map<PKTIMER, KernelTimer>& Timers() {
    static std::map<PKTIMER, KernelTimer> timers;
    return timers;
}

DpcState& Dpcs() {
    static DpcState state;
    return state;
}

constexpr LONG kMinimumResolution_hns = 5000;     // 0.5 ms
constexpr LONG kMaximumResolution_hns = 156250;   // 15.625 ms
std::vector<ULONG>& ResolutionRequests() {
    static std::vector<ULONG> requests;
    return requests;
}

void KernelTimer::Expire(km::Nanoseconds now) {
    timer->Header.SignalState = 1;
    km::WakeWaiters(&timer->Header);
    if (timer->Period != 0) {
        km::Nanoseconds next = now + static_cast<km::Nanoseconds>(timer->Period) * 1000 * 1000;
        km::ArmTimer(this, exact ? next : km::QuantizeToTick(next));
    }
    if (timer->Dpc != nullptr) {
        LARGE_INTEGER systemTime;
        systemTime.QuadPart = now / 100;
        if (km::QueueDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.LowPart)),
                               reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.HighPart)))) {
            Dpcs().queuedByTimer.insert(timer->Dpc);
        }
    }
}

KernelTimer& TimerRecord(PKTIMER timer, const void* caller, const char* function) {
    auto found = Timers().find(timer);
    if (found == Timers().end() || timer->Header.WaitListHead.Flink == nullptr) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "%s on a timer at %p that was never initialised", function,
                 static_cast<void*>(timer));
    }
    return found->second;
}

BOOLEAN ArmKernelTimer(PKTIMER timer, km::Nanoseconds due, LONG period, PKDPC dpc, bool exact,
                       const void* caller, const char* function) {
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, function);
    if (period < 0) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "%s with the negative period %d", function, period);
    }
    std::lock_guard<std::mutex> guard(K().lock);
    KernelTimer& record = TimerRecord(timer, caller, function);
    BOOLEAN wasSet = record.armed ? TRUE : FALSE;
    timer->Header.SignalState = 0;
    timer->Dpc = dpc;
    timer->Period = static_cast<ULONG>(period);
    record.exact = exact;
    if (!exact && due != km::kInfinite) {
        due = km::QuantizeToTick(due);
    }
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due / 100);
    km::ArmTimer(&record, due);
    // A kernel timer whose due time has passed expires at once, as on the
    // platform; in real time the timekeeper sees it first in its queue.
    if (!exact && K().mode == kmsim::ClockMode::Virtual && due <= K().Now()) {
        km::ExpireDueLocked(K().Now());
    }
    return wasSet;
}

void DpcThreadMain() {
    DpcState& state = Dpcs();
    std::unique_lock<std::mutex> guard(K().lock);
    for (;;) {
        while (state.head == nullptr && !state.stop) {
            DISPATCHER_HEADER* work = &state.work.Header;
            km::WaitLocked(guard, 1, &work, WaitAny, km::kInfinite, nullptr);
        }
        if (state.head == nullptr) {
            break;
        }
        PKDPC dpc = state.head;
        state.head = reinterpret_cast<PKDPC>(dpc->DpcListEntry.Next);
        if (state.head == nullptr) {
            state.tail = nullptr;
        }
        dpc->DpcListEntry.Next = nullptr;
        dpc->DpcData = nullptr;
        state.running = true;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID arg1 = dpc->SystemArgument1;
        PVOID arg2 = dpc->SystemArgument2;
        const char* kind = state.queuedByTimer.erase(dpc) != 0 ? "timer DPC routine" : "DPC routine";
        guard.unlock();

        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        km::RoutineFrame entry = km::EnterRoutine();
        routine(dpc, context, arg1, arg2);
        km::CheckRoutineExit(entry, reinterpret_cast<const void*>(routine), kind);
        KeLowerIrql(old);

        guard.lock();
        state.running = false;
        if (state.head == nullptr) {
            km::SignalObjectLocked(&state.idle.Header);
        }
    }
}

}  // namespace

namespace km {

bool QueueDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2) {
    DpcState& state = Dpcs();
    if (dpc->DpcData != nullptr) {
        return false;
    }
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = &state;
    dpc->DpcListEntry.Next = nullptr;
    if (dpc->Importance == HighImportance && state.head != nullptr) {
        dpc->DpcListEntry.Next = reinterpret_cast<PSINGLE_LIST_ENTRY>(state.head);
        state.head = dpc;
    } else if (state.tail != nullptr) {
        state.tail->DpcListEntry.Next = reinterpret_cast<PSINGLE_LIST_ENTRY>(dpc);
        state.tail = dpc;
    } else {
        state.head = state.tail = dpc;
    }
    state.idle.Header.SignalState = 0;
    SignalObjectLocked(&state.work.Header);
    return true;
}

void StartDpcThread() {
    DpcState& state = Dpcs();
    state.head = state.tail = nullptr;
    state.running = false;
    state.stop = false;
    KeInitializeEvent(&state.work, SynchronizationEvent, FALSE);
    KeInitializeEvent(&state.idle, NotificationEvent, TRUE);
    state.queuedByTimer.clear();
    Timers().clear();
    ResolutionRequests().clear();
    state.thread = CreateSystemThreadInternal("DPC", DpcThreadMain);
}

void StopDpcThread() {
    DpcState& state = Dpcs();
    {
        std::lock_guard<std::mutex> guard(K().lock);
        state.stop = true;
        SignalObjectLocked(&state.work.Header);
    }
    WaitAndReleaseThread(state.thread);
    state.thread = nullptr;
}

// Called when pool is freed: an armed timer or a queued DPC inside the freed
// block would fire into freed memory.
void CheckFreedRangeForTimersAndDpcs(const char* begin, size_t size, const void* caller) {
    std::lock_guard<std::mutex> guard(K().lock);
    const char* end = begin + size;
    auto& timers = Timers();
    for (auto it = timers.lower_bound(reinterpret_cast<PKTIMER>(const_cast<char*>(begin)));
         it != timers.end() && reinterpret_cast<const char*>(it->first) < end;) {
        if (it->second.armed) {
            Stop(0xC7 /* TIMER_OR_DPC_INVALID */, caller, "freeing pool at %p that holds the set timer at %p",
                 static_cast<const void*>(begin), static_cast<void*>(it->first));
        }
        it = timers.erase(it);
    }
    for (PKDPC dpc = Dpcs().head; dpc != nullptr; dpc = reinterpret_cast<PKDPC>(dpc->DpcListEntry.Next)) {
        const char* at = reinterpret_cast<const char*>(dpc);
        if (at >= begin && at < end) {
            Stop(0xC7 /* TIMER_OR_DPC_INVALID */, caller, "freeing pool at %p that holds the queued DPC at %p",
                 static_cast<const void*>(begin), static_cast<void*>(dpc));
        }
    }
}

void ReportArmedTimers(std::string& report) {
    std::lock_guard<std::mutex> guard(K().lock);
    char line[128];
    for (auto& [timer, record] : Timers()) {
        if (record.armed) {
            snprintf(line, sizeof line, "  timer at %p is still set (due at %.6f s)\n", static_cast<void*>(timer),
                     static_cast<double>(record.due) / 1e9);
            report += line;
        }
    }
}

void DisarmAllTimers() {
    std::lock_guard<std::mutex> guard(K().lock);
    for (auto& [timer, record] : Timers()) {
        DisarmTimer(&record);
    }
    Timers().clear();
}

}  // namespace km

// ---------------------------------------------------------------- DPCs

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    RtlZeroMemory(Dpc, sizeof(KDPC));
    Dpc->Type = 0x13;  // DpcObject
    Dpc->Importance = MediumImportance;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    km::PreemptionPoint(KM_CALLER, "KeInsertQueueDpc");
    if (Dpc->DeferredRoutine == nullptr) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "KeInsertQueueDpc of a DPC at %p that was never initialised",
                 static_cast<void*>(Dpc));
    }
    std::lock_guard<std::mutex> guard(K().lock);
    return km::QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    km::PreemptionPoint(KM_CALLER, "KeRemoveQueueDpc");
    std::lock_guard<std::mutex> guard(K().lock);
    if (Dpc->DpcData == nullptr) {
        return FALSE;
    }
    DpcState& state = Dpcs();
    PKDPC previous = nullptr;
    for (PKDPC at = state.head; at != nullptr; previous = at, at = reinterpret_cast<PKDPC>(at->DpcListEntry.Next)) {
        if (at == Dpc) {
            PKDPC next = reinterpret_cast<PKDPC>(at->DpcListEntry.Next);
            if (previous != nullptr) {
                previous->DpcListEntry.Next = reinterpret_cast<PSINGLE_LIST_ENTRY>(next);
            } else {
                state.head = next;
            }
            if (state.tail == at) {
                state.tail = previous;
            }
            break;
        }
    }
    Dpc->DpcData = nullptr;
    Dpc->DpcListEntry.Next = nullptr;
    state.queuedByTimer.erase(Dpc);
    if (state.head == nullptr && !state.running) {
        km::SignalObjectLocked(&state.idle.Header);
    }
    return TRUE;
}

VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }

VOID NTAPI KeFlushQueuedDpcs(VOID) {
    km::PreemptionPoint(KM_CALLER, "KeFlushQueuedDpcs");
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "KeFlushQueuedDpcs");
    const void* caller = KM_CALLER;
    std::unique_lock<std::mutex> guard(K().lock);
    DISPATCHER_HEADER* idle = &Dpcs().idle.Header;
    km::WaitLocked(guard, 1, &idle, WaitAny, km::kInfinite, caller);
}

// ---------------------------------------------------------------- timers

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    std::lock_guard<std::mutex> guard(K().lock);
    auto found = Timers().find(Timer);
    if (found != Timers().end() && found->second.armed) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "KeInitializeTimer of the timer at %p while it is set",
                 static_cast<void*>(Timer));
    }
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
    KernelTimer& record = Timers()[Timer];
    record.timer = Timer;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    km::PreemptionPoint(KM_CALLER, "KeSetTimerEx");
    km::Nanoseconds due;
    {
        std::lock_guard<std::mutex> guard(K().lock);
        due = km::DueFromTimeout(DueTime.QuadPart);
    }
    return ArmKernelTimer(Timer, due, Period, Dpc, false, KM_CALLER, "KeSetTimerEx");
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    km::PreemptionPoint(KM_CALLER, "KeSetTimer");
    km::Nanoseconds due;
    {
        std::lock_guard<std::mutex> guard(K().lock);
        due = km::DueFromTimeout(DueTime.QuadPart);
    }
    return ArmKernelTimer(Timer, due, 0, Dpc, false, KM_CALLER, "KeSetTimer");
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    km::PreemptionPoint(KM_CALLER, "KeCancelTimer");
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "KeCancelTimer");
    std::lock_guard<std::mutex> guard(K().lock);
    KernelTimer& record = TimerRecord(Timer, KM_CALLER, "KeCancelTimer");
    BOOLEAN wasSet = record.armed ? TRUE : FALSE;
    km::DisarmTimer(&record);
    return wasSet;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    km::PreemptionPoint(KM_CALLER, "KeReadStateTimer");
    std::lock_guard<std::mutex> guard(K().lock);
    return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

BOOLEAN kmsim::SetTimerAtNs(PKTIMER timer, int64_t due_ns, PKDPC dpc) {
    km::PreemptionPoint(KM_CALLER, "kmsim::SetTimerAtNs");
    return ArmKernelTimer(timer, due_ns, 0, dpc, true, KM_CALLER, "kmsim::SetTimerAtNs");
}

// ---------------------------------------------------------------- timer resolution and time

ULONG NTAPI ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
    std::lock_guard<std::mutex> guard(K().lock);
    auto& requests = ResolutionRequests();
    if (SetResolution) {
        LONG desired = static_cast<LONG>(DesiredTime < static_cast<ULONG>(kMinimumResolution_hns)
                                             ? kMinimumResolution_hns
                                             : (DesiredTime > static_cast<ULONG>(kMaximumResolution_hns)
                                                    ? kMaximumResolution_hns
                                                    : static_cast<LONG>(DesiredTime)));
        requests.push_back(static_cast<ULONG>(desired));
    } else if (!requests.empty()) {
        requests.pop_back();
    }
    ULONG tick = kMaximumResolution_hns;
    for (ULONG request : requests) {
        tick = request < tick ? request : tick;
    }
    K().clockTick_hns = tick;
    return tick;
}

ULONG NTAPI KeQueryTimeIncrement(VOID) { return kMaximumResolution_hns; }

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = 10 * 1000 * 1000;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = K().Now() / 100;
    return counter;
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(K().Now() / 100); }

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = km::SystemTimeNow_hns(); }
