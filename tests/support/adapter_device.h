// A PortCls adapter device over a bus's physical device object, for tests
// of the stand-in's PortCls: the bus driver completes every Plug and Play
// request, the adapter driver is PortCls's with no start callback, and the
// device is removed (with all PortCls holds) when the object goes, unless a
// test removed it before. Made inside a running kmsim::Simulation.
#pragma once

#include <portcls.h>

#include "kmsim/io.h"

namespace kmtest {

class AdapterDevice {
public:
    explicit AdapterDevice(ULONG maxObjects);
    ~AdapterDevice();
    AdapterDevice(const AdapterDevice&) = delete;
    AdapterDevice& operator=(const AdapterDevice&) = delete;

    // IRP_MN_REMOVE_DEVICE to the adapter device; the physical one stays.
    void Remove();

    PDEVICE_OBJECT pdo() const { return pdo_; }
    PDEVICE_OBJECT fdo() const { return fdo_; }

private:
    kmsim::DriverObject bus_{L"\\Driver\\bus"};
    kmsim::DriverObject driver_{L"\\Driver\\adapter"};
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace kmtest
