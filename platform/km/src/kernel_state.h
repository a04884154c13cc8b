// Internal state of the kernel stand-in: the dispatcher lock, the simulation
// clock, the timer queue and the thread records. Only platform/km/src sees
// this header.
//
// Every dispatcher object (event, mutex, semaphore, timer, thread) is guarded
// by one lock, as the real dispatcher database is. A thread that waits links
// its wait blocks into the objects' wait lists and sleeps on its own condition
// variable; whoever satisfies the wait unlinks the blocks and wakes it. The
// scheduler counts registered threads and blocked threads under the same lock,
// which is what lets virtual time jump forward exactly when every simulation
// thread is blocked in a stand-in wait.
#pragma once

#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "kmsim/simulation.h"

namespace km {

using Nanoseconds = int64_t;
constexpr Nanoseconds kInfinite = INT64_MAX;

// An entry of the timer queue: a kernel timer, a wait timeout or a hardware
// event. Expire runs under the dispatcher lock and may only signal objects,
// queue DPCs and wake threads.
struct TimerEntry {
    Nanoseconds due = 0;
    uint64_t seq = 0;
    bool armed = false;
    virtual void Expire(Nanoseconds now) = 0;

protected:
    ~TimerEntry() = default;
};

struct TimerOrder {
    bool operator()(const TimerEntry* a, const TimerEntry* b) const {
        return a->due != b->due ? a->due < b->due : a->seq < b->seq;
    }
};

struct WaitBlock {
    LIST_ENTRY link;  // in the object's WaitListHead
    struct ::_KTHREAD* thread;
    DISPATCHER_HEADER* object;
    ULONG index;
};

// Links a thread into the registry; the owner pointer stands in for
// CONTAINING_RECORD, which the thread record's C++ members rule out.
struct ThreadLink {
    LIST_ENTRY entry;
    struct ::_KTHREAD* owner;
};

struct ThreadWaitTimer final : TimerEntry {
    struct ::_KTHREAD* thread = nullptr;
    void Expire(Nanoseconds now) override;
};

}  // namespace km

// The thread object. Its dispatcher header comes first so that a thread can
// be waited on; it is signalled when the thread ends.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    km::ThreadWaitTimer waitTimer;
    std::condition_variable wake;
    bool waiting = false;
    bool satisfied = false;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    WAIT_TYPE waitType = WaitAny;
    ULONG waitCount = 0;
    const void* waitCaller = nullptr;
    km::WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
    LIST_ENTRY ownedMutants;  // KMUTANT.MutantListEntry of every mutex held
    km::ThreadLink allThreads;  // in Kernel::threads
    KPRIORITY priority = 8;
    std::string name;
    bool system = false;
    bool registered = false;
    bool exited = false;
    NTSTATUS exitStatus = STATUS_SUCCESS;
    PKSTART_ROUTINE startRoutine = nullptr;
    PVOID startContext = nullptr;
    LONG criticalRegion = 0;
    LONG guardedRegion = 0;
    ULONG fastMutexesHeld = 0;
    // What the watchdog and the deadlock report show about a thread that is
    // not in a wait: the stand-in service it called last, and the spin lock
    // it spins on.
    std::atomic<const void*> lastCall{nullptr};
    std::atomic<const char*> lastService{nullptr};
    std::atomic<PKSPIN_LOCK> spinningOn{nullptr};
    // The owner field of the fast or guarded mutex the thread waits for.
    PVOID* gateOwner = nullptr;
};

struct _ETHREAD : _KTHREAD {};

struct _OBJECT_TYPE {
    const char* name;
};

namespace km {

// The kernel of one simulation. Created by kmsim::Simulation, reached by the
// stand-in's functions through K().
struct Kernel {
    std::mutex lock;  // the dispatcher lock
    kmsim::ClockMode mode = kmsim::ClockMode::Virtual;
    std::atomic<Nanoseconds> virtualNow{0};
    std::chrono::steady_clock::time_point realBase;
    Nanoseconds virtualLimit = kInfinite;

    std::set<TimerEntry*, TimerOrder> timers;
    uint64_t nextTimerSeq = 1;
    std::condition_variable timekeeperWake;  // real time only
    std::thread timekeeper;
    bool stopping = false;

    LIST_ENTRY threads;  // every registered thread
    ULONG registered = 0;
    ULONG blocked = 0;

    std::atomic<ULONG> clockTick_hns{156250};  // the clock interrupt period, 15.625 ms by default; read outside the lock
    std::multiset<ULONG> resolutionRequests;

