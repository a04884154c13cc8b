// The position a WaveRT stream reports, in bytes of its cyclic buffer, and
// the points at which it tells its sink: the half of the buffer and the wrap.
// The engine moves it (Advance) after it moved the bytes; PortCls's state
// changes run and pause it. Every operation holds one in-stack queued spin
// lock, and the sink's Notify runs under it. IRQL <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

namespace vq7 {

class NotificationSink {
public:
    enum Kind : ULONG { kHalf = 1, kWrap = 2 };
    // Runs under the tracker's spin lock: signals without waiting.
    virtual void Notify(ULONG kind, ULONG position) = 0;

protected:
    ~NotificationSink() = default;  // never deleted through this face
};

class PositionTracker {
public:
    PositionTracker();
    PositionTracker(const PositionTracker&) = delete;
    PositionTracker& operator=(const PositionTracker&) = delete;

    // Stores the three, then Reset and Pause.
    void Init(NotificationSink* sink, bool capture, ULONG bufferBytes);
    // Back to the buffer's start.
    void Reset();
    void Run();
    // Stops advancing; the position is kept.
    void Pause();
    // Moves the position on while running, wrapping at the buffer's end,
    // and notifies a wrap, or else a crossing of the half.
    void Advance(ULONG bytes);
    // The position while running, else the last one reached.
    ULONG GetPosition();
    bool Capture() const { return capture_; }

private:
    KSPIN_LOCK lock_;
    NotificationSink* sink_ = nullptr;
    bool capture_ = false;
    ULONG bufferBytes_ = 0;
    ULONG position_ = 0;  // in [0, bufferBytes_)
    ULONG lastNotified_ = 0;
    bool running_ = false;
};

}  // namespace vq7
