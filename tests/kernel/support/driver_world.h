// The whole driver on a simulated bus: vq7audio loaded by the simulated
// PnP manager for ready-made devices, with the views tests need of what it
// published (interfaces, registry values, requests the device received)
// and of the adapter each started device got.
#pragma once

#include <wdm.h>

#include <memory>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "kmsim/device_interfaces.h"
#include "kmsim/simulation.h"
#include "simpnp/pnp_manager.h"
#include "simusb/audio_description.h"
#include "simusb/audio_device.h"
#include "simusbhost/bus.h"

namespace kerneltest {

// The driver's process-wide transfer sizing back at its defaults, so that
// one test's start does not become the next one's default.
void ResetPerformanceValues();

struct PluggedDevice {
    std::shared_ptr<simusb::AudioDevice> usb;
    PDEVICE_OBJECT pdo = nullptr;
};

class DriverWorld {
public:
    explicit DriverWorld(const simusbhost::ControllerIdentity& controller = {},
                         const kmsim::Options& options = kmsim::Options{});
    ~DriverWorld();

    // A ready-made device, or one described, made and kept for replugging.
    std::shared_ptr<simusb::AudioDevice> Make(const char* readyMade);
    std::shared_ptr<simusb::AudioDevice> Make(const simusb::AudioDescription& description);
    NTSTATUS Plug(const std::shared_ptr<simusb::AudioDevice>& device, PDEVICE_OBJECT* pdo);
    // Plugs a ready-made device and expects it to start.
    PluggedDevice Start(const char* readyMade);
    void UnplugAndWait(PDEVICE_OBJECT pdo);

    // The hardware key of a device the PnP manager has seen.
    std::string HardwareKey(PDEVICE_OBJECT pdo) const;
    // The started device's adapter, or null.
    CUSBAudioAdapter* Adapter(PDEVICE_OBJECT pdo) const;
    PDEVICE_OBJECT FunctionalDevice(PDEVICE_OBJECT pdo) const;
    // The enabled KSCATEGORY_AUDIO interfaces of one device.
    std::vector<kmsim::DeviceInterface> AudioInterfaces(PDEVICE_OBJECT pdo) const;
    // The device's interface path cut before the reference string.
    std::string DevicePath(PDEVICE_OBJECT pdo) const;

    simusbhost::Bus& Bus() { return *bus_; }
    simpnp::PnpManager& Pnp() { return *pnp_; }

private:
    kmsim::Simulation sim_;
    std::unique_ptr<simusbhost::Bus> bus_;
    std::unique_ptr<simpnp::PnpManager> pnp_;
};

// A device started once to learn its hardware key and unplugged again, so
// that a test can set values there before the start that counts.
class SecondStart {
public:
    SecondStart(DriverWorld& world, const char* readyMade);
    // Plugs the device in again, its request log cleared.
    NTSTATUS Start();
    const std::string& Key() const { return key_; }
    CUSBAudioAdapter* Adapter() const { return world_.Adapter(pdo_); }
    simusb::AudioDevice& Usb() { return *usb_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }

private:
    DriverWorld& world_;
    std::shared_ptr<simusb::AudioDevice> usb_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::string key_;
};

}  // namespace kerneltest
