// The driver's part of the device extension, after PortCls's part.
#pragma once

#include <ntddk.h>
#include <portcls.h>

class CUSBAudioAdapter;

namespace vq7 {

struct DeviceExtension {
    CUSBAudioAdapter* Adapter;  // not a counted reference: the adapter clears it when it goes
    KMUTEX ExtensionLock;       // orders the create hook against removal's Removing
    ULONG Removing;             // removal has begun; cleared only by a start
    ULONG DeviceFailed;         // a transfer reported the device gone; cleared only by a start
};

inline DeviceExtension* ExtensionOf(PDEVICE_OBJECT deviceObject) {
    return reinterpret_cast<DeviceExtension*>(static_cast<PUCHAR>(deviceObject->DeviceExtension) +
                                              PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

constexpr ULONG kDeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(DeviceExtension);

}  // namespace vq7
