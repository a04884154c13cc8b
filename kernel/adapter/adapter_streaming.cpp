// The adapter's streaming slots: the formats of the WaveRT streams.

#include "adapter/adapter.h"

#include "common/locks.h"

// PASSIVE_LEVEL. The format a client streams in: the device must offer it,
// at the device's rate unless the device has none, and at the other
// direction's rate when one clock serves both. A direction nobody streams
// on is opened at once, so that the device is ready when the stream runs.
STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::SetFormat(BOOLEAN Capture, USHORT FormatTag, ULONG Channels,
                                                    ULONG BitsPerSample, ULONG Rate) {
    PAGED_CODE();
    if (Removing()) {
        return STATUS_DELETE_PENDING;
    }
    const bool capture = Capture != FALSE;
    if (capture) {
        FlushCaptureSpans();
    } else {
        FlushRenderSpans();
    }
    vq7::MutexLock guard(engine_.streamStateMutex);
    vq7::DirectionObjects& direction = engine_.Direction(capture);
    const vq7::DirectionObjects& other = engine_.Direction(!capture);
    const vq7::DirectionFormat& stored = direction.format;
    if (Channels != stored.channels || BitsPerSample != stored.bitsPerSample || Rate != stored.rate) {
        if ((!playbackOnly_ || asioOwnerPresent_ != 0) && Rate != deviceSampleRate_) {
            return STATUS_NO_MATCH;
        }
        if (classLayer_.SharedClock() && other.formatSet != 0 && Rate != other.format.rate) {
            return STATUS_NO_MATCH;
        }
        ULONG channels = 0;
        ULONG containerBits = 0;
        NTSTATUS status =
            classLayer_.FindFormat(capture ? 1 : 0, FormatTag, Channels, BitsPerSample, Rate, &channels, &containerBits);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        direction.format = vq7::DirectionFormat{FormatTag, Channels, BitsPerSample, Rate, Channels * (BitsPerSample / 8)};
    }
    if (Rate != deviceSampleRate_) {
        requestedRate_ = Rate;
    }
    direction.formatSet = 1;
    if (direction.useCount == 0) {
        NTSTATUS status = OpenDirection(capture);
        if (!NT_SUCCESS(status)) {
            ClearFormatLocked(capture);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
STDMETHODIMP_(void) CUSBAudioAdapter::ClearFormat(BOOLEAN Capture) {
    PAGED_CODE();
    vq7::MutexLock guard(engine_.streamStateMutex);
    ClearFormatLocked(Capture != FALSE);
}

// PASSIVE_LEVEL, under the stream-state mutex. When render follows capture
// the two formats belong together and go only when neither is set.
void CUSBAudioAdapter::ClearFormatLocked(bool capture) {
    vq7::DirectionObjects& direction = engine_.Direction(capture);
    vq7::DirectionObjects& render = engine_.Direction(false);
    vq7::DirectionObjects& captureSide = engine_.Direction(true);
    direction.formatSet = 0;
    const bool neitherSet = render.formatSet == 0 && captureSide.formatSet == 0;
    if (classLayer_.RenderFollowsCapture()) {
        if (neitherSet) {
            render.format = {};
            captureSide.format = {};
        }
    } else {
        direction.format = {};
    }
    if (neitherSet) {
        requestedRate_ = 0;
    }
    if (direction.useCount == 0) {
        engine_.CloseDirection(classLayer_, capture);
    }
}
