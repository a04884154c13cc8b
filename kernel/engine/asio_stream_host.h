// What the ASIO stream asks of the adapter that owns it: the directions it
// streams on, the device streams its mixers are attached for, and the
// channel's formats.
#pragma once

#include <ntddk.h>

#include "asio_channel.h"
#include "engine/device_stream_layout.h"

namespace vq7 {

class AsioStreamHost {
public:
    // One use of a direction, as a WaveRT stream takes one. PASSIVE_LEVEL.
    virtual NTSTATUS StartDirection(bool capture) = 0;
    virtual NTSTATUS StopDirection(bool capture) = 0;
    // The opened device streams as the mixers see them. IRQL <= DISPATCH_LEVEL.
    virtual DeviceStreamLayout StreamLayout() const = 0;
    // Fills `info` for its FormatTag at the rate the channel streams at (the
    // device sample rate, or the requested rate on a device without one).
    // PASSIVE_LEVEL.
    virtual NTSTATUS AsioStreamFormat(ASIO_FORMAT_INFO* info) = 0;

protected:
    ~AsioStreamHost() = default;
};

}  // namespace vq7
