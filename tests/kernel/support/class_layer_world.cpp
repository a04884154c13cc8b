#include "class_layer_world.h"

#include <cstdio>
#include <cstdlib>

#include "simusb/ready_made_devices.h"

namespace kerneltest {

std::shared_ptr<simusb::AudioDevice> ReadyMadeDevice(const std::string& name) {
    const simusb::ReadyMadeDevice* found = simusb::FindReadyMadeDevice(name);
    if (found == nullptr) {
        fprintf(stderr, "no ready-made device named %s\n", name.c_str());
        abort();
    }
    return std::shared_ptr<simusb::AudioDevice>(found->Make());
}

ClassLayerWorld::ClassLayerWorld(std::shared_ptr<simusb::AudioDevice> device,
                                 const simusbhost::ControllerIdentity& controller, const kmsim::Options& options,
                                 bool spy)
    : sim_(options), device_(std::move(device)), bus_(std::make_unique<simusbhost::Bus>(controller)) {
    ExSetTimerResolution(10000, TRUE);
    if (spy) {
        spy_ = std::make_shared<SpyDevice>(device_);
        pdo_ = bus_->Attach(spy_);
    } else {
        pdo_ = bus_->Attach(device_);
    }
}

ClassLayerWorld::ClassLayerWorld(const std::string& readyMade) : ClassLayerWorld(ReadyMadeDevice(readyMade)) {}

ClassLayerWorld::~ClassLayerWorld() {
    DestroyLayer();
    bus_.reset();
    ExSetTimerResolution(0, FALSE);
}

NTSTATUS ClassLayerWorld::Start(ULONG irpCount) {
    DestroyLayer();
    layer_ = new CUSBAudioCL;
    if (layer_ == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return layer_->Start(pdo_, irpCount);
}

NTSTATUS ClassLayerWorld::StartAndConfigure(ULONG irpCount) {
    NTSTATUS status = Start(irpCount);
    return NT_SUCCESS(status) ? layer_->SelectConfiguration() : status;
}

void ClassLayerWorld::DestroyLayer() {
    delete layer_;
    layer_ = nullptr;
}

}  // namespace kerneltest
