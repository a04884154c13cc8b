// One stream of the simulated audio engine on a WaveRT pin: the pin created
// with the chosen format, a cyclic buffer with one or two notifications per
// buffer, the notification event registered, and a service thread that on
// every notification (and at every poll in between) reads the position,
// writes the free part of a render buffer from the source or hands the
// newly captured part to the sink, and counts glitches.
#pragma once

#include <ksmedia.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "audioengine/buffer_cursor.h"
#include "audioengine/ks_requests.h"
#include "audioengine/wave_format.h"
#include "kmsim/simulation.h"

namespace audioengine {

// Render: fill `frames` frames at the stream's format, the first being the
// source's frame `first` (counted from the stream's start).
using RenderSource = std::function<void(uint64_t first, uint8_t* out, ULONG frames)>;
// Capture: `frames` frames the engine read, the first being frame `first`.
using CaptureSink = std::function<void(uint64_t first, const uint8_t* in, ULONG frames)>;

struct StreamOptions {
    ULONG bufferMs = 10;
    ULONG bufferFrames = 0;            // when not 0, the buffer's length instead of bufferMs
    ULONG notificationsPerBuffer = 2;  // 1 or 2
    RenderSource source;               // render streams; silence when empty
    CaptureSink sink;                  // capture streams; dropped when empty
};

// What the service thread saw, in the stream's own units.
struct StreamStats {
    uint64_t notifications = 0;  // event signals the thread woke for
    uint64_t polls = 0;          // wakes by its poll time-out
    uint64_t positionFailures = 0;
    uint64_t deviceFrames = 0;   // the position, unwrapped
    uint64_t engineFrames = 0;   // written (render) or read (capture)
    uint64_t glitches = 0;
    uint64_t glitchFrames = 0;
    uint64_t backwardSteps = 0;  // position reports behind the previous one
    int64_t firstMoveNs = -1;    // when the position first left 0
    int64_t lastMoveNs = -1;     // when it last moved
    uint64_t framesAtFirstMove = 0;
    std::vector<ULONG> notificationOffsets;  // the position at the first notifications
};

// How far the position drifted from a clock `ppm` away from the stream's
// nominal rate, between its first and its last move: the frames it
// advanced less those that clock gives over the same time.
int64_t PositionDriftFrames(const StreamStats& stats, ULONG rate, int64_t ppm = 0);

class EngineStream {
public:
    ~EngineStream();
    EngineStream(const EngineStream&) = delete;
    EngineStream& operator=(const EngineStream&) = delete;

    // Creates the pin and its buffer, registers the event and (render)
    // writes the whole buffer from the source; the pin stays in STOP.
    static NTSTATUS Open(kmsim::Client& client, HANDLE filter, ULONG pin, bool capture, const PinFormat& format,
                         const StreamOptions& options, std::unique_ptr<EngineStream>* stream);

    // One KSPROPERTY_CONNECTION_STATE set. The service thread serves the
    // buffer while the pin runs.
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS GetState(KSSTATE* state) const;
    // Up through the states to RUN, and back down to STOP.
    NTSTATUS Run();
    NTSTATUS Stop();
    NTSTATUS GetPosition(KSAUDIO_POSITION* position) const;

    // Steps the pin down to STOP, unregisters the event and closes the pin;
    // the first failure is the result, but every step is taken.
    NTSTATUS Close();

    StreamStats Stats() const;
    const PinFormat& Format() const { return format_; }
    ULONG BufferBytes() const { return bufferBytes_; }
    HANDLE Pin() const { return pin_.Handle(); }
    bool Capture() const { return capture_; }

private:
    EngineStream(kmsim::Client& client, HANDLE pin, bool capture, const PinFormat& format,
                 const StreamOptions& options);
    NTSTATUS AllocateBuffer();
    NTSTATUS RegisterEvent();
    // The counts that run on across restarts, in frames.
    struct CursorFigures {
        uint64_t deviceFrames = 0;
        uint64_t engineFrames = 0;
        uint64_t glitches = 0;
        uint64_t glitchFrames = 0;
        uint64_t backwardSteps = 0;
    };
    void Restart();
    CursorFigures Figures() const;
    void Serve();
    void ServeOnce(bool notified);
    void Move(const ByteSpan& span);

    kmsim::Client& client_;
    KsHandle pin_;
    const bool capture_;
    const PinFormat format_;
    const StreamOptions options_;
    uint8_t* buffer_ = nullptr;
    ULONG bufferBytes_ = 0;
    HANDLE eventHandle_ = nullptr;  // an auto-reset event of the engine's process
    bool eventRegistered_ = false;
    bool open_ = true;

    mutable std::mutex statsLock_;  // the service thread's figures against Stats()
    std::unique_ptr<BufferCursor> cursor_;
    CursorFigures folded_;  // what the runs before the last restart reached
    StreamStats stats_;
    int64_t lastObservedNs_ = 0;

    std::atomic<bool> running_{false};
    std::atomic<bool> quit_{false};
    KSSTATE state_ = KSSTATE_STOP;
    std::unique_ptr<kmsim::Thread> thread_;
};

}  // namespace audioengine
