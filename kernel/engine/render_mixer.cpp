// The render mixer: converter and conversion buffer, the lead, the list of
// submitted packets and the two ways of mixing into them.

#include "engine/render_mixer.h"

#include "common/locks.h"
#include "common/trace.h"
#include "engine/mixer_lead.h"
#include "wavert/performance_parameters.h"

namespace vq7 {

namespace {

// Where `link` sits inside a transfer context.
SIZE_T OffsetOfLink(LIST_ENTRY TransferContext::*link) {
    TransferContext probe = {};
    return static_cast<SIZE_T>(reinterpret_cast<UCHAR*>(&(probe.*link)) - reinterpret_cast<UCHAR*>(&probe));
}

// A list entry that belongs to no list points at itself.
void Unlink(PLIST_ENTRY entry) { InitializeListHead(entry); }

}  // namespace

RenderMixer::RenderMixer(LIST_ENTRY TransferContext::*link) : link_(link), linkOffset_(OffsetOfLink(link)) {
    KeInitializeSpinLock(&lock_);
    InitializeListHead(&packets_);
}

RenderMixer::~RenderMixer() { Detach(); }

TransferContext* RenderMixer::ContextOf(PLIST_ENTRY entry) const {
    return reinterpret_cast<TransferContext*>(reinterpret_cast<UCHAR*>(entry) - linkOffset_);
}

void RenderMixer::ResetLeadLocked(const DeviceStreamLayout& layout) {
    started_ = false;
    leadCorrected_ = false;
    startFrame_ = 0;
    frameBytes_ = layout.render.FrameBytes();
    rate_ = layout.render.sampleRate;
    captureFrameBytes_ = layout.capture.FrameBytes();
    lead_ = ComputeLead(CurrentLeadInputs(frameBytes_, rate_, latencyPercent_, layout.classOne));
}

// IRQL <= DISPATCH_LEVEL.
void RenderMixer::ResetLead(const DeviceStreamLayout& layout) {
    InStackLock guard(lock_);
    ResetLeadLocked(layout);
}

// PASSIVE_LEVEL.
void RenderMixer::SetLatencyPercent(ULONG percent) {
    InStackLock guard(lock_);
    latencyPercent_ = percent < 100 ? percent : 100;
}

// PASSIVE_LEVEL. The first failing step ends the attach and leaves the
// mixer detached; the source's detach hook runs only after its attach hook
// succeeded.
NTSTATUS RenderMixer::Attach(const DeviceStreamLayout& layout) {
    PAGED_CODE();
    if (source_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    Detach();
    const AudioFormat sourceFormat = source_->Format();
    const bool paced = source_->CapturePaced();
    SampleConverter converter;
    NTSTATUS status = converter.SetUp(sourceFormat, layout.render);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "render mixer: no conversion to the device format: 0x%08lx",
                  static_cast<ULONG>(status));
        return status;
    }
    // A packet's worth of source frames: what one capture transfer paces, or
    // what one render transfer holds.
    const ULONG packetBytes = paced ? layout.captureTransferBytes : layout.renderTransferBytes;
    const ULONG packetFrameBytes = paced ? layout.capture.FrameBytes() : layout.render.FrameBytes();
    if (packetFrameBytes == 0 || packetBytes < packetFrameBytes) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONG frames = packetBytes / packetFrameBytes;
    PoolBuffer<UCHAR> buffer;
    if (!buffer.Allocate(static_cast<SIZE_T>(frames) * sourceFormat.FrameBytes(), kPoolTagUsba)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    {
        InStackLock guard(lock_);
        ResetLeadLocked(layout);
        converter_ = converter;
        conversion_ = static_cast<PoolBuffer<UCHAR>&&>(buffer);
        conversionFrames_ = frames;
    }
    status = source_->OnAttach();
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "render source refused the attach: 0x%08lx",
                  static_cast<ULONG>(status));
        InStackLock guard(lock_);
        converter_.Clear();
        buffer = static_cast<PoolBuffer<UCHAR>&&>(conversion_);
        conversionFrames_ = 0;
        return status;  // the buffer is freed outside the lock
    }
    InStackLock guard(lock_);
    capturePaced_ = paced;
    attached_ = true;
    StartAtLastCompletionLocked();
    return STATUS_SUCCESS;
}

// Under the lock. A capture-paced run needs to know where the oldest listed
// packet began: the end of the last completion, when one was seen since the
// list was last cleared. The run then begins at once, before the source has
// anything; otherwise it begins at the next completion.
void RenderMixer::StartAtLastCompletionLocked() {
    if (attached_ && capturePaced_ && !started_ && completionSeen_) {
        started_ = true;
        startFrame_ = lastCompletionFrame_;
    }
}

// PASSIVE_LEVEL.
void RenderMixer::Detach() {
    PoolBuffer<UCHAR> released;
    bool wasAttached;
    {
        InStackLock guard(lock_);
        wasAttached = attached_;
        attached_ = false;
        started_ = false;
        leadCorrected_ = false;
        startFrame_ = 0;
        lead_ = 0;
        converter_.Clear();
        released = static_cast<PoolBuffer<UCHAR>&&>(conversion_);
        conversionFrames_ = 0;
    }
    if (wasAttached && source_ != nullptr) {
        source_->OnDetach();
    }
}

