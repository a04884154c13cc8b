#include "simusb/packet_framing.h"

#include "simusb/byte_order.h"

namespace simusb {

std::optional<std::span<const uint8_t>> UnwrapLengthHeader(std::span<const uint8_t> packet) {
    if (packet.size() < kLengthHeader_bytes) return std::nullopt;
    uint32_t length = ReadLe(packet, 0, kLengthHeader_bytes);
    if (length != packet.size() - kLengthHeader_bytes) return std::nullopt;
    return packet.subspan(kLengthHeader_bytes);
}

std::vector<uint8_t> WrapLengthHeader(std::span<const uint8_t> audio) {
    std::vector<uint8_t> packet = LeBytes(audio.size(), kLengthHeader_bytes);
    packet.insert(packet.end(), audio.begin(), audio.end());
    return packet;
}

}  // namespace simusb
