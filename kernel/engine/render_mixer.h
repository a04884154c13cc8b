// A render mixer: converts one client's audio (its source) into the
// device's render format and adds it into render packets, either at the
// packet's submission or, for a capture-paced source, into packets already
// submitted, `lead` bytes ahead of the device's playback, as capture
// arrives. There are two, the ASIO one and the WaveRT one; each keeps its
// own list of the packets it has contributed to through its own link in
// the transfer context.
#pragma once

#include <ntddk.h>

#include "common/pool.h"
#include "engine/device_stream_layout.h"
#include "engine/render_source.h"
#include "engine/sample_converter.h"
#include "engine/transfer_context.h"

namespace vq7 {

class RenderMixer {
public:
    // `link` selects this mixer's link in a transfer context.
    explicit RenderMixer(LIST_ENTRY TransferContext::*link);
    ~RenderMixer();
    RenderMixer(const RenderMixer&) = delete;
    RenderMixer& operator=(const RenderMixer&) = delete;

    // The source it reads (Init binds it; the source outlives the mixer).
    void Bind(RenderSource* source) { source_ = source; }

    // PASSIVE_LEVEL. Attach sets up the converter from the source's format to
    // the layout's render format, allocates the conversion buffer and calls
    // the source's attach hook; a failure leaves it detached.
    [[nodiscard]] NTSTATUS Attach(const DeviceStreamLayout& layout);
    void Detach();
    void SetLatencyPercent(ULONG percent);

    // IRQL <= DISPATCH_LEVEL, from the render and capture paths.
    bool IsAttached() const;
    bool IsCapturePaced() const;
    // A render packet of `bytes` about to be submitted (non-capture-paced sources).
    void MixAtSubmission(UCHAR* packet, ULONG bytes);
    // Capture of `capturedBytes` arrived, ending at USB frame `endFrame`.
    void MixCaptured(ULONG capturedBytes, ULONG endFrame);
    // The oldest submitted packet completed, ending at USB frame `endFrame`.
    void PacketCompleted(ULONG endFrame);
    void AttachContext(TransferContext* context);
    void ClearList();
    void ResetLead(const DeviceStreamLayout& layout);

    // For tests and tools.
    LONG Lead() const { return lead_; }
    ULONG LatencyPercent() const { return latencyPercent_; }
    bool IsStarted() const { return started_; }

private:
    // The context a packet-list entry belongs to.
    TransferContext* ContextOf(PLIST_ENTRY entry) const;
    // Under the lock: the lead state of a fresh run for `layout`.
    void ResetLeadLocked(const DeviceStreamLayout& layout);
    // Under the lock: `frames` converted frames into the listed packets,
    // from `lead_` bytes after the start of the oldest one.
    void MixIntoListed(const UCHAR* frames, ULONG count);
    // Under the lock: begins a capture-paced run at the last completion.
    void StartAtLastCompletionLocked();
    // Under the lock: the one correction of a run's first delivery.
    void CorrectLeadOnce(ULONG endFrame);
    // Under the lock: reads up to `frames` frames of the source into the
    // conversion buffer; returns the frames given.
    ULONG ReadSource(ULONG frames);

    LIST_ENTRY TransferContext::*link_;
    SIZE_T linkOffset_;               // of `link_` inside a TransferContext
    mutable KSPIN_LOCK lock_;
    RenderSource* source_ = nullptr;  // not owned
    bool attached_ = false;
    bool capturePaced_ = false;       // copied from the source at attach
    bool started_ = false;            // a capture-paced run has begun
    bool leadCorrected_ = false;
    ULONG startFrame_ = 0;            // USB frame at which the run began
    bool completionSeen_ = false;     // since the packet list was last cleared
    ULONG lastCompletionFrame_ = 0;   // USB frame the last completed packet ended at
    ULONG latencyPercent_ = 0;        // 0-100
    LONG lead_ = 0;                   // bytes of the device's render format
    ULONG frameBytes_ = 0;            // of the device's render format
    ULONG rate_ = 0;
    ULONG captureFrameBytes_ = 0;
    SampleConverter converter_;
    PoolBuffer<UCHAR> conversion_;    // tag "USBA"
    ULONG conversionFrames_ = 0;      // source frames the buffer holds
    LIST_ENTRY packets_;              // submitted packets, oldest first
};

}  // namespace vq7
