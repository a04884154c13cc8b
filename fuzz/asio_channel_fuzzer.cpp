// libFuzzer target asio-channel: request sequences on the ASIO channel of a
// simulated Q7 (asio_channel_session.h).
#include <cstddef>
#include <cstdint>

#include "asio_channel_session.h"
#include "kept_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vq7fuzz::RunAsioChannelInput(vq7fuzz::KeptWorld<vq7fuzz::AsioChannelWorld>(), data, size);
    return 0;
}
