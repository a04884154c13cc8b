// The audio class side of a device: answers the class requests and owns the
// sample clocks its streams run on. One implementation per class version.
#pragma once

#include <cstdint>
#include <span>

#include "simusb/audio_model.h"
#include "simusb/clock_model.h"
#include "simusb/device.h"

namespace simusb {

class AudioFunction {
public:
    virtual ~AudioFunction() = default;
    virtual ControlReply Request(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) = 0;
    // The clock an alternate setting streams on; nullptr when none resolves.
    virtual ClockModel* StreamClock(const StreamAltSetting& alt) = 0;
    // Whether that clock may stream now (version 2.0: its validity control).
    virtual bool ClockValid(const StreamAltSetting& alt, int64_t now_ns) const = 0;
    // The device crystal's offset from the bus clock, for every clock not locked to the bus.
    virtual void SetClockOffsetPpb(int64_t offset_ppb, int64_t now_ns) = 0;
};

}  // namespace simusb
