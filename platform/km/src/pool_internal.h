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

}  // namespace km
