// Class requests of a version 2.0 audio function: CUR and RANGE on clock
// sources (sampling frequency, validity), clock selectors, feature units
// (mute, volume) and terminals (connector).
//
// Requests are 0xA1 (GET) and 0x21 (SET) to the audio control interface,
// wValue = selector << 8 | channel, wIndex = entity << 8 | interface. A
// control whose two-bit field is 00 stalls both ways; 01 is read-only, and a
// SET to it stalls. A SET of a rate the clock does not offer, of a selector
// pin out of range, or with the wrong data length stalls. Setting the rate a
// clock already runs at changes nothing; another rate restarts the clock
// and its validity reads false for the clock's settle time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "simusb/audio_function.h"
#include "simusb/audio_model.h"
#include "simusb/audio_settings.h"
#include "simusb/feature_unit_state.h"

namespace simusb {

// What a connector control reports: the cluster plugged in (0 channels: nothing).
struct ConnectorState {
    uint8_t channels = 0;
    uint32_t channelConfig = 0;
    uint8_t channelNames = 0;
    bool operator==(const ConnectorState&) const = default;
};

namespace uac2 {

enum class Control { ClockFrequency, ClockValidity, ClockSelector, Mute, Volume, Connector };
enum class EntityKind { ClockSource, ClockSelector, FeatureUnit, Terminal };

// One control the function answers (the table is in uac2_function.cpp).
struct ControlShape {
    Control control;
    EntityKind entity;
    uint8_t selector;    // CS, the high byte of wValue
    unsigned field;      // which two-bit field of bmControls says whether it is present and programmable
    uint8_t curBytes;    // length of the CUR parameter block
    uint8_t rangeBytes;  // length of each of MIN, MAX and RES in a RANGE subrange; 0: no RANGE
};

}  // namespace uac2

class Uac2Function final : public AudioFunction {
public:
    Uac2Function(const AudioModel& model, const AudioSettings& settings, int64_t now_ns);

    ControlReply Request(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) override;
    ClockModel* StreamClock(const StreamAltSetting& alt) override;
    bool ClockValid(const StreamAltSetting& alt, int64_t now_ns) const override;
    void SetClockOffsetPpb(int64_t offset_ppb, int64_t now_ns) override;

    // Test side.
    uint32_t Rate(uint8_t clockId) const;
    bool Valid(uint8_t clockId, int64_t now_ns) const;
    const std::vector<RateRange>* Rates(uint8_t clockId) const;
    uint8_t SelectorPin(uint8_t selectorId) const;
    FeatureUnitState* FeatureUnit(uint8_t id);
    ConnectorState Connector(uint8_t terminalId) const;
    void SetConnector(uint8_t terminalId, const ConnectorState& state);
    ClockModel* Clock(uint8_t clockSourceId);
    // The clock source a clock entity (source or selector chain) resolves to; 0 if none.
    uint8_t ResolveClockSource(uint8_t clockEntity) const;

private:
    using Control = uac2::Control;
    using EntityKind = uac2::EntityKind;
    using ControlShape = uac2::ControlShape;

    struct ClockState {
        ClockSourceEntity entity;
        std::vector<RateRange> rates;
        int64_t settle_ns = 0;
        int64_t validFrom_ns = 0;
        ClockModel clock;
    };
    struct SelectorState {
        ClockSelectorEntity entity;
        uint8_t pin = 1;
    };
    struct TerminalState {
        TerminalEntity entity;
        ConnectorState connector;
    };

    std::optional<EntityKind> KindOf(uint8_t entity) const;
    static const ControlShape* FindShape(EntityKind kind, uint8_t selector);
    Access AccessOf(const ControlShape& shape, uint8_t entity, uint8_t channel) const;
    std::vector<uint8_t> GetCur(const ControlShape& shape, uint8_t entity, uint8_t channel, int64_t now_ns);
    std::vector<uint8_t> GetRange(const ControlShape& shape, uint8_t entity, uint8_t channel) const;
    bool SetCur(const ControlShape& shape, uint8_t entity, uint8_t channel, std::span<const uint8_t> data,
                int64_t now_ns);
    bool SetRate(ClockState& clock, uint32_t rate, int64_t now_ns);

    const AudioModel& model_;
    bool clockReadsWithoutControl_;
    std::map<uint8_t, ClockState> clocks_;
    std::map<uint8_t, SelectorState> selectors_;
    std::map<uint8_t, FeatureUnitState> featureUnits_;
    std::map<uint8_t, TerminalState> terminals_;
};

}  // namespace simusb
