// The handle's life and its read and write requests; the device I/O
// control requests are in asio_channel_requests.cpp.

#include "adapter/asio_channel_handle.h"

#include "adapter/adapter.h"
#include "common/locks.h"

NTSTATUS CAsioChannelHandle::Create() {
    state_ = Opened;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Unwinds whatever the handle holds, in the order it was
// taken, so that a client that dies (or closes without its own unwinding)
// leaves the device free for the next owner.
NTSTATUS CAsioChannelHandle::Cleanup(PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    PAGED_CODE();
    if (state_ == Opened || state_ == Closed) {
        return STATUS_SUCCESS;
    }
    vq7::MutexLock guard(adapter_->AsioChannelMutex());
    if (state_ == Running) {
        adapter_->AsioStop();
        state_ = Prepared;
    }
    if (state_ == Prepared) {
        adapter_->AsioUnprepare();
        state_ = Owner;
    }
    if (state_ == Owner) {
        adapter_->AsioClose();
    }
    state_ = Opened;
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::Close() {
    state_ = Closed;
    return STATUS_SUCCESS;
}

// Reads and writes are served by the running ASIO stream for any handle
// of the device; the handle's own state does not matter.
NTSTATUS CAsioChannelHandle::Read(PIRP irp) { return adapter_->Asio().QueueRead(irp); }

NTSTATUS CAsioChannelHandle::Write(PIRP irp) { return adapter_->Asio().QueueWrite(irp); }
