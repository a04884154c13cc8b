// Control of the stand-in's driver checker, for tests. The checks themselves
// are always on; this header chooses which allocations fail and reads what
// is outstanding.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>

namespace kmsim {

// Makes allocations fail so that every failure path can be exercised. The
// choices add up; ClearAllocationFailures ends them. They apply to pool,
// lookaside misses, MDLs, IRPs, work items and system threads alike.
void FailNthAllocation(uint64_t n);         // the n-th allocation from now (1 = the next one)
void FailAllocationsWithTag(ULONG tag);     // every allocation with this pool tag
void FailRandomAllocations(uint64_t seed, uint32_t perMille);
void ClearAllocationFailures();
uint64_t FailedAllocationCount();

// Pool blocks currently allocated with this tag (0: with any tag).
uint64_t OutstandingAllocations(ULONG tag = 0);
uint64_t OutstandingBytes(ULONG tag = 0);

// What teardown would report: allocations per tag, open handles, referenced
// objects, running threads and set timers. Empty when clean.
std::string LeakReport();

// "USBA" for 0x41425355: a pool tag as the four characters it is written as.
std::string TagText(ULONG tag);

// Builds a pool tag from its four characters ("USBA" -> 0x41425355).
constexpr ULONG PoolTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

}  // namespace kmsim
