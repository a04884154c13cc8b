// AsioRing: one direction's byte ring between the ASIO client and the
// device. The input ring holds captured audio waiting for the client's
// reads; the output ring holds the client's audio waiting for the render
// mixer. The ring never stalls either side: a write that does not fit drops
// its newest bytes and owes them to the reader as fill (positive debt), a
// read that finds too little is padded with fill and the next writes skip
// as much (negative debt). The debt keeps the stream's timing: however a
// side ran ahead or fell behind, the frame that follows comes exactly where
// a perfect stream would have put it.
#pragma once

#include <ntddk.h>

#include "common/pool.h"

namespace vq7 {

// The output pre-fill a client asked for, in frames; 0 leaves it to the
// formula. Process-wide: set by the ASIO channel's request, read when the
// output ring's pre-fill is set at a start.
extern volatile LONG OutputPrefillOverride_frames;

class AsioRing {
public:
    explicit AsioRing(bool isInput);
    AsioRing(const AsioRing&) = delete;
    AsioRing& operator=(const AsioRing&) = delete;

    // Allocates `frames` x `frameBytes` bytes and resets the ring to
    // `fillByte`. STATUS_INVALID_PARAMETER for an empty (or unrepresentable)
    // size, STATUS_UNSUCCESSFUL when a buffer is held already,
    // STATUS_INSUFFICIENT_RESOURCES without pool. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS Allocate(ULONG frames, ULONG frameBytes, UCHAR fillByte);
    // Clears every counter and frees the buffer. IRQL <= DISPATCH_LEVEL.
    void Free();

    // The data-path operations; all IRQL <= DISPATCH_LEVEL. `partial` false
    // turns what did not fit (write) or was missing (read) into debt, so
    // that the whole request counts as done.
    // Stores `bytes` from `source` (fill bytes when null); returns the bytes
    // taken. The input ring takes nothing until it is primed.
    ULONG Write(const UCHAR* source, ULONG bytes, bool partial);
    // Produces `bytes` into `destination` (discarded when null); returns the
    // bytes produced. The output ring produces nothing until it is primed.
    ULONG Read(UCHAR* destination, ULONG bytes, bool partial);
    // Back to the pre-fill level: offsets, debt and primed cleared, the
    // whole buffer set to the fill byte.
    void Reset();
    // The level a reset restores, cut to the ring's size; the process-wide
    // override replaces `bytes` when set. Resets the ring.
    void SetPrefill(ULONG bytes);
    void Prime();
    // Drops `frames` frames of the input ring's audio, or inserts `frames`
    // frames of fill into the output ring, debt included.
    void Skip(ULONG frames);
    // Nets opposite debts of the two rings: the one that is smaller in
    // frames moves into the other, converted to the other's frame size.
    // Takes the input ring's lock before the output ring's.
    static void Balance(AsioRing& input, AsioRing& output);

    bool HasBuffer() const;
    bool Primed() const;
    ULONG Size() const { return size_; }
    ULONG FrameBytes() const { return frameBytes_; }
    ULONG Level() const;
    LONG Debt() const;
    ULONG Prefill() const;
    // Since the last reset: reads that found too little and were padded
    // with fill (underruns), and writes that did not fit and dropped their
    // newest bytes (overruns).
    ULONG Underruns() const;
    ULONG Overruns() const;

private:
    void ResetLocked();
    ULONG FreeSpaceLocked() const { return size_ - level_; }
    // Copies (or fills) `bytes` at the write offset, wrapping.
    void StoreLocked(const UCHAR* source, ULONG bytes);
    // Copies (or discards) `bytes` from the read offset, wrapping.
    void FetchLocked(UCHAR* destination, ULONG bytes);
    void AddDebtLocked(LONGLONG bytes);

    mutable KSPIN_LOCK lock_;
    const bool isInput_;
    ULONG size_ = 0;  // bytes
    ULONG level_ = 0;
    ULONG frameBytes_ = 0;
    LONG debt_ = 0;  // > 0 owed to the reader as fill, < 0 owed by the writer
    ULONG writeOffset_ = 0;
    ULONG readOffset_ = 0;
    ULONG prefill_ = 0;
    bool primed_ = false;
    ULONG underruns_ = 0;
    ULONG overruns_ = 0;
    UCHAR fillByte_ = 0;
    PoolBuffer<UCHAR> buffer_;  // tag "USBA", rounded up to whole ULONGs
};

}  // namespace vq7
