// The spans of a WaveRT stream's cyclic buffer that the stream queued for
// one direction, oldest first. The miniport appends from its transfer path
// at any time; the WaveRT source or sink consumes them in order, each span
// freed once used up. Every walk and every free happens under the list's
// spin lock.
#pragma once

#include <ntddk.h>

#include "common/locks.h"
#include "engine/engine_state.h"

namespace vq7 {

class SpanList {
public:
    // Entries come from `lookaside`, which must be initialised before the
    // first Append and outlive the list.
    explicit SpanList(NPAGED_LOOKASIDE_LIST& lookaside);
    ~SpanList() { Flush(); }
    SpanList(const SpanList&) = delete;
    SpanList& operator=(const SpanList&) = delete;

    // Appends a span; dropped when no entry can be allocated or the span is
    // empty. IRQL <= DISPATCH_LEVEL.
    void Append(PVOID address, LONG length);
    // Frees every span. IRQL <= DISPATCH_LEVEL.
    void Flush();
    bool IsEmpty();

    // Walks the spans in order for up to `bytes` bytes under the lock,
    // calling `portion(address, length)` for each piece and freeing every
    // span it uses up; returns the bytes walked (fewer when the list runs
    // out). IRQL <= DISPATCH_LEVEL.
    template <typename Portion>
    ULONG Consume(ULONG bytes, Portion&& portion) {
        InStackLock guard(lock_);
        ULONG walked = 0;
        while (walked < bytes && !IsListEmpty(&spans_)) {
            SpanRecord* span = CONTAINING_RECORD(spans_.Flink, SpanRecord, link);
            const ULONG left = static_cast<ULONG>(span->length);
            const ULONG piece = left < bytes - walked ? left : bytes - walked;
            portion(static_cast<UCHAR*>(span->address), piece);
            walked += piece;
            span->address = static_cast<UCHAR*>(span->address) + piece;
            span->length -= static_cast<LONG>(piece);
            if (span->length == 0) {
                RemoveHeadList(&spans_);
                ExFreeToNPagedLookasideList(&lookaside_, span);
            }
        }
        return walked;
    }

private:
    KSPIN_LOCK lock_;
    LIST_ENTRY spans_;
    NPAGED_LOOKASIDE_LIST& lookaside_;
};

}  // namespace vq7
