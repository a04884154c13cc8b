// The pending rules. A dispatch routine that returns STATUS_PENDING must have
// marked its stack location with IoMarkIrpPending, and one that marked it
// must return STATUS_PENDING: the I/O manager and the drivers above decide
// from the returned status whether the IRP completes later, and from the
// mark whether its completion must be finished asynchronously. The mark is
// final only once the IRP's completion has passed the location (a completion
// routine may still set it), so each call is judged when it has both
// returned and been passed, whichever comes last. A completion routine that
// lets completion go on must carry PendingReturned up with IoMarkIrpPending.

#include <map>
#include <mutex>
#include <vector>

#include "irp_pending.h"
#include "verifier.h"

namespace km {

struct PendingFrame {
    PDRIVER_DISPATCH routine;
    bool returned = false;
    NTSTATUS status = STATUS_SUCCESS;
    bool passed = false;  // completion passed the stack location
    bool marked = false;  // its pending flag at that moment
    bool forgotten = false;
};

namespace {

std::mutex g_framesLock;
// Calls whose location completion has not passed yet, by location. A driver
// that skips its location shares it with the driver below.
std::multimap<const void*, PendingFrame*> g_frames;

std::string RoutineName(const void* routine) { return DescribeCodeAddress(static_cast<const char*>(routine) + 1); }

void Judge(const PendingFrame& frame) {
    if (frame.status == STATUS_PENDING && !frame.marked) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr,
             "the dispatch routine %s returned STATUS_PENDING without IoMarkIrpPending",
             RoutineName(reinterpret_cast<const void*>(frame.routine)).c_str());
    }
    if (frame.marked && frame.status != STATUS_PENDING) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr,
             "the dispatch routine %s marked the IRP pending and returned 0x%08X instead of STATUS_PENDING",
             RoutineName(reinterpret_cast<const void*>(frame.routine)).c_str(), static_cast<unsigned>(frame.status));
    }
}

// Under the lock: judges and deletes a frame nobody refers to any more.
void SettleLocked(PendingFrame* frame) {
    if (!frame->returned || !(frame->passed || frame->forgotten)) {
        return;
    }
    if (frame->passed) {
        Judge(*frame);
    }
    delete frame;
}

}  // namespace

DispatchCall BeginDispatch(PIO_STACK_LOCATION stack, PDRIVER_DISPATCH routine) {
    auto* frame = new PendingFrame;
    frame->routine = routine;
    {
        std::lock_guard<std::mutex> guard(g_framesLock);
        g_frames.emplace(stack, frame);
    }
    return DispatchCall{EnterRoutine(), routine, frame};
}

void EndDispatch(const DispatchCall& call, NTSTATUS status) {
    CheckRoutineExit(call.entry, reinterpret_cast<const void*>(call.routine), "dispatch routine");
    std::lock_guard<std::mutex> guard(g_framesLock);
    call.frame->returned = true;
    call.frame->status = status;
    SettleLocked(call.frame);
}

void NoteLocationCompleted(PIO_STACK_LOCATION stack) {
    bool marked = (stack->Control & SL_PENDING_RETURNED) != 0;
    std::lock_guard<std::mutex> guard(g_framesLock);
    auto range = g_frames.equal_range(stack);
    std::vector<PendingFrame*> frames;
    for (auto it = range.first; it != range.second; ++it) {
        frames.push_back(it->second);
    }
    g_frames.erase(range.first, range.second);
    for (PendingFrame* frame : frames) {
        frame->passed = true;
        frame->marked = marked;
        SettleLocked(frame);
    }
}

void CheckCompletionRoutineExit(const RoutineFrame& entry, PIO_COMPLETION_ROUTINE routine, PIRP irp,
                                NTSTATUS result) {
    CheckRoutineExit(entry, reinterpret_cast<const void*>(routine), "completion routine");
    if (result == STATUS_MORE_PROCESSING_REQUIRED || !irp->PendingReturned ||
        irp->CurrentLocation > irp->StackCount) {
        return;
    }
    if ((IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) == 0) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr,
             "the completion routine %s let completion go on with Irp->PendingReturned set but did not call "
             "IoMarkIrpPending",
             RoutineName(reinterpret_cast<const void*>(routine)).c_str());
    }
}

void ForgetDispatchCallsIn(const void* irp, size_t size) {
    std::lock_guard<std::mutex> guard(g_framesLock);
    const char* begin = static_cast<const char*>(irp);
    auto first = g_frames.lower_bound(begin);
    auto last = g_frames.lower_bound(begin + size);
    std::vector<PendingFrame*> frames;
    for (auto it = first; it != last; ++it) {
        frames.push_back(it->second);
    }
    g_frames.erase(first, last);
    for (PendingFrame* frame : frames) {
        frame->forgotten = true;
        SettleLocked(frame);
    }
}

}  // namespace km
