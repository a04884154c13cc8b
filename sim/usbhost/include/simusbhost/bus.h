// The simulated USB host: a host controller with its frame clock and the
// hub's physical device objects, one per attached device. A driver attaches
// to a device's physical device object and talks to it exactly as on
// Windows: URBs with IOCTL_INTERNAL_USB_SUBMIT_URB, the USBDI bus interface
// through IRP_MN_QUERY_INTERFACE, the controller name request, and the
// controller's user request through the name it returns.
//
// Timing: 1 ms frames at full speed, 125 us microframes at high speed, on the
// simulation clock. The controller does its work once per frame, at the frame
// boundary, as a host controller interrupting every millisecond does: control
// transfers submitted during a frame complete at its end, isochronous packets
// go to the device in the (micro)frames they occupy, and a transfer completes
// at the end of the frame that holds its last packet. Completion routines run
// in the controller's DPC at DISPATCH_LEVEL, in submission order per pipe.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbuser.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "simusb/device.h"

namespace simusbhost {

struct ControllerIdentity {
    ULONG pciVendorId = 0x8086;
    ULONG pciDeviceId = 0x1E26;
    ULONG pciRevision = 4;
    ULONG rootPorts = 2;
    USB_CONTROLLER_FLAVOR flavor = EHCI_Generic;
    ULONG hcFeatureFlags = 0;
};

// What happened on one isochronous endpoint, for tests.
struct EndpointCounters {
    uint64_t transfersSubmitted = 0;
    uint64_t transfersCompleted = 0;
    uint64_t packetsDelivered = 0;  // reached the device
    uint64_t packetsLate = 0;       // their (micro)frame had passed when the transfer was submitted
    uint64_t bytes = 0;
};

class Bus {
public:
    explicit Bus(const ControllerIdentity& identity = ControllerIdentity{});
    ~Bus();  // detaches every device that is still attached
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Plugs a device in: returns the physical device object a driver attaches to.
    PDEVICE_OBJECT Attach(std::shared_ptr<simusb::Device> device);
    // Surprise removal of the hardware: transfers in flight complete with
    // STATUS_NO_SUCH_DEVICE at the next frame, later requests at once with
    // STATUS_DEVICE_NOT_CONNECTED. The physical device object stays until Detach.
    void Unplug(PDEVICE_OBJECT pdo);
    // Deletes the physical device object; the driver stack must be gone.
    void Detach(PDEVICE_OBJECT pdo);

    // Fault injection on one endpoint of a device.
    void StallEndpoint(PDEVICE_OBJECT pdo, UCHAR endpointAddress);  // until the driver resets the pipe
    void FailTransfers(PDEVICE_OBJECT pdo, UCHAR endpointAddress, ULONG count,
                       USBD_STATUS status = USBD_STATUS_ISOCH_REQUEST_FAILED);
    // The controller name request and the controller's user request fail
    // with this status (STATUS_SUCCESS: they work again).
    void FailControllerNameRequest(NTSTATUS status);
    void FailUserRequest(NTSTATUS status);

    // The frame number QueryBusTime reports now.
    ULONG CurrentFrame() const;
    PCWSTR ControllerName() const;
    EndpointCounters Counters(PDEVICE_OBJECT pdo, UCHAR endpointAddress) const;
    // Runs fn with the device while the controller is not touching it, after
    // letting the device account for time up to now.
    void WithDevice(PDEVICE_OBJECT pdo, const std::function<void(simusb::Device&)>& fn);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace simusbhost
