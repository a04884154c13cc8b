// What went wrong on a stream, as a test reads it: underruns, overruns and
// malformed packets, each with the (micro)frame it happened in.
#pragma once

#include <cstdint>
#include <vector>

#include "simusb/device.h"

namespace simusb {

struct StreamEvent {
    enum class Kind {
        // Underruns (render).
        MissingPacket,  // (micro)frames passed with no packet; count: missing service intervals
        FifoDry,        // the FIFO ran dry while playing; count: frames of silence until playback resumed
        // Overruns.
        FifoFull,       // render: frames of a packet that did not fit the FIFO; count: frames dropped
        PacketTooLong,  // render: a packet above wMaxPacketSize, dropped whole; count: its bytes
        CaptureOverflow,  // capture: the host did not fetch frames in time; count: frames dropped
        // Errors.
        MalformedPacket,  // not whole frames, or a length header that does not match; count: its bytes
        NotStreaming,     // a packet while the stream may not run (setting 0, clock invalid, interfaces missing)
    };
    Kind kind;
    BusTime at;            // the (micro)frame it happened in
    uint64_t deviceFrame;  // the stream clock's frame count at that moment
    uint64_t count;
};

class StreamEvents {
public:
    void Add(StreamEvent::Kind kind, const BusTime& at, uint64_t deviceFrame, uint64_t count) {
        events_.push_back(StreamEvent{kind, at, deviceFrame, count});
    }
    const std::vector<StreamEvent>& All() const { return events_; }
    StreamEvent& At(size_t index) { return events_[index]; }
    size_t Size() const { return events_.size(); }
    std::vector<StreamEvent> Of(StreamEvent::Kind kind) const;
    std::vector<StreamEvent> Underruns() const;  // MissingPacket and FifoDry
    std::vector<StreamEvent> Overruns() const;   // FifoFull, PacketTooLong and CaptureOverflow
    size_t Count(StreamEvent::Kind kind) const { return Of(kind).size(); }
    void Clear() { events_.clear(); }

private:
    std::vector<StreamEvent> events_;
};

}  // namespace simusb
