// The device interfaces drivers registered, as a user-mode client
// enumerates them, and a way to watch them arrive and go.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <vector>

namespace kmsim {

struct DeviceInterface {
    std::string path;             // "\\?\USB#VID_...#...#{class guid}\reference", as a client opens it
    GUID classGuid{};
    std::string referenceString;  // empty when there is none
    std::string instancePath;     // of the device that registered it
    std::string service;          // the service name of that device
    bool enabled = false;
};

// The enabled interfaces of a class, in the order they were registered.
std::vector<DeviceInterface> EnabledDeviceInterfaces(const GUID& classGuid);

struct DeviceInterfaceEvent {
    bool arrival;  // true: enabled, false: disabled
    DeviceInterface interface;
};

// Records every enabling and disabling of an interface of one class while
// it exists, and calls `notify` (if given) at each, outside every lock.
class DeviceInterfaceWatch {
public:
    explicit DeviceInterfaceWatch(const GUID& classGuid,
                                  std::function<void(const DeviceInterfaceEvent&)> notify = nullptr);
    ~DeviceInterfaceWatch();
    DeviceInterfaceWatch(const DeviceInterfaceWatch&) = delete;
    DeviceInterfaceWatch& operator=(const DeviceInterfaceWatch&) = delete;

    std::vector<DeviceInterfaceEvent> Events() const;

    struct State;

private:
    State* state_;
};

}  // namespace kmsim
