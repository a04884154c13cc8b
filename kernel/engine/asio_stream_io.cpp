// The ASIO stream's read and write requests: queueing with a cancel
// routine, completing reads from captured audio, duplex writes straight
// into the output ring, and the output thread that feeds an output-only
// stream's ring from its pending writes.

#include "engine/asio_stream.h"

#include "common/locks.h"
#include "common/pool.h"
#include "common/trace.h"

namespace vq7 {

namespace {

// Where a queued IRP keeps its system-space buffer.
PUCHAR& QueuedBuffer(PIRP irp) { return reinterpret_cast<PUCHAR&>(irp->Tail.Overlay.DriverContext[0]); }

PLIST_ENTRY LinkOf(PIRP irp) { return &irp->Tail.Overlay.ListEntry; }

PIRP IrpOf(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

ULONG RequestLength(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;
}

}  // namespace

// IRQL <= DISPATCH_LEVEL. Buffered devices hand the system buffer; direct
// ones an MDL, mapped once and reused.
PUCHAR AsioStream::BufferOf(PIRP irp, ULONG length) {
    if (length == 0) {
        return nullptr;
    }
    if (deviceObject_ != nullptr && (deviceObject_->Flags & DO_BUFFERED_IO) != 0) {
        return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    }
    if (irp->MdlAddress == nullptr) {
        return nullptr;
    }
    return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, MappingPriority()));
}

// Under the list lock. The standard cancel handshake: whoever clears the
// cancel routine first owns the IRP.
bool AsioStream::EnqueueLocked(PIRP irp) {
    IoMarkIrpPending(irp);
    irp->IoStatus.Information = 0;
    IoSetCancelRoutine(irp, CancelPending);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        return false;
    }
    InsertTailList(&pending_, LinkOf(irp));
    return true;
}

// Under the list lock. An IRP whose cancel routine already ran (or is
// about to) is left to it, off the list.
PIRP AsioStream::TakeHeadLocked() {
    while (!IsListEmpty(&pending_)) {
        PLIST_ENTRY entry = RemoveHeadList(&pending_);
        InitializeListHead(entry);  // the cancel routine's removal is then harmless
        PIRP irp = IrpOf(entry);
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            return irp;
        }
    }
    return nullptr;
}

bool AsioStream::PutBackLocked(PIRP irp) {
    IoSetCancelRoutine(irp, CancelPending);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        return false;
    }
    InsertHeadList(&pending_, LinkOf(irp));
    return true;
}

void AsioStream::DrainLocked(PLIST_ENTRY out) {
    while (PIRP irp = TakeHeadLocked()) {
        InsertTailList(out, LinkOf(irp));
    }
}

// IRQL <= DISPATCH_LEVEL, outside every lock.
void AsioStream::CompleteAll(PLIST_ENTRY irps, NTSTATUS status) {
    while (!IsListEmpty(irps)) {
        PIRP irp = IrpOf(RemoveHeadList(irps));
        irp->IoStatus.Status = status;
        if (status == STATUS_CANCELLED) {
            irp->IoStatus.Information = 0;
        }
        IoCompleteRequest(irp, IO_SOUND_INCREMENT);
    }
}

