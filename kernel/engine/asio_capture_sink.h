// The ASIO capture sink: what the ASIO capture mixer hands captured audio
// to, the ASIO stream's input ring, in the device's format unchanged. Each
// delivery may complete the client's pending reads, which is done after
// the mixer released its lock.
#pragma once

#include <ntddk.h>

#include "common/pool.h"
#include "engine/asio_stream.h"
#include "engine/capture_sink.h"

namespace vq7 {

// A pool object, so that its deleting destructor frees to the pool.
class AsioCaptureSink final : public CaptureSink, public PoolObject<kPoolTagUsba> {
public:
    explicit AsioCaptureSink(AsioStream& stream) : stream_(stream) {}

    AudioFormat Format() const override { return stream_.InputFormat(); }
    ULONG Write(const UCHAR* source, ULONG frames) override;
    void AfterWrite() override { stream_.CompleteReads(); }
    // The device's frames are stored unchanged: nothing to set up.
    NTSTATUS Configure(const AudioFormat&, ULONG) override { return STATUS_SUCCESS; }
    void Unconfigure() override {}

private:
    AsioStream& stream_;
};

}  // namespace vq7
