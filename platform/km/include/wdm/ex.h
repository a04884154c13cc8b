// Executive (Ex) part of <wdm.h>: pool, lookaside lists, fast and guarded
// mutexes, interlocked operations and the timer resolution.
#pragma once

// ---------------------------------------------------------------- pool

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    NonPagedPoolBase = 0,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = NonPagedPoolNx + 4,
} POOL_TYPE;

#define POOL_NX_ALLOCATION 512

typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

// ---------------------------------------------------------------- lookaside lists

typedef PVOID ALLOCATE_FUNCTION(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef ALLOCATE_FUNCTION* PALLOCATE_FUNCTION;
typedef VOID FREE_FUNCTION(PVOID Buffer);
typedef FREE_FUNCTION* PFREE_FUNCTION;

typedef union alignas(16) _SLIST_HEADER {
    struct {
        ULONGLONG Alignment;
        ULONGLONG Region;
    };
    struct {
        ULONGLONG Depth : 16;
        ULONGLONG Sequence : 48;
        ULONGLONG Reserved : 4;
        ULONGLONG NextEntry : 60;
    } HeaderX64;
} SLIST_HEADER, *PSLIST_HEADER;

typedef struct DECLSPEC_CACHEALIGN _GENERAL_LOOKASIDE {
    SLIST_HEADER ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    ULONG LastAllocateMisses;
    ULONG Future[2];
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

typedef struct DECLSPEC_CACHEALIGN _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

static_assert(sizeof(NPAGED_LOOKASIDE_LIST) == 128, "NPAGED_LOOKASIDE_LIST layout");

NTKERNELAPI VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
                                                       PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                                       ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
NTKERNELAPI VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

// ---------------------------------------------------------------- fast and guarded mutexes

typedef struct _FAST_MUTEX {
    volatile LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

typedef struct _KGUARDED_MUTEX {
    volatile LONG Count;
    PKTHREAD Owner;
    ULONG Contention;
    KGATE Gate;
    union {
        struct {
            SHORT KernelApcDisable;
            SHORT SpecialApcDisable;
        };
        ULONG CombinedApcDisable;
    };
} KGUARDED_MUTEX, *PKGUARDED_MUTEX;

static_assert(sizeof(FAST_MUTEX) == 56, "FAST_MUTEX layout");
static_assert(sizeof(KGUARDED_MUTEX) == 56, "KGUARDED_MUTEX layout");

NTKERNELAPI VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

NTKERNELAPI VOID FASTCALL KeInitializeGuardedMutex(PKGUARDED_MUTEX Mutex);
NTKERNELAPI VOID FASTCALL KeAcquireGuardedMutex(PKGUARDED_MUTEX Mutex);
NTKERNELAPI VOID FASTCALL KeReleaseGuardedMutex(PKGUARDED_MUTEX Mutex);
NTKERNELAPI BOOLEAN FASTCALL KeTryToAcquireGuardedMutex(PKGUARDED_MUTEX Mutex);

// ---------------------------------------------------------------- interlocked operations

FORCEINLINE LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedIncrement64(LONG64 volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedDecrement64(LONG64 volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange, LONG64 Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE LONG ReadNoFence(LONG const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
FORCEINLINE LONG ReadAcquire(LONG const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WriteRelease(LONG volatile* Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE VOID WriteNoFence(LONG volatile* Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)

// ---------------------------------------------------------------- timer resolution

NTKERNELAPI ULONG NTAPI ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);
