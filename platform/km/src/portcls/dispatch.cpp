// PcDispatchIrp: what PortCls does with every request that reaches an
// adapter device. Plug and Play: start calls the driver's start-device
// callback; stop and removal release what PortCls holds (subdevices, ports,
// the power registration). Power: device power changes reach the adapter's
// IAdapterPowerManagement. Create on a subdevice's reference string opens a
// filter of that subdevice's port; create relative to a filter opens a pin
// (pin_create.cpp); IOCTL_KS_PROPERTY on either is a property request
// (property_dispatch.cpp); other kernel-streaming requests are refused.

#include <mutex>
#include <set>

#include "../verifier.h"
#include "../wide_text.h"
#include "kmsim/io.h"
#include "ks_objects.h"

namespace pc {

namespace {

std::mutex g_objectsLock;
std::set<KsObject*> g_objects;  // the filters and pins open

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
NTSTATUS CreateFilter(Device& device, PFILE_OBJECT file) {
    std::u16string_view name = km::View(file != nullptr ? &file->FileName : nullptr);
    if (!name.empty() && name[0] == u'\\') {
        name.remove_prefix(1);
    }
    name = name.substr(0, name.find(u'\\'));
    for (Subdevice& subdevice : device.subdevices) {
        if (!name.empty() && km::Upcase(subdevice.name) == km::Upcase(name)) {
            auto* filter = new Filter;
            filter->kind = KsObject::Kind::Filter;
            filter->port = subdevice.port;
            filter->port->AddRef();
            filter->port->FilterOpened();
            RememberObject(filter);
            file->FsContext = filter;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS Create(Device& device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    irp->IoStatus.Information = 0;
    PFILE_OBJECT parent = file != nullptr ? file->RelatedFileObject : nullptr;
    if (parent == nullptr) {
        return Complete(irp, CreateFilter(device, file));
    }
    KsObject* object = ObjectOf(parent);
    if (object == nullptr || object->kind != KsObject::Kind::Filter) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);  // only filters have pins
    }
    return Complete(irp, CreatePin(*static_cast<Filter*>(object), file));
}

NTSTATUS Close(PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    KsObject* object = file != nullptr ? ObjectOf(file) : nullptr;
    if (object != nullptr) {
        ForgetObject(object);
        file->FsContext = nullptr;
        if (object->kind == KsObject::Kind::Pin) {
            ClosePin(static_cast<Pin*>(object));
        } else {
            auto* filter = static_cast<Filter*>(object);
            filter->port->FilterClosed();
            filter->port->Release();
            delete filter;
        }
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DeviceControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KsObject* object = ObjectOf(stack->FileObject);
    irp->IoStatus.Information = 0;
    if (object == nullptr || stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_KS_PROPERTY) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    return Complete(irp, HandleProperty(*object, irp));
}

}  // namespace

KsObject* ObjectOf(PFILE_OBJECT file) {
    if (file == nullptr) {
        return nullptr;
    }
    auto* object = static_cast<KsObject*>(file->FsContext);
    std::lock_guard<std::mutex> guard(g_objectsLock);
    return g_objects.count(object) != 0 ? object : nullptr;
}

void RememberObject(KsObject* object) {
    std::lock_guard<std::mutex> guard(g_objectsLock);
    g_objects.insert(object);
}

void ForgetObject(KsObject* object) {
    std::lock_guard<std::mutex> guard(g_objectsLock);
    g_objects.erase(object);
}

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
            return pc::Create(*device, Irp);
        case IRP_MJ_CLOSE:
            return pc::Close(Irp);
        case IRP_MJ_DEVICE_CONTROL:
            return pc::DeviceControl(Irp);
        case IRP_MJ_CLEANUP:
            return pc::Complete(Irp, STATUS_SUCCESS);
        default:
            Irp->IoStatus.Information = 0;
            return pc::Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
