// The adapter's mixing slice: the WaveRT span lists, the device streams as
// the mixers see them, and the mixers' binding and teardown.

#include "adapter/adapter.h"

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
