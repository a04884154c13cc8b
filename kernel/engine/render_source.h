// What a render mixer reads its client's audio from: the WaveRT stream's
// cyclic buffer, or the ASIO stream's output ring.
#pragma once

#include <ntddk.h>

#include "engine/audio_format.h"

namespace vq7 {

class RenderSource {
public:
    virtual ~RenderSource() = default;
    virtual AudioFormat Format() const = 0;
    // Up to `frames` frames into `destination`; returns the frames given.
    // IRQL <= DISPATCH_LEVEL, under the mixer's lock.
    virtual ULONG Read(UCHAR* destination, ULONG frames) = 0;
    // Whether the mixer mixes this source when capture arrives instead of at
    // render submission.
    virtual bool CapturePaced() const = 0;
    // Whether the source holds audio to start a capture-paced run with.
    virtual bool Primed() const = 0;
    // Attach and detach hooks of the mixer (PASSIVE_LEVEL), and the hook after
    // every Read (under the mixer's lock).
    virtual NTSTATUS OnAttach() = 0;
    virtual void AfterRead() = 0;
    virtual void OnDetach() = 0;
};

}  // namespace vq7
