// Internal state of the simulated PnP manager.
#pragma once

#include <wdm.h>

#include <map>
#include <memory>
#include <string>

#include "kmsim/io.h"
#include "kmsim/simulation.h"
#include "simpnp/pnp_manager.h"

namespace simpnp {

enum class DeviceState { Added, Started, Stopped, SurpriseRemoved, Removed };

struct DeviceRecord {
    PDEVICE_OBJECT pdo = nullptr;
    std::string instancePath;
    DeviceState state = DeviceState::Added;
    DEVICE_CAPABILITIES capabilities{};
    KEVENT noFiles;  // set once no file object is open on the device after a surprise removal
    KEVENT removed;  // set when IRP_MN_REMOVE_DEVICE has been sent
    std::unique_ptr<kmsim::Thread> removal;  // the PnP thread that removes an unplugged device
};

struct PnpManager::State {
    simusbhost::Bus* bus = nullptr;
    DriverImage image;
    std::u16string driverName;     // "\Driver\<service>"
    std::u16string registryPath;   // its service key
    std::unique_ptr<kmsim::DriverObject> driver;  // while loaded
    std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices;
    ULONG instances = 0;  // device nodes made so far, for unique instance paths
    // The device node each device was given: plugged in again, a device
    // finds its instance path, and so its keys, as it left them.
    std::map<std::shared_ptr<simusb::Device>, ULONG> ordinals;
};

// The instance path of the device's audio function, read from its
// descriptors as the hub and the composite driver read them.
std::string AudioFunctionInstancePath(simusbhost::Bus& bus, PDEVICE_OBJECT pdo, ULONG ordinal);

// Sends a PnP or power IRP to the top of the device's stack and waits for it.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities = nullptr);
NTSTATUS SendDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);

}  // namespace simpnp
