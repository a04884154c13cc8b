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

// How many IRPs were completed to their originator with this priority boost.
uint64_t CompletionsWithBoost(CCHAR boost);

}  // namespace kmsim
