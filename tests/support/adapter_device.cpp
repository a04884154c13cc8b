#include "adapter_device.h"

#include <gtest/gtest.h>

#include "kmsim/device_nodes.h"

namespace kmtest {

namespace {

NTSTATUS CompleteSuccess(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NoStart(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }
NTSTATUS AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }

}  // namespace

AdapterDevice::AdapterDevice(ULONG maxObjects) {
    bus_.get()->MajorFunction[IRP_MJ_PNP] = CompleteSuccess;
    EXPECT_EQ(IoCreateDevice(bus_.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_), STATUS_SUCCESS);
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    kmsim::RegisterDeviceNode(pdo_, {"ROOT\\MEDIA\\0000", {}, "adapter"});
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\adapter");
    EXPECT_EQ(PcInitializeAdapterDriver(driver_.get(), &path, AddDevice), STATUS_SUCCESS);
    EXPECT_EQ(PcAddAdapterDevice(driver_.get(), pdo_, NoStart, maxObjects, 0), STATUS_SUCCESS);
    fdo_ = pdo_->AttachedDevice;
}

AdapterDevice::~AdapterDevice() {
    if (fdo_ != nullptr) Remove();
    kmsim::UnregisterDeviceNode(pdo_);
    IoDeleteDevice(pdo_);
}

void AdapterDevice::Remove() {
    PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_REMOVE_DEVICE;
    EXPECT_EQ(kmsim::CallDriverAndWait(fdo_, irp), STATUS_SUCCESS);
    IoFreeIrp(irp);
    fdo_ = nullptr;
}

}  // namespace kmtest
