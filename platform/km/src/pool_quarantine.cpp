// The quarantine of freed pool. A freed block is not handed back to the host
// at once: it is filled with a poison pattern and held, oldest first, until
// the quarantine is over its budget or the simulation ends. When a block
// leaves, the pattern must be intact; a changed byte is a write after free,
// reported with the caller that freed the block. While a block is held its
// address cannot be reused, so a second free of it is reported as a double
// free, again with the first freeing caller, instead of silently freeing
// whatever was allocated there next.
//
// The same quarantine runs in every build. Under AddressSanitizer the host's
// allocator adds its own checks once a block has left this quarantine.

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "kmsim/verifier.h"
#include "pool_internal.h"
#include "verifier.h"

namespace km {

namespace {

constexpr UCHAR kFreedFill = 0xDD;
constexpr size_t kMaximumBlocks = 4096;
constexpr size_t kMaximumBytes = 64u << 20;

struct FreedBlock {
    void* block;
    size_t size;
    ULONG tag;
    const void* freedBy;
};

struct QuarantineState {
    std::mutex lock;
    std::deque<FreedBlock> fifo;
    std::unordered_map<void*, FreedBlock> held;
    size_t bytes = 0;
};

QuarantineState& State() {
    static QuarantineState state;
    return state;
}

// The first byte that differs from the poison pattern, or size. Every block
// leaving the quarantine is checked, so the bytes are compared a page at a
// time against a page of the pattern, and only a page that differs is
// searched byte by byte.
size_t FirstChangedByte(const FreedBlock& freed) {
    static const std::array<UCHAR, 4096> kPoisonPage = [] {
        std::array<UCHAR, 4096> page;
        page.fill(kFreedFill);
        return page;
    }();
    const auto* bytes = static_cast<const UCHAR*>(freed.block);
    for (size_t at = 0; at < freed.size; at += kPoisonPage.size()) {
        const size_t chunk = std::min(kPoisonPage.size(), freed.size - at);
        if (memcmp(bytes + at, kPoisonPage.data(), chunk) == 0) {
            continue;
        }
        for (size_t i = at; i < at + chunk; ++i) {
            if (bytes[i] != kFreedFill) {
                return i;
            }
        }
    }
    return freed.size;
}

void Release(const FreedBlock& freed) {
    size_t changed = FirstChangedByte(freed);
    if (changed != freed.size) {
        Stop(0xC1 /* SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION */, freed.freedBy,
             "pool block at %p (tag \"%s\", %zu bytes) was written after it was freed: byte %zu is 0x%02X; "
             "the caller shown freed it",
             freed.block, kmsim::TagText(freed.tag).c_str(), freed.size, changed,
             static_cast<const UCHAR*>(freed.block)[changed]);
    }
    free(freed.block);
}

void EvictOldestLocked(QuarantineState& state) {
    FreedBlock oldest = state.fifo.front();
    state.fifo.pop_front();
    state.held.erase(oldest.block);
    state.bytes -= oldest.size;
    Release(oldest);
}

}  // namespace

void Quarantine(void* block, size_t size, ULONG tag, const void* freedBy) {
    memset(block, kFreedFill, size);
    QuarantineState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    FreedBlock freed{block, size, tag, freedBy};
    state.fifo.push_back(freed);
    state.held[block] = freed;
    state.bytes += size;
    while (state.fifo.size() > kMaximumBlocks || state.bytes > kMaximumBytes) {
        EvictOldestLocked(state);
    }
}

void ReportFreeOfUnknownBlock(void* block, const void* caller, const char* function) {
    QuarantineState& state = State();
    std::string freedBy;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        auto found = state.held.find(block);
        if (found != state.held.end()) {
            freedBy = DescribeCodeAddress(found->second.freedBy);
        }
    }
    if (!freedBy.empty()) {
        Stop(BAD_POOL_CALLER, caller, "%s of %p, which was freed already (freed twice; first freed by %s)", function,
             block, freedBy.c_str());
    }
    Stop(BAD_POOL_CALLER, caller, "%s of %p, which is not a pool block", function, block);
}

void DrainQuarantine() {
    QuarantineState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    while (!state.fifo.empty()) {
        EvictOldestLocked(state);
    }
}

void QuarantineReset() {
    QuarantineState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    for (const FreedBlock& freed : state.fifo) {
        free(freed.block);
    }
    state.fifo.clear();
    state.held.clear();
    state.bytes = 0;
}

}  // namespace km
