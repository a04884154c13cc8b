// The streaming engine's state inside the adapter: the synchronisation
// objects the direction pipelines run on, the direction use counts, the
// formats, and the reservations that decide who may use a direction.
// Created once by the adapter's Init; the pipelines, formats and mixers that
// use the rest of it build on these members.
#pragma once

#include <ntddk.h>

#include "engine/transfer_context.h"
#include "usbaudiocl.h"

namespace vq7 {

// A span of a WaveRT cyclic buffer queued for the engine: `address` moves
// on and `length` shrinks as the engine consumes the span.
struct SpanRecord {
    LIST_ENTRY link;
    PVOID address;
    LONG length;
};

// A format of one direction as a client set it, or as the opened alternate
// setting carries it (then bitsPerSample is the container size).
struct DirectionFormat {
    USHORT formatTag;
    ULONG channels;
    ULONG bitsPerSample;
    ULONG rate;
    ULONG frameBytes;
};

// How far transfers of a direction paced by capture may stray from their
// nominal size, as the paced format selection reported it.
struct ImplicitFeedbackBounds {
    ULONG nominalBytes;  // bytes of a transfer at the nominal rate
    LONG framesBelow;    // 0 or negative
    LONG framesAbove;    // 0 or positive
};

// One direction's events and counters.
struct DirectionObjects {
    KEVENT stop;             // notification, set: cleared while the pipeline thread runs
    KEVENT go;               // notification, clear: set while the direction may submit
    KEVENT error;            // notification, clear: a transfer failed
    KEVENT drained;          // notification, set: nothing in flight
    KEVENT firstCompletion;  // notification, clear: set by the first completion after a start
    KSEMAPHORE credits;      // free transfer slots
    DirectionFormat format;
    DirectionFormat usbFormat;
    UCHAR formatSet;
    ULONG transferBytes;
    ImplicitFeedbackBounds implicitFeedback;
    LONG useCount;
    LONG reservations;
};

class EngineState {
public:
    EngineState() = default;
    ~EngineState();
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    // Every object in its initial state; the lookaside lists are created
    // here and deleted by the destructor. PASSIVE_LEVEL.
    void Initialize();
    // The transfer credits for the sizing in force: capture full, render
    // empty (a render start fills them).
    void InitializeCredits(ULONG captureTransfersInFlight, ULONG playbackTransfersInFlight);

    // Reservations under the reservation mutex. On a playback-only device a
    // direction has one user at a time; elsewhere shared reservations add up;
    // an exclusive one admits nobody beside it. PASSIVE_LEVEL.
    NTSTATUS ReserveDirections(bool capture, bool render, bool exclusive, bool playbackOnly);
    void ReleaseDirections(bool capture, bool render);

    // True while either direction runs or has a format set; the caller holds
    // the stream-state mutex.
    bool AnyDirectionInUse() const;

    // Returns the direction to its zero-bandwidth setting if another one is
    // selected, in the selection form the device's pacing uses. PASSIVE_LEVEL,
    // under the stream-state mutex.
    void CloseDirection(CUSBAudioCL& classLayer, bool capture);

    // Transfer records of the pipelines. IRQL <= DISPATCH_LEVEL.
    TransferContext* AllocateTransferContext();
    void FreeTransferContext(TransferContext* context);

    DirectionObjects& Direction(bool capture) { return capture ? capture_ : render_; }
    // Where the span lists take their entries from.
    NPAGED_LOOKASIDE_LIST& SpanLookaside() { return spanLookaside_; }
    const DirectionObjects& Direction(bool capture) const { return capture ? capture_ : render_; }

    KMUTEX streamStateMutex;
    KMUTEX reservationMutex;
    KEVENT removing;             // notification: removal has begun
    KEVENT feedbackGo;           // notification, clear
    KEVENT feedbackDrained;      // notification, set
    KEVENT implicitFeedbackSync; // notification, clear
    KSEMAPHORE feedbackCredits;  // 8, limit 8
    LONG exclusive = 0;
    LONG startStopFlag = 0;      // 0 free, 1 a start or stop runs, 2 render resynchronises

private:
    void InitializeDirection(DirectionObjects& direction);
    void ReleaseOne(DirectionObjects& direction);

    DirectionObjects render_ = {};
    DirectionObjects capture_ = {};
    NPAGED_LOOKASIDE_LIST spanLookaside_;
    NPAGED_LOOKASIDE_LIST transferLookaside_;
    bool lookasidesCreated_ = false;
};

}  // namespace vq7
