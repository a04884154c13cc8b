#include "simusb/stream_events.h"

namespace simusb {

std::vector<StreamEvent> StreamEvents::Of(StreamEvent::Kind kind) const {
    std::vector<StreamEvent> out;
    for (const StreamEvent& event : events_) {
        if (event.kind == kind) out.push_back(event);
    }
    return out;
}

std::vector<StreamEvent> StreamEvents::Underruns() const {
    std::vector<StreamEvent> out;
    for (const StreamEvent& event : events_) {
        if (event.kind == StreamEvent::Kind::MissingPacket || event.kind == StreamEvent::Kind::FifoDry) {
            out.push_back(event);
        }
    }
    return out;
}

std::vector<StreamEvent> StreamEvents::Overruns() const {
    std::vector<StreamEvent> out;
    for (const StreamEvent& event : events_) {
        if (event.kind == StreamEvent::Kind::FifoFull || event.kind == StreamEvent::Kind::PacketTooLong ||
            event.kind == StreamEvent::Kind::CaptureOverflow) {
            out.push_back(event);
        }
    }
    return out;
}

}  // namespace simusb
