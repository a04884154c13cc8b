// TransferPipelines: render paced by capture. Before render starts (and
// after it recovers), the sizes of the first render transfers are
// collected from what capture delivers; from then on every capture
// transfer's deviation from its nominal size is accumulated and the next
// render transfers take it up, so that render sends exactly as many frames
// as capture brings, whatever the device clock does.

#include "engine/transfer_pipelines.h"

#include "common/locks.h"
#include "wavert/performance_parameters.h"

namespace vq7 {

namespace {

// Capture transfers that make up one render transfer.
ULONG CaptureTransfersPerRender() {
    const ULONG ratio = CaptureFramesPerTransfer != 0 ? PlaybackFramesPerTransfer / CaptureFramesPerTransfer : 0;
    return ratio != 0 ? ratio : 1;
}

LONG SignedFrames(ULONG bytes, ULONG nominalBytes, ULONG frameBytes) {
    return (static_cast<LONG>(bytes) - static_cast<LONG>(nominalBytes)) / static_cast<LONG>(frameBytes);
}

}  // namespace

// PASSIVE_LEVEL, the render thread. False when a stop came first; a
// capture stop ends render too.
bool TransferPipelines::SynchroniseWithCapture() {
    {
        InStackLock lock(renderFreeLock_);
        for (LIST_ENTRY* entry = renderFree_.Flink; entry != &renderFree_; entry = entry->Flink) {
            CONTAINING_RECORD(entry, TransferContext, link)->size = 0;
        }
    }
    {
        InStackLock lock(syncLock_);
        syncIndex_ = 0;
        syncTransfers_ = 0;
        syncCollecting_ = true;
        KeClearEvent(&engine_.implicitFeedbackSync);
    }
    DirectionObjects& render = engine_.Direction(false);
    PVOID objects[] = {&engine_.implicitFeedbackSync, &engine_.Direction(true).stop, &render.stop};
    const NTSTATUS seen = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    if (seen == STATUS_WAIT_1) {
        KeSetEvent(&render.stop, IO_NO_INCREMENT, FALSE);
    }
    InStackLock lock(syncLock_);
    syncCollecting_ = false;
    return seen == STATUS_WAIT_0;
}

// IRQL == DISPATCH_LEVEL, the capture DPC.
void TransferPipelines::CountCaptureForSync(ULONG length) {
    const DirectionObjects& capture = engine_.Direction(true);
    const DirectionObjects& render = engine_.Direction(false);
    if (capture.usbFormat.frameBytes == 0 || render.usbFormat.frameBytes == 0) {
        return;
    }
    // A transfer outside the paced bounds (the empty ones while the stream
    // starts) says nothing about the device clock: render would start short.
    LONG deviation = 0;
    if (!CaptureDeviation(length, &deviation)) {
        return;
    }
    InStackLockForDpc lock(syncLock_);
    if (!syncCollecting_ || syncIndex_ >= renderContextCount_) {
        return;
    }
    TransferContext* context = renderContexts_[syncIndex_];
    context->size += length / capture.usbFormat.frameBytes * render.usbFormat.frameBytes;
    if (++syncTransfers_ < CaptureTransfersPerRender()) {
        return;
    }
    syncTransfers_ = 0;
    if (++syncIndex_ < renderContextCount_) {
        return;
    }
    {
        InStackLockForDpc accumulator(accumulatorLock_);
        accumulator_ = SignedFrames(context->size, render.implicitFeedback.nominalBytes, render.usbFormat.frameBytes);
    }
    syncCollecting_ = false;
    KeSetEvent(&engine_.implicitFeedbackSync, IO_NO_INCREMENT, FALSE);
}

// IRQL <= DISPATCH_LEVEL. Deviations outside the paced bounds are not the
// clock's (a starting or broken stream).
bool TransferPipelines::CaptureDeviation(ULONG length, LONG* deviation) const {
    const DirectionObjects& capture = engine_.Direction(true);
    if (capture.usbFormat.frameBytes == 0) {
        return false;
    }
    const ImplicitFeedbackBounds& bounds = capture.implicitFeedback;
    *deviation = SignedFrames(length, bounds.nominalBytes, capture.usbFormat.frameBytes);
    return *deviation >= bounds.framesBelow && *deviation <= bounds.framesAbove;
}

// IRQL == DISPATCH_LEVEL, the capture DPC; deviations outside the bounds
// are left out.
void TransferPipelines::AccumulateCaptureDeviation(ULONG length) {
    LONG deviation = 0;
    if (!CaptureDeviation(length, &deviation)) {
        return;
    }
    InStackLockForDpc lock(accumulatorLock_);
    accumulator_ += deviation;
}

// IRQL == DISPATCH_LEVEL, under the render free list's lock.
LONG TransferPipelines::TakeAccumulatedDeviation() {
    const ImplicitFeedbackBounds& bounds = engine_.Direction(false).implicitFeedback;
    InStackLockForDpc lock(accumulatorLock_);
    LONG taken = accumulator_ < bounds.framesBelow ? bounds.framesBelow
                 : accumulator_ < bounds.framesAbove ? accumulator_
                                                     : bounds.framesAbove;
    accumulator_ -= taken;
    return taken;
}

}  // namespace vq7
