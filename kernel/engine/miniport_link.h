// How the engine's WaveRT source and sink reach the miniport that the
// adapter has registered: with a reference, for one call sequence.
#pragma once

#include <ntddk.h>

#include "wavert/miniport_engine_sink.h"

namespace vq7 {

class MiniportLink {
public:
    // The registered miniport with a reference the caller releases, or
    // null. IRQL <= DISPATCH_LEVEL.
    virtual IMiniportEngineSink* ReferenceMiniport() = 0;

protected:
    ~MiniportLink() = default;
};

// A reference on the registered miniport for the guard's scope.
class MiniportReference {
public:
    explicit MiniportReference(MiniportLink& link) : sink_(link.ReferenceMiniport()) {}
    ~MiniportReference() {
        if (sink_ != nullptr) sink_->Release();
    }
    MiniportReference(const MiniportReference&) = delete;
    MiniportReference& operator=(const MiniportReference&) = delete;

    IMiniportEngineSink* operator->() const { return sink_; }
    explicit operator bool() const { return sink_ != nullptr; }

private:
    IMiniportEngineSink* sink_;
};

}  // namespace vq7
