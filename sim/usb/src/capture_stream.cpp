#include "simusb/capture_stream.h"

#include <algorithm>

#include "simusb/bus_timing.h"
#include "simusb/render_stream.h"
#include "simusb/sample_format.h"
#include "simusb/usb_codes.h"

namespace simusb {

void CaptureStream::Start(const StreamAltSetting& alt, ClockModel& clock, int64_t) {
    clock_ = &clock;
    epoch_ = clock.Epoch();
    alternate_ = alt.alternate;
    format_ = alt.format;
    maxPayload_bytes_ = usb::PayloadPerInterval(alt.data->maxPacketSize);
    uint32_t maxPacketFrames = static_cast<uint32_t>(maxPayload_bytes_ / std::max<size_t>(format_.FrameBytes(), 1));
    capacity_frames_ = options_.fifo_frames != 0 ? options_.fifo_frames : DefaultFifoFrames(clock.Rate(), maxPacketFrames);
    sampling_ = false;
    produced_ = 0;
    fifo_.clear();
    frame_.assign(format_.channels, 0);
    sent_.SetChannels(format_.channels);
    if (source_) source_->Follow(clock_);
}

void CaptureStream::Stop(int64_t) {
    clock_ = nullptr;
    sampling_ = false;
    fifo_.clear();
}

void CaptureStream::AdvanceTo(int64_t t_ns) { Produce(t_ns, BusTimeAt(reference_, speed_, t_ns)); }

// Samples the frames due by `t_ns`. A full FIFO loses its oldest frames, as a
// ring buffer would, so what it holds is always the latest run of frames.
void CaptureStream::Produce(int64_t t_ns, const BusTime& at) {
    if (clock_ == nullptr || !sampling_) return;
    uint64_t due = clock_->FramesBy(t_ns);
    uint64_t dropped = 0;
    for (; next_ < due; ++next_, ++produced_) {
        if (source_) {
            source_->Fill(produced_, next_, format_, frame_);
        } else {
            std::fill(frame_.begin(), frame_.end(), 0);
        }
        if (FifoFrames() >= capacity_frames_) {
            fifo_.erase(fifo_.begin(), fifo_.begin() + format_.channels);
            ++dropped;
        }
        fifo_.insert(fifo_.end(), frame_.begin(), frame_.end());
    }
    if (dropped != 0) events_.Add(StreamEvent::Kind::CaptureOverflow, at, due, dropped);
}

uint32_t CaptureStream::NextHoldBack() {
    if (jitter_frames_ == 0) return 0;
    // xorshift32: deterministic, so a test run is repeatable.
    jitterState_ ^= jitterState_ << 13;
    jitterState_ ^= jitterState_ >> 17;
    jitterState_ ^= jitterState_ << 5;
    return jitterState_ % (jitter_frames_ + 1u);
}

size_t CaptureStream::Packet(const BusTime& at, std::span<uint8_t> buffer) {
    if (clock_ == nullptr) return 0;
    if (!sampling_) {
        sampling_ = true;
        samplingSince_ns_ = at.time_ns;
        next_ = clock_->FramesBy(at.time_ns);
    }
    reference_ = at;
    Produce(at.time_ns, at);
    size_t frameBytes = format_.FrameBytes();
    if (frameBytes == 0) return 0;
    size_t limit = std::min<size_t>(maxPayload_bytes_, buffer.size()) / frameBytes;
    // Frames sampled after this (micro)frame (a look at the device ran its
    // clock ahead of the bus) wait for a later packet.
    const uint64_t due = clock_->FramesBy(at.time_ns);
    const size_t ahead = next_ > due ? static_cast<size_t>(std::min<uint64_t>(next_ - due, FifoFrames())) : 0;
    const size_t available = FifoFrames() - ahead;
    size_t holdBack = NextHoldBack();
    size_t frames = available > holdBack ? std::min(available - holdBack, limit) : 0;
    size_t samples = frames * format_.channels;
    scratch_.assign(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(samples));
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(samples));
    for (size_t i = 0; i < samples; ++i) WriteSample(buffer, i * format_.subslotBytes, format_.subslotBytes, scratch_[i]);
    sent_.Append(next_ - FifoFrames() - frames, scratch_);  // the FIFO holds the latest frames, oldest first
    return frames * frameBytes;
}

void CaptureStream::Reject(const BusTime& at, StreamEvent::Kind kind) {
    events_.Add(kind, at, clock_ != nullptr ? clock_->FramesBy(at.time_ns) : 0, 0);
}

}  // namespace simusb
