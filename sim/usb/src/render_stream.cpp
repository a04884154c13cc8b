#include "simusb/render_stream.h"

#include <algorithm>

#include "simusb/bus_timing.h"
#include "simusb/sample_format.h"
#include "simusb/usb_codes.h"

namespace simusb {

uint32_t DefaultFifoFrames(uint32_t rate, uint32_t maxPacketFrames) {
    constexpr uint32_t kFifo_ms = 4;
    return std::max<uint32_t>((rate * kFifo_ms + 999) / 1000, 2 * maxPacketFrames);
}

void RenderStream::Start(const StreamAltSetting& alt, ClockModel& clock, int64_t now_ns) {
    clock_ = &clock;
    epoch_ = clock.Epoch();
    alternate_ = alt.alternate;
    format_ = alt.format;
    maxPayload_bytes_ = usb::PayloadPerInterval(alt.data->maxPacketSize);
    interval_ = ServiceInterval(alt.data->interval);
    uint32_t maxPacketFrames = static_cast<uint32_t>(maxPayload_bytes_ / std::max<size_t>(format_.FrameBytes(), 1));
    capacity_frames_ = options_.fifo_frames != 0 ? options_.fifo_frames : DefaultFifoFrames(clock.Rate(), maxPacketFrames);
    threshold_frames_ = options_.startThreshold_frames != 0 ? options_.startThreshold_frames : capacity_frames_ / 2;
    threshold_frames_ = std::clamp<uint32_t>(threshold_frames_, 1, capacity_frames_);
    fifo_.clear();
    playing_ = false;
    dryEvent_.reset();
    lastPacket_.reset();
    next_ = clock.FramesBy(now_ns);
    played_.SetChannels(format_.channels);
    if (tap_ != nullptr) tap_->Reset(format_, &clock);
}

void RenderStream::Stop(int64_t now_ns) {
    AdvanceTo(now_ns);
    clock_ = nullptr;
    playing_ = false;
    fifo_.clear();
    dryEvent_.reset();
}

BusTime RenderStream::BusTimeOf(int64_t t_ns) const { return BusTimeAt(reference_, speed_, t_ns); }

void RenderStream::AdvanceTo(int64_t t_ns) {
    if (clock_ == nullptr) return;
    uint64_t due = clock_->FramesBy(t_ns);
    if (due <= next_) return;
    if (playing_) {
        uint64_t frames = std::min<uint64_t>(FifoFrames(), due - next_);
        Play(frames);
        if (next_ < due) {
            dryEvent_ = events_.Size();
            events_.Add(StreamEvent::Kind::FifoDry, BusTimeOf(clock_->TimeOfFrame(next_)), next_, 0);
            playing_ = false;
        }
    }
    if (!playing_) {
        if (dryEvent_) events_.At(*dryEvent_).count += due - next_;
        next_ = due;
    }
}

void RenderStream::Play(uint64_t frames) {
    size_t samples = static_cast<size_t>(frames) * format_.channels;
    scratch_.assign(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(samples));
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(samples));
    played_.Append(next_, scratch_);
    if (tap_ != nullptr) tap_->Played(next_, scratch_);
    next_ += frames;
}

void RenderStream::CheckForMissingPackets(const BusTime& at) {
    uint64_t index = at.Index(speed_);
    if (lastPacket_ && index > *lastPacket_ + interval_) {
        uint64_t expected = *lastPacket_ + interval_;
        int64_t missingSince_ns = at.time_ns - static_cast<int64_t>(index - expected) * PeriodNs(speed_);
        events_.Add(StreamEvent::Kind::MissingPacket, BusTimeOf(missingSince_ns), clock_->FramesBy(missingSince_ns),
                    (index - expected) / interval_);
    }
    lastPacket_ = index;
}

void RenderStream::Reject(const BusTime& at, StreamEvent::Kind kind, uint64_t bytes) {
    uint64_t deviceFrame = clock_ != nullptr ? clock_->FramesBy(at.time_ns) : 0;
    events_.Add(kind, at, deviceFrame, bytes);
}

void RenderStream::Packet(const BusTime& at, std::span<const uint8_t> audio) {
    if (clock_ == nullptr) return;
    reference_ = at;
    AdvanceTo(at.time_ns);
    CheckForMissingPackets(at);
    size_t frameBytes = format_.FrameBytes();
    if (audio.size() > maxPayload_bytes_) return Reject(at, StreamEvent::Kind::PacketTooLong, audio.size());
    if (frameBytes == 0 || audio.size() % frameBytes != 0) return Reject(at, StreamEvent::Kind::MalformedPacket, audio.size());
    size_t frames = audio.size() / frameBytes;
    size_t room = capacity_frames_ > FifoFrames() ? capacity_frames_ - FifoFrames() : 0;
    size_t accepted = std::min(frames, room);
    for (size_t i = 0; i < accepted * format_.channels; ++i) {
        fifo_.push_back(ReadSample(audio, i * format_.subslotBytes, format_.subslotBytes));
    }
    if (accepted < frames) {
        events_.Add(StreamEvent::Kind::FifoFull, at, clock_->FramesBy(at.time_ns), frames - accepted);
    }
    if (!playing_ && FifoFrames() >= threshold_frames_) {
        playing_ = true;
        dryEvent_.reset();
    }
}

}  // namespace simusb
