// The IRPs the PnP and power managers send: allocated for the top of the
// device's stack, started with STATUS_NOT_SUPPORTED as the platform starts
// every PnP IRP, and waited for.

#include "pnp_state.h"

namespace simpnp {

namespace {

template <typename Fill>
NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, Fill fill) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    ObDereferenceObject(top);  // the stack stays while the PnP manager sends to it
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    fill(next);
    NTSTATUS status = kmsim::CallDriverAndWait(top, irp);
    IoFreeIrp(irp);
    return status;
}

}  // namespace

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities) {
    return Send(pdo, IRP_MJ_PNP, minor, [capabilities](PIO_STACK_LOCATION stack) {
        // A USB audio function is started with no resources: both lists are empty.
        stack->Parameters.StartDevice.AllocatedResources = nullptr;
        stack->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
        if (capabilities != nullptr) {
            stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
        }
    });
}

NTSTATUS SendDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    return Send(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State.DeviceState = state;
        stack->Parameters.Power.ShutdownType = state == PowerDeviceD0 ? PowerActionNone : PowerActionSleep;
    });
}

}  // namespace simpnp
