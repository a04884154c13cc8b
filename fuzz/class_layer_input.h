// The class-layer target's input: a simulated device's descriptor set (the
// contents of a descriptor file, docs/descriptor-file.md) followed by a
// script of control-request replies.
//
//   flags            u8   bit 0: full speed (else high), bit 1: the quirk
//                         clock-reads-without-control, bit 2: start only
//                         (else start and select the configuration)
//   device           18 bytes, the device descriptor
//   config length    u16, at most kMaxConfigurationBytes; then the bytes
//   strings          u8 count (at most kMaxStrings); each: u8 index,
//                    u16 language, u8 length in UTF-16 units (at most
//                    kMaxStringUnits), then the units (little-endian)
//   clocks           u8 count (at most kMaxClocks); each: u8 clock id,
//                    u8 count (at most kMaxRates), then that many u32 rates
//   reply script     the rest: one step per control request the device
//                    answers, in the order they come; when it runs out the
//                    device answers as its descriptors say
//
// A reply step is one byte, its low two bits the action: 0 the device's own
// reply, 1 a stall, 2 the reply replaced by the u8 length and bytes that
// follow, 3 the reply cut to the u8 length that follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "simusb/descriptor_file.h"
#include "simusb/device.h"

namespace vq7fuzz {

constexpr size_t kMaxConfigurationBytes = 4096;
constexpr size_t kMaxStrings = 16;
constexpr size_t kMaxStringUnits = 126;  // what one string descriptor's bLength can carry
constexpr size_t kMaxClocks = 8;
constexpr size_t kMaxRates = 16;

struct ClassLayerInput {
    simusb::DescriptorFile file;
    bool startOnly = false;
    std::vector<uint8_t> replyScript;
};

ClassLayerInput DecodeClassLayerInput(const uint8_t* data, size_t size);
// A seed: the descriptor file's device with an empty reply script.
std::vector<uint8_t> EncodeClassLayerInput(const simusb::DescriptorFile& file);

// Plays a reply script, one step per control request.
class ReplyScript {
public:
    explicit ReplyScript(std::vector<uint8_t> script) : script_(std::move(script)) {}
    void Apply(const simusb::Setup& setup, simusb::ControlReply& reply);

private:
    std::vector<uint8_t> script_;
    size_t at_ = 0;
};

}  // namespace vq7fuzz
