// Kernel (Ke) part of <wdm.h>: IRQL, spin locks, dispatcher objects and
// waits, DPCs, timers, the performance counter and thread priorities.
#pragma once

// ---------------------------------------------------------------- IRQL

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTKERNELAPI VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID);

// Pageable code asserts that it runs where page faults may be taken.
NTKERNELAPI VOID NTAPI KmAssertPageable(const char* Function);
#define PAGED_CODE() KmAssertPageable(__func__)

// ---------------------------------------------------------------- spin locks

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef struct _KSPIN_LOCK_QUEUE {
    struct _KSPIN_LOCK_QUEUE* volatile Next;
    PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

static_assert(sizeof(KLOCK_QUEUE_HANDLE) == 24, "KLOCK_QUEUE_HANDLE layout");

NTKERNELAPI VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

NTKERNELAPI VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID FASTCALL KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock,
                                                                   PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID FASTCALL KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID FASTCALL KeAcquireInStackQueuedSpinLockForDpc(PKSPIN_LOCK SpinLock,
                                                               PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID FASTCALL KeReleaseInStackQueuedSpinLockForDpc(PKLOCK_QUEUE_HANDLE LockHandle);

// ---------------------------------------------------------------- dispatcher objects

typedef struct _DISPATCHER_HEADER {
    union {
        struct {
            UCHAR Type;
            UCHAR Absolute;
            UCHAR Size;
            UCHAR Inserted;
        };
        volatile LONG Lock;
    };
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

// Dispatcher object types (DISPATCHER_HEADER.Type).
typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
} KOBJECTS;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KGATE {
    DISPATCHER_HEADER Header;
} KGATE, *PKGATE;

struct _KTHREAD;
typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
struct _ETHREAD;
typedef struct _ETHREAD* PETHREAD;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD* OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

static_assert(sizeof(DISPATCHER_HEADER) == 24, "DISPATCHER_HEADER layout");
static_assert(sizeof(KEVENT) == 24, "KEVENT layout");
static_assert(sizeof(KMUTEX) == 56, "KMUTEX layout");
static_assert(sizeof(KSEMAPHORE) == 32, "KSEMAPHORE layout");

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    MaximumWaitReason = 40
} KWAIT_REASON;

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    UCHAR WaitType;
    volatile UCHAR BlockState;
    USHORT WaitKey;
    LONG SpareLong;
    PVOID Thread;
    PVOID Object;
    PVOID SparePtr;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;
static_assert(sizeof(KWAIT_BLOCK) == 48, "KWAIT_BLOCK layout");

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);

NTKERNELAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

NTKERNELAPI VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
NTKERNELAPI LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                                          BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                    KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                    BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                                    PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);

// ---------------------------------------------------------------- DPCs

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    SINGLE_LIST_ENTRY DpcListEntry;
    KAFFINITY ProcessorHistory;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;  // non-null while the DPC is queued
} KDPC, *PKDPC, *PRKDPC;
static_assert(sizeof(KDPC) == 64, "KDPC layout");

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance, MediumHighImportance } KDPC_IMPORTANCE;

NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
NTKERNELAPI VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
NTKERNELAPI VOID NTAPI KeFlushQueuedDpcs(VOID);

// ---------------------------------------------------------------- timers

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    struct _KDPC* Dpc;
    ULONG Processor;
    ULONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;
static_assert(sizeof(KTIMER) == 64, "KTIMER layout");

NTKERNELAPI VOID NTAPI KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
NTKERNELAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);

// ---------------------------------------------------------------- time

NTKERNELAPI LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID);
NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(VOID);

// ---------------------------------------------------------------- threads

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);
NTKERNELAPI KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
NTKERNELAPI KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread);
NTKERNELAPI VOID NTAPI KeEnterCriticalRegion(VOID);
NTKERNELAPI VOID NTAPI KeLeaveCriticalRegion(VOID);
NTKERNELAPI VOID NTAPI KeEnterGuardedRegion(VOID);
NTKERNELAPI VOID NTAPI KeLeaveGuardedRegion(VOID);

#define IO_NO_INCREMENT 0
#define IO_SOUND_INCREMENT 8
#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1
#define MUTANT_INCREMENT 1
