// Subdevices: PcRegisterSubdevice publishes a port's filter as device
// interfaces, one per category its filter description lists, with the
// subdevice's name as reference string; unregistering or removing the
// device disables them again and drops PortCls's reference on the port.

#include "../verifier.h"
#include "../wide_text.h"
#include "portcls_internal.h"

namespace pc {

namespace {

NTSTATUS PublishInterfaces(Device& device, Subdevice& subdevice) {
    const PCFILTER_DESCRIPTOR* descriptor = subdevice.port->FilterDescriptor();
    if (descriptor == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // a port that was never initialised
    }
    UNICODE_STRING reference{static_cast<USHORT>(subdevice.name.size() * sizeof(WCHAR)),
                             static_cast<USHORT>(subdevice.name.size() * sizeof(WCHAR)),
                             reinterpret_cast<PWCH>(subdevice.name.data())};
    for (ULONG i = 0; i < descriptor->CategoryCount; ++i) {
        UNICODE_STRING link{};
        NTSTATUS status = IoRegisterDeviceInterface(device.pdo, &descriptor->Categories[i], &reference, &link);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        subdevice.links.emplace_back(km::View(&link));
        status = IoSetDeviceInterfaceState(&link, TRUE);
        RtlFreeUnicodeString(&link);
        if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_EXISTS) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

void ReleaseSubdevice(Subdevice& subdevice, bool registered) {
    for (std::u16string& text : subdevice.links) {
        UNICODE_STRING link{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(text.size() * sizeof(WCHAR)), reinterpret_cast<PWCH>(text.data())};
        IoSetDeviceInterfaceState(&link, FALSE);  // already disabled when the device was surprise-removed
    }
    subdevice.links.clear();
    if (registered) {
        subdevice.port->ReleaseChildren();
    }
    subdevice.port->Release();
    subdevice.port = nullptr;
}

void ReleaseEverything(Device& device) {
    while (!device.subdevices.empty()) {
        Subdevice taken = std::move(device.subdevices.back());
        device.subdevices.pop_back();
        ReleaseSubdevice(taken, true);
    }
    if (device.power != nullptr) {
        PADAPTERPOWERMANAGEMENT power = device.power;
        device.power = nullptr;
        power->Release();
    }
}

}  // namespace pc

NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "PcRegisterSubdevice");
    pc::Device* device = pc::DeviceOf(DeviceObject);
    if (device == nullptr || Name == nullptr || Unknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name(km::View(Name));
    for (const pc::Subdevice& existing : device->subdevices) {
        if (km::Upcase(existing.name) == km::Upcase(name)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    if (device->subdevices.size() >= device->maxObjects) {
        return STATUS_INSUFFICIENT_RESOURCES;  // more than PcAddAdapterDevice was told to expect
    }
    pc::ISubdevice* port;
    NTSTATUS status = Unknown->QueryInterface(pc::IID_ISubdevice, reinterpret_cast<PVOID*>(&port));
    if (!NT_SUCCESS(status)) {
        return STATUS_INVALID_PARAMETER;  // not one of PortCls's ports
    }
    pc::Subdevice subdevice{name, port, {}};
    status = pc::PublishInterfaces(*device, subdevice);
    if (!NT_SUCCESS(status)) {
        pc::ReleaseSubdevice(subdevice, false);  // the driver's port stays as it was
        return status;
    }
    device->subdevices.push_back(std::move(subdevice));
    return STATUS_SUCCESS;
}
