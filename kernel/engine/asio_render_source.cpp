#include "engine/asio_render_source.h"

namespace vq7 {

// IRQL <= DISPATCH_LEVEL, under the render mixer's lock.
ULONG AsioRenderSource::Read(UCHAR* destination, ULONG frames) {
    AsioRing& ring = stream_.OutputRing();
    const ULONG frameBytes = ring.FrameBytes();
    if (frameBytes == 0) {
        return 0;
    }
    const bool partial = !stream_.HasInputRing();
    return ring.Read(destination, frames * frameBytes, partial) / frameBytes;
}

}  // namespace vq7
