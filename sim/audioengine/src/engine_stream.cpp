#include "audioengine/engine_stream.h"

#include <algorithm>
#include <cmath>

namespace audioengine {

namespace {

constexpr size_t kNotificationOffsetsKept = 64;

// The pin-creation request: the connection followed by the data format.
struct PinConnection {
    KSPIN_CONNECT connect;
    PinFormat format;
};

KSPIN_CONNECT Connection(ULONG pin) {
    KSPIN_CONNECT connect = {};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pin;
    connect.PinToHandle = nullptr;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    return connect;
}

uint64_t BytesIn(int64_t ns, const PinFormat& format) {
    return static_cast<uint64_t>(ns) * format.Rate() / 1000000000 * format.FrameBytes();
}

}  // namespace

int64_t PositionDriftFrames(const StreamStats& stats, ULONG rate, int64_t ppm) {
    if (stats.firstMoveNs < 0) return 0;
    const double elapsed_s = static_cast<double>(stats.lastMoveNs - stats.firstMoveNs) * 1e-9;
    const double expected = elapsed_s * rate * (1.0 + static_cast<double>(ppm) * 1e-6);
    return static_cast<int64_t>(stats.deviceFrames - stats.framesAtFirstMove) - std::llround(expected);
}

EngineStream::EngineStream(kmsim::Client& client, HANDLE pin, bool capture, const PinFormat& format,
                           const StreamOptions& options)
    : client_(client), pin_(client, pin), capture_(capture), format_(format), options_(options) {}

EngineStream::~EngineStream() { Close(); }

NTSTATUS EngineStream::Open(kmsim::Client& client, HANDLE filter, ULONG pin, bool capture, const PinFormat& format,
                            const StreamOptions& options, std::unique_ptr<EngineStream>* stream) {
    PinConnection request = {Connection(pin), format};
    HANDLE handle = nullptr;
    NTSTATUS status = client.CreatePin(filter, &request.connect, sizeof request, &handle);
    if (!NT_SUCCESS(status)) return status;
    std::unique_ptr<EngineStream> created(new EngineStream(client, handle, capture, format, options));
    status = created->AllocateBuffer();
    if (NT_SUCCESS(status)) status = created->RegisterEvent();
    if (!NT_SUCCESS(status)) return status;  // the destructor closes what was opened
    created->cursor_ = std::make_unique<BufferCursor>(created->bufferBytes_, format.FrameBytes(), capture);
    if (!capture) {
        created->Move({0, created->bufferBytes_});
    }
    EngineStream* self = created.get();
    created->thread_ = std::make_unique<kmsim::Thread>(capture ? "engine capture" : "engine render",
                                                       [self] { self->Serve(); });
    *stream = std::move(created);
    return STATUS_SUCCESS;
}

NTSTATUS EngineStream::AllocateBuffer() {
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request = {};
    request.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION);
    request.BaseAddress = nullptr;
    const ULONG frames = options_.bufferFrames != 0 ? options_.bufferFrames : format_.Rate() * options_.bufferMs / 1000;
    request.RequestedBufferSize = frames * format_.FrameBytes();
    request.NotificationCount = options_.notificationsPerBuffer;
    KSRTAUDIO_BUFFER buffer = {};
    NTSTATUS status = pin_.Get(request, &buffer);
    if (NT_SUCCESS(status)) {
        buffer_ = static_cast<uint8_t*>(buffer.BufferAddress);
        bufferBytes_ = buffer.ActualBufferSize / format_.FrameBytes() * format_.FrameBytes();
        if (buffer_ == nullptr || bufferBytes_ == 0) status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS EngineStream::RegisterEvent() {
    NTSTATUS status = client_.CreateEvent(FALSE, FALSE, &eventHandle_);
    if (!NT_SUCCESS(status)) return status;
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request = {};
    request.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT);
    request.NotificationEvent = eventHandle_;
    status = pin_.Send(&request, sizeof request, nullptr, 0);
    eventRegistered_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS EngineStream::SetState(KSSTATE state) {
    const KSPROPERTY request = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    if (state != KSSTATE_RUN) {
        running_ = false;  // the engine stops serving before the pin stops
    }
    const KSSTATE before = state_;
    const NTSTATUS status = pin_.Set(request, state);
    if (NT_SUCCESS(status)) {
        state_ = state;
    }
    if (before >= KSSTATE_PAUSE && state_ < KSSTATE_PAUSE) {
        Restart();  // the pin starts again from the buffer's beginning
    }
    if (state_ == KSSTATE_RUN) {
        std::lock_guard<std::mutex> guard(statsLock_);
        lastObservedNs_ = kmsim::NowNs();
        running_ = true;
    }
    return status;
}

// A pin that left PAUSE for ACQUIRE or STOP starts from position 0 when it
// runs again: the engine's counts start again too (what they reached is
// kept in the figures), and a render buffer is written whole once more,
// with the source's next frames.
void EngineStream::Restart() {
    std::lock_guard<std::mutex> guard(statsLock_);
    folded_ = Figures();
    cursor_ = std::make_unique<BufferCursor>(bufferBytes_, format_.FrameBytes(), capture_);
    if (!capture_) {
        Move({0, bufferBytes_});
    }
}

NTSTATUS EngineStream::GetState(KSSTATE* state) const {
    return pin_.Get(Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE), state);
}

NTSTATUS EngineStream::Run() {
    NTSTATUS status = STATUS_SUCCESS;
    for (int next = state_ + 1; NT_SUCCESS(status) && next <= KSSTATE_RUN; ++next) {
        status = SetState(static_cast<KSSTATE>(next));
    }
    return status;
}

NTSTATUS EngineStream::Stop() {
    NTSTATUS status = STATUS_SUCCESS;
    for (int next = state_ - 1; next >= KSSTATE_STOP; --next) {
        const NTSTATUS step = SetState(static_cast<KSSTATE>(next));
        if (NT_SUCCESS(status)) status = step;
        if (!NT_SUCCESS(step)) state_ = static_cast<KSSTATE>(next);  // a pin that cannot step is let go anyway
    }
    return status;
}

NTSTATUS EngineStream::GetPosition(KSAUDIO_POSITION* position) const {
    return pin_.Get(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION), position);
}

