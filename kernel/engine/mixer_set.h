// The adapter's four mixers: one per client kind (ASIO, WaveRT) and
// direction, so that both kinds can share a direction.
#pragma once

#include "engine/capture_mixer.h"
#include "engine/render_mixer.h"

namespace vq7 {

struct MixerSet {
    RenderMixer asioRender{&TransferContext::asioMixerLink};
    RenderMixer waveRtRender{&TransferContext::waveRtMixerLink};
    CaptureMixer asioCapture;
    CaptureMixer waveRtCapture;
};

}  // namespace vq7
