// What the mixers need to know of the opened device streams, taken by the
// engine when a mixer is attached or its lead reset.
#pragma once

#include <ntddk.h>

#include "engine/audio_format.h"

namespace vq7 {

struct DeviceStreamLayout {
    AudioFormat render;           // current DSD mode and the render USB format
    AudioFormat capture;          // the same for capture (channels 0 without capture)
    ULONG renderTransferBytes;    // largest render transfer of the opened setting
    ULONG captureTransferBytes;   // capture transfer buffer size
    bool classOne;                // a USB Audio Class 1.0 device
};

}  // namespace vq7
