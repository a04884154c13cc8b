// Which file requests reach the ASIO channel: "\asio" in any letter case
// gets a channel handle; every other name is PortCls's. Opens are refused
// once removal has begun, and a handle open across removal still closes.

#include <gtest/gtest.h>

#include "adapter/asio_channel_handle.h"
#include "driver_world.h"
#include "kmsim/client.h"
#include "kmsim/io.h"
#include "kmsim/portcls.h"
#include "kmsim/verifier.h"

namespace {

using kerneltest::DriverWorld;
using kerneltest::PluggedDevice;

constexpr ULONG kAnyChannelCode = 0x222070;  // METHOD_BUFFERED, FILE_ANY_ACCESS, in the gap of the table
const ULONG kUsba = kmsim::PoolTag("USBA");

CAsioChannelHandle* HandleOf(kmsim::Client& client, HANDLE handle) {
    return static_cast<CAsioChannelHandle*>(client.FileObjectOf(handle)->FsContext2);
}

TEST(AsioChannelOpen, AsioInAnyLetterCaseReachesTheChannelHandle) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    kmsim::Client client("host");
    const uint64_t before = kmsim::OutstandingAllocations(kUsba);
    for (const char* name : {"\\asio", "\\ASIO", "\\AsIo"}) {
        SCOPED_TRACE(name);
        HANDLE handle = nullptr;
        ASSERT_EQ(client.Open(world.DevicePath(q7.pdo) + name, &handle), STATUS_SUCCESS);
        EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before + 1);  // the handle
        ASSERT_NE(HandleOf(client, handle), nullptr);
        EXPECT_EQ(HandleOf(client, handle)->GetState(), CAsioChannelHandle::Opened);
        EXPECT_EQ(HandleOf(client, handle)->Adapter(), world.Adapter(q7.pdo));
        UCHAR buffer[16] = {};
        ULONG transferred = 7;
        EXPECT_EQ(client.DeviceIoControl(handle, kAnyChannelCode, buffer, 4, buffer, 16, &transferred),
                  STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(transferred, 0u);
        EXPECT_EQ(client.Read(handle, buffer, 16, &transferred), STATUS_UNSUCCESSFUL);  // no ASIO stream runs
        EXPECT_EQ(client.Write(handle, buffer, 16, &transferred), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(client.Close(handle), STATUS_SUCCESS);
        EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before);
    }
}

TEST(AsioChannelOpen, OtherNamesGoToPortCls) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    std::vector<kmsim::DeviceInterface> audio = world.AudioInterfaces(q7.pdo);
    ASSERT_EQ(audio.size(), 1u);
    kmsim::Client client("host");
    const uint64_t before = kmsim::OutstandingAllocations(kUsba);
    const size_t objects = kmsim::LiveComObjects();

    HANDLE filter = nullptr;
    ASSERT_EQ(client.Open(audio[0].path, &filter), STATUS_SUCCESS);  // the subdevice's own name
    EXPECT_EQ(client.FileObjectOf(filter)->FsContext2, nullptr);
    EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before);
    EXPECT_EQ(client.Close(filter), STATUS_SUCCESS);

    for (const char* name : {"\\asio2", "\\asi", "\\asio\\x"}) {
        SCOPED_TRACE(name);
        HANDLE handle = nullptr;
        EXPECT_NE(client.Open(world.DevicePath(q7.pdo) + name, &handle), STATUS_SUCCESS);
        EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before);
    }
    EXPECT_EQ(kmsim::LiveComObjects(), objects);
}

