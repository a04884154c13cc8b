// What the transfer pipelines ask of the adapter that runs them.
#pragma once

#include <ntddk.h>

#include "engine/device_stream_layout.h"

namespace vq7 {

class PipelineHost {
public:
    // A transfer finished with `status`; a device-gone status marks the
    // device failed. IRQL <= DISPATCH_LEVEL.
    virtual void NoteTransferStatus(NTSTATUS status) = 0;
    // Ends the ASIO stream with a stream error: its pending reads and writes
    // are cancelled. IRQL <= DISPATCH_LEVEL.
    virtual void FailAsioStream() = 0;
    // The opened device streams as the mixers see them. IRQL <= DISPATCH_LEVEL.
    virtual DeviceStreamLayout StreamLayout() const = 0;
    // Whether the WaveRT render span list holds a span. IRQL <= DISPATCH_LEVEL.
    virtual bool RenderSpansQueued() = 0;

protected:
    ~PipelineHost() = default;
};

}  // namespace vq7
