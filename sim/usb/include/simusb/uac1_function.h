// Class requests of a version 1.0 audio function.
//
// The sampling rate belongs to each data endpoint: SET_CUR (0x22, 0x01) and
// GET_CUR (0xA2, 0x81) with wValue 0x0100 and wIndex the endpoint address,
// 3 bytes; the endpoint must have the sampling frequency control bit in its
// EP_GENERAL descriptor and the rate must be one its format descriptors
// offer, else the request stalls. Feature units answer SET_CUR, GET_CUR and,
// for volume, GET_MIN, GET_MAX and GET_RES (0x21/0xA1 to the control
// interface). Every endpoint runs on its own clock; synchronous and adaptive
// endpoints are locked to the bus, asynchronous ones follow the crystal.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "simusb/audio_function.h"
#include "simusb/audio_model.h"
#include "simusb/audio_settings.h"
#include "simusb/feature_unit_state.h"

namespace simusb {

class Uac1Function final : public AudioFunction {
public:
    Uac1Function(const AudioModel& model, const AudioSettings& settings, int64_t now_ns);

    ControlReply Request(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) override;
    ClockModel* StreamClock(const StreamAltSetting& alt) override;
    bool ClockValid(const StreamAltSetting&, int64_t) const override { return true; }
    void SetClockOffsetPpb(int64_t offset_ppb, int64_t now_ns) override;

    // Test side.
    uint32_t Rate(uint8_t endpointAddress) const;
    ClockModel* Clock(uint8_t endpointAddress);
    FeatureUnitState* FeatureUnit(uint8_t id);

private:
    struct EndpointState {
        std::vector<RateRange> rates;
        bool frequencyControl = false;
        ClockModel clock;
    };
    ControlReply EndpointRequest(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns);
    ControlReply FeatureUnitRequest(const Setup& setup, std::span<const uint8_t> outData);

    const AudioModel& model_;
    std::map<uint8_t, EndpointState> endpoints_;
    std::map<uint8_t, FeatureUnitState> featureUnits_;
};

}  // namespace simusb
