#include "simusb/uac1_function.h"

#include "simusb/audio_codes.h"
#include "simusb/byte_order.h"
#include "simusb/usb_codes.h"

namespace simusb {

namespace {

constexpr uint16_t kSamplingFrequencyValue = uac::kEndpointSamplingFrequencyControl << 8;
constexpr size_t kRate_bytes = 3;

ControlReply Stall() { return ControlReply{true, {}}; }
ControlReply Reply(std::vector<uint8_t> data) { return ControlReply{false, std::move(data)}; }

std::vector<uint8_t> Volume(int16_t value) { return LeBytes(static_cast<uint16_t>(value), 2); }

}  // namespace

Uac1Function::Uac1Function(const AudioModel& model, const AudioSettings& settings, int64_t now_ns) : model_(model) {
    for (const StreamingInterface& stream : model.streaming) {
        for (const StreamAltSetting& alt : stream.alternates) {
            EndpointState& state = endpoints_[alt.data->address];
            state.rates.insert(state.rates.end(), alt.rates.begin(), alt.rates.end());
            state.frequencyControl |= (alt.data->generalAttributes & uac::kEpSamplingFrequencyControl) != 0;
            bool locked = alt.data->Sync() == SyncType::Sync || alt.data->Sync() == SyncType::Adaptive;
            state.clock.SetLockedToBus(locked, now_ns);
        }
    }
    for (auto& [address, state] : endpoints_) {
        state.clock.Start(PowerUpRate(state.rates, 0), now_ns);
        state.clock.SetOffsetPpb(settings.clockOffset_ppb, now_ns);
    }
    for (const FeatureUnitEntity& entity : model.featureUnits) {
        featureUnits_.emplace(entity.id, FeatureUnitState(entity, settings.FeatureUnit(entity.id)));
    }
}

ControlReply Uac1Function::Request(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) {
    if (setup.Recipient() == usb::kRecipientEndpoint) return EndpointRequest(setup, outData, now_ns);
    if (setup.Recipient() == usb::kRecipientInterface && (setup.wIndex & 0xFF) == model_.controlInterface) {
        return FeatureUnitRequest(setup, outData);
    }
    return Stall();
}

ControlReply Uac1Function::EndpointRequest(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) {
    auto found = endpoints_.find(static_cast<uint8_t>(setup.wIndex));
    if (found == endpoints_.end() || setup.wIndex > 0xFF || setup.wValue != kSamplingFrequencyValue ||
        !found->second.frequencyControl) {
        return Stall();
    }
    EndpointState& endpoint = found->second;
    if (setup.bmRequestType == uac::kGetEndpointRequest && setup.bRequest == uac::kGetCur1) {
        return Reply(LeBytes(endpoint.clock.Rate(), kRate_bytes));
    }
    if (setup.bmRequestType != uac::kSetEndpointRequest || setup.bRequest != uac::kSetCur1 ||
        outData.size() != kRate_bytes) {
        return Stall();
    }
    uint32_t rate = ReadLe(outData, 0, kRate_bytes);
    if (!Offers(endpoint.rates, rate)) return Stall();
    if (rate != endpoint.clock.Rate()) endpoint.clock.Start(rate, now_ns);
    return ControlReply{};
}

ControlReply Uac1Function::FeatureUnitRequest(const Setup& setup, std::span<const uint8_t> outData) {
    auto found = featureUnits_.find(static_cast<uint8_t>(setup.wIndex >> 8));
    if (found == featureUnits_.end()) return Stall();
    FeatureUnitState& unit = found->second;
    uint8_t selector = static_cast<uint8_t>(setup.wValue >> 8);
    uint8_t channel = static_cast<uint8_t>(setup.wValue);
    bool get = setup.bmRequestType == uac::kGetInterfaceRequest;
    bool set = setup.bmRequestType == uac::kSetInterfaceRequest && setup.bRequest == uac::kSetCur1;
    if (selector == uac::kMuteControl && unit.MuteAccess(channel) != Access::None) {
        if (get && setup.bRequest == uac::kGetCur1) return Reply({static_cast<uint8_t>(unit.Muted(channel) ? 1 : 0)});
        if (set && outData.size() == 1 && outData[0] <= 1) {
            unit.SetMuted(channel, outData[0] == 1);
            return ControlReply{};
        }
    } else if (selector == uac::kVolumeControl && unit.VolumeAccess(channel) != Access::None) {
        const VolumeRange& range = unit.Range(channel);
        if (get && setup.bRequest == uac::kGetCur1) return Reply(Volume(unit.Volume(channel)));
        if (get && setup.bRequest == uac::kGetMin1) return Reply(Volume(range.min));
        if (get && setup.bRequest == uac::kGetMax1) return Reply(Volume(range.max));
        if (get && setup.bRequest == uac::kGetRes1) return Reply(Volume(range.res));
        if (set && outData.size() == 2) {
            unit.SetVolume(channel, static_cast<int16_t>(ReadLe(outData, 0, 2)));
            return ControlReply{};
        }
    }
    return Stall();
}

ClockModel* Uac1Function::StreamClock(const StreamAltSetting& alt) { return Clock(alt.data->address); }

void Uac1Function::SetClockOffsetPpb(int64_t offset_ppb, int64_t now_ns) {
    for (auto& [address, state] : endpoints_) state.clock.SetOffsetPpb(offset_ppb, now_ns);
}

uint32_t Uac1Function::Rate(uint8_t endpointAddress) const {
    auto found = endpoints_.find(endpointAddress);
    return found == endpoints_.end() ? 0 : found->second.clock.Rate();
}

ClockModel* Uac1Function::Clock(uint8_t endpointAddress) {
    auto found = endpoints_.find(endpointAddress);
    return found == endpoints_.end() ? nullptr : &found->second.clock;
}

FeatureUnitState* Uac1Function::FeatureUnit(uint8_t id) {
    auto found = featureUnits_.find(id);
    return found == featureUnits_.end() ? nullptr : &found->second;
}

}  // namespace simusb
