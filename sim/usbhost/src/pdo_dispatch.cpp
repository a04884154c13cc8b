// What the hub's physical device objects and the controller's device object
// answer: URB submission, the controller name, the USBDI bus interface, and
// the controller's user request.

#include <usbbusif.h>
#include <usbuser.h>

#include "host_state.h"
#include "kmsim/simulation.h"

namespace simusbhost {

namespace {

DeviceExtension& ExtensionOf(PDEVICE_OBJECT device) { return *static_cast<DeviceExtension*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FailUrb(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
    urb->UrbHeader.Status = usbd;
    return Complete(irp, status);
}

// URBs that the controller runs at the next frame boundary, one after the
// other, as the default pipe and the hub's own work do.
bool IsFrameRequest(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
        case URB_FUNCTION_SELECT_INTERFACE:
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_CONTROL_TRANSFER_EX:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_CONFIGURATION:
        case URB_FUNCTION_GET_INTERFACE:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
            return true;
        default:
            return false;
    }
}

NTSTATUS SubmitUrb(Slot& slot, PIRP irp, PURB urb) {
    Bus::State& state = *slot.bus;
    if (urb == nullptr || urb->UrbHeader.Length < sizeof(_URB_HEADER)) {
        if (urb != nullptr) urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    USHORT function = urb->UrbHeader.Function;
    USBD_STATUS refusal = USBD_STATUS_SUCCESS;
    NTSTATUS status = STATUS_PENDING;
    {
        HostLock lock(state);
        if (slot.gone) {
            refusal = USBD_STATUS_DEVICE_GONE;
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
            if (urb->UrbHeader.Length < sizeof(_URB_GET_CURRENT_FRAME_NUMBER)) {
                refusal = USBD_STATUS_INVALID_PARAMETER;
                status = STATUS_INVALID_PARAMETER;
            } else {
                urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(FrameAt(kmsim::NowNs()));
                urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
                status = STATUS_SUCCESS;
            }
        } else if (function == URB_FUNCTION_ISOCH_TRANSFER) {
            status = SubmitIsoLocked(slot, irp, &urb->UrbIsochronousTransfer, kmsim::NowNs());
            if (status == STATUS_PENDING) {
                IoMarkIrpPending(irp);  // before the lock goes: the controller may complete it at once
                state.ArmFrameTimerLocked();
                return STATUS_PENDING;
            }
            refusal = urb->UrbHeader.Status;
        } else if (IsFrameRequest(function)) {
            IoMarkIrpPending(irp);
            slot.requests.push_back(PendingRequest{irp, urb});
            state.ArmFrameTimerLocked();
            return STATUS_PENDING;
        } else {
            // Bulk and interrupt pipes are not part of the simulated devices.
            refusal = USBD_STATUS_INVALID_URB_FUNCTION;
            status = STATUS_INVALID_PARAMETER;
        }
    }
    if (status == STATUS_SUCCESS) {
        return Complete(irp, status);
    }
    return FailUrb(irp, urb, refusal, status);
}

// The controller's name: a USB_HUB_NAME whose ActualLength is the name's
// length in bytes; as much of the name as fits follows it.
NTSTATUS GetControllerName(Slot& slot, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<PUSB_HUB_NAME>(stack->Parameters.Others.Argument1);
    auto length = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(stack->Parameters.Others.Argument2));
    NTSTATUS failure;
    {
        HostLock lock(*slot.bus);
        failure = slot.gone ? STATUS_DEVICE_NOT_CONNECTED : slot.bus->nameRequestStatus;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, slot.bus->name);
    if (!NT_SUCCESS(failure)) {
        return Complete(irp, failure);
    }
    if (buffer == nullptr || length < sizeof(USB_HUB_NAME)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL);
    }
    buffer->ActualLength = name.Length;
    ULONG room = (length - FIELD_OFFSET(USB_HUB_NAME, HubName)) / sizeof(WCHAR);
    for (ULONG i = 0; i < room && i < name.Length / sizeof(WCHAR); ++i) {
        buffer->HubName[i] = name.Buffer[i];
    }
    return Complete(irp, STATUS_SUCCESS, length);
}

// ---------------------------------------------------------------- the USBDI bus interface

VOID InterfaceReference(PVOID) {}
VOID InterfaceDereference(PVOID) {}

VOID GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION VersionInformation, PULONG HcdCapabilities) {
    if (VersionInformation != nullptr) {
        VersionInformation->USBDI_Version = USBDI_VERSION;
        VersionInformation->Supported_USB_Version = 0x0200;
    }
    if (HcdCapabilities != nullptr) {
        *HcdCapabilities = 0;
    }
}

NTSTATUS QueryBusTime(PVOID, PULONG CurrentUsbFrame) {
    *CurrentUsbFrame = static_cast<ULONG>(FrameAt(kmsim::NowNs()));
    return STATUS_SUCCESS;
}

NTSTATUS SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; }

BOOLEAN IsDeviceHighSpeed(PVOID BusContext) { return static_cast<Slot*>(BusContext)->highSpeed ? TRUE : FALSE; }

