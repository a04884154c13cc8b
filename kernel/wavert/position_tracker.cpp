// The reported position of a WaveRT stream and its half and wrap points.

#include "wavert/position_tracker.h"

#include "common/locks.h"

namespace vq7 {

PositionTracker::PositionTracker() { KeInitializeSpinLock(&lock_); }

void PositionTracker::Init(NotificationSink* sink, bool capture, ULONG bufferBytes) {
    InStackLock guard(lock_);
    sink_ = sink;
    capture_ = capture;
    bufferBytes_ = bufferBytes;
    position_ = 0;
    lastNotified_ = 0;
    running_ = false;
}

void PositionTracker::Reset() {
    InStackLock guard(lock_);
    position_ = 0;
    lastNotified_ = 0;
}

void PositionTracker::Run() {
    InStackLock guard(lock_);
    running_ = true;
}

void PositionTracker::Pause() {
    InStackLock guard(lock_);
    running_ = false;
}

// An advance of exactly the buffer lands where it started and notifies
// nothing; one that crosses the half and wraps notifies the wrap alone.
// Without a buffer there is nothing to move through: the position stays 0.
void PositionTracker::Advance(ULONG bytes) {
    InStackLock guard(lock_);
    if (!running_ || bufferBytes_ == 0) {
        return;
    }
    position_ = static_cast<ULONG>((static_cast<ULONGLONG>(position_) + bytes) % bufferBytes_);
    const ULONG now = position_;
    const ULONG before = lastNotified_;
    lastNotified_ = now;
    if (sink_ == nullptr) {
        return;
    }
    const ULONG half = bufferBytes_ / 2;
    if (now < before) {
        sink_->Notify(NotificationSink::kWrap, now);
    } else if (before < half && half <= now) {
        sink_->Notify(NotificationSink::kHalf, now);
    }
}

ULONG PositionTracker::GetPosition() {
    InStackLock guard(lock_);
    return running_ ? position_ : lastNotified_;
}

}  // namespace vq7
