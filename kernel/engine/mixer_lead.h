// How far ahead of the device's playback a capture-paced render mixer
// writes: the lead, in bytes of the device's render format. It starts at a
// floor that covers the capture transfer in flight and grows towards a
// ceiling below the render queue with the latency percent, so that render
// audio follows capture by a few milliseconds instead of by the whole queue.
#pragma once

#include <ntddk.h>

namespace vq7 {

// The playback lead a client asked for, in frames; 0 leaves the lead to
// the formula. Process-wide: set by the ASIO channel's request, read when a
// render mixer is attached or its lead reset.
extern volatile LONG PlaybackLeadOverride_frames;

struct LeadInputs {
    ULONG frameBytes;    // of the device's render format
    ULONG rate;          // frames per second
    ULONG latencyPercent;  // 0-100: 0 the floor, 100 the ceiling
    bool classOne;       // a USB Audio Class 1.0 device, which needs more room
    ULONG playbackFramesPerTransfer;
    ULONG playbackTransfersInFlight;
    ULONG captureFramesPerTransfer;
    ULONG overrideFrames;  // 0: none
};

// The ceiling in milliseconds: what the render queue holds beyond the
// packet being played and two capture transfers, at most 16 ms.
LONG MaximumLead_ms(const LeadInputs& inputs);

// The lead in bytes, a whole number of frames. Any IRQL.
LONG ComputeLead(const LeadInputs& inputs);

// What the lead grows by when the first capture after the start ended
// `elapsedUsbFrames` USB frames after the render packet that started the
// run: the frames of that many milliseconds, rounded to the nearest frame
// (one capture transfer's when it is one transfer late), in bytes. Any IRQL.
LONG LeadCorrection(ULONG frameBytes, ULONG rate, ULONG elapsedUsbFrames);

// The latency percent a buffer of `bufferBytes` stands for: its duration
// in milliseconds, at most 100. Any IRQL.
ULONG BufferLatencyPercent(ULONG bufferBytes, ULONG frameBytes, ULONG rate);

// The inputs for the driver's current transfer sizing and override.
LeadInputs CurrentLeadInputs(ULONG frameBytes, ULONG rate, ULONG latencyPercent, bool classOne);

}  // namespace vq7
