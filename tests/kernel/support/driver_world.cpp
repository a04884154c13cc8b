#include "driver_world.h"

#include <gtest/gtest.h>
#include <ksmedia.h>

#include "adapter/device_extension.h"
#include "kmsim/device_nodes.h"
#include "simusb/ready_made_devices.h"
#include "wavert/performance_parameters.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace kerneltest {

void ResetPerformanceValues() {
    vq7::PlaybackFramesPerTransfer = 8;
    vq7::PlaybackTransfersInFlight = 8;
    vq7::CaptureFramesPerTransfer = 1;
    vq7::CaptureTransfersInFlight = 16;
}

DriverWorld::DriverWorld(const simusbhost::ControllerIdentity& controller, const kmsim::Options& options)
    : sim_(options),
      bus_(std::make_unique<simusbhost::Bus>(controller)),
      pnp_(std::make_unique<simpnp::PnpManager>(*bus_, simpnp::DriverImage{"vq7audio", DriverEntry})) {
    ResetPerformanceValues();
}

DriverWorld::~DriverWorld() {
    pnp_.reset();
    bus_.reset();
    ResetPerformanceValues();
}

std::shared_ptr<simusb::AudioDevice> DriverWorld::Make(const char* readyMade) {
    const simusb::ReadyMadeDevice* entry = simusb::FindReadyMadeDevice(readyMade);
    EXPECT_NE(entry, nullptr) << readyMade;
    return entry != nullptr ? std::shared_ptr<simusb::AudioDevice>(entry->Make()) : nullptr;
}

std::shared_ptr<simusb::AudioDevice> DriverWorld::Make(const simusb::AudioDescription& description) {
    return std::shared_ptr<simusb::AudioDevice>(simusb::MakeAudioDevice(description));
}

NTSTATUS DriverWorld::Plug(const std::shared_ptr<simusb::AudioDevice>& device, PDEVICE_OBJECT* pdo) {
    return pnp_->Plug(device, pdo);
}

PluggedDevice DriverWorld::Start(const char* readyMade) {
    PluggedDevice plugged{Make(readyMade), nullptr};
    EXPECT_EQ(Plug(plugged.usb, &plugged.pdo), STATUS_SUCCESS) << readyMade;
    return plugged;
}

void DriverWorld::UnplugAndWait(PDEVICE_OBJECT pdo) {
    pnp_->Unplug(pdo);
    pnp_->WaitForRemoval(pdo);
}

std::string DriverWorld::HardwareKey(PDEVICE_OBJECT pdo) const { return kmsim::DeviceHardwareKeyPath(pdo); }

PDEVICE_OBJECT DriverWorld::FunctionalDevice(PDEVICE_OBJECT pdo) const {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    ObDereferenceObject(top);
    return top != pdo ? top : nullptr;
}

CUSBAudioAdapter* DriverWorld::Adapter(PDEVICE_OBJECT pdo) const {
    PDEVICE_OBJECT fdo = FunctionalDevice(pdo);
    return fdo != nullptr ? vq7::ExtensionOf(fdo)->Adapter : nullptr;
}

std::vector<kmsim::DeviceInterface> DriverWorld::AudioInterfaces(PDEVICE_OBJECT pdo) const {
    std::string instance = pnp_->InstancePath(pdo);
    std::vector<kmsim::DeviceInterface> mine;
    for (const kmsim::DeviceInterface& entry : kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO)) {
        if (entry.instancePath == instance) mine.push_back(entry);
    }
    return mine;
}

std::string DriverWorld::DevicePath(PDEVICE_OBJECT pdo) const {
    std::vector<kmsim::DeviceInterface> audio = AudioInterfaces(pdo);
    if (audio.empty()) return {};
    return audio[0].path.substr(0, audio[0].path.size() - audio[0].referenceString.size() - 1);
}

SecondStart::SecondStart(DriverWorld& world, const char* readyMade) : world_(world), usb_(world.Make(readyMade)) {
    EXPECT_EQ(world_.Plug(usb_, &pdo_), STATUS_SUCCESS);
    key_ = world_.HardwareKey(pdo_);
    world_.UnplugAndWait(pdo_);
    ResetPerformanceValues();
}

NTSTATUS SecondStart::Start() {
    usb_->Requests().Clear();
    return world_.Plug(usb_, &pdo_);
}

}  // namespace kerneltest
