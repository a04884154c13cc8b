// A render (OUT) stream: packets go into the device FIFO; the device plays
// frames out of it at its own clock into a FrameRecord.
//
// Playback starts once the FIFO holds the start threshold (by default half
// of a FIFO of 4 ms at the stream's rate, and at least two of the largest
// packets). A frame is due each time the stream clock completes a frame
// period; a due frame with the FIFO empty is an underrun: playback stops,
// the silence is counted, and it starts again at the threshold. Frames of a
// packet that do not fit the FIFO are dropped and recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "simusb/audio_model.h"
#include "simusb/audio_settings.h"
#include "simusb/clock_model.h"
#include "simusb/device.h"
#include "simusb/frame_record.h"
#include "simusb/loopback_tap.h"
#include "simusb/stream_events.h"

namespace simusb {

class RenderStream {
public:
    RenderStream(Speed speed, const RenderOptions& options) : speed_(speed), options_(options) {}

    // Device side.
    void Start(const StreamAltSetting& alt, ClockModel& clock, int64_t now_ns);
    void Stop(int64_t now_ns);
    // Audio bytes of one packet (after any framing is removed).
    void Packet(const BusTime& at, std::span<const uint8_t> audio);
    void AdvanceTo(int64_t t_ns);
    void Reject(const BusTime& at, StreamEvent::Kind kind, uint64_t bytes);
    void SetTap(LoopbackTap* tap) { tap_ = tap; }

    // Test side.
    FrameRecord& Played() { return played_; }
    const FrameRecord& Played() const { return played_; }
    StreamEvents& Events() { return events_; }
    const StreamEvents& Events() const { return events_; }
    bool Running() const { return clock_ != nullptr; }
    bool Playing() const { return playing_; }
    size_t FifoFrames() const { return format_.channels == 0 ? 0 : fifo_.size() / format_.channels; }
    uint32_t FifoCapacity() const { return capacity_frames_; }
    uint32_t StartThreshold() const { return threshold_frames_; }
    // While playing, the start threshold minus the frames the FIFO holds
    // (what the device's feedback makes up for); 0 otherwise.
    int64_t FifoShortfall() const {
        return playing_ ? static_cast<int64_t>(threshold_frames_) - static_cast<int64_t>(FifoFrames()) : 0;
    }
    const SampleFormat& Format() const { return format_; }
    const ClockModel* Clock() const { return clock_; }
    uint64_t Epoch() const { return epoch_; }
    uint8_t Alternate() const { return alternate_; }

private:
    void Play(uint64_t frames);
    void CheckForMissingPackets(const BusTime& at);
    BusTime BusTimeOf(int64_t t_ns) const;

    Speed speed_;
    RenderOptions options_;
    ClockModel* clock_ = nullptr;
    uint64_t epoch_ = 0;
    uint8_t alternate_ = 0;
    SampleFormat format_;
    uint32_t maxPayload_bytes_ = 0;
    uint32_t interval_ = 1;  // (micro)frames between packets
    uint32_t capacity_frames_ = 0;
    uint32_t threshold_frames_ = 0;
    std::deque<int32_t> fifo_;
    bool playing_ = false;
    uint64_t next_ = 0;                  // the next device frame to play
    std::optional<size_t> dryEvent_;     // the FifoDry event still counting silence
    std::optional<uint64_t> lastPacket_;  // (micro)frame index of the last packet
    BusTime reference_{};                 // a (micro)frame on the bus grid
    std::vector<int32_t> scratch_;
    FrameRecord played_;
    StreamEvents events_;
    LoopbackTap* tap_ = nullptr;
};

// Frames the FIFO of a stream holds when its options leave it open: 4 ms at
// `rate`, and at least two packets of `maxPacketFrames`.
uint32_t DefaultFifoFrames(uint32_t rate, uint32_t maxPacketFrames);

}  // namespace simusb
