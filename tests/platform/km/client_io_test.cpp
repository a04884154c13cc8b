// Client I/O: opening through a device interface's link, the file name a
// driver sees, buffered and direct transfers, asynchronous completion, and
// cleanup and close as handles and requests go.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "km_time.h"
#include "kmsim/client.h"
#include "kmsim/device_interfaces.h"
#include "kmsim/device_nodes.h"
#include "kmsim/io.h"
#include "kmsim/simulation.h"

namespace {

constexpr GUID kClass = {0x11223344, 0x5566, 0x7788, {0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00}};
constexpr ULONG kIoctlFill = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlOverflow = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_NEITHER, FILE_ANY_ACCESS);

// A one-device driver that logs what reaches it.
struct Driver {
    std::vector<std::string> log;
    std::string lastName;
    std::u16string lastRawName;
    PFILE_OBJECT lastRelated = nullptr;
    bool sawMdl = false;
    bool sawSystemBuffer = false;
    PIRP held = nullptr;  // a read kept pending
    PKEVENT heldSignal = nullptr;  // set when a read is kept pending, if given
};
Driver* g_driver = nullptr;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE: {
            g_driver->lastName.clear();
            g_driver->lastRawName.assign(reinterpret_cast<const char16_t*>(stack->FileObject->FileName.Buffer),
                                         stack->FileObject->FileName.Length / 2);
            g_driver->lastRelated = stack->FileObject->RelatedFileObject;
            stack->FileObject->FsContext2 = stack->FileObject->RelatedFileObject;  // marks a pin
            for (USHORT i = 0; i < stack->FileObject->FileName.Length / 2; ++i) {
                g_driver->lastName += static_cast<char>(stack->FileObject->FileName.Buffer[i]);
            }
            g_driver->log.push_back("create");
            return Complete(irp, g_driver->lastName == "\\refuse" ? STATUS_ACCESS_DENIED : STATUS_SUCCESS, 0);
        }
        case IRP_MJ_CLEANUP:
            g_driver->log.push_back("cleanup");
            return Complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLOSE:
            g_driver->log.push_back(stack->FileObject->FsContext2 != nullptr ? "close pin" : "close");
            return Complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_DEVICE_CONTROL: {
            if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlNeither) {
                // The caller's own buffers: the input's first byte, plus one, into the output.
                auto* input = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
                static_cast<UCHAR*>(irp->UserBuffer)[0] = static_cast<UCHAR>(input[0] + 1);
                return Complete(irp, STATUS_SUCCESS, 1);
            }
            // The system buffer holds the input; the driver writes 2 bytes back.
            auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            buffer[0] = static_cast<UCHAR>(buffer[0] + 1);
            buffer[1] = 0xEE;
            buffer[2] = 0xDD;  // written, but beyond Information: the client never sees it
            bool overflow = stack->Parameters.DeviceIoControl.IoControlCode == kIoctlOverflow;
            return Complete(irp, overflow ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, 2);
        }
        case IRP_MJ_READ: {
            g_driver->sawMdl = irp->MdlAddress != nullptr;
            g_driver->sawSystemBuffer = irp->AssociatedIrp.SystemBuffer != nullptr;
            if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID*>(&g_driver->held), nullptr, nullptr) == nullptr &&
                stack->Parameters.Read.Length == 3) {
                IoMarkIrpPending(irp);
                InterlockedExchangePointer(reinterpret_cast<PVOID*>(&g_driver->held), irp);
                if (g_driver->heldSignal != nullptr) KeSetEvent(g_driver->heldSignal, IO_NO_INCREMENT, FALSE);
                return STATUS_PENDING;
            }
            auto* target = irp->MdlAddress != nullptr
                               ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                               : static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            RtlFillMemory(target, stack->Parameters.Read.Length, 0x42);
            return Complete(irp, STATUS_SUCCESS, stack->Parameters.Read.Length);
        }
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

class ClientIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_driver = &driver_;
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ}) {
            object_.get()->MajorFunction[major] = Dispatch;
        }
        ASSERT_EQ(IoCreateDevice(object_.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_), STATUS_SUCCESS);
        pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
        kmsim::RegisterDeviceNode(pdo_, {"ROOT\\TEST\\0000", {}, "test"});
        UNICODE_STRING reference;
        RtlInitUnicodeString(&reference, L"Filter");
        ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, &reference, &link_), STATUS_SUCCESS);
        ASSERT_EQ(IoSetDeviceInterfaceState(&link_, TRUE), STATUS_SUCCESS);
    }
    void TearDown() override {
        kmsim::UnregisterDeviceNode(pdo_);
        RtlFreeUnicodeString(&link_);
        IoDeleteDevice(pdo_);
    }
    std::string Path() { return kmsim::EnabledDeviceInterfaces(kClass).at(0).path; }
    // The interface's path cut after the class GUID, followed by `rest`.
    static std::string Cut(const char* rest = "") {
        std::string path = "\\\\?\\ROOT#TEST#0000#{11223344-5566-7788-99aa-bbccddeeff00}";
        path += rest;
        return path;
    }

    kmsim::Simulation sim_;
    kmsim::DriverObject object_{L"\\Driver\\test"};
    Driver driver_;
    PDEVICE_OBJECT pdo_ = nullptr;
    UNICODE_STRING link_{};
};

