// The adapter's mixing slice: the WaveRT span lists, preparing a WaveRT
// stream (its direction running and its mixer attached), the device streams
// as the mixers see them, and the mixers' binding and teardown.

#include "adapter/adapter.h"

#include "common/trace.h"
#include "engine/mixer_lead.h"

// IRQL <= DISPATCH_LEVEL. Spans arriving once removal has begun are not
// kept: nothing will consume them.
STDMETHODIMP_(void) CUSBAudioAdapter::QueueRenderSpan(PVOID Address, LONG Length) {
    if (KeReadStateEvent(&engine_.removing) == 0) {
        renderSpans_.Append(Address, Length);
    }
}

STDMETHODIMP_(void) CUSBAudioAdapter::QueueCaptureSpan(PVOID Address, LONG Length) {
    if (KeReadStateEvent(&engine_.removing) == 0) {
        captureSpans_.Append(Address, Length);
    }
}

STDMETHODIMP_(void) CUSBAudioAdapter::FlushRenderSpans() { renderSpans_.Flush(); }

STDMETHODIMP_(void) CUSBAudioAdapter::FlushCaptureSpans() { captureSpans_.Flush(); }

// PASSIVE_LEVEL. The render mixer writes as far ahead as the client's
// buffer lasts, up to its ceiling. A mixer that cannot attach (no
// conversion from the client's format to the device's) stops the direction
// again.
STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::Prepare(BOOLEAN Capture, ULONG BufferBytes) {
    PAGED_CODE();
    const bool capture = Capture != FALSE;
    NTSTATUS status = StartDirection(capture);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (capture) {
        status = mixers_.waveRtCapture.Attach(StreamLayout());
    } else {
        const vq7::DirectionFormat& format = engine_.Direction(false).format;
        mixers_.waveRtRender.SetLatencyPercent(vq7::BufferLatencyPercent(BufferBytes, format.frameBytes, format.rate));
        status = mixers_.waveRtRender.Attach(StreamLayout());
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceEngine, "WaveRT mixer of direction %u not attached: 0x%08lx",
                  capture ? 1u : 0u, static_cast<ULONG>(status));
        StopDirection(capture);
    }
    return status;
}

// PASSIVE_LEVEL. The mixer goes first, so that nothing reads or writes the
// stream's buffer once its direction stops.
STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::Unprepare(BOOLEAN Capture) {
    PAGED_CODE();
    const bool capture = Capture != FALSE;
    if (capture) {
        mixers_.waveRtCapture.Detach();
    } else {
        mixers_.waveRtRender.Detach();
    }
    NTSTATUS status = StopDirection(capture);
    if (capture) {
        FlushCaptureSpans();
    } else {
        FlushRenderSpans();
    }
    return status;
}

namespace {

vq7::AudioFormat MixerFormat(const vq7::DirectionFormat& usbFormat, USHORT mode) {
    return vq7::AudioFormat{mode, usbFormat.formatTag, usbFormat.bitsPerSample, usbFormat.channels, usbFormat.rate};
}

}  // namespace

vq7::DeviceStreamLayout CUSBAudioAdapter::StreamLayout() const {
    const vq7::DirectionObjects& render = engine_.Direction(false);
    const vq7::DirectionObjects& capture = engine_.Direction(true);
    return vq7::DeviceStreamLayout{MixerFormat(render.usbFormat, currentDsdMode_),
                                   MixerFormat(capture.usbFormat, currentDsdMode_), render.transferBytes,
                                   capture.transferBytes, !classLayer_.IsClassTwo()};
}

// PASSIVE_LEVEL, at the end of Init. The WaveRT render mixer is paced by
// capture whenever the device captures.
void CUSBAudioAdapter::BindMixers() {
    waveRtRenderSource_.SetCapturePaced(classLayer_.CaptureStream() != nullptr);
    mixers_.waveRtRender.Bind(&waveRtRenderSource_);
    mixers_.waveRtCapture.Bind(&waveRtCaptureSink_);
}

// PASSIVE_LEVEL, from the destructor.
void CUSBAudioAdapter::TearDownMixing() {
    mixers_.waveRtRender.Detach();
    mixers_.asioRender.Detach();
    mixers_.waveRtCapture.Detach();
    mixers_.asioCapture.Detach();
    renderSpans_.Flush();
    captureSpans_.Flush();
}