TEST(AsioChannelOpen, AfterAVetoedRemovalOpensAreRefusedUntilTheNextStart) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    std::string path = world.DevicePath(q7.pdo) + "\\asio";
    kmsim::Client client("host");
    HANDLE held = nullptr;
    ASSERT_EQ(client.Open(path, &held), STATUS_SUCCESS);
    EXPECT_EQ(world.Pnp().Disable(q7.pdo), STATUS_DEVICE_BUSY);  // the open handle vetoes

    HANDLE late = nullptr;
    EXPECT_EQ(client.Open(path, &late), STATUS_DELETE_PENDING);
    UCHAR buffer[4] = {};
    ULONG transferred = 0;
    EXPECT_EQ(client.DeviceIoControl(held, kAnyChannelCode, nullptr, 0, buffer, 4, &transferred),
              STATUS_DELETE_PENDING);  // the removal gate is closed
    EXPECT_EQ(client.Close(held), STATUS_SUCCESS);

    ASSERT_EQ(world.Pnp().Restart(q7.pdo), STATUS_SUCCESS);
    ASSERT_EQ(client.Open(path, &late), STATUS_SUCCESS);
    EXPECT_EQ(client.Close(late), STATUS_SUCCESS);
}

TEST(AsioChannelOpen, AfterADeviceGoneTransferStatusOpensAreRefused) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    std::string path = world.DevicePath(q7.pdo) + "\\asio";
    kmsim::Client client("host");
    HANDLE handle = nullptr;
    world.Adapter(q7.pdo)->NoteTransferStatus(STATUS_UNSUCCESSFUL);  // a failure, but the device is there
    ASSERT_EQ(client.Open(path, &handle), STATUS_SUCCESS);
    EXPECT_EQ(client.Close(handle), STATUS_SUCCESS);
    for (NTSTATUS gone : {STATUS_NO_SUCH_DEVICE, STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_CONNECTED}) {
        world.Adapter(q7.pdo)->NoteTransferStatus(gone);
        EXPECT_EQ(client.Open(path, &handle), STATUS_DELETE_PENDING);
        ASSERT_EQ(world.Pnp().Restart(q7.pdo), STATUS_SUCCESS);  // a new start clears it
        ASSERT_EQ(client.Open(path, &handle), STATUS_SUCCESS);
        EXPECT_EQ(client.Close(handle), STATUS_SUCCESS);
    }
}

TEST(AsioChannelOpen, AHandleOpenAcrossSurpriseRemovalClosesAndTheDriverGoes) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    kmsim::Client client("host");
    HANDLE handle = nullptr;
    ASSERT_EQ(client.Open(world.DevicePath(q7.pdo) + "\\asio", &handle), STATUS_SUCCESS);
    world.Pnp().Unplug(q7.pdo);
    UCHAR buffer[4] = {};
    ULONG transferred = 0;
    EXPECT_EQ(client.DeviceIoControl(handle, kAnyChannelCode, nullptr, 0, buffer, 4, &transferred),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(client.Read(handle, buffer, 4, &transferred), STATUS_DELETE_PENDING);
    EXPECT_TRUE(world.Pnp().DriverLoaded());  // the removal waits for the handle
    EXPECT_EQ(client.Close(handle), STATUS_SUCCESS);
    world.Pnp().WaitForRemoval(q7.pdo);
    EXPECT_FALSE(world.Pnp().DriverLoaded());
    EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), 0u);
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

// A create on a file object that already carries a context is refused and
// leaves that context where it was.
TEST(AsioChannelOpen, ACreateOnAFileObjectThatCarriesAContextLeavesItAlone) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    kmsim::Client client("host");
    HANDLE handle = nullptr;
    ASSERT_EQ(client.Open(world.DevicePath(q7.pdo) + "\\asio", &handle), STATUS_SUCCESS);
    PFILE_OBJECT file = client.FileObjectOf(handle);
    void* const owner = file->FsContext2;
    ASSERT_NE(owner, nullptr);
    const uint64_t before = kmsim::OutstandingAllocations(kUsba);

    PDEVICE_OBJECT device = IoGetAttachedDeviceReference(q7.pdo);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->FileObject = file;
    EXPECT_EQ(kmsim::CallDriverAndWait(device, irp), STATUS_UNSUCCESSFUL);
    IoFreeIrp(irp);
    ObDereferenceObject(device);

    EXPECT_EQ(file->FsContext2, owner);
    EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before);  // the second handle is gone again
    EXPECT_EQ(client.Close(handle), STATUS_SUCCESS);
}

}  // namespace
