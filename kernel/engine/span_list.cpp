#include "engine/span_list.h"

namespace vq7 {

SpanList::SpanList(NPAGED_LOOKASIDE_LIST& lookaside) : lookaside_(lookaside) {
    KeInitializeSpinLock(&lock_);
    InitializeListHead(&spans_);
}

void SpanList::Append(PVOID address, LONG length) {
    if (address == nullptr || length <= 0) {
        return;
    }
    auto* span = static_cast<SpanRecord*>(ExAllocateFromNPagedLookasideList(&lookaside_));
    if (span == nullptr) {
        return;  // the stream's position still advances by what was moved
    }
    span->address = address;
    span->length = length;
    InStackLock guard(lock_);
    InsertTailList(&spans_, &span->link);
}

void SpanList::Flush() {
    InStackLock guard(lock_);
    while (!IsListEmpty(&spans_)) {
        ExFreeToNPagedLookasideList(&lookaside_, CONTAINING_RECORD(RemoveHeadList(&spans_), SpanRecord, link));
    }
}

bool SpanList::IsEmpty() {
    InStackLock guard(lock_);
    return IsListEmpty(&spans_) != FALSE;
}

}  // namespace vq7
