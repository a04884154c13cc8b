#include "engine/asio_capture_sink.h"

namespace vq7 {

// IRQL <= DISPATCH_LEVEL, under the capture mixer's lock. The ring refuses
// everything until the client armed its input.
ULONG AsioCaptureSink::Write(const UCHAR* source, ULONG frames) {
    AsioRing& ring = stream_.InputRing();
    const ULONG frameBytes = ring.FrameBytes();
    if (frameBytes == 0) {
        return 0;
    }
    return ring.Write(source, frames * frameBytes, false) / frameBytes;
}

}  // namespace vq7
