// What the WaveRT miniport asks of one of its streams on the streaming
// engine's behalf. The stream object implements it; the miniport reaches
// it only while the direction's gate lets it in. IRQL <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>
#include <ksmedia.h>

namespace vq7 {

class WaveRtEngineStream {
public:
    // The stream's run gate: open while the stream runs.
    virtual bool TryEnterRun() = 0;
    virtual void LeaveRun() = 0;
    virtual ULONG BitsPerSample() const = 0;
    virtual void AdvancePosition(ULONG bytes) = 0;
    // Hands the engine the spans of the cyclic buffer for the next `bytes`.
    virtual void TransferData(ULONG bytes) = 0;
    virtual NTSTATUS GetPosition(PKSAUDIO_POSITION position) = 0;

protected:
    ~WaveRtEngineStream() = default;  // never deleted through this face
};

}  // namespace vq7
