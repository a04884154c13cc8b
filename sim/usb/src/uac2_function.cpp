#include "simusb/uac2_function.h"

#include <algorithm>
#include <iterator>

#include "simusb/audio_codes.h"
#include "simusb/byte_order.h"
#include "simusb/usb_codes.h"

namespace simusb {

namespace {

using uac2::Control;
using uac2::ControlShape;
using uac2::EntityKind;

// The controls this function answers. A RANGE subrange holds MIN, MAX and
// RES, each as long as the CUR value.
constexpr ControlShape kControls[] = {
    {Control::ClockFrequency, EntityKind::ClockSource, uac::kClockFrequencyControl, 0, 4, 4},
    {Control::ClockValidity, EntityKind::ClockSource, uac::kClockValidityControl, 1, 1, 0},
    {Control::ClockSelector, EntityKind::ClockSelector, uac::kClockSelectorControl, 0, 1, 0},
    {Control::Mute, EntityKind::FeatureUnit, uac::kMuteControl, 0, 1, 0},
    {Control::Volume, EntityKind::FeatureUnit, uac::kVolumeControl, 1, 2, 2},
    {Control::Connector, EntityKind::Terminal, uac::kConnectorControl, 1, 6, 0},
};

constexpr bool EachControlOnce() {
    for (size_t i = 0; i < std::size(kControls); ++i) {
        for (size_t j = i + 1; j < std::size(kControls); ++j) {
            if (kControls[i].entity == kControls[j].entity && kControls[i].selector == kControls[j].selector) return false;
        }
    }
    return true;
}
static_assert(EachControlOnce(), "an (entity kind, selector) pair names one control");

constexpr bool RangesMatchCur() {
    for (const ControlShape& shape : kControls) {
        if (shape.rangeBytes != 0 && shape.rangeBytes != shape.curBytes) return false;
        if (shape.field >= 16 || shape.curBytes == 0) return false;
    }
    return true;
}
static_assert(RangesMatchCur(), "RANGE values are as long as CUR, and every field fits bmControls");

constexpr int kMaxClockChain = 8;  // selectors in a row before a loop is assumed

ControlReply Stall() { return ControlReply{true, {}}; }

}  // namespace

Uac2Function::Uac2Function(const AudioModel& model, const AudioSettings& settings, int64_t now_ns)
    : model_(model), clockReadsWithoutControl_(settings.quirks.clockReadsWithoutControl) {
    for (const ClockSourceEntity& entity : model.clockSources) {
        const ClockSettings* s = settings.Clock(entity.id);
        ClockState state{entity, {}, s != nullptr ? s->settle_ns : 0, now_ns, {}};
        state.rates = s != nullptr && !s->rates.empty() ? s->rates : DiscreteRates(DefaultRates());
        state.clock.Start(PowerUpRate(state.rates, s != nullptr ? s->rate : 0), now_ns);
        state.clock.SetOffsetPpb(settings.clockOffset_ppb, now_ns);
        state.clock.SetLockedToBus((entity.attributes & desc::kClockSyncedToSof) != 0, now_ns);
        clocks_.emplace(entity.id, std::move(state));
    }
    for (const ClockSelectorEntity& entity : model.clockSelectors) selectors_.emplace(entity.id, SelectorState{entity, 1});
    for (const FeatureUnitEntity& entity : model.featureUnits) {
        featureUnits_.emplace(entity.id, FeatureUnitState(entity, settings.FeatureUnit(entity.id)));
    }
    for (const TerminalEntity& entity : model.terminals) {
        ConnectorState plugged{entity.channels, entity.channelConfig, entity.channelNames};
        if (!entity.input) plugged = ConnectorState{model.ClusterChannels(entity.source), 0, 0};
        terminals_.emplace(entity.id, TerminalState{entity, plugged});
    }
}

ControlReply Uac2Function::Request(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) {
    bool get = setup.bmRequestType == uac::kGetInterfaceRequest;
    bool set = setup.bmRequestType == uac::kSetInterfaceRequest;
    if ((!get && !set) || (setup.wIndex & 0xFF) != model_.controlInterface) return Stall();
    uint8_t entity = static_cast<uint8_t>(setup.wIndex >> 8);
    uint8_t selector = static_cast<uint8_t>(setup.wValue >> 8);
    uint8_t channel = static_cast<uint8_t>(setup.wValue);
    std::optional<EntityKind> kind = KindOf(entity);
    const ControlShape* shape = kind ? FindShape(*kind, selector) : nullptr;
    if (shape == nullptr) return Stall();
    Access access = AccessOf(*shape, entity, channel);
    if (access == Access::None && get && shape->control == Control::ClockFrequency && clockReadsWithoutControl_) {
        access = Access::ReadOnly;
    }
    if (access == Access::None) return Stall();
    if (get && setup.bRequest == uac::kCur) return ControlReply{false, GetCur(*shape, entity, channel, now_ns)};
    if (get && setup.bRequest == uac::kRange && shape->rangeBytes != 0) {
        return ControlReply{false, GetRange(*shape, entity, channel)};
    }
    bool writable = set && setup.bRequest == uac::kCur && access == Access::Programmable;
    if (writable && outData.size() == shape->curBytes && SetCur(*shape, entity, channel, outData, now_ns)) {
        return ControlReply{};
    }
    return Stall();
}

std::optional<uac2::EntityKind> Uac2Function::KindOf(uint8_t entity) const {
    if (clocks_.count(entity) != 0) return EntityKind::ClockSource;
    if (selectors_.count(entity) != 0) return EntityKind::ClockSelector;
    if (featureUnits_.count(entity) != 0) return EntityKind::FeatureUnit;
    if (terminals_.count(entity) != 0) return EntityKind::Terminal;
    return std::nullopt;
}

const uac2::ControlShape* Uac2Function::FindShape(EntityKind kind, uint8_t selector) {
    for (const ControlShape& shape : kControls) {
        if (shape.entity == kind && shape.selector == selector) return &shape;
    }
    return nullptr;
}

Access Uac2Function::AccessOf(const ControlShape& shape, uint8_t entity, uint8_t channel) const {
    if (shape.entity == EntityKind::FeatureUnit) {
        const FeatureUnitState& unit = featureUnits_.at(entity);
        return shape.control == Control::Mute ? unit.MuteAccess(channel) : unit.VolumeAccess(channel);
    }
    if (channel != 0) return Access::None;
    switch (shape.entity) {
    case EntityKind::ClockSource: return ControlAccess(clocks_.at(entity).entity.controls, shape.field);
    case EntityKind::ClockSelector: return ControlAccess(selectors_.at(entity).entity.controls, shape.field);
    case EntityKind::Terminal: return ControlAccess(terminals_.at(entity).entity.controls, shape.field);
    case EntityKind::FeatureUnit: break;
    }
    return Access::None;
}

std::vector<uint8_t> Uac2Function::GetCur(const ControlShape& shape, uint8_t entity, uint8_t channel, int64_t now_ns) {
    switch (shape.control) {
    case Control::ClockFrequency: return LeBytes(clocks_.at(entity).clock.Rate(), 4);
    case Control::ClockValidity: return {static_cast<uint8_t>(Valid(entity, now_ns) ? 1 : 0)};
    case Control::ClockSelector: return {selectors_.at(entity).pin};
    case Control::Mute: return {static_cast<uint8_t>(featureUnits_.at(entity).Muted(channel) ? 1 : 0)};
    case Control::Volume: return LeBytes(static_cast<uint16_t>(featureUnits_.at(entity).Volume(channel)), 2);
    case Control::Connector: {
        const ConnectorState& c = terminals_.at(entity).connector;
        std::vector<uint8_t> out{c.channels};
        ByteWriter(out).U32(c.channelConfig).U8(c.channelNames);
        return out;
    }
    }
    return {};
}

// The RANGE parameter block: wNumSubRanges, then MIN, MAX, RES per subrange.
std::vector<uint8_t> Uac2Function::GetRange(const ControlShape& shape, uint8_t entity, uint8_t channel) const {
    std::vector<uint8_t> out;
    ByteWriter w(out);
    if (shape.control == Control::ClockFrequency) {
        const std::vector<RateRange>& rates = clocks_.at(entity).rates;
        w.U16(static_cast<uint32_t>(rates.size()));
        for (const RateRange& r : rates) w.U32(r.min).U32(r.max).U32(r.res);
    } else {
        const VolumeRange& r = featureUnits_.at(entity).Range(channel);
        w.U16(1).U16(static_cast<uint16_t>(r.min)).U16(static_cast<uint16_t>(r.max)).U16(static_cast<uint16_t>(r.res));
    }
    return out;
}

bool Uac2Function::SetCur(const ControlShape& shape, uint8_t entity, uint8_t channel, std::span<const uint8_t> data,
                          int64_t now_ns) {
    uint32_t value = ReadLe(data, 0, data.size());
    switch (shape.control) {
    case Control::ClockFrequency: return SetRate(clocks_.at(entity), value, now_ns);
    case Control::ClockSelector: {
        SelectorState& selector = selectors_.at(entity);
        if (value < 1 || value > selector.entity.sources.size()) return false;
        selector.pin = static_cast<uint8_t>(value);
        return true;
    }
    case Control::Mute:
        if (value > 1) return false;
        featureUnits_.at(entity).SetMuted(channel, value == 1);
        return true;
    case Control::Volume:
        featureUnits_.at(entity).SetVolume(channel, static_cast<int16_t>(value));
        return true;
    case Control::Connector:
        terminals_.at(entity).connector = ConnectorState{data[0], ReadLe(data, 1, 4), data[5]};
        return true;
    case Control::ClockValidity:
        return false;
    }
    return false;
}

bool Uac2Function::SetRate(ClockState& clock, uint32_t rate, int64_t now_ns) {
    if (!Offers(clock.rates, rate)) return false;
    if (rate == clock.clock.Rate()) return true;
    clock.clock.Start(rate, now_ns);
    clock.validFrom_ns = now_ns + clock.settle_ns;
    return true;
}

uint8_t Uac2Function::ResolveClockSource(uint8_t clockEntity) const {
    for (int depth = 0; depth < kMaxClockChain; ++depth) {
        if (clocks_.count(clockEntity) != 0) return clockEntity;
        auto selector = selectors_.find(clockEntity);
        if (selector == selectors_.end() || selector->second.pin > selector->second.entity.sources.size()) return 0;
        clockEntity = selector->second.entity.sources[selector->second.pin - 1];
    }
    return 0;
}

ClockModel* Uac2Function::StreamClock(const StreamAltSetting& alt) {
    const TerminalEntity* terminal = model_.Terminal(alt.terminalLink);
    return terminal == nullptr ? nullptr : Clock(ResolveClockSource(terminal->clock));
}

bool Uac2Function::ClockValid(const StreamAltSetting& alt, int64_t now_ns) const {
    const TerminalEntity* terminal = model_.Terminal(alt.terminalLink);
    return terminal != nullptr && Valid(ResolveClockSource(terminal->clock), now_ns);
}

void Uac2Function::SetClockOffsetPpb(int64_t offset_ppb, int64_t now_ns) {
    for (auto& [id, state] : clocks_) state.clock.SetOffsetPpb(offset_ppb, now_ns);
}

uint32_t Uac2Function::Rate(uint8_t clockId) const {
    auto found = clocks_.find(clockId);
    return found == clocks_.end() ? 0 : found->second.clock.Rate();
}

bool Uac2Function::Valid(uint8_t clockId, int64_t now_ns) const {
    auto found = clocks_.find(clockId);
    return found != clocks_.end() && now_ns >= found->second.validFrom_ns;
}

const std::vector<RateRange>* Uac2Function::Rates(uint8_t clockId) const {
    auto found = clocks_.find(clockId);
    return found == clocks_.end() ? nullptr : &found->second.rates;
}

uint8_t Uac2Function::SelectorPin(uint8_t selectorId) const {
    auto found = selectors_.find(selectorId);
    return found == selectors_.end() ? 0 : found->second.pin;
}

FeatureUnitState* Uac2Function::FeatureUnit(uint8_t id) {
    auto found = featureUnits_.find(id);
    return found == featureUnits_.end() ? nullptr : &found->second;
}

ConnectorState Uac2Function::Connector(uint8_t terminalId) const {
    auto found = terminals_.find(terminalId);
    return found == terminals_.end() ? ConnectorState{} : found->second.connector;
}

void Uac2Function::SetConnector(uint8_t terminalId, const ConnectorState& state) {
    auto found = terminals_.find(terminalId);
    if (found != terminals_.end()) found->second.connector = state;
}

ClockModel* Uac2Function::Clock(uint8_t clockSourceId) {
    auto found = clocks_.find(clockSourceId);
    return found == clocks_.end() ? nullptr : &found->second.clock;
}

}  // namespace simusb
