// A device that answers the standard requests from its own descriptors and
// hands class and vendor requests to the function built on top of it.
//
// Every control transfer is recorded (request_log.h) and passes through the
// fault knobs (reply_faults.h) before its data is cut to wLength.
//
// What it answers: GET_DESCRIPTOR for the device, each configuration (by
// index), strings (index 0 is the language list; a string is found by index
// and language, an unknown pair stalls) and, at high speed, the device
// qualifier; SET_ADDRESS; SET_CONFIGURATION and GET_CONFIGURATION;
// SET_INTERFACE and GET_INTERFACE with the alternate setting remembered per
// interface; GET_STATUS, SET_FEATURE and CLEAR_FEATURE for endpoint halt and
// remote wakeup. Anything else stalls.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "simusb/configuration_layout.h"
#include "simusb/descriptor_set.h"
#include "simusb/device.h"
#include "simusb/reply_faults.h"
#include "simusb/request_log.h"

namespace simusb {

class StandardDevice : public Device {
public:
    explicit StandardDevice(DescriptorSet descriptors);

    Speed speed() const override { return descriptors_.speed; }
    ControlReply control(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) final;
    void configured(uint8_t configurationValue, std::span<const uint8_t> interfaces, int64_t now_ns) override;
    void isoOut(uint8_t, const BusTime&, std::span<const uint8_t>) override {}
    size_t isoIn(uint8_t, const BusTime&, std::span<uint8_t>) override { return 0; }
    void settle(int64_t) override {}

    const DescriptorSet& Descriptors() const { return descriptors_; }
    ReplyFaults& Faults() { return faults_; }
    RequestLog& Requests() { return log_; }
    const RequestLog& Requests() const { return log_; }

    uint8_t Configuration() const { return configuration_; }  // 0 while not configured
    uint8_t AlternateSetting(uint8_t interfaceNumber) const;
    uint8_t Address() const { return address_; }
    bool EndpointHalted(uint8_t address) const { return halted_.count(address) != 0; }
    // The layout of the selected configuration, nullptr while not configured.
    const ConfigurationLayout* ActiveLayout() const;
    // Whether the host's last configured() call named every interface of the
    // selected configuration.
    bool HostConfiguredEveryInterface() const { return everyInterfaceConfigured_; }
    const std::vector<uint8_t>& HostConfiguredInterfaces() const { return hostInterfaces_; }

protected:
    // Class and vendor requests; both stall unless a function answers them.
    virtual ControlReply ClassRequest(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns);
    virtual ControlReply VendorRequest(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns);
    // SET_CONFIGURATION took effect (every alternate setting is back to 0).
    virtual void ConfigurationChanged(int64_t /*now_ns*/) {}
    virtual void AlternateSettingChanged(uint8_t /*interfaceNumber*/, uint8_t /*alternate*/, int64_t /*now_ns*/) {}
    virtual void HostInterfacesChanged(int64_t /*now_ns*/) {}

private:
    ControlReply StandardRequest(const Setup& setup, int64_t now_ns);
    ControlReply GetDescriptor(const Setup& setup) const;
    ControlReply GetString(uint8_t index, uint16_t langId) const;
    ControlReply DeviceQualifier() const;
    ControlReply GetStatus(const Setup& setup) const;
    ControlReply ChangeFeature(const Setup& setup, bool set);
    ControlReply SetConfiguration(uint8_t value, int64_t now_ns);
    ControlReply SetInterface(uint8_t interfaceNumber, uint8_t alternate, int64_t now_ns);
    ControlReply GetInterface(uint8_t interfaceNumber) const;
    bool EndpointExists(uint8_t address) const;
    void UpdateEveryInterfaceConfigured();

    DescriptorSet descriptors_;
    std::vector<ConfigurationLayout> layouts_;  // one per configuration set
    ReplyFaults faults_;
    RequestLog log_;
    uint8_t address_ = 0;
    uint8_t configuration_ = 0;
    bool remoteWakeup_ = false;
    std::map<uint8_t, uint8_t> alternates_;  // interface number to alternate setting
    std::set<uint8_t> halted_;               // endpoint addresses
    std::vector<uint8_t> hostInterfaces_;
    bool everyInterfaceConfigured_ = false;
};

}  // namespace simusb
