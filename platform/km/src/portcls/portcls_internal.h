// PortCls inside the stand-in: what it keeps in the front part of an adapter
// device's extension, and the private face of its ports.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include <string>
#include <vector>

namespace pc {

constexpr ULONG kPortClsTag = 0x77654E50;  // 'PNew': PortCls's own objects

// PortCls's private face of a port: the filter description it serves and the
// filter instances opened on it.
struct DECLSPEC_NOVTABLE ISubdevice : public IUnknown {
    virtual const PCFILTER_DESCRIPTOR* FilterDescriptor() = 0;
    virtual void FilterOpened() = 0;
    virtual void FilterClosed() = 0;
    // Drops the miniport and the adapter, as PortCls does when a subdevice
    // goes: the miniport's own reference on its port would otherwise keep
    // both alive.
    virtual void ReleaseChildren() = 0;
    // The miniport (referenced for the caller) and its description, which
    // lives as long as the miniport; false once the children are released.
    virtual bool ReferenceMiniport(PMINIPORTWAVERT* miniport, const PCFILTER_DESCRIPTOR** descriptor) = 0;
    // Instances of pin `id` across every filter of the subdevice: Take
    // counts one more unless `limit` are open already.
    virtual bool TakePinInstance(ULONG id, ULONG limit) = 0;
    virtual void GivePinInstance(ULONG id) = 0;
    virtual ULONG PinInstances(ULONG id) = 0;

protected:
    ~ISubdevice() = default;
};

extern const GUID IID_ISubdevice;  // private to the stand-in

struct Subdevice {
    std::u16string name;
    ISubdevice* port;                  // referenced while registered
    std::vector<std::u16string> links;  // the symbolic links of its interfaces
};

// What PortCls keeps per adapter device.
struct Device {
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PCPFNSTARTDEVICE startDevice = nullptr;
    ULONG maxObjects = 0;
    std::vector<Subdevice> subdevices;
    PADAPTERPOWERMANAGEMENT power = nullptr;  // referenced
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
};

// The PortCls record of an adapter device, or null for another device.
Device* DeviceOf(PDEVICE_OBJECT fdo);
void RememberDevice(Device* device);
void ForgetDevice(Device* device);  // and deletes the record

// Takes down one subdevice: disables its interfaces and drops PortCls's
// reference; a registered one also lets its miniport and adapter go.
void ReleaseSubdevice(Subdevice& subdevice, bool registered);
// Releases every subdevice and the power registration, as removal and stop do.
void ReleaseEverything(Device& device);

// An empty resource list for the start-device callback (one reference).
NTSTATUS NewEmptyResourceList(PRESOURCELIST* list);

// Sends the IRP down to the next device and waits for it to come back.
NTSTATUS ForwardAndWait(Device& device, PIRP irp);

}  // namespace pc
