// A capture mixer: hands the frames of each completed capture transfer to
// one client's sink (the ASIO input ring or the WaveRT cyclic buffer).
#pragma once

#include <ntddk.h>

#include "engine/capture_sink.h"
#include "engine/device_stream_layout.h"

namespace vq7 {

class CaptureMixer {
public:
    CaptureMixer();
    CaptureMixer(const CaptureMixer&) = delete;
    CaptureMixer& operator=(const CaptureMixer&) = delete;

    void Bind(CaptureSink* sink) { sink_ = sink; }
    // PASSIVE_LEVEL: configures the sink for the layout's capture format.
    [[nodiscard]] NTSTATUS Attach(const DeviceStreamLayout& layout);
    void Detach();
    bool IsAttached() const;
    // From the capture DPC: `frames` frames of the device's capture format.
    void Deliver(const UCHAR* buffer, ULONG frames);

private:
    mutable KSPIN_LOCK lock_;
    CaptureSink* sink_ = nullptr;  // not owned
    bool attached_ = false;
};

}  // namespace vq7
