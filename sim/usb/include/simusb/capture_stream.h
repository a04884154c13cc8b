// A capture (IN) stream: the device samples at its own clock into a FIFO,
// and each IN packet carries what the FIFO holds (up to wMaxPacketSize). So
// a packet holds the frames of the clock periods completed since the last
// one, and with implicit feedback the packet sizes carry the device clock
// exactly: 48 kHz on a fast clock gives an occasional 49-frame packet.
//
// Sampling begins at the host's first poll after the alternate setting is
// selected (its first packet is empty). When the host stops polling, the
// FIFO (4 ms by default) loses its oldest frames, and the loss is recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "simusb/audio_model.h"
#include "simusb/audio_settings.h"
#include "simusb/capture_sources.h"
#include "simusb/clock_model.h"
#include "simusb/device.h"
#include "simusb/frame_record.h"
#include "simusb/stream_events.h"

namespace simusb {

class CaptureStream {
public:
    CaptureStream(Speed speed, const CaptureOptions& options) : speed_(speed), options_(options) {}

    // Device side.
    void SetSource(std::unique_ptr<CaptureSource> source) {
        source_ = std::move(source);
        if (source_) source_->Follow(clock_);
    }
    // Packets hold back 0 to `frames` frames, chosen by a fixed pseudo-random
    // sequence: sizes wander up to that much around the clock's count.
    void SetPacketJitter(uint8_t frames) { jitter_frames_ = frames; }
    void Start(const StreamAltSetting& alt, ClockModel& clock, int64_t now_ns);
    void Stop(int64_t now_ns);
    size_t Packet(const BusTime& at, std::span<uint8_t> buffer);
    void AdvanceTo(int64_t t_ns);
    void Reject(const BusTime& at, StreamEvent::Kind kind);

    // Test side.
    uint64_t FramesProduced() const { return produced_; }
    FrameRecord& Sent() { return sent_; }
    const FrameRecord& Sent() const { return sent_; }
    StreamEvents& Events() { return events_; }
    const StreamEvents& Events() const { return events_; }
    bool Running() const { return clock_ != nullptr; }
    bool Sampling() const { return sampling_; }
    // The bus time of the first poll, when sampling began (while Sampling()).
    int64_t SamplingSince() const { return samplingSince_ns_; }
    size_t FifoFrames() const { return format_.channels == 0 ? 0 : fifo_.size() / format_.channels; }
    const SampleFormat& Format() const { return format_; }
    const ClockModel* Clock() const { return clock_; }
    uint64_t Epoch() const { return epoch_; }
    uint8_t Alternate() const { return alternate_; }

private:
    uint32_t NextHoldBack();
    void Produce(int64_t t_ns, const BusTime& at);

    Speed speed_;
    CaptureOptions options_;
    std::unique_ptr<CaptureSource> source_;
    uint8_t jitter_frames_ = 0;
    uint32_t jitterState_ = 0x2545F491;  // the hold-back sequence's state
    ClockModel* clock_ = nullptr;
    uint64_t epoch_ = 0;
    uint8_t alternate_ = 0;
    SampleFormat format_;
    uint32_t maxPayload_bytes_ = 0;
    uint32_t capacity_frames_ = 0;
    bool sampling_ = false;
    int64_t samplingSince_ns_ = 0;
    uint64_t next_ = 0;      // the next device frame to sample
    uint64_t produced_ = 0;  // frames sampled since the stream started
    BusTime reference_{};    // a (micro)frame on the bus grid
    std::deque<int32_t> fifo_;
    std::vector<int32_t> frame_;
    std::vector<int32_t> scratch_;
    FrameRecord sent_;
    StreamEvents events_;
};

}  // namespace simusb
