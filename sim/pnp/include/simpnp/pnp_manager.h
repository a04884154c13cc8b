// The simulated Plug and Play manager: it enumerates the audio function of a
// device plugged into the simulated USB bus, loads the function's driver,
// builds and starts its device stack, and sends the removal, stop/restart
// and power sequences as the platform sends them. Tests and the demo drive
// it; every request runs at PASSIVE_LEVEL in the calling simulation thread,
// except the removal that follows a surprise removal, which a PnP thread of
// its own sends once the device's last file object is closed.
#pragma once

#include <wdm.h>

#include <memory>
#include <string>

#include "simusb/device.h"
#include "simusbhost/bus.h"

namespace simpnp {

// A driver as the PnP manager loads it.
struct DriverImage {
    std::string service;  // the service key's name, e.g. "vq7audio"
    PDRIVER_INITIALIZE entry;
};

class PnpManager {
public:
    PnpManager(simusbhost::Bus& bus, DriverImage driver);
    // Removes every device still present (as at shutdown) and unloads the driver.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Plugs the device in and enumerates its audio function: the physical
    // device object, its device node, the driver (loaded with its first
    // device: DriverEntry), AddDevice, IRP_MN_START_DEVICE, then the
    // capability query. A failed start removes the stack again and returns
    // the status; the physical device object stays on the bus. The same
    // device plugged in again gets its device node back: the same instance
    // path and so the same hardware key.
    NTSTATUS Plug(std::shared_ptr<simusb::Device> device, PDEVICE_OBJECT* pdo);

    // Disabling the device: IRP_MN_QUERY_REMOVE_DEVICE, then
    // IRP_MN_REMOVE_DEVICE. A driver that fails the query, or a file object
    // still open on the device (an application that keeps its handle), vetoes
    // it: IRP_MN_CANCEL_REMOVE_DEVICE follows and the status is returned
    // (STATUS_DEVICE_BUSY for an open file object).
    NTSTATUS Disable(PDEVICE_OBJECT pdo);

    // Unplugging while in use: the hardware goes at once, then
    // IRP_MN_SURPRISE_REMOVAL and the device's interfaces are disabled;
    // IRP_MN_REMOVE_DEVICE follows once the last file object is closed.
    void Unplug(PDEVICE_OBJECT pdo);
    // Waits until an unplugged device's removal is done.
    void WaitForRemoval(PDEVICE_OBJECT pdo);

    // Stop and restart: IRP_MN_QUERY_STOP_DEVICE (a failure is followed by
    // IRP_MN_CANCEL_STOP_DEVICE and returned), IRP_MN_STOP_DEVICE, then a new
    // IRP_MN_START_DEVICE, whose status is returned.
    NTSTATUS Restart(PDEVICE_OBJECT pdo);

    // System sleep and wake: every started device gets IRP_MN_SET_POWER for
    // D3, and on wake for D0.
    void Sleep();
    void Wake();

    bool DriverLoaded() const;
    // The device's instance path, "USB\VID_xxxx&PID_xxxx&MI_nn\...".
    std::string InstancePath(PDEVICE_OBJECT pdo) const;
    // What the stack answered to the capability query after the last start.
    DEVICE_CAPABILITIES Capabilities(PDEVICE_OBJECT pdo) const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace simpnp
