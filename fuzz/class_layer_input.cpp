#include "class_layer_input.h"

#include <algorithm>

#include "fuzz_input.h"

namespace vq7fuzz {

namespace {

constexpr uint8_t kFullSpeed = 0x01;
constexpr uint8_t kClockReadsWithoutControl = 0x02;
constexpr uint8_t kStartOnly = 0x04;
constexpr size_t kDeviceDescriptorBytes = 18;

enum ReplyAction : uint8_t { kOwnReply = 0, kStall = 1, kReplace = 2, kTruncate = 3 };

std::vector<simusb::StringEntry> DecodeStrings(FuzzInput& in) {
    std::vector<simusb::StringEntry> strings;
    const size_t count = std::min<size_t>(in.Byte(), kMaxStrings);
    for (size_t i = 0; i < count; ++i) {
        simusb::StringEntry entry;
        entry.index = in.Byte();
        entry.langId = in.U16();
        const size_t units = std::min<size_t>(in.Byte(), kMaxStringUnits);
        for (size_t u = 0; u < units; ++u) {
            entry.text.push_back(static_cast<char16_t>(in.U16()));
        }
        // Index 0 is the language list, and an index and language are given
        // once: the device's own rules for a descriptor file.
        const bool repeated = std::any_of(strings.begin(), strings.end(), [&](const simusb::StringEntry& s) {
            return s.index == entry.index && s.langId == entry.langId;
        });
        if (entry.index != 0 && !repeated) {
            strings.push_back(std::move(entry));
        }
    }
    return strings;
}

std::vector<simusb::ClockSettings> DecodeClocks(FuzzInput& in) {
    std::vector<simusb::ClockSettings> clocks;
    const size_t count = std::min<size_t>(in.Byte(), kMaxClocks);
    for (size_t i = 0; i < count; ++i) {
        simusb::ClockSettings clock;
        clock.id = in.Byte();
        const size_t rates = std::min<size_t>(in.Byte(), kMaxRates);
        for (size_t r = 0; r < rates; ++r) {
            const uint32_t rate = in.U32();
            clock.rates.push_back(simusb::RateRange{rate, rate, 0});
        }
        const bool repeated = std::any_of(clocks.begin(), clocks.end(),
                                          [&](const simusb::ClockSettings& c) { return c.id == clock.id; });
        if (!repeated) {
            clocks.push_back(std::move(clock));
        }
    }
    return clocks;
}

}  // namespace

ClassLayerInput DecodeClassLayerInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    ClassLayerInput input;
    const uint8_t flags = in.Byte();
    input.file.descriptors.speed = (flags & kFullSpeed) != 0 ? simusb::Speed::Full : simusb::Speed::High;
    input.file.quirks.clockReadsWithoutControl = (flags & kClockReadsWithoutControl) != 0;
    input.startOnly = (flags & kStartOnly) != 0;
    input.file.descriptors.device = in.Bytes(kDeviceDescriptorBytes);
    const size_t configBytes = std::min<size_t>(in.U16(), kMaxConfigurationBytes);
    if (configBytes != 0) {
        input.file.descriptors.configurations.push_back(in.Bytes(configBytes));
    }
    input.file.descriptors.strings = DecodeStrings(in);
    input.file.clocks = DecodeClocks(in);
    input.replyScript = in.Bytes(in.Remaining());
    return input;
}

std::vector<uint8_t> EncodeClassLayerInput(const simusb::DescriptorFile& file) {
    FuzzInputWriter out;
    const simusb::DescriptorSet& set = file.descriptors;
    uint8_t flags = set.speed == simusb::Speed::Full ? kFullSpeed : 0;
    if (file.quirks.clockReadsWithoutControl) flags |= kClockReadsWithoutControl;
    out.Byte(flags);
    std::vector<uint8_t> device = set.device;
    device.resize(kDeviceDescriptorBytes, 0);
    out.Bytes(device);
    std::vector<uint8_t> config = set.configurations.empty() ? std::vector<uint8_t>{} : set.configurations.front();
    config.resize(std::min(config.size(), kMaxConfigurationBytes));
    out.U16(static_cast<uint16_t>(config.size())).Bytes(config);
    const size_t strings = std::min(set.strings.size(), kMaxStrings);
    out.Byte(static_cast<uint8_t>(strings));
    for (size_t i = 0; i < strings; ++i) {
        const simusb::StringEntry& entry = set.strings[i];
        const size_t units = std::min(entry.text.size(), kMaxStringUnits);
        out.Byte(entry.index).U16(entry.langId).Byte(static_cast<uint8_t>(units));
        for (size_t u = 0; u < units; ++u) out.U16(static_cast<uint16_t>(entry.text[u]));
    }
    const size_t clocks = std::min(file.clocks.size(), kMaxClocks);
    out.Byte(static_cast<uint8_t>(clocks));
    for (size_t i = 0; i < clocks; ++i) {
        const simusb::ClockSettings& clock = file.clocks[i];
        const size_t rates = std::min(clock.rates.size(), kMaxRates);
        out.Byte(clock.id).Byte(static_cast<uint8_t>(rates));
        for (size_t r = 0; r < rates; ++r) out.U32(clock.rates[r].min);
    }
    return out.Result();
}

void ReplyScript::Apply(const simusb::Setup&, simusb::ControlReply& reply) {
    FuzzInput in(script_.data() + std::min(at_, script_.size()), script_.size() - std::min(at_, script_.size()));
    const size_t before = in.Remaining();
    switch (in.Byte() & 3) {
    case kOwnReply:
        break;
    case kStall:
        reply.stall = true;
        break;
    case kReplace:
        reply.stall = false;
        reply.data = in.Bytes(in.Byte());
        break;
    case kTruncate:
        reply.data.resize(std::min<size_t>(reply.data.size(), in.Byte()));
        break;
    }
    at_ += before - in.Remaining();
}

}  // namespace vq7fuzz
