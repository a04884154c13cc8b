// A render mixer: converts one client's audio (its source) into the
// device's render format and adds it into render packets, either at the
// packet's submission or, for a capture-paced source, into packets already
// submitted, `lead` bytes ahead of the device's playback, as capture
// arrives. There are two, the ASIO one and the WaveRT one; each keeps its
// own list of the packets it has contributed to through its own link in
// the transfer context.
#pragma once

#include <ntddk.h>

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

private:
    // Members are the mixers' own business; see render_mixer.cpp.
    LIST_ENTRY TransferContext::*link_;
    RenderSource* source_ = nullptr;
    LONG lead_ = 0;
};

}  // namespace vq7
