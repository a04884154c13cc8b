// What a capture mixer hands captured audio to: the WaveRT stream's cyclic
// buffer, or the ASIO stream's input ring.
#pragma once

#include <ntddk.h>

#include "engine/audio_format.h"

namespace vq7 {

class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    virtual AudioFormat Format() const = 0;
    // `frames` frames of the device's capture format; returns the frames
    // taken. IRQL <= DISPATCH_LEVEL, under the mixer's lock.
    virtual ULONG Write(const UCHAR* source, ULONG frames) = 0;
    // After each Write, once the mixer released its lock, so that a sink
    // may complete requests there; it may overlap Unconfigure.
    // IRQL <= DISPATCH_LEVEL.
    virtual void AfterWrite() {}
    // Set up for transfers of `transferFrames` frames of `deviceFormat`
    // (PASSIVE_LEVEL); undone by Unconfigure.
    virtual NTSTATUS Configure(const AudioFormat& deviceFormat, ULONG transferFrames) = 0;
    virtual void Unconfigure() = 0;
};

}  // namespace vq7
