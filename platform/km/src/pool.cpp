// Pool allocation with tags, the failure plan, the per-tag leak report, and
// non-paged lookaside lists.

#include <cstdlib>
#include <map>
#include <random>
#include <unordered_map>
#include <unordered_set>

#include "kernel_state.h"
#include "irp_pending.h"
#include "kmsim/verifier.h"
#include "lock_order.h"
#include "pool_internal.h"
#include "verifier.h"

namespace {

struct Allocation {
    SIZE_T size;
    ULONG tag;
    const void* caller;
    POOL_TYPE type;
};

struct FailurePlan {
    uint64_t countdown = 0;  // 0: off; 1: the next allocation fails
    std::unordered_set<ULONG> tags;
    bool random = false;
    std::mt19937_64 rng;
    uint32_t perMille = 0;
    uint64_t failed = 0;
};

// Pool may be used at DISPATCH_LEVEL and from any thread; a host mutex
// guards the tracking tables.
std::mutex g_poolLock;
std::unordered_map<void*, Allocation> g_live;
FailurePlan g_plan;

constexpr UCHAR kUninitializedFill = 0xCD;
constexpr ULONG kProtectedPoolBit = 0x80000000u;

bool IsNonPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) == 0; }
bool IsCacheAligned(POOL_TYPE type) { return (static_cast<int>(type) & NonPagedPoolCacheAligned) != 0; }

// As the platform documents: a block of a page or more starts on a page, a
// smaller one never crosses a page (a power-of-two alignment at least its
// size guarantees that), and cache-aligned pool starts on a cache line.
SIZE_T AlignmentFor(SIZE_T size, POOL_TYPE type) {
    constexpr SIZE_T kCacheLine = 64;
    SIZE_T alignment = 16;
    while (alignment < size && alignment < PAGE_SIZE) {
        alignment *= 2;
    }
    if (IsCacheAligned(type) && alignment < kCacheLine) {
        alignment = kCacheLine;
    }
    return alignment;
}

SIZE_T RoundUp(SIZE_T size, SIZE_T alignment) { return (size + alignment - 1) & ~(alignment - 1); }

bool ShouldFailLocked(ULONG tag) {
    bool fail = false;
    if (g_plan.countdown != 0 && --g_plan.countdown == 0) {
        fail = true;
    }
    if (g_plan.tags.count(tag) != 0) {
        fail = true;
    }
    if (g_plan.random && g_plan.rng() % 1000 < g_plan.perMille) {
        fail = true;
    }
    if (fail) {
        g_plan.failed += 1;
    }
    return fail;
}

}  // namespace

namespace km {

bool ShouldFailSystemAllocation(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    return ShouldFailLocked(tag);
}

void* PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool zero, const void* caller, const char* function) {
    PreemptionPoint(caller, function);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !IsNonPaged(type))) {
        Stop(BAD_POOL_CALLER, caller, "%s of %s pool at IRQL %u", function, IsNonPaged(type) ? "non-paged" : "paged",
             irql);
    }
    if ((static_cast<int>(type) & NonPagedPoolNx) != 0 && !RtlIsNtDdiVersionAvailable(NTDDI_WIN8)) {
        Stop(BAD_POOL_CALLER, caller, "%s of NonPagedPoolNx, which this Windows version (before 8) does not have",
             function);
    }
    if (tag == 0) {
        Stop(BAD_POOL_CALLER, caller, "%s with the pool tag 0", function);
    }
    std::lock_guard<std::mutex> guard(g_poolLock);
    if (ShouldFailLocked(tag)) {
        return nullptr;
    }
    SIZE_T alignment = AlignmentFor(size, type);
    SIZE_T rounded = RoundUp(size == 0 ? 1 : size, alignment);
    void* block = aligned_alloc(alignment, rounded);
    if (block == nullptr) {
        return nullptr;
    }
    memset(block, zero ? 0 : kUninitializedFill, rounded);
    g_live[block] = Allocation{size, tag, caller, type};
    return block;
}

void PoolFree(void* block, ULONG tag, bool checkTag, const void* caller, const char* function) {
    PreemptionPoint(caller, function);
    RequireIrqlAtMost(DISPATCH_LEVEL, caller, function);
    if (block == nullptr) {
        Stop(BAD_POOL_CALLER, caller, "%s of a null pointer", function);
    }
    Allocation allocation;
    {
        std::lock_guard<std::mutex> guard(g_poolLock);
        auto found = g_live.find(block);
        if (found == g_live.end()) {
            ReportFreeOfUnknownBlock(block, caller, function);
        }
        allocation = found->second;
        if (checkTag && (tag & ~kProtectedPoolBit) != allocation.tag) {
            Stop(BAD_POOL_CALLER, caller, "%s of %p with the tag \"%s\"; it was allocated with the tag \"%s\"", function,
                 block, kmsim::TagText(tag & ~kProtectedPoolBit).c_str(), kmsim::TagText(allocation.tag).c_str());
        }
        if (!IsNonPaged(allocation.type) && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
            Stop(BAD_POOL_CALLER, caller, "%s of paged pool at %p at IRQL %u", function, block, KeGetCurrentIrql());
        }
        g_live.erase(found);
    }
    CheckFreedRangeForTimersAndDpcs(static_cast<const char*>(block), allocation.size, caller);
    CheckFreedRangeForWaitedObjects(static_cast<const char*>(block), allocation.size, caller);
    ForgetLocksIn(static_cast<const char*>(block), allocation.size);
    ForgetDispatchCallsIn(block, allocation.size);
    Quarantine(block, RoundUp(allocation.size == 0 ? 1 : allocation.size, AlignmentFor(allocation.size, allocation.type)),
               allocation.tag, caller);
}

