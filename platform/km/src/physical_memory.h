// Simulated physical memory: page frame numbers for pages allocated through
// MmAllocatePagesForMdl(Ex), so that an address bound such as "below 4 GB"
// means something. The pages' contents live in host memory; each frame
// number stands for one host page until it is freed.
#pragma once

#include <wdm.h>

namespace km {

// The simulated machine's memory: frames [kFirstFrame, kFrameLimit), 8 GB
// less the first megabyte, which firmware keeps.
constexpr PFN_NUMBER kFirstFrame = 0x100;
constexpr PFN_NUMBER kFrameLimit = 0x200000;

// Assigns frame numbers to the `pages` host pages starting at `host`, each
// within [lowest, highest]: the highest free frames first (so an allocation
// lands near its bound, as one might on a machine with memory to spare), in
// descending order unless `contiguous` asks for one ascending run. False
// when the range has too few free frames.
bool AssignFrames(char* host, SIZE_T pages, PFN_NUMBER lowest, PFN_NUMBER highest, bool contiguous,
                  PPFN_NUMBER frames);
void ReleaseFrames(const PFN_NUMBER* frames, SIZE_T pages);

// The host page a simulated frame stands for, or null when `frame` is not
// one (an MDL built for pool names its host pages directly).
char* HostPageOfFrame(PFN_NUMBER frame);

// Where an MDL's described bytes live in host memory: what a mapping of its
// pages into a client's address space shows (mdl.cpp).
char* HostAddressOfMdl(PMDL mdl);

void PhysicalMemoryReset();

}  // namespace km
