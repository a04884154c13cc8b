// PcDispatchIrp: what PortCls does with every request that reaches an
// adapter device. Plug and Play: start calls the driver's start-device
// callback; stop and removal release what PortCls holds (subdevices, ports,
// the power registration). Power: device power changes reach the adapter's
// IAdapterPowerManagement. Create on a subdevice's reference string opens a
// filter of that subdevice's port. Kernel-streaming requests on a filter
// arrive with the WaveRT streams; until then they are refused.

#include <mutex>
#include <set>

#include "../verifier.h"
#include "../wide_text.h"
#include "kmsim/io.h"
#include "portcls_internal.h"

namespace pc {

namespace {

// A filter instance: what PortCls keeps in the FsContext of a file object
// opened on a subdevice.
struct Filter {
    ISubdevice* port;  // referenced while the filter is open
};

std::mutex g_filtersLock;
std::set<Filter*> g_filters;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(Device& device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device.lower, irp);
}

NTSTATUS StartDevice(Device& device, PIRP irp) {
    NTSTATUS status = ForwardAndWait(device, irp);
    if (NT_SUCCESS(status)) {
        PRESOURCELIST resources;
        status = NewEmptyResourceList(&resources);
        if (NT_SUCCESS(status)) {
            status = device.startDevice(device.fdo, irp, resources);
            resources->Release();
        }
        if (!NT_SUCCESS(status)) {
            ReleaseEverything(device);  // what a failed start registered goes with it
        }
    }
    return Complete(irp, status);
}

NTSTATUS RemoveDevice(Device* device, PIRP irp) {
    ReleaseEverything(*device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT fdo = device->fdo;
    PDEVICE_OBJECT lower = device->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    ForgetDevice(device);
    IoDeleteDevice(fdo);
    return status;
}

NTSTATUS QueryCapabilities(Device& device, PIRP irp) {
    NTSTATUS status = ForwardAndWait(device, irp);
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (NT_SUCCESS(status) && device.power != nullptr && capabilities != nullptr) {
        status = device.power->QueryDeviceCapabilities(capabilities);
    }
    return Complete(irp, status);
}

NTSTATUS DispatchPnp(Device& device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return StartDevice(device, irp);
        case IRP_MN_REMOVE_DEVICE:
            return RemoveDevice(&device, irp);
        case IRP_MN_STOP_DEVICE:
            ReleaseEverything(device);  // the next start registers everything anew
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(device, irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return QueryCapabilities(device, irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(device, irp);
        default:
            return PassDown(device, irp);
    }
}

// A device power change: going down, the adapter hears of it before the
// IRP goes to the bus; coming up, after the bus has powered the device.
NTSTATUS SetDevicePower(Device& device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    POWER_STATE state = stack->Parameters.Power.State;
    if (state.DeviceState == device.powerState) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(device.lower, irp);
    }
    bool up = state.DeviceState < device.powerState;
    if (up) {
        NTSTATUS status = ForwardAndWait(device, irp);
        if (!NT_SUCCESS(status)) {
            PoStartNextPowerIrp(irp);
            return Complete(irp, status);
        }
    }
    device.powerState = state.DeviceState;
    if (device.power != nullptr) {
        device.power->PowerChangeState(state);
    }
    PoSetPowerState(device.fdo, DevicePowerState, state);
    PoStartNextPowerIrp(irp);
    if (up) {
        return Complete(irp, STATUS_SUCCESS);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device.lower, irp);
}

NTSTATUS DispatchPower(Device& device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool devicePower = stack->Parameters.Power.Type == DevicePowerState;
    if (devicePower && stack->MinorFunction == IRP_MN_SET_POWER) {
        return SetDevicePower(device, irp);
    }
    if (devicePower && stack->MinorFunction == IRP_MN_QUERY_POWER && device.power != nullptr) {
        NTSTATUS status = device.power->QueryPowerChangeState(stack->Parameters.Power.State);
        if (!NT_SUCCESS(status)) {
            PoStartNextPowerIrp(irp);
            return Complete(irp, status);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device.lower, irp);
}

// "\name" or "\name\..." opens a filter of the subdevice registered as "name".
NTSTATUS CreateFilter(Device& device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    std::u16string_view name = km::View(file != nullptr ? &file->FileName : nullptr);
    if (!name.empty() && name[0] == u'\\') {
        name.remove_prefix(1);
    }
    name = name.substr(0, name.find(u'\\'));
    for (Subdevice& subdevice : device.subdevices) {
        if (!name.empty() && km::Upcase(subdevice.name) == km::Upcase(name)) {
            auto* filter = new Filter{subdevice.port};
            filter->port->AddRef();
            filter->port->FilterOpened();
            {
                std::lock_guard<std::mutex> guard(g_filtersLock);
                g_filters.insert(filter);
            }
            file->FsContext = filter;
            irp->IoStatus.Information = 0;
            return Complete(irp, STATUS_SUCCESS);
        }
    }
    return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
}

NTSTATUS CloseFilter(PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    auto* filter = file != nullptr ? static_cast<Filter*>(file->FsContext) : nullptr;
    bool ours;
    {
        std::lock_guard<std::mutex> guard(g_filtersLock);
        ours = filter != nullptr && g_filters.erase(filter) != 0;
    }
    if (ours) {
        file->FsContext = nullptr;
        filter->port->FilterClosed();
        filter->port->Release();
        delete filter;
    }
    return Complete(irp, STATUS_SUCCESS);
}

}  // namespace

NTSTATUS ForwardAndWait(Device& device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return kmsim::CallDriverAndWait(device.lower, irp);
}

}  // namespace pc

NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    pc::Device* device = pc::DeviceOf(DeviceObject);
    if (device == nullptr) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER,
                 "PcDispatchIrp for the device at %p, which PcAddAdapterDevice did not create",
                 static_cast<void*>(DeviceObject));
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
        case IRP_MJ_PNP:
            return pc::DispatchPnp(*device, Irp);
        case IRP_MJ_POWER:
            return pc::DispatchPower(*device, Irp);
        case IRP_MJ_SYSTEM_CONTROL:
            return pc::PassDown(*device, Irp);
        case IRP_MJ_CREATE:
            return pc::CreateFilter(*device, Irp);
        case IRP_MJ_CLOSE:
            return pc::CloseFilter(Irp);
        case IRP_MJ_CLEANUP:
            return pc::Complete(Irp, STATUS_SUCCESS);
        default:
            Irp->IoStatus.Information = 0;
            return pc::Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