bool IsPagedPool(const void* block) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    auto found = g_live.find(const_cast<void*>(block));
    return found != g_live.end() && !IsNonPaged(found->second.type);
}

void PoolReset() {
    std::lock_guard<std::mutex> guard(g_poolLock);
    for (auto& [block, allocation] : g_live) {
        free(block);
    }
    g_live.clear();
    QuarantineReset();
    g_plan = FailurePlan{};
}

void PoolReportLeaks(std::string& report) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    struct TagTotal {
        uint64_t count = 0;
        uint64_t bytes = 0;
        const void* firstCaller = nullptr;
    };
    std::map<ULONG, TagTotal> byTag;
    for (auto& [block, allocation] : g_live) {
        TagTotal& total = byTag[allocation.tag];
        total.count += 1;
        total.bytes += allocation.size;
        if (total.firstCaller == nullptr) {
            total.firstCaller = allocation.caller;
        }
    }
    char line[256];
    for (auto& [tag, total] : byTag) {
        snprintf(line, sizeof line, "  pool tag \"%s\": %llu block(s), %llu bytes outstanding (allocated by %s)\n",
                 kmsim::TagText(tag).c_str(), static_cast<unsigned long long>(total.count),
                 static_cast<unsigned long long>(total.bytes), DescribeCodeAddress(total.firstCaller).c_str());
        report += line;
    }
}

}  // namespace km

// ---------------------------------------------------------------- pool

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return km::PoolAllocate(PoolType, NumberOfBytes, Tag, false, KM_CALLER, "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
    const void* caller = KM_CALLER;
    if (!RtlIsNtDdiVersionAvailable(NTDDI_WIN10_VB)) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "ExAllocatePool2 does not exist before Windows 10 version 2004");
    }
    POOL_FLAGS kinds = Flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED);
    if (kinds != POOL_FLAG_NON_PAGED && kinds != POOL_FLAG_NON_PAGED_EXECUTE && kinds != POOL_FLAG_PAGED) {
        km::Stop(BAD_POOL_CALLER, caller, "ExAllocatePool2 with flags 0x%llx: exactly one pool kind is required",
                 static_cast<unsigned long long>(Flags));
    }
    if (Flags & POOL_FLAG_RAISE_ON_FAILURE) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "ExAllocatePool2 with POOL_FLAG_RAISE_ON_FAILURE: kernel code here handles failures by status");
    }
    POOL_TYPE type = kinds == POOL_FLAG_PAGED ? PagedPool
                                              : (kinds == POOL_FLAG_NON_PAGED ? NonPagedPoolNx : NonPagedPool);
    if (Flags & POOL_FLAG_CACHE_ALIGNED) {
        type = static_cast<POOL_TYPE>(type | NonPagedPoolCacheAligned);
    }
    return km::PoolAllocate(type, NumberOfBytes, Tag, (Flags & POOL_FLAG_UNINITIALIZED) == 0, caller,
                            "ExAllocatePool2");
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { km::PoolFree(P, Tag, true, KM_CALLER, "ExFreePoolWithTag"); }

VOID NTAPI ExFreePool(PVOID P) { km::PoolFree(P, 0, false, KM_CALLER, "ExFreePool"); }

// ---------------------------------------------------------------- lookaside lists
//
// The list head's Alignment word is the first free entry; each free entry's
// first pointer links to the next, as on Windows. Region marks an initialised
// list.

namespace {

constexpr ULONGLONG kLookasideMagic = 0x4C6F6F6B61736964ULL;  // "Lookasid"
constexpr USHORT kLookasideMaximumDepth = 256;
std::mutex g_lookasideLock;

PVOID DefaultLookasideAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return km::PoolAllocate(PoolType, NumberOfBytes, Tag, false, nullptr, "a lookaside list's allocation");
}

VOID DefaultLookasideFree(PVOID Buffer) { km::PoolFree(Buffer, 0, false, nullptr, "a lookaside list's free"); }

