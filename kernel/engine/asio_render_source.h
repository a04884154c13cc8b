// The ASIO render source: what the ASIO render mixer reads, the ASIO
// stream's output ring. A duplex stream reads whole requests (a short ring
// becomes debt, so capture keeps pacing render exactly); an output-only
// stream reads what the ring holds and has the output thread refill it.
#pragma once

#include <ntddk.h>

#include "common/pool.h"
#include "engine/asio_stream.h"
#include "engine/render_source.h"

namespace vq7 {

// A pool object, so that its deleting destructor frees to the pool.
class AsioRenderSource final : public RenderSource, public PoolObject<kPoolTagUsba> {
public:
    explicit AsioRenderSource(AsioStream& stream) : stream_(stream) {}

    AudioFormat Format() const override { return stream_.OutputFormat(); }
    ULONG Read(UCHAR* destination, ULONG frames) override;
    // Capture paces render whenever the stream also captures.
    bool CapturePaced() const override { return stream_.HasInputRing(); }
    bool Primed() const override { return stream_.OutputRing().Primed(); }
    NTSTATUS OnAttach() override { return STATUS_SUCCESS; }
    void AfterRead() override { stream_.Balance(); }
    void OnDetach() override {}

private:
    AsioStream& stream_;
};

}  // namespace vq7
