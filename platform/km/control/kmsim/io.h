// Control of the simulated I/O manager: driver objects as the system creates
// them for a loaded driver, and what IRP completions looked like.
#pragma once

#include <wdm.h>

#include <cstdint>

namespace kmsim {

// A driver object as the I/O manager builds it before calling the driver's
// entry point: every major function fails with STATUS_INVALID_DEVICE_REQUEST
// until the driver sets its own, and a driver extension is attached. The
// driver's device objects must be deleted before it goes away.
class DriverObject {
public:
    explicit DriverObject(const wchar_t* name);
    ~DriverObject();
    DriverObject(const DriverObject&) = delete;
    DriverObject& operator=(const DriverObject&) = delete;

    PDRIVER_OBJECT get() { return &object_; }

private:
    DRIVER_OBJECT object_{};
    DRIVER_EXTENSION extension_{};
};

// Sends the IRP, set up in its next stack location, to the device and waits
// until it comes back; returns its final status. The IRP stays the caller's
// to free. PASSIVE_LEVEL.
NTSTATUS CallDriverAndWait(PDEVICE_OBJECT device, PIRP irp);

// File objects open on a device (opened by name or through a device interface).
ULONG OpenFileObjects(PDEVICE_OBJECT device);
// Sets `event` once the device has no file object open (at once if it has none now).
void SignalWhenNoFileObjects(PDEVICE_OBJECT device, PKEVENT event);

// How many IRPs were completed to their originator with this priority boost.
uint64_t CompletionsWithBoost(CCHAR boost);

}  // namespace kmsim
