// Turns an AudioDescription into the bytes a device answers GET_DESCRIPTOR
// with and the settings its model runs on.
//
// Layout: device descriptor (class 0xEF/2/1 with an interface association
// for version 2.0, 0/0/0 for version 1.0); one configuration; audio control
// interface 0; each stream an interface with alternate setting 0 (no
// endpoint) and one setting per format; the extra interfaces last. Strings:
// 1 manufacturer, 2 product, 3 serial number, all in US English, plus the
// description's extra strings.
//
// wMaxPacketSize of a data endpoint holds the most frames one service
// interval can carry at the highest rate the stream's clock offers, plus one
// (a fast device clock), plus the 4-byte length header where render packets
// carry one. At high speed a payload above 1024 bytes is split into two or
// three transactions (bits 12..11).
#pragma once

#include <cstddef>
#include <cstdint>

#include "simusb/audio_description.h"
#include "simusb/audio_settings.h"
#include "simusb/descriptor_set.h"

namespace simusb {

// Both throw std::invalid_argument for a description that names an entity
// it does not define.
DescriptorSet BuildDescriptors(const AudioDescription& description);
AudioSettings BuildSettings(const AudioDescription& description);

inline uint8_t StreamInterfaceNumber(size_t streamIndex) { return static_cast<uint8_t>(1 + streamIndex); }

}  // namespace simusb
