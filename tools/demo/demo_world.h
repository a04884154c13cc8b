// The system a session runs in: one booted simulated kernel (virtual or
// wall-clock time), the simulated bus and Plug and Play manager with the
// driver image, and the device plugged in and started.
#pragma once

#include <wdm.h>

#include <memory>
#include <string>

#include "adapter/adapter.h"
#include "kmsim/simulation.h"
#include "simpnp/pnp_manager.h"
#include "simusb/audio_device.h"
#include "simusbhost/bus.h"

namespace vq7demo {

class DemoWorld {
public:
    DemoWorld(bool realtime, double seconds);
    ~DemoWorld();
    DemoWorld(const DemoWorld&) = delete;
    DemoWorld& operator=(const DemoWorld&) = delete;

    // Plugs the device in and lets the PnP manager load and start the
    // driver; throws DemoError naming the status when it does not start.
    void Plug(std::shared_ptr<simusb::AudioDevice> device);
    // Unplugs the device and waits until the driver has let it go.
    void Unplug();

    CUSBAudioAdapter& Adapter() const;
    // The device's audio interface path cut before its reference string.
    std::string DevicePath() const;
    std::string InstancePath() const;
    simusbhost::Bus& Bus() { return *bus_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }

private:
    kmsim::Simulation sim_;
    std::unique_ptr<simusbhost::Bus> bus_;
    std::unique_ptr<simpnp::PnpManager> pnp_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace vq7demo
