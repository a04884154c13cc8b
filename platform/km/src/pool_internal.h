// Pool services shared inside the stand-in: the tracked allocator that every
// allocating service (pool, lookaside, MDLs, IRPs, work items) goes through.
#pragma once

#include <wdm.h>

#include <string>

namespace km {

// Allocates tracked pool; null when the failure plan says so. `zero` fills
// with zeros, otherwise with a pattern that makes uninitialised reads show.
void* PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool zero, const void* caller, const char* function);
// Frees tracked pool; tag 0 accepts any tag.
void PoolFree(void* block, ULONG tag, bool checkTag, const void* caller, const char* function);
// For allocations that are not pool blocks (threads): consults the failure plan.
bool ShouldFailSystemAllocation(ULONG tag);

void PoolReset();
void PoolReportLeaks(std::string& report);

// Called by PoolFree: stops when the block holds a set timer or a queued DPC.
void CheckFreedRangeForTimersAndDpcs(const char* begin, size_t size, const void* caller);
// Called by PoolFree: stops when the block holds an object a thread waits on.
void CheckFreedRangeForWaitedObjects(const char* begin, size_t size, const void* caller);

// Whether the address is the start of a live paged-pool block.
bool IsPagedPool(const void* block);

// The quarantine of freed blocks (pool_quarantine.cpp): a freed block is
// filled with a poison pattern and held back from reuse; when it leaves the
// quarantine the pattern is checked, so that a write after free is reported
// with the caller that freed the block, and a second free of a block still
// held is reported as one. Under the pool lock.
void Quarantine(void* block, size_t size, ULONG tag, const void* freedBy);
[[noreturn]] void ReportFreeOfUnknownBlock(void* block, const void* caller, const char* function);
// Checks and releases every held block: at the end of a simulation.
void DrainQuarantine();
void QuarantineReset();

}  // namespace km
