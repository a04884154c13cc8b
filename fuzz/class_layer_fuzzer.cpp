// libFuzzer target class-layer: the class layer's start on a device made
// from the input's descriptors and control-request replies
// (class_layer_input.h).
#include <cstddef>
#include <cstdint>

#include "class_layer_start.h"
#include "kept_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Bytes the simulated device refuses are kept out of the corpus.
    return vq7fuzz::KeptWorld<vq7fuzz::ClassLayerStartWorld>().Run(data, size) ? 0 : -1;
}
