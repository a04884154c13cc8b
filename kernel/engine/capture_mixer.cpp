// The capture mixer: hands captured frames to its sink while attached.

#include "engine/capture_mixer.h"

#include "common/locks.h"
#include "common/trace.h"

namespace vq7 {

CaptureMixer::CaptureMixer() { KeInitializeSpinLock(&lock_); }

// PASSIVE_LEVEL.
NTSTATUS CaptureMixer::Attach(const DeviceStreamLayout& layout) {
    PAGED_CODE();
    if (sink_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    Detach();
    const ULONG frameBytes = layout.capture.FrameBytes();
    if (frameBytes == 0) {
        return STATUS_INVALID_DEVICE_STATE;  // the capture direction is not open
    }
    NTSTATUS status = sink_->Configure(layout.capture, layout.captureTransferBytes / frameBytes);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "capture sink refused the device format: 0x%08lx",
                  static_cast<ULONG>(status));
        return status;
    }
    InStackLock guard(lock_);
    attached_ = true;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. After the flag is cleared under the lock no delivery is
// inside the sink, so it may be unconfigured.
void CaptureMixer::Detach() {
    bool wasAttached;
    {
        InStackLock guard(lock_);
        wasAttached = attached_;
        attached_ = false;
    }
    if (wasAttached) {
        sink_->Unconfigure();
    }
}

bool CaptureMixer::IsAttached() const {
    InStackLock guard(lock_);
    return attached_;
}

// From the capture DPC (DISPATCH_LEVEL).
void CaptureMixer::Deliver(const UCHAR* buffer, ULONG frames) {
    bool delivered = false;
    {
        InStackLock guard(lock_);
        if (attached_) {
            sink_->Write(buffer, frames);
            delivered = true;
        }
    }
    if (delivered) {
        sink_->AfterWrite();
    }
}

}  // namespace vq7