TEST_F(ClientIoTest, APathCutAfterTheClassGuidReachesTheDeviceWithTheRestAsFileName) {
    EXPECT_EQ(Path(), Cut("\\Filter"));
    kmsim::Client client;
    HANDLE handle;
    ASSERT_EQ(client.Open(Path(), &handle), STATUS_SUCCESS);
    EXPECT_EQ(driver_.lastName, "\\Filter");
    ASSERT_EQ(client.Open(Cut("\\asio"), &handle), STATUS_SUCCESS);
    EXPECT_EQ(driver_.lastName, "\\asio");
    ASSERT_EQ(client.Open(Cut(), &handle), STATUS_SUCCESS);
    EXPECT_EQ(driver_.lastName, "");
    EXPECT_EQ(client.Open(Cut("\\refuse"), &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(client.Open(Cut("x\\asio"), &handle), STATUS_OBJECT_NAME_NOT_FOUND);  // not the link
    EXPECT_EQ(kmsim::OpenFileObjects(pdo_), 3u);  // the refused open left none behind
    ASSERT_EQ(IoSetDeviceInterfaceState(&link_, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(client.Open(Cut("\\asio"), &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link_, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ClientIoTest, AnInterfaceRegisteredAgainForANewDeviceObjectOpensThatOne) {
    // The device goes, and the same instance comes back with a new physical
    // device object (made while the old one still exists, so a new address).
    ASSERT_EQ(IoSetDeviceInterfaceState(&link_, FALSE), STATUS_SUCCESS);
    kmsim::UnregisterDeviceNode(pdo_);
    PDEVICE_OBJECT old = pdo_;
    ASSERT_EQ(IoCreateDevice(object_.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_), STATUS_SUCCESS);
    IoDeleteDevice(old);
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    kmsim::RegisterDeviceNode(pdo_, {"ROOT\\TEST\\0000", {}, "test"});
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, L"Filter");
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, &reference, &again), STATUS_SUCCESS);
    ASSERT_EQ(again.Length, link_.Length);  // the same link
    EXPECT_EQ(memcmp(again.Buffer, link_.Buffer, again.Length), 0);
    ASSERT_EQ(IoSetDeviceInterfaceState(&again, TRUE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&again);

    kmsim::Client client;
    HANDLE handle;
    ASSERT_EQ(client.Open(Cut("\\asio"), &handle), STATUS_SUCCESS);
    EXPECT_EQ(driver_.lastName, "\\asio");
    EXPECT_EQ(kmsim::OpenFileObjects(pdo_), 1u);
}

TEST_F(ClientIoTest, BufferedControlCopiesInputInAndOnlyInformationBytesOut) {
    kmsim::Client client;
    HANDLE handle;
    ASSERT_EQ(client.Open(Path(), &handle), STATUS_SUCCESS);
    UCHAR input[1] = {7};
    UCHAR output[4] = {0, 0, 0, 0};
    ULONG transferred = 0;
    ASSERT_EQ(client.DeviceIoControl(handle, kIoctlFill, input, 1, output, 4, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, 2u);
    EXPECT_EQ(output[0], 8);
    EXPECT_EQ(output[1], 0xEE);
    EXPECT_EQ(output[2], 0);
    // A warning status still returns what the driver wrote.
    ASSERT_EQ(client.DeviceIoControl(handle, kIoctlOverflow, input, 1, output, 4, &transferred),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(output[1], 0xEE);
}

TEST_F(ClientIoTest, ReadsAreDirectOrBufferedAsTheDeviceFlagsSay) {
    kmsim::Client client;
    HANDLE handle;
    ASSERT_EQ(client.Open(Path(), &handle), STATUS_SUCCESS);
    UCHAR data[5] = {};
    ULONG transferred;
    pdo_->Flags |= DO_DIRECT_IO;
    ASSERT_EQ(client.Read(handle, data, 5, &transferred), STATUS_SUCCESS);
    EXPECT_TRUE(driver_.sawMdl);
    EXPECT_FALSE(driver_.sawSystemBuffer);
    EXPECT_EQ(data[4], 0x42);
    pdo_->Flags = (pdo_->Flags & ~DO_DIRECT_IO) | DO_BUFFERED_IO;
    data[4] = 0;
    ASSERT_EQ(client.Read(handle, data, 5, &transferred), STATUS_SUCCESS);
    EXPECT_FALSE(driver_.sawMdl);
    EXPECT_TRUE(driver_.sawSystemBuffer);
    EXPECT_EQ(data[4], 0x42);
    EXPECT_EQ(transferred, 5u);
}

TEST_F(ClientIoTest, CleanupComesWithTheLastHandleAndCloseAfterTheLastPendingRequest) {
    pdo_->Flags |= DO_DIRECT_IO;
    kmsim::Client client;
    HANDLE first, second;
    ASSERT_EQ(client.Open(Path(), &first), STATUS_SUCCESS);
    ASSERT_EQ(client.Duplicate(first, &second), STATUS_SUCCESS);
    UCHAR data[3];
    kmsim::Overlapped read;
    ASSERT_EQ(client.Read(first, data, 3, &read), STATUS_PENDING);
    ASSERT_EQ(client.Close(first), STATUS_SUCCESS);
    EXPECT_EQ(driver_.log, (std::vector<std::string>{"create"}));
    ASSERT_EQ(client.Close(second), STATUS_SUCCESS);
    EXPECT_EQ(driver_.log, (std::vector<std::string>{"create", "cleanup"}));  // the read still holds the file
    EXPECT_EQ(client.Close(second), STATUS_INVALID_HANDLE);

    PIRP held = driver_.held;
    RtlFillMemory(MmGetSystemAddressForMdlSafe(held->MdlAddress, NormalPagePriority), 3, 0x11);
    Complete(held, STATUS_SUCCESS, 3);
    EXPECT_TRUE(read.Done());
    EXPECT_EQ(read.ioStatus.Information, 3u);
    EXPECT_EQ(data[2], 0x11);
    EXPECT_EQ(driver_.log, (std::vector<std::string>{"create", "cleanup", "close"}));
}

TEST_F(ClientIoTest, ARequestCompletedFromADpcClosesItsFileAtPassiveLevel) {
    pdo_->Flags |= DO_DIRECT_IO;
    kmsim::Client client;
    HANDLE handle;
    ASSERT_EQ(client.Open(Path(), &handle), STATUS_SUCCESS);
    UCHAR data[3];
    kmsim::Overlapped read;
    ASSERT_EQ(client.Read(handle, data, 3, &read), STATUS_PENDING);
    ASSERT_EQ(client.Close(handle), STATUS_SUCCESS);
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) { Complete(g_driver->held, STATUS_SUCCESS, 0); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    kmtest::SleepMs(1);  // the file's last reference goes in a worker
    EXPECT_EQ(driver_.log, (std::vector<std::string>{"create", "cleanup", "close"}));
    EXPECT_EQ(kmsim::OpenFileObjects(pdo_), 0u);
}

TEST_F(ClientIoTest, APinIsCreatedRelativeToItsFilterAndHoldsItOpen) {
    kmsim::Client client;
    HANDLE filter, pin;
    ASSERT_EQ(client.Open(Path(), &filter), STATUS_SUCCESS);
    struct {
        KSPIN_CONNECT connect;
        KSDATAFORMAT format;
    } request{};
    request.connect.PinId = 3;
    request.format.FormatSize = sizeof(KSDATAFORMAT);
    ASSERT_EQ(client.CreatePin(filter, &request.connect, sizeof(request), &pin), STATUS_SUCCESS);
    EXPECT_EQ(driver_.lastRelated, client.FileObjectOf(filter));
    // The name: the pin class, a backslash, then the request's bytes unchanged.
    std::u16string prefix = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";
    ASSERT_EQ(driver_.lastRawName.size(), prefix.size() + sizeof(request) / 2);
    EXPECT_EQ(driver_.lastRawName.substr(0, prefix.size()), prefix);
    EXPECT_EQ(memcmp(driver_.lastRawName.data() + prefix.size(), &request, sizeof(request)), 0);
    EXPECT_EQ(client.CreatePin(reinterpret_cast<HANDLE>(0x7777), &request.connect, sizeof(request), &pin),
              STATUS_INVALID_HANDLE);

    // METHOD_NEITHER: the driver reads and writes the caller's buffers.
    UCHAR in = 41, out = 0;
    ULONG transferred = 0;
    ASSERT_EQ(client.DeviceIoControl(pin, kIoctlNeither, &in, 1, &out, 1, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(out, 42);

    // The filter's file object outlives its handle while the pin holds it.
    ASSERT_EQ(client.Close(filter), STATUS_SUCCESS);
    EXPECT_EQ(driver_.log, (std::vector<std::string>{"create", "create", "cleanup"}));
    ASSERT_EQ(client.Close(pin), STATUS_SUCCESS);
    EXPECT_EQ(driver_.log,
              (std::vector<std::string>{"create", "create", "cleanup", "cleanup", "close pin", "close"}));
}

}  // namespace

namespace {

TEST(ClientEvents, ADriverSignalsAClientEventThroughItsHandle) {
    kmsim::Simulation sim;
    kmsim::Client client;
    HANDLE event;
    ASSERT_EQ(client.CreateEvent(FALSE, FALSE, &event), STATUS_SUCCESS);
    LARGE_INTEGER tenMs;
    tenMs.QuadPart = -100000;
    EXPECT_EQ(client.WaitForSingleObject(event, &tenMs), STATUS_TIMEOUT);

    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_SUCCESS);
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(client.WaitForSingleObject(event, &tenMs), STATUS_SUCCESS);
    EXPECT_EQ(client.WaitForSingleObject(event, &tenMs), STATUS_TIMEOUT);  // auto-reset
    // The driver's reference keeps the event alive past the handle.
    ASSERT_EQ(client.Close(event), STATUS_SUCCESS);
    EXPECT_EQ(client.WaitForSingleObject(event, &tenMs), STATUS_INVALID_HANDLE);
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(object);
}

// A driver thread completes one client's requests while another client
// sends its own: the I/O manager's bookkeeping must hold none of its locks
// where the scheduler may pass the turn, or the completing thread would
// wait for a lock whose owner waits for the turn.
TEST_F(ClientIoTest, RequestsCompletedByADriverThreadWhileAnotherClientSendsAllFinish) {
    constexpr int kRounds = 300;
    KEVENT held;
    KeInitializeEvent(&held, SynchronizationEvent, FALSE);
    driver_.heldSignal = &held;
    kmsim::Thread completer("completer", [&] {
        for (int i = 0; i < kRounds; ++i) {
            KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
            Complete(static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID*>(&driver_.held), nullptr)),
                     STATUS_SUCCESS, 0);
        }
    });
    kmsim::Client reader("reader");
    kmsim::Client sender("sender");
    HANDLE readHandle;
    HANDLE sendHandle;
    ASSERT_EQ(reader.Open(Path(), &readHandle), STATUS_SUCCESS);
    ASSERT_EQ(sender.Open(Path(), &sendHandle), STATUS_SUCCESS);
    for (int i = 0; i < kRounds; ++i) {
        UCHAR buffer[3];
        kmsim::Overlapped read;
        ASSERT_EQ(reader.Read(readHandle, buffer, sizeof(buffer), &read), STATUS_PENDING);
        UCHAR io[4] = {};
        ULONG transferred = 0;
        EXPECT_EQ(sender.DeviceIoControl(sendHandle, kIoctlFill, io, sizeof(io), io, sizeof(io), &transferred),
                  STATUS_SUCCESS);
        EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    }
    completer.Join();
    EXPECT_EQ(reader.Close(readHandle), STATUS_SUCCESS);
    EXPECT_EQ(sender.Close(sendHandle), STATUS_SUCCESS);
}

}  // namespace