NTSTATUS EngineStream::Close() {
    if (!open_) return STATUS_SUCCESS;
    open_ = false;
    running_ = false;
    quit_ = true;
    if (thread_) {
        thread_->Join();  // it sees quit_ at its next poll at the latest
        thread_.reset();
    }
    NTSTATUS status = Stop();
    if (eventRegistered_) {
        KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request = {};
        request.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT);
        request.NotificationEvent = eventHandle_;
        const NTSTATUS unregistered = pin_.Send(&request, sizeof request, nullptr, 0);
        if (NT_SUCCESS(status)) status = unregistered;
        eventRegistered_ = false;
    }
    if (eventHandle_ != nullptr) {
        client_.Close(eventHandle_);
        eventHandle_ = nullptr;
    }
    const NTSTATUS closed = client_.Close(pin_.Handle());
    return NT_SUCCESS(status) ? closed : status;
}

StreamStats EngineStream::Stats() const {
    std::lock_guard<std::mutex> guard(statsLock_);
    return stats_;
}

// Waits for the notification, at most a quarter of a buffer: the position
// is polled in between as well, so a lost notification costs no data.
void EngineStream::Serve() {
    const int64_t buffer_hns = static_cast<int64_t>(bufferBytes_ / format_.FrameBytes()) * 10000000 / format_.Rate();
    const int64_t poll_hns = std::max<int64_t>(1, buffer_hns / 4);
    while (!quit_) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -poll_hns;
        const NTSTATUS waited = client_.WaitForSingleObject(eventHandle_, &timeout);
        if (quit_) break;
        if (running_) ServeOnce(waited == STATUS_SUCCESS);
    }
}

void EngineStream::ServeOnce(bool notified) {
    KSAUDIO_POSITION position = {};
    const NTSTATUS status = GetPosition(&position);
    const int64_t now = kmsim::NowNs();
    ByteSpan due;
    {
        std::lock_guard<std::mutex> guard(statsLock_);
        if (notified) {
            ++stats_.notifications;
            if (stats_.notificationOffsets.size() < kNotificationOffsetsKept && NT_SUCCESS(status)) {
                stats_.notificationOffsets.push_back(static_cast<ULONG>(position.PlayOffset));
            }
        } else {
            ++stats_.polls;
        }
        if (!NT_SUCCESS(status)) {
            ++stats_.positionFailures;
            return;
        }
        const uint64_t before = cursor_->DeviceBytes();
        cursor_->Observe(static_cast<ULONG>(position.PlayOffset % bufferBytes_), BytesIn(now - lastObservedNs_, format_));
        lastObservedNs_ = now;
        if (cursor_->DeviceBytes() != before) {
            if (stats_.firstMoveNs < 0) {
                stats_.firstMoveNs = now;
                stats_.framesAtFirstMove = Figures().deviceFrames;
            }
            stats_.lastMoveNs = now;
        }
        due = cursor_->Due();
    }
    Move(due);
    std::lock_guard<std::mutex> guard(statsLock_);
    cursor_->Done(due.to);
    const CursorFigures figures = Figures();
    stats_.deviceFrames = figures.deviceFrames;
    stats_.engineFrames = figures.engineFrames;
    stats_.glitches = figures.glitches;
    stats_.glitchFrames = figures.glitchFrames;
    stats_.backwardSteps = figures.backwardSteps;
}

// The cursor's counts added to what earlier runs reached. Under statsLock_.
EngineStream::CursorFigures EngineStream::Figures() const {
    const ULONG frameBytes = format_.FrameBytes();
    return {folded_.deviceFrames + cursor_->DeviceBytes() / frameBytes,
            folded_.engineFrames + cursor_->EngineBytes() / frameBytes, folded_.glitches + cursor_->Glitches(),
            folded_.glitchFrames + cursor_->GlitchFrames(), folded_.backwardSteps + cursor_->BackwardSteps()};
}

// Copies a span between the cyclic buffer and the source or sink, in at
// most two pieces (before and after the wrap).
void EngineStream::Move(const ByteSpan& span) {
    const ULONG frameBytes = format_.FrameBytes();
    const uint64_t base = folded_.engineFrames;  // the frames moved before the last restart
    uint64_t at = span.from;
    while (at < span.to) {
        const ULONG offset = static_cast<ULONG>(at % bufferBytes_);
        const ULONG bytes = static_cast<ULONG>(std::min<uint64_t>(span.to - at, bufferBytes_ - offset));
        const ULONG frames = bytes / frameBytes;
        if (frames == 0) break;
        if (capture_) {
            if (options_.sink) options_.sink(base + at / frameBytes, buffer_ + offset, frames);
        } else if (options_.source) {
            options_.source(base + at / frameBytes, buffer_ + offset, frames);
        } else {
            std::fill_n(buffer_ + offset, frames * frameBytes, format_.Bits() == 8 ? 0x80 : 0);
        }
        at += static_cast<uint64_t>(frames) * frameBytes;
    }
}

}  // namespace audioengine