bool RenderMixer::IsAttached() const {
    InStackLock guard(lock_);
    return attached_;
}

bool RenderMixer::IsCapturePaced() const {
    InStackLock guard(lock_);
    return capturePaced_;
}

ULONG RenderMixer::ReadSource(ULONG frames) {
    if (frames == 0) {
        return 0;
    }
    ULONG given = source_->Read(conversion_.get(), frames);
    return given < frames ? given : frames;
}

// Under the render free list's lock (DISPATCH_LEVEL). A packet larger than
// the conversion buffer is filled in buffer-sized steps.
void RenderMixer::MixAtSubmission(UCHAR* packet, ULONG bytes) {
    InStackLock guard(lock_);
    if (!attached_ || capturePaced_ || frameBytes_ == 0) {
        return;
    }
    ULONG frames = bytes / frameBytes_;
    for (;;) {
        const ULONG asked = frames < conversionFrames_ ? frames : conversionFrames_;
        const ULONG given = ReadSource(asked);
        converter_.Mix(packet, conversion_.get(), given);
        source_->AfterRead();
        frames -= given;
        if (given < asked || frames == 0) {
            return;  // the source ran short, or the packet is full
        }
        packet += static_cast<SIZE_T>(given) * frameBytes_;
    }
}

void RenderMixer::MixIntoListed(const UCHAR* frames, ULONG count) {
    if (lead_ < 0) {
        return;
    }
    ULONG offset = static_cast<ULONG>(lead_);
    for (PLIST_ENTRY entry = packets_.Flink; entry != &packets_ && count > 0; entry = entry->Flink) {
        TransferContext* context = ContextOf(entry);
        if (offset >= context->size) {
            offset -= context->size;  // the lead lies beyond this packet
            continue;
        }
        ULONG room = (context->size - offset) / frameBytes_;
        ULONG mixed = room < count ? room : count;
        converter_.Mix(static_cast<UCHAR*>(context->buffer) + offset, frames, mixed);
        frames += static_cast<SIZE_T>(mixed) * converter_.SourceStride();
        count -= mixed;
        offset = 0;
    }
}

// Under the lock, at the run's first delivery: the lead counts from the
// start of the oldest packet, which began at the run's start frame; a
// capture that ended frames later than that arrived as many frames late.
void RenderMixer::CorrectLeadOnce(ULONG endFrame) {
    if (!leadCorrected_) {
        const ULONG elapsed_frames = endFrame - startFrame_;  // USB frame numbers wrap
        if (elapsed_frames != 0) {
            lead_ += LeadCorrection(frameBytes_, rate_, elapsed_frames);
        }
        leadCorrected_ = true;
    }
}

// From the capture DPC (DISPATCH_LEVEL).
void RenderMixer::MixCaptured(ULONG capturedBytes, ULONG endFrame) {
    InStackLock guard(lock_);
    if (!attached_ || !capturePaced_ || captureFrameBytes_ == 0 || frameBytes_ == 0) {
        return;
    }
    ULONG frames = capturedBytes / captureFrameBytes_;
    if (started_) {
        CorrectLeadOnce(endFrame);
    }
    if (!source_->Primed()) {
        // Nothing to play yet, and nothing is taken from the source: the
        // packets keep their silence while the write position moves on with
        // the captured time, so that the source's first frame lands where a
        // frame read at this delivery belongs, and none is read and dropped
        // before the run has begun.
        if (started_) {
            lead_ += static_cast<LONG>(frames * frameBytes_);
        }
        return;
    }
    for (;;) {
        const ULONG asked = frames < conversionFrames_ ? frames : conversionFrames_;
        const ULONG given = ReadSource(asked);
        if (started_) {
            MixIntoListed(conversion_.get(), given);
            lead_ += static_cast<LONG>(given * frameBytes_);
        }
        source_->AfterRead();
        frames -= given;
        if (given < asked || frames == 0) {
            return;
        }
    }
}

// From the render DPC (DISPATCH_LEVEL).
void RenderMixer::PacketCompleted(ULONG endFrame) {
    InStackLock guard(lock_);
    if (!IsListEmpty(&packets_)) {
        PLIST_ENTRY entry = RemoveHeadList(&packets_);
        Unlink(entry);
        if (started_) {
            lead_ -= static_cast<LONG>(ContextOf(entry)->size);
            if (lead_ < 0) {
                VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "render lead fell behind playback: %ld", lead_);
            }
        }
    }
    lastCompletionFrame_ = endFrame;
    completionSeen_ = true;
    StartAtLastCompletionLocked();
}

// Under the render free list's lock. The context must not be on this
// mixer's list already.
void RenderMixer::AttachContext(TransferContext* context) {
    InStackLock guard(lock_);
    InsertTailList(&packets_, &(context->*link_));
}

// IRQL <= DISPATCH_LEVEL.
void RenderMixer::ClearList() {
    InStackLock guard(lock_);
    while (!IsListEmpty(&packets_)) {
        Unlink(RemoveHeadList(&packets_));
    }
    completionSeen_ = false;  // the next listed packet's start is unknown until it completes
}

}  // namespace vq7
