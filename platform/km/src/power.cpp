// The power manager's driver routines: power IRPs travel a device stack as
// other IRPs do (since Windows Vista), and a driver reports its device's new
// power state.

#include <map>
#include <mutex>

#include "kernel_state.h"
#include "verifier.h"

namespace {

std::mutex g_lock;
std::map<PDEVICE_OBJECT, POWER_STATE> g_deviceStates;  // as the drivers last reported them

}  // namespace

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IoCallDriver(DeviceObject, Irp); }

VOID NTAPI PoStartNextPowerIrp(PIRP) {}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "PoSetPowerState");
    POWER_STATE previous{};
    if (Type != DevicePowerState) {
        return previous;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    auto found = g_deviceStates.find(DeviceObject);
    previous.DeviceState = found != g_deviceStates.end() ? found->second.DeviceState : PowerDeviceD0;
    g_deviceStates[DeviceObject] = State;
    return previous;
}

namespace km {

void PowerReset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_deviceStates.clear();
}

}  // namespace km
