// What a simulated audio device does that its descriptors do not say: the
// rates its clocks offer, volume ranges and starting values, how its streams
// buffer and what they capture, and the behaviour some devices need special
// treatment for. Entities are found by ID and streams by interface number;
// anything not listed takes the defaults below.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace simusb {

// A RANGE subrange; a discrete rate is {rate, rate, 0}.
struct RateRange {
    uint32_t min = 0;
    uint32_t max = 0;
    uint32_t res = 0;

    bool Contains(uint32_t rate) const {
        if (rate < min || rate > max) return false;
        return res == 0 ? rate == min || rate == max : (rate - min) % res == 0;
    }
    bool operator==(const RateRange&) const = default;
};

inline RateRange DiscreteRate(uint32_t rate) { return RateRange{rate, rate, 0}; }
bool Offers(const std::vector<RateRange>& rates, uint32_t rate);
// The rate a clock starts at: `preferred` if offered, else 48 kHz if offered, else the lowest.
uint32_t PowerUpRate(const std::vector<RateRange>& rates, uint32_t preferred);
std::vector<RateRange> DiscreteRates(const std::vector<uint32_t>& rates);
// 44.1, 48, 88.2, 96, 176.4 and 192 kHz.
const std::vector<uint32_t>& DefaultRates();

struct ClockSettings {
    uint8_t id = 0;
    std::vector<RateRange> rates;  // empty: DefaultRates()
    uint32_t rate = 0;             // the rate at power-up; 0: 48 kHz if offered, else the lowest
    int64_t settle_ns = 0;         // after a rate change the validity control reads false this long
};

// Volume in 1/256 dB.
struct VolumeRange {
    int16_t min = -127 * 256;
    int16_t max = 0;
    int16_t res = 256;
    bool operator==(const VolumeRange&) const = default;
};

struct ChannelSettings {
    VolumeRange range;
    int16_t volume = 0;
    bool muted = false;
};

struct FeatureUnitSettings {
    uint8_t id = 0;
    std::vector<ChannelSettings> channels;  // index 0 is the master channel; missing channels take defaults
};

struct RenderOptions {
    uint32_t fifo_frames = 0;            // 0: 4 ms at the stream's rate, at least two largest packets
    uint32_t startThreshold_frames = 0;  // 0: half the FIFO
};

enum class CaptureKind { Silence, TestSignal, WavFile, Loopback };

struct CaptureOptions {
    CaptureKind kind = CaptureKind::TestSignal;
    std::filesystem::path wavFile;         // WavFile
    bool loopWav = true;                   // WavFile: start again at its end, else silence after it
    uint8_t loopbackInterface = 0;         // Loopback: the render streaming interface
    uint32_t loopbackDelay_frames = 0;     // Loopback: capture frame n carries render frame n - delay
    uint32_t fifo_frames = 0;              // 0: 4 ms at the stream's rate
};

struct StreamSettings {
    uint8_t interfaceNumber = 0;
    RenderOptions render;
    CaptureOptions capture;
};

// Behaviour the driver treats some devices specially for.
struct QuirkBehaviour {
    // Every render packet is a 4-byte little-endian length followed by that
    // many audio bytes.
    bool lengthHeaderFraming = false;
    // The device streams only when the host configured every interface of
    // the configuration.
    bool streamsOnlyWithEveryInterface = false;
    // Implicit-feedback capture packets hold back up to this many frames, so
    // their sizes vary by up to this much around the device clock's count.
    uint8_t capturePacketJitter_frames = 0;
    // The clock sources answer GET CUR and GET RANGE of the sampling
    // frequency control although bmControls says the control is absent
    // (SET CUR still stalls), as real fixed-clock devices do.
    bool clockReadsWithoutControl = false;

    bool operator==(const QuirkBehaviour&) const = default;
};

struct AudioSettings {
    std::vector<ClockSettings> clocks;
    std::vector<FeatureUnitSettings> featureUnits;
    std::vector<StreamSettings> streams;
    QuirkBehaviour quirks;
    // Modes the vendor mode request accepts; empty: the request stalls.
    std::vector<uint16_t> vendorModes;
    int64_t clockOffset_ppb = 0;  // the device crystal against the bus clock

    const ClockSettings* Clock(uint8_t id) const;
    const FeatureUnitSettings* FeatureUnit(uint8_t id) const;
    StreamSettings Stream(uint8_t interfaceNumber) const;  // the defaults if not listed
};

}  // namespace simusb