NTSTATUS QueryInterface(Slot& slot, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto& query = stack->Parameters.QueryInterface;
    if (query.InterfaceType == nullptr || !IsEqualGUID(*query.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID)) {
        NTSTATUS unchanged = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return unchanged;
    }
    USHORT needed = query.Version >= USB_BUSIF_USBDI_VERSION_1 ? sizeof(USB_BUS_INTERFACE_USBDI_V1)
                                                               : sizeof(USB_BUS_INTERFACE_USBDI_V0);
    if (query.Interface == nullptr || query.Size < needed || query.Version > USB_BUSIF_USBDI_VERSION_1) {
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
    auto* bus = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(query.Interface);
    bus->Size = needed;
    bus->Version = query.Version;
    bus->BusContext = &slot;
    bus->InterfaceReference = InterfaceReference;
    bus->InterfaceDereference = InterfaceDereference;
    bus->GetUSBDIVersion = GetUsbdiVersion;
    bus->QueryBusTime = QueryBusTime;
    bus->SubmitIsoOutUrb = SubmitIsoOutUrb;
    bus->QueryBusInformation = QueryBusInformation;
    if (query.Version >= USB_BUSIF_USBDI_VERSION_1) {
        bus->IsDeviceHighSpeed = IsDeviceHighSpeed;
    }
    return Complete(irp, STATUS_SUCCESS);
}

}  // namespace

NTSTATUS DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    if (ExtensionOf(device).slot == nullptr) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    Slot& slot = *ExtensionOf(device).slot;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return SubmitUrb(slot, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME:
            return GetControllerName(slot, irp);
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

namespace {

// What the hub reports of a port's device: removable, in D0 while the
// system works and D3 in every sleep state, no wake.
NTSTATUS QueryCapabilities(PIRP irp) {
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities == nullptr || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    capabilities->Removable = TRUE;
    capabilities->UniqueID = FALSE;
    capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
        capabilities->DeviceState[state] = PowerDeviceD3;
    }
    capabilities->SystemWake = PowerSystemUnspecified;
    capabilities->DeviceWake = PowerDeviceUnspecified;
    return Complete(irp, STATUS_SUCCESS);
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (ExtensionOf(device).slot == nullptr) {
        return Complete(irp, irp->IoStatus.Status);
    }
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_INTERFACE:
            return QueryInterface(*ExtensionOf(device).slot, irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return QueryCapabilities(irp);
        // The physical device object agrees to every state change; it is
        // deleted by Bus::Detach once the device is gone from the bus.
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return Complete(irp, STATUS_SUCCESS);
        default: {
            // A bus driver leaves the status of requests it does not handle alone.
            NTSTATUS unchanged = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return unchanged;
        }
    }
}

// Power: the port powers the device up and down as asked.
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (ExtensionOf(device).slot == nullptr ||
        (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER)) {
        return Complete(irp, irp->IoStatus.Status);
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
    }
    return Complete(irp, STATUS_SUCCESS);
}

// The controller's own device object: it can be opened, and answers the
// user request for its identity.
NTSTATUS DispatchControllerRequest(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (ExtensionOf(device).slot != nullptr) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return Complete(irp, STATUS_SUCCESS);
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_USB_USER_REQUEST) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    Bus::State& state = *ExtensionOf(device).state;
    NTSTATUS failure;
    ControllerIdentity identity;
    {
        HostLock lock(state);
        failure = state.userRequestStatus;
        identity = state.identity;
    }
    if (!NT_SUCCESS(failure)) {
        return Complete(irp, failure);
    }
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* header = static_cast<PUSBUSER_REQUEST_HEADER>(irp->AssociatedIrp.SystemBuffer);
    if (header == nullptr || in < sizeof(USBUSER_REQUEST_HEADER) || out < sizeof(USBUSER_REQUEST_HEADER)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL);
    }
    if (header->UsbUserRequest != USBUSER_GET_CONTROLLER_INFO_0) {
        header->UsbUserStatusCode = UsbUserInvalidRequestCode;
        return Complete(irp, STATUS_SUCCESS, sizeof(USBUSER_REQUEST_HEADER));
    }
    if (header->RequestBufferLength < sizeof(USBUSER_CONTROLLER_INFO_0) || out < sizeof(USBUSER_CONTROLLER_INFO_0)) {
        header->UsbUserStatusCode = UsbUserBufferTooSmall;
        header->ActualBufferLength = sizeof(USBUSER_CONTROLLER_INFO_0);
        return Complete(irp, STATUS_SUCCESS, sizeof(USBUSER_REQUEST_HEADER));
    }
    auto* reply = reinterpret_cast<PUSBUSER_CONTROLLER_INFO_0>(header);
    reply->Info0.PciVendorId = identity.pciVendorId;
    reply->Info0.PciDeviceId = identity.pciDeviceId;
    reply->Info0.PciRevision = identity.pciRevision;
    reply->Info0.NumberOfRootPorts = identity.rootPorts;
    reply->Info0.ControllerFlavor = identity.flavor;
    reply->Info0.HcFeatureFlags = identity.hcFeatureFlags;
    header->UsbUserStatusCode = UsbUserSuccess;
    header->ActualBufferLength = sizeof(USBUSER_CONTROLLER_INFO_0);
    return Complete(irp, STATUS_SUCCESS, sizeof(USBUSER_CONTROLLER_INFO_0));
}

}  // namespace simusbhost