    ULONG ntddiVersion = NTDDI_WIN10_NI;

    // Seeded interleaving: one simulation thread runs at a time, the one
    // holding the turn; at each preemption point the seeded policy picks who
    // runs next among the ready threads.
    bool serial = false;
    ::_KTHREAD* running = nullptr;
    uint64_t seed = 0;
    uint64_t policyState = 0;
    uint64_t switches = 0;

    // Counts every step any simulation thread takes through the stand-in and
    // every advance of the clock: the watchdog looks for it standing still.
    std::atomic<uint64_t> progress{0};

    Nanoseconds Now() const;
};

Kernel& K();
bool HaveKernel();

// The current thread's record, or null outside the simulation.
_KTHREAD* CurrentThread();
void SetCurrentThread(_KTHREAD* thread);

// Timer queue, under the dispatcher lock.
void ArmTimer(TimerEntry* entry, Nanoseconds due);
void DisarmTimer(TimerEntry* entry);
// Rounds a kernel due time up to the next clock interrupt.
Nanoseconds QuantizeToTick(Nanoseconds due);
// Converts a Windows timeout (negative relative, positive absolute, in 100 ns)
// to an absolute simulation time.
Nanoseconds DueFromTimeout(LONGLONG timeout_hns);

// Waits, under the dispatcher lock held by `guard`.
NTSTATUS WaitLocked(std::unique_lock<std::mutex>& guard, ULONG count, DISPATCHER_HEADER* const* objects,
                    WAIT_TYPE waitType, Nanoseconds due, const void* caller);
// Stops unless the header belongs to an initialised dispatcher object.
void RequireDispatcherObject(const DISPATCHER_HEADER* header, const void* caller, const char* function);
// Wakes every waiter the object's new state satisfies.
void WakeWaiters(DISPATCHER_HEADER* object);
void SignalObjectLocked(DISPATCHER_HEADER* object);

// Thread registry, under the dispatcher lock.
void RegisterThreadLocked(_KTHREAD* thread);
void UnregisterThreadLocked(_KTHREAD* thread);
void InitializeThreadObject(_KTHREAD* thread, const char* name, bool system);

// Called whenever the number of runnable threads may have reached zero.
void MaybeAdvanceLocked();

// Seeded interleaving (interleaving.cpp). A preemption point is where the
// policy may let another thread run: the stand-in calls it on entry to the
// services that touch shared state. It also stops a thread from outside the
// simulation that calls a service.
void PreemptionPoint(const void* caller, const char* service);
// After a thread blocked or ended: gives the turn to a ready thread, chosen
// by the policy. No-op outside serial mode.
void PassTurnLocked();
// Blocks the calling thread until the policy gives it the turn.
void AwaitTurnLocked(std::unique_lock<std::mutex>& guard, ::_KTHREAD* thread);
// A thread that found its spin lock held lets another ready thread run.
void YieldWhileSpinning(PKSPIN_LOCK lock);
void ConfigureScheduling(Kernel& kernel, const kmsim::Options& options);

// Every thread with its state and wait site, for deadlock, time-limit and
// watchdog reports.
std::string DescribeThreadsLocked();

void StartWatchdog(double seconds);
void StopWatchdog();

// Runs the expired timers (real time: the timekeeper thread).
void ExpireDueLocked(Nanoseconds now);

void StartTimekeeper();
void StopTimekeeper();

// DPC and work-queue services started and stopped with the simulation.
void StartDpcThread();
void StopDpcThread();
void StartWorkQueue();
void StopWorkQueue();
void RunDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2);
bool QueueDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2);

// Kernel lifecycle and services started with it.
void InstallKernel(Kernel* kernel);
LONGLONG SystemTimeNow_hns();
PETHREAD CreateSystemThreadInternal(const char* name, std::function<void()> body);
// Waits for a thread created with CreateSystemThreadInternal and drops the creator's reference.
void WaitAndReleaseThread(PETHREAD thread);
void ReportArmedTimers(std::string& report);
void DisarmAllTimers();
void EtwReset();
void IoNamesReset();
void IrpStatisticsReset();
void PowerReset();
void EtwReportLeaks(std::string& report);
void ComReportLeaks(std::string& report);

// Object manager and handle table.
void ObjectManagerReset();
void ObjectManagerReportLeaks(std::string& report);
void RegisterObject(PVOID object, POBJECT_TYPE type, std::function<void(PVOID)> destroy, LONG_PTR references);
HANDLE CreateHandle(PVOID object);

}  // namespace km
