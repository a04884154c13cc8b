// The simulated machine's page frames: which are in use and which host page
// each stands for.

#include "physical_memory.h"

#include "kmsim/physical_memory.h"

#include <map>
#include <mutex>

namespace km {

namespace {

std::mutex g_framesLock;
std::map<PFN_NUMBER, char*> g_frames;  // frames in use and their host pages

// Under g_framesLock. The highest run of `count` free frames that ends at or
// below `highest` and starts at or above `lowest`; 0 when there is none.
PFN_NUMBER HighestFreeRun(PFN_NUMBER lowest, PFN_NUMBER highest, SIZE_T count) {
    PFN_NUMBER end = highest + 1;  // one past the run
    while (end >= lowest + count) {
        PFN_NUMBER start = end - count;
        auto used = g_frames.lower_bound(start);
        if (used == g_frames.end() || used->first >= end) {
            return start;
        }
        // Skip below the highest used frame inside the candidate run.
        auto last = g_frames.lower_bound(end);
        --last;
        end = last->first;
    }
    return 0;
}

}  // namespace

bool AssignFrames(char* host, SIZE_T pages, PFN_NUMBER lowest, PFN_NUMBER highest, bool contiguous,
                  PPFN_NUMBER frames) {
    if (lowest < kFirstFrame) lowest = kFirstFrame;
    if (highest >= kFrameLimit) highest = kFrameLimit - 1;
    if (pages == 0 || highest < lowest) {
        return false;
    }
    std::lock_guard<std::mutex> guard(g_framesLock);
    if (contiguous) {
        PFN_NUMBER start = HighestFreeRun(lowest, highest, pages);
        if (start == 0) {
            return false;
        }
        for (SIZE_T i = 0; i < pages; ++i) {
            frames[i] = start + i;
        }
    } else {
        SIZE_T found = 0;
        for (PFN_NUMBER frame = highest; found < pages && frame >= lowest; --frame) {
            if (g_frames.count(frame) == 0) {
                frames[found++] = frame;
            }
        }
        if (found < pages) {
            return false;
        }
    }
    for (SIZE_T i = 0; i < pages; ++i) {
        g_frames[frames[i]] = host + i * PAGE_SIZE;
    }
    return true;
}

void ReleaseFrames(const PFN_NUMBER* frames, SIZE_T pages) {
    std::lock_guard<std::mutex> guard(g_framesLock);
    for (SIZE_T i = 0; i < pages; ++i) {
        g_frames.erase(frames[i]);
    }
}

char* HostPageOfFrame(PFN_NUMBER frame) {
    std::lock_guard<std::mutex> guard(g_framesLock);
    auto found = g_frames.find(frame);
    return found != g_frames.end() ? found->second : nullptr;
}

void PhysicalMemoryReset() {
    std::lock_guard<std::mutex> guard(g_framesLock);
    g_frames.clear();
}

}  // namespace km

ULONGLONG kmsim::PhysicalAddressOf(const void* host) {
    const char* page = static_cast<const char*>(PAGE_ALIGN(host));
    std::lock_guard<std::mutex> guard(km::g_framesLock);
    for (const auto& [frame, hostPage] : km::g_frames) {
        if (hostPage == page) {
            return (static_cast<ULONGLONG>(frame) << PAGE_SHIFT) + BYTE_OFFSET(host);
        }
    }
    return 0;
}
