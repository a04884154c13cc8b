#include "engine/asio_ring.h"

#include "common/locks.h"

namespace vq7 {

volatile LONG OutputPrefillOverride_frames = 0;

namespace {

template <typename T>
T Smaller(T a, T b) { return a < b ? a : b; }

LONGLONG Magnitude(LONGLONG value) { return value < 0 ? -value : value; }

}  // namespace

AsioRing::AsioRing(bool isInput) : isInput_(isInput) { KeInitializeSpinLock(&lock_); }

// PASSIVE_LEVEL.
NTSTATUS AsioRing::Allocate(ULONG frames, ULONG frameBytes, UCHAR fillByte) {
    PAGED_CODE();
    const ULONGLONG bytes = static_cast<ULONGLONG>(frames) * frameBytes;
    // Offsets and levels are ULONG and the debt a LONG: a ring must fit both.
    if (bytes == 0 || bytes > MAXLONG) {
        return STATUS_INVALID_PARAMETER;
    }
    if (HasBuffer()) {
        return STATUS_UNSUCCESSFUL;
    }
    PoolBuffer<UCHAR> buffer;
    if (!buffer.Allocate((bytes + 3) & ~3ull, kPoolTagUsba)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InStackLock guard(lock_);
    buffer_ = static_cast<PoolBuffer<UCHAR>&&>(buffer);
    size_ = static_cast<ULONG>(bytes);
    frameBytes_ = frameBytes;
    fillByte_ = fillByte;
    prefill_ = 0;
    ResetLocked();
    return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL. The buffer goes after the lock is released.
void AsioRing::Free() {
    PoolBuffer<UCHAR> released;
    InStackLock guard(lock_);
    released = static_cast<PoolBuffer<UCHAR>&&>(buffer_);
    size_ = 0;
    level_ = 0;
    frameBytes_ = 0;
    debt_ = 0;
    writeOffset_ = 0;
    readOffset_ = 0;
    prefill_ = 0;
    primed_ = false;
    fillByte_ = 0;
    underruns_ = 0;
    overruns_ = 0;
}

// Under the lock. A debt is bounded by a LONG; a stream that owes more than
// 2 GiB has long lost its timing, so the debt saturates instead of wrapping.
void AsioRing::AddDebtLocked(LONGLONG bytes) {
    LONGLONG debt = static_cast<LONGLONG>(debt_) + bytes;
    if (debt > MAXLONG) {
        debt = MAXLONG;
    } else if (debt < -MAXLONG) {
        debt = -MAXLONG;
    }
    debt_ = static_cast<LONG>(debt);
}

void AsioRing::StoreLocked(const UCHAR* source, ULONG bytes) {
    while (bytes > 0) {
        const ULONG piece = Smaller(bytes, size_ - writeOffset_);
        if (source != nullptr) {
            RtlCopyMemory(buffer_.get() + writeOffset_, source, piece);
            source += piece;
        } else {
            RtlFillMemory(buffer_.get() + writeOffset_, piece, fillByte_);
        }
        writeOffset_ = (writeOffset_ + piece) % size_;
        level_ += piece;
        bytes -= piece;
    }
}

void AsioRing::FetchLocked(UCHAR* destination, ULONG bytes) {
    while (bytes > 0) {
        const ULONG piece = Smaller(bytes, size_ - readOffset_);
        if (destination != nullptr) {
            RtlCopyMemory(destination, buffer_.get() + readOffset_, piece);
            destination += piece;
        }
        readOffset_ = (readOffset_ + piece) % size_;
        level_ -= piece;
        bytes -= piece;
    }
}

// IRQL <= DISPATCH_LEVEL. Bytes the reader already got as fill are taken
// off the end of the request, so the audio that is kept starts where the
// reader's timeline expects the next new frame.
ULONG AsioRing::Write(const UCHAR* source, ULONG bytes, bool partial) {
    InStackLock guard(lock_);
    if (size_ == 0 || (isInput_ && !primed_)) {
        return 0;
    }
    ULONG cancelled = 0;
    if (debt_ < 0) {
        cancelled = Smaller(bytes, static_cast<ULONG>(-static_cast<LONGLONG>(debt_)));
        debt_ += static_cast<LONG>(cancelled);
    }
    const ULONG rest = bytes - cancelled;
    const ULONG stored = Smaller(rest, FreeSpaceLocked());
    StoreLocked(source, stored);
    if (partial) {
        return cancelled + stored;
    }
    if (stored < rest) {
        overruns_ += 1;
    }
    AddDebtLocked(rest - stored);  // dropped: the reader gets fill in their place
    return bytes;
}

// IRQL <= DISPATCH_LEVEL. Fill owed for dropped bytes comes first, where
// the dropped audio would have been.
ULONG AsioRing::Read(UCHAR* destination, ULONG bytes, bool partial) {
    InStackLock guard(lock_);
    if (size_ == 0 || (!isInput_ && !primed_)) {
        return 0;
    }
    ULONG owed = 0;
    if (debt_ > 0) {
        owed = Smaller(bytes, static_cast<ULONG>(debt_));
        debt_ -= static_cast<LONG>(owed);
        if (destination != nullptr) {
            RtlFillMemory(destination, owed, fillByte_);
        }
    }
    const ULONG rest = bytes - owed;
    const ULONG fetched = Smaller(rest, level_);
    FetchLocked(destination != nullptr ? destination + owed : nullptr, fetched);
    if (partial) {
        return owed + fetched;
    }
    const ULONG missing = rest - fetched;
    if (destination != nullptr) {
        RtlFillMemory(destination + owed + fetched, missing, fillByte_);
    }
    if (missing != 0) {
        underruns_ += 1;
    }
    AddDebtLocked(-static_cast<LONGLONG>(missing));  // the writer skips as much
    return bytes;
}

void AsioRing::ResetLocked() {
    level_ = prefill_;
    writeOffset_ = size_ != 0 ? prefill_ % size_ : 0;
    readOffset_ = 0;
    debt_ = 0;
    primed_ = false;
    underruns_ = 0;
    overruns_ = 0;
    if (buffer_) {
        RtlFillMemory(buffer_.get(), buffer_.bytes(), fillByte_);
    }
}

// IRQL <= DISPATCH_LEVEL.
void AsioRing::Reset() {
    InStackLock guard(lock_);
    ResetLocked();
}

// IRQL <= DISPATCH_LEVEL.
void AsioRing::SetPrefill(ULONG bytes) {
    InStackLock guard(lock_);
    const LONG override_frames = OutputPrefillOverride_frames;
    if (override_frames != 0) {
        bytes = static_cast<ULONG>(Smaller<ULONGLONG>(static_cast<ULONG>(override_frames) * ULONGLONG{frameBytes_},
                                                      MAXULONG));
    }
    prefill_ = Smaller(bytes, size_);
    ResetLocked();
}

// IRQL <= DISPATCH_LEVEL.
void AsioRing::Prime() {
    InStackLock guard(lock_);
    primed_ = true;
}

// IRQL <= DISPATCH_LEVEL. What a reset ring holds is whole frames, so
// skipping whole frames keeps both sides on frame boundaries.
void AsioRing::Skip(ULONG frames) {
    const ULONGLONG bytes = static_cast<ULONGLONG>(frames) * FrameBytes();
    const ULONG clipped = static_cast<ULONG>(Smaller<ULONGLONG>(bytes, MAXLONG));
    if (isInput_) {
        Read(nullptr, clipped, false);
    } else {
        Write(nullptr, clipped, false);
    }
}

// IRQL <= DISPATCH_LEVEL. Input's lock before output's, always, so that
// two balances never wait for each other.
void AsioRing::Balance(AsioRing& input, AsioRing& output) {
    InStackLock inputGuard(input.lock_);
    InStackLock outputGuard(output.lock_);
    if (input.frameBytes_ == 0 || output.frameBytes_ == 0) {
        return;
    }
    const LONGLONG in = input.debt_;
    const LONGLONG out = output.debt_;
    if ((in < 0 && out > 0) || (in > 0 && out < 0)) {
        const LONGLONG inFrames = Magnitude(in) / input.frameBytes_;
        const LONGLONG outFrames = Magnitude(out) / output.frameBytes_;
        if (inFrames <= outFrames) {
            output.AddDebtLocked(in / input.frameBytes_ * output.frameBytes_);
            input.debt_ = 0;
        } else {
            input.AddDebtLocked(out / output.frameBytes_ * input.frameBytes_);
            output.debt_ = 0;
        }
    }
}

bool AsioRing::HasBuffer() const {
    InStackLock guard(lock_);
    return static_cast<bool>(buffer_);
}

bool AsioRing::Primed() const {
    InStackLock guard(lock_);
    return primed_;
}

ULONG AsioRing::Level() const {
    InStackLock guard(lock_);
    return level_;
}

LONG AsioRing::Debt() const {
    InStackLock guard(lock_);
    return debt_;
}

ULONG AsioRing::Prefill() const {
    InStackLock guard(lock_);
    return prefill_;
}

ULONG AsioRing::Underruns() const {
    InStackLock guard(lock_);
    return underruns_;
}

ULONG AsioRing::Overruns() const {
    InStackLock guard(lock_);
    return overruns_;
}

}  // namespace vq7
