#include "demo_world.h"

#include <ksmedia.h>

#include "adapter/device_extension.h"
#include "demo_error.h"
#include "kmsim/device_interfaces.h"
#include "status_names.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace vq7demo {

namespace {

kmsim::Options WorldOptions(bool realtime, double seconds) {
    kmsim::Options options;
    options.clock = realtime ? kmsim::ClockMode::Real : kmsim::ClockMode::Virtual;
    options.threadName = "demo";
    // The session's own length and a minute for starting and stopping.
    options.virtualLimit_ns = static_cast<int64_t>((seconds + 60) * 1e9);
    return options;
}

}  // namespace

DemoWorld::DemoWorld(bool realtime, double seconds)
    : sim_(WorldOptions(realtime, seconds)),
      bus_(std::make_unique<simusbhost::Bus>()),
      pnp_(std::make_unique<simpnp::PnpManager>(*bus_, simpnp::DriverImage{"vq7audio", DriverEntry})) {}

DemoWorld::~DemoWorld() {
    pnp_.reset();
    bus_.reset();
}

void DemoWorld::Plug(std::shared_ptr<simusb::AudioDevice> device) {
    const NTSTATUS status = pnp_->Plug(std::move(device), &pdo_);
    if (!NT_SUCCESS(status)) {
        throw DemoError("the driver did not start on the device: " + vq7usb::StatusName(status));
    }
    if (DevicePath().empty()) {
        throw DemoError("the driver started but published no audio interface");
    }
}

void DemoWorld::Unplug() {
    if (pdo_ == nullptr) return;
    pnp_->Unplug(pdo_);
    pnp_->WaitForRemoval(pdo_);
    pdo_ = nullptr;
}

CUSBAudioAdapter& DemoWorld::Adapter() const {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
    ObDereferenceObject(top);
    return *vq7::ExtensionOf(top)->Adapter;
}

std::string DemoWorld::DevicePath() const {
    const std::string instance = pnp_->InstancePath(pdo_);
    for (const kmsim::DeviceInterface& entry : kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO)) {
        if (entry.instancePath == instance) {
            return entry.path.substr(0, entry.path.size() - entry.referenceString.size() - 1);
        }
    }
    return {};
}

std::string DemoWorld::InstancePath() const { return pnp_->InstancePath(pdo_); }

}  // namespace vq7demo
