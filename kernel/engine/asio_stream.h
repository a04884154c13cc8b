// AsioStream: the kernel side of the ASIO channel's low-latency stream, one
// per adapter. Two rings sit between the one client and the device: the
// input ring (captured audio the client's reads take) and the output ring
// (the client's audio the render mixer plays). A read stays pending until
// enough capture has arrived, so its completion is the client's buffer
// switch; it is completed straight from the capture DPC. Duplex writes go
// into the output ring at once; output-only writes queue to a thread at
// real-time priority that moves them into the ring as the device drains it.
//
// Lock order: the running lock, then the pending-list lock, then a ring's
// lock (input's before output's). IRPs are completed outside every lock.
#pragma once

#include <ntddk.h>

#include "common/system_thread.h"
#include "engine/asio_ring.h"
#include "engine/asio_stream_host.h"
#include "engine/audio_format.h"
#include "engine/mixer_set.h"

namespace vq7 {

// What PREPARE builds the rings for.
struct AsioRingPlan {
    ULONG inputFrames;   // 0: no input ring
    ULONG inputFrameBytes;
    ULONG outputFrames;  // 0: no output ring
    ULONG outputFrameBytes;
    ULONG rate;
    USHORT dsdMode;
    USHORT formatTag;
    ULONG inputChannels;
    ULONG inputBits;
    ULONG outputChannels;
    ULONG outputBits;
};

// What START runs the stream with.
struct AsioStartParams {
    USHORT formatTag;
    ULONG bufferFrames;
    ULONG latencyPercent;
};

// The duplex output pre-fill in frames for `rate` and client buffers of
// `bufferFrames`: the part of a buffer that is not a whole number of
// milliseconds (the whole buffer when it is shorter than one), plus a
// share that grows with the buffer beyond 64 frames (none below). Any IRQL.
ULONG OutputPrefillFrames(ULONG rate, ULONG bufferFrames);

class AsioStream final : private SystemThreadOwner {
public:
    AsioStream(AsioStreamHost& host, MixerSet& mixers);
    ~AsioStream();
    AsioStream(const AsioStream&) = delete;
    AsioStream& operator=(const AsioStream&) = delete;

    // Binds the device object whose flags tell how read and write buffers
    // arrive. PASSIVE_LEVEL, at the adapter's Init.
    void Bind(PDEVICE_OBJECT deviceObject) { deviceObject_ = deviceObject; }

    // ---- the channel's operations, PASSIVE_LEVEL, under its mutex
    [[nodiscard]] NTSTATUS BuildRings(const AsioRingPlan& plan);
    void FreeRings();
    [[nodiscard]] NTSTATUS Start(const AsioStartParams& params);
    void Stop();
    void ArmInput();
    // Frames since the first read of this run completed; 0 before it has.
    ULONG GetPosition();
    // The client says where it is; a client behind the last reported
    // position loses that many input frames and gets as much output silence.
    void SyncPosition(ULONG clientFrames);

    // ---- the handles' read and write requests, PASSIVE_LEVEL: a final
    // status, or STATUS_PENDING with the IRP marked pending and queued.
    NTSTATUS QueueRead(PIRP irp);
    NTSTATUS QueueWrite(PIRP irp);

    // ---- services for the mixers and the pipelines, IRQL <= DISPATCH_LEVEL
    // Completes every pending read the input ring can fill.
    void CompleteReads();
    // After the render mixer read the output ring.
    void Balance();
    // Ends the run with a stream error: pending requests are cancelled,
    // later reads and duplex writes fail until the next start.
    void FailStream();

    bool IsRunning() const;
    ULONG StreamError() const { return streamError_; }
    AudioFormat InputFormat() const;
    AudioFormat OutputFormat() const;
    AsioRing& InputRing() { return input_; }
    AsioRing& OutputRing() { return output_; }
    bool HasInputRing() const { return input_.HasBuffer(); }
    bool HasOutputRing() const { return output_.HasBuffer(); }

private:
    static DRIVER_CANCEL CancelPending;

    // SystemThreadOwner: the output thread of an output-only stream.
    void Run() override;
    void MovePendingWrites();
    NTSTATUS QueueRequest(PIRP irp, bool read);
    NTSTATUS StartOutputThread();
    void StopOutputThread();
    void ResetStream();
    void ClearFormat();
    // Undoes the steps of a start that had succeeded.
    void UnwindStart(bool captureStarted, bool renderStarted);
    // The IRP's buffer in system space, or null (a zero-length request has none).
    PUCHAR BufferOf(PIRP irp, ULONG length);
    // Marks the IRP pending and queues it with a cancel routine; false when
    // it was cancelled already (its status and Information are then set).
    bool EnqueueLocked(PIRP irp);
    // The first pending IRP with its cancel routine taken away, or null.
    PIRP TakeHeadLocked();
    // Puts a partly served IRP back at the head; false when it was
    // cancelled meanwhile (it is then to be completed as cancelled).
    bool PutBackLocked(PIRP irp);
    // Every pending IRP, off the list and ready to complete, onto `out`.
    void DrainLocked(PLIST_ENTRY out);
    static void CompleteAll(PLIST_ENTRY irps, NTSTATUS status);

    AsioStreamHost& host_;
    MixerSet& mixers_;
    PDEVICE_OBJECT deviceObject_ = nullptr;
    AsioRing input_{true};
    AsioRing output_{false};

    mutable KSPIN_LOCK runningLock_;
    bool running_ = false;

    KSPIN_LOCK listLock_;
    LIST_ENTRY pending_;  // reads (duplex, capture-only) or writes (output-only)
    volatile ULONG streamError_ = 0;
    ULONG firstPeriod_ = 0;  // 1 until the run's first read completed
    LARGE_INTEGER firstPeriodTime_ = {};
    ULONG lastPosition_ = 0;

    // The stream's format, as the ASIO source and sink report it.
    ULONG rate_ = 0;
    USHORT dsdMode_ = AudioFormat::kModePcm;
    USHORT formatTag_ = AudioFormat::kTagPcm;
    ULONG inputChannels_ = 0;
    ULONG inputBits_ = 0;
    ULONG outputChannels_ = 0;
    ULONG outputBits_ = 0;

    SystemThread outputThread_;
    KEVENT outputStop_;      // notification
    KEVENT writeAvailable_;  // synchronization
};

}  // namespace vq7
