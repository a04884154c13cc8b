// Building blocks the ready-made devices share, so that each stays a few lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simusb/audio_description.h"

namespace simusb::parts {

inline constexpr int64_t kMillisecond_ns = 1000000;

desc::Format Pcm(uint8_t channels, uint8_t subslotBytes, uint8_t bitResolution);
desc::Format Float32(uint8_t channels);
desc::Format Raw32(uint8_t channels);  // native DSD, 32 bits a subslot

// The USB streaming terminals: from the host (an input terminal) and to it.
desc::Terminal FromHost(uint8_t id, uint8_t clock, uint8_t channels);
desc::Terminal ToHost(uint8_t id, uint8_t source, uint8_t clock);
// A physical input or output with a read-only connector control.
desc::Terminal PhysicalIn(uint8_t id, uint16_t type, uint8_t clock, uint8_t channels);
desc::Terminal PhysicalOut(uint8_t id, uint16_t type, uint8_t source, uint8_t clock);

desc::Channel Controls(Access mute, Access volume, VolumeRange range = {});
// A feature unit with master mute and volume, nothing per channel.
desc::FeatureUnit MasterMuteVolume(uint8_t id, uint8_t source, uint8_t channels);

desc::Clock InternalClock(uint8_t id, std::vector<uint32_t> rates, int64_t settle_ns = 0);

inline constexpr uint8_t kStereoDuplexClock = 9;

// A high-speed version 2.0 duplex device on one clock (ID 9): stereo from
// the host through terminal 1 to a line output 2 (async render on endpoint
// 0x01 with explicit feedback on 0x81), stereo from line input 3 to the host
// through terminal 4 (async capture on 0x82). Streams are interfaces 1 and 2.
AudioDescription StereoDuplex(const desc::Identity& identity);

}  // namespace simusb::parts
