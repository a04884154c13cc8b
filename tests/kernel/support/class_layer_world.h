// A simulated kernel with a simulated USB host, one simulated audio device
// plugged in, and the driver's class layer on top of it, for tests of the
// USB audio class layer. Timer resolution is 1 ms, as the driver asks for.
// With `spy`, the bus reaches the device through a SpyDevice that records
// the isochronous packets.
#pragma once

#include <memory>
#include <string>

#include "kmsim/simulation.h"
#include "simusb/audio_device.h"
#include "simusbhost/bus.h"
#include "spy_device.h"
#include "usbaudiocl.h"

namespace kerneltest {

class ClassLayerWorld {
public:
    explicit ClassLayerWorld(std::shared_ptr<simusb::AudioDevice> device,
                             const simusbhost::ControllerIdentity& controller = simusbhost::ControllerIdentity{},
                             const kmsim::Options& options = kmsim::Options{}, bool spy = false);
    // A ready-made device by name.
    explicit ClassLayerWorld(const std::string& readyMade);
    ~ClassLayerWorld();
    ClassLayerWorld(const ClassLayerWorld&) = delete;
    ClassLayerWorld& operator=(const ClassLayerWorld&) = delete;

    // Creates the class layer and starts it on the device, as the adapter does.
    NTSTATUS Start(ULONG irpCount = 24);
    // Start, then SelectConfiguration.
    NTSTATUS StartAndConfigure(ULONG irpCount = 24);
    // Destroys the class layer (the device stays plugged in).
    void DestroyLayer();

    CUSBAudioCL& Layer() { return *layer_; }
    bool HasLayer() const { return layer_ != nullptr; }
    simusb::AudioDevice& Device() { return *device_; }
    SpyDevice& Spy() { return *spy_; }
    simusbhost::Bus& Bus() { return *bus_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }

private:
    kmsim::Simulation sim_;
    std::shared_ptr<simusb::AudioDevice> device_;
    std::shared_ptr<SpyDevice> spy_;
    std::unique_ptr<simusbhost::Bus> bus_;
    PDEVICE_OBJECT pdo_ = nullptr;
    CUSBAudioCL* layer_ = nullptr;
};

// The device of a ready-made name; aborts the test run for an unknown name.
std::shared_ptr<simusb::AudioDevice> ReadyMadeDevice(const std::string& name);

}  // namespace kerneltest