void RequireLookaside(PNPAGED_LOOKASIDE_LIST list, const void* caller, const char* function) {
    if (list->L.ListHead.Region != kLookasideMagic) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "%s on a lookaside list at %p that is not initialised",
                 function, static_cast<void*>(list));
    }
}

}  // namespace

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                           PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "ExInitializeNPagedLookasideList");
    if ((Flags & POOL_NX_ALLOCATION) != 0 && !RtlIsNtDdiVersionAvailable(NTDDI_WIN8)) {
        km::Stop(BAD_POOL_CALLER, caller,
                 "ExInitializeNPagedLookasideList with POOL_NX_ALLOCATION, which Windows before 8 does not have");
    }
    if (Lookaside->L.ListHead.Region == kLookasideMagic) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "the lookaside list at %p is initialised twice",
                 static_cast<void*>(Lookaside));
    }
    RtlZeroMemory(Lookaside, sizeof(*Lookaside));
    Lookaside->L.Type = static_cast<POOL_TYPE>(NonPagedPool | (Flags & POOL_NX_ALLOCATION));
    Lookaside->L.Tag = Tag;
    Lookaside->L.Size = static_cast<ULONG>(Size < sizeof(SINGLE_LIST_ENTRY) * 2 ? sizeof(SINGLE_LIST_ENTRY) * 2 : Size);
    Lookaside->L.Allocate = Allocate != nullptr ? Allocate : DefaultLookasideAllocate;
    Lookaside->L.Free = Free != nullptr ? Free : DefaultLookasideFree;
    Lookaside->L.MaximumDepth = kLookasideMaximumDepth;
    Lookaside->L.ListHead.Region = kLookasideMagic;
}

VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    RequireLookaside(Lookaside, KM_CALLER, "ExDeleteNPagedLookasideList");
    PVOID entry;
    {
        std::lock_guard<std::mutex> guard(g_lookasideLock);
        entry = reinterpret_cast<PVOID>(Lookaside->L.ListHead.Alignment);
        Lookaside->L.ListHead.Alignment = 0;
        Lookaside->L.ListHead.Region = 0;
        Lookaside->L.Depth = 0;
    }
    while (entry != nullptr) {
        PVOID next = *static_cast<PVOID*>(entry);
        Lookaside->L.Free(entry);
        entry = next;
    }
}

PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    RequireLookaside(Lookaside, KM_CALLER, "ExAllocateFromNPagedLookasideList");
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "ExAllocateFromNPagedLookasideList");
    {
        std::lock_guard<std::mutex> guard(g_lookasideLock);
        Lookaside->L.TotalAllocates += 1;
        auto* entry = reinterpret_cast<PVOID>(Lookaside->L.ListHead.Alignment);
        if (entry != nullptr) {
            Lookaside->L.ListHead.Alignment = reinterpret_cast<ULONGLONG>(*static_cast<PVOID*>(entry));
            Lookaside->L.Depth -= 1;
            return entry;
        }
        Lookaside->L.AllocateMisses += 1;
    }
    return Lookaside->L.Allocate(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag);
}

VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    RequireLookaside(Lookaside, KM_CALLER, "ExFreeToNPagedLookasideList");
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "ExFreeToNPagedLookasideList");
    {
        std::lock_guard<std::mutex> guard(g_lookasideLock);
        Lookaside->L.TotalFrees += 1;
        if (Lookaside->L.Depth < Lookaside->L.MaximumDepth) {
            *static_cast<PVOID*>(Entry) = reinterpret_cast<PVOID>(Lookaside->L.ListHead.Alignment);
            Lookaside->L.ListHead.Alignment = reinterpret_cast<ULONGLONG>(Entry);
            Lookaside->L.Depth += 1;
            return;
        }
        Lookaside->L.FreeMisses += 1;
    }
    Lookaside->L.Free(Entry);
}

// ---------------------------------------------------------------- control

namespace kmsim {

void FailNthAllocation(uint64_t n) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_plan.countdown = n;
}

void FailAllocationsWithTag(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_plan.tags.insert(tag);
}

void FailRandomAllocations(uint64_t seed, uint32_t perMille) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_plan.random = true;
    g_plan.rng.seed(seed);
    g_plan.perMille = perMille;
}

void ClearAllocationFailures() {
    std::lock_guard<std::mutex> guard(g_poolLock);
    uint64_t failed = g_plan.failed;
    g_plan = FailurePlan{};
    g_plan.failed = failed;
}

uint64_t FailedAllocationCount() {
    std::lock_guard<std::mutex> guard(g_poolLock);
    return g_plan.failed;
}

uint64_t OutstandingAllocations(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    uint64_t count = 0;
    for (auto& [block, allocation] : g_live) {
        count += (tag == 0 || allocation.tag == tag) ? 1 : 0;
    }
    return count;
}

uint64_t OutstandingBytes(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    uint64_t bytes = 0;
    for (auto& [block, allocation] : g_live) {
        bytes += (tag == 0 || allocation.tag == tag) ? allocation.size : 0;
    }
    return bytes;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

}  // namespace kmsim
