// The pieces descriptor_builder.cpp assembles a configuration from, shared
// with the per-version emitters (uac1_descriptors.cpp, uac2_descriptors.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "simusb/audio_description.h"
#include "simusb/byte_order.h"

namespace simusb::emit {

void Interface(ByteWriter& w, uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls, uint8_t subclass,
               uint8_t protocol);
// The 7-byte endpoint descriptor, or at version 1.0 the 9-byte audio form.
void Endpoint(ByteWriter& w, AudioClassVersion version, uint8_t address, uint8_t attributes, uint16_t maxPacketSize,
              uint8_t interval, uint8_t refresh = 0, uint8_t synchAddress = 0);

// Writes a class-specific descriptor: `body` after bLength, CS_INTERFACE and `subtype`.
void ClassSpecific(ByteWriter& w, uint8_t type, uint8_t subtype, const std::vector<uint8_t>& body);

uint8_t DataEndpointAttributes(const desc::Stream& stream);
uint16_t DataMaxPacketSize(const AudioDescription& d, const desc::Stream& stream, const desc::Format& format);
uint8_t FeedbackInterval(const AudioDescription& d, const desc::Stream& stream);
// The highest rate the stream's clock (version 2.0) or format (version 1.0) offers.
uint32_t HighestRate(const AudioDescription& d, const desc::Stream& stream);

// A cluster's spatial locations when a format says only how many channels it has.
uint32_t SpatialConfig(uint8_t channels);

const desc::Terminal& FindTerminal(const AudioDescription& d, uint8_t id);
const std::vector<RateRange>& ClockRates(const desc::Clock& clock);

void Uac2ControlInterface(ByteWriter& w, const AudioDescription& d);
void Uac2StreamingSetting(ByteWriter& w, const AudioDescription& d, const desc::Stream& stream,
                          const desc::Format& format);
void Uac1ControlInterface(ByteWriter& w, const AudioDescription& d);
void Uac1StreamingSetting(ByteWriter& w, const AudioDescription& d, const desc::Stream& stream,
                          const desc::Format& format);

// Little-endian field helpers for descriptor bodies.
class Body {
public:
    Body& U8(uint32_t v) { return Le(v, 1); }
    Body& U16(uint32_t v) { return Le(v, 2); }
    Body& U24(uint32_t v) { return Le(v, 3); }
    Body& U32(uint32_t v) { return Le(v, 4); }
    Body& Le(uint64_t v, size_t n) {
        ByteWriter(bytes_).Le(v, n);
        return *this;
    }
    Body& Bytes(const std::vector<uint8_t>& v) {
        bytes_.insert(bytes_.end(), v.begin(), v.end());
        return *this;
    }
    const std::vector<uint8_t>& Done() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace simusb::emit
