// What the Plug and Play manager records of a device it enumerated: the
// physical device object's instance path, its device setup class and the
// service that drives it. The kernel's per-device services
// (IoOpenDeviceRegistryKey, device interfaces) find a device through it.
#pragma once

#include <wdm.h>

#include <string>

namespace kmsim {

struct DeviceNode {
    std::string instancePath;  // "USB\VID_xxxx&PID_xxxx&MI_00\..."
    GUID classGuid{};          // the device setup class
    std::string service;       // the driver's service name ("vq7audio")
};

// Records a physical device object with its node; its hardware key
// (...\Enum\<instance path>) and software key (...\Control\Class\<class>\NNNN)
// are created in the registry. The node goes with UnregisterDeviceNode, which
// disables the device's interfaces; the keys stay, as an installed device's do.
void RegisterDeviceNode(PDEVICE_OBJECT pdo, const DeviceNode& node);
void UnregisterDeviceNode(PDEVICE_OBJECT pdo);
bool FindDeviceNode(PDEVICE_OBJECT pdo, DeviceNode* node);
// Disables every enabled interface of the device, as the PnP manager does
// once a device is surprise-removed.
void DisableDeviceInterfaces(PDEVICE_OBJECT pdo);

// The registry paths of a recorded device's keys (empty for an unknown device).
std::string DeviceHardwareKeyPath(PDEVICE_OBJECT pdo);  // ...\Enum\<instance>\Device Parameters
std::string DeviceSoftwareKeyPath(PDEVICE_OBJECT pdo);  // ...\Control\Class\<class>\NNNN

}  // namespace kmsim