// Called with the cancel spin lock held, at DISPATCH_LEVEL.
VOID AsioStream::CancelPending(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<AsioStream*>(irp->Tail.Overlay.DriverContext[1]);
    {
        InStackLock guard(self->listLock_);
        RemoveEntryList(LinkOf(irp));
        InitializeListHead(LinkOf(irp));
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// PASSIVE_LEVEL, from any handle of the device.
NTSTATUS AsioStream::QueueRead(PIRP irp) { return QueueRequest(irp, true); }

NTSTATUS AsioStream::QueueWrite(PIRP irp) { return QueueRequest(irp, false); }

// PASSIVE_LEVEL. Reads wait for captured audio. A duplex write never
// waits: what does not fit becomes debt, so the client's timeline holds.
// An output-only write waits for the output thread to move it.
NTSTATUS AsioStream::QueueRequest(PIRP irp, bool read) {
    const ULONG length = RequestLength(irp);
    PUCHAR buffer = BufferOf(irp, length);
    if (length != 0 && buffer == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    bool queued;
    {
        InStackLock running(runningLock_);
        if (!running_) {
            return STATUS_UNSUCCESSFUL;
        }
        if (!(read ? HasInputRing() : HasOutputRing())) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        const bool duplexWrite = !read && HasInputRing();
        InStackLock list(listLock_);
        if ((read || duplexWrite) && streamError_ != 0) {
            return STATUS_REINITIALIZATION_NEEDED;
        }
        if (duplexWrite) {
            irp->IoStatus.Information = output_.Write(buffer, length, false);
            return STATUS_SUCCESS;
        }
        QueuedBuffer(irp) = buffer;
        irp->Tail.Overlay.DriverContext[1] = this;
        queued = EnqueueLocked(irp);
    }
    if (!queued) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    } else if (!read) {
        KeSetEvent(&writeAvailable_, IO_SOUND_INCREMENT, FALSE);
    }
    return STATUS_PENDING;
}

// IRQL <= DISPATCH_LEVEL, after captured audio went into the input ring
// (from the capture DPC). Each completed read is the client's signal for
// one period; the first of a run sets the position's origin and lets the
// output ring play.
void AsioStream::CompleteReads() {
    LIST_ENTRY done;
    InitializeListHead(&done);
    bool firstCompleted = false;
    {
        InStackLock guard(listLock_);
        for (;;) {
            if (IsListEmpty(&pending_) || !input_.Primed()) {
                break;
            }
            PIRP irp = TakeHeadLocked();
            if (irp == nullptr) {
                break;
            }
            const ULONG length = RequestLength(irp);
            const ULONG have = static_cast<ULONG>(irp->IoStatus.Information);
            PUCHAR buffer = QueuedBuffer(irp);
            const ULONG got = input_.Read(buffer != nullptr ? buffer + have : nullptr, length - have, true);
            irp->IoStatus.Information = have + got;
            if (have + got < length) {
                if (!PutBackLocked(irp)) {
                    irp->IoStatus.Information = 0;
                    InsertTailList(&done, LinkOf(irp));  // cancelled while served
                    irp->IoStatus.Status = STATUS_CANCELLED;
                }
                break;
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            InsertTailList(&done, LinkOf(irp));
            if (firstPeriod_ != 0) {
                firstPeriod_ = 0;
                firstPeriodTime_ = KeQueryPerformanceCounter(nullptr);
                firstCompleted = true;
            }
        }
    }
    if (firstCompleted && HasOutputRing() && !output_.Primed()) {
        output_.Prime();
    }
    while (!IsListEmpty(&done)) {
        PIRP irp = IrpOf(RemoveHeadList(&done));
        IoCompleteRequest(irp, IO_SOUND_INCREMENT);
    }
    if (HasOutputRing()) {
        AsioRing::Balance(input_, output_);
    }
}

// IRQL <= DISPATCH_LEVEL, after the render mixer read the output ring.
void AsioStream::Balance() {
    if (HasInputRing()) {
        AsioRing::Balance(input_, output_);
    } else {
        KeSetEvent(&writeAvailable_, IO_SOUND_INCREMENT, FALSE);
    }
}

// ---------------------------------------------------------------- the output thread

// PASSIVE_LEVEL.
NTSTATUS AsioStream::StartOutputThread() {
    PAGED_CODE();
    KeClearEvent(&outputStop_);
    KeClearEvent(&writeAvailable_);
    return outputThread_.Start(this);
}

// PASSIVE_LEVEL, never from the output thread.
void AsioStream::StopOutputThread() {
    if (!outputThread_.IsStarted()) {
        return;
    }
    KeSetEvent(&outputStop_, IO_NO_INCREMENT, FALSE);
    outputThread_.Stop();
}

// PASSIVE_LEVEL, the output thread at LOW_REALTIME_PRIORITY, so that the
// ring is refilled as soon as the device drained a packet's worth.
void AsioStream::Run() {
    // The DDK's inline KeGetCurrentThread reads the processor block through
    // gs, which GCC's bounds check takes for an access to an empty array.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
    PKTHREAD self = KeGetCurrentThread();
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    KeSetPriorityThread(self, LOW_REALTIME_PRIORITY);
    PVOID events[] = {&outputStop_, &writeAvailable_};
    for (;;) {
        NTSTATUS status = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (status != STATUS_WAIT_0 + 1) {
            return;  // the stop event, or a wait that cannot go on
        }
        MovePendingWrites();
    }
}

// PASSIVE_LEVEL, the output thread. The first write that does not fit
// whole means the ring is full: playback may begin.
void AsioStream::MovePendingWrites() {
    LIST_ENTRY done;
    InitializeListHead(&done);
    bool full = false;
    {
        InStackLock guard(listLock_);
        while (PIRP irp = TakeHeadLocked()) {
            const ULONG length = RequestLength(irp);
            const ULONG have = static_cast<ULONG>(irp->IoStatus.Information);
            PUCHAR buffer = QueuedBuffer(irp);
            const ULONG put = output_.Write(buffer != nullptr ? buffer + have : nullptr, length - have, true);
            irp->IoStatus.Information = have + put;
            if (have + put == length) {
                irp->IoStatus.Status = STATUS_SUCCESS;
                InsertTailList(&done, LinkOf(irp));
                continue;
            }
            if (!PutBackLocked(irp)) {
                irp->IoStatus.Status = STATUS_CANCELLED;
                irp->IoStatus.Information = 0;
                InsertTailList(&done, LinkOf(irp));
            }
            full = true;
            break;
        }
    }
    if (full && !output_.Primed()) {
        output_.Prime();
    }
    while (!IsListEmpty(&done)) {
        PIRP irp = IrpOf(RemoveHeadList(&done));
        IoCompleteRequest(irp, IO_SOUND_INCREMENT);
    }
}

}  // namespace vq7
