// The USB bus layer: start-up and descriptors, strings, the host
// controller's identity, alternate settings, control requests, and the
// asynchronous transfers with their packet layout and completion.

#include <gtest/gtest.h>

#include <atomic>

#include "class_layer_world.h"
#include "descriptor_edits.h"
#include "km_time.h"
#include "simusb/ready_made_devices.h"

namespace {

using kerneltest::ClassLayerWorld;
using ConfigurationBytes = std::vector<uint8_t>;

simusb::AudioDescription Described(const char* name) { return simusb::FindReadyMadeDevice(name)->describe(); }

std::string Text(const CUSBStringDescriptor& string) {
    std::string text;
    for (ULONG i = 0; i < string.Characters(); ++i) text += static_cast<char>(string.Character(i));
    return text;
}

simusb::RequestMatch StringRead(uint8_t index) { return simusb::match::StringDescriptor(index); }
simusb::RequestMatch ConfigurationRead() { return simusb::match::ConfigurationDescriptor(0); }

// ---------------------------------------------------------------- start-up and descriptors

TEST(UsbBusLayer, StartReadsTheDescriptorsTheSpeedAndTheBusInterface) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    EXPECT_EQ(layer.DeviceDescriptor().bLength, 18);
    EXPECT_EQ(layer.VendorId(), 0xF0E1);
    EXPECT_EQ(layer.ProductId(), 0x0B31);
    USHORT bcdUsb = layer.DeviceDescriptor().bcdUSB;  // a packed field: copied, not referenced
    EXPECT_GE(bcdUsb, 0x0200);
    EXPECT_TRUE(layer.IsHighSpeed());
    EXPECT_EQ(layer.BusInterface().Size, 72);
    EXPECT_EQ(layer.BusInterface().Version, USB_BUSIF_USBDI_VERSION_1);
    ASSERT_NE(layer.BusInterface().QueryBusTime, nullptr);
    kmtest::SleepMs(30);
    ULONG frame = 0;
    EXPECT_EQ(layer.BusInterface().QueryBusTime(layer.BusInterface().BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, world.Bus().CurrentFrame());
    EXPECT_EQ(layer.ConfigurationBytes(), world.Device().Descriptors().configurations[0].size());
}

TEST(UsbBusLayer, AFullSpeedDeviceIsNotHighSpeed) {
    ClassLayerWorld world("uac1-duplex");
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    EXPECT_FALSE(world.Layer().IsHighSpeed());
}

TEST(UsbBusLayer, AConfigurationReadThatReturnsLessThanItsTotalLengthIsNotSupported) {
    auto device = kerneltest::ReadyMadeDevice("q7-0b31");
    device->Faults().Add(simusb::TruncateReply(ConfigurationRead(), 100, 2));  // the second read: the whole set
    ClassLayerWorld world(device);
    EXPECT_EQ(world.Start(), STATUS_NOT_SUPPORTED);
}

TEST(UsbBusLayer, ATotalLengthShorterThanTheHeaderOrLongerThanTheDeviceSendsIsNotSupported) {
    for (uint16_t total : {uint16_t{5}, uint16_t{60000}}) {
        auto device = kerneltest::ReadyMadeDevice("q7-0b31");
        device->Faults().Add(simusb::TotalLengthReads(total));
        ClassLayerWorld world(device);
        EXPECT_EQ(world.Start(), STATUS_NOT_SUPPORTED) << total;
    }
}

TEST(UsbBusLayer, AShortDeviceDescriptorIsNotSupported) {
    auto device = kerneltest::ReadyMadeDevice("q7-0b31");
    device->Faults().Add(simusb::TruncateReply(simusb::match::DeviceDescriptor(), 17));
    ClassLayerWorld world(device);
    EXPECT_EQ(world.Start(), STATUS_NOT_SUPPORTED);
}

TEST(UsbBusLayer, ADeviceWithoutStringDescriptorZeroFailsToStart) {
    auto device = kerneltest::ReadyMadeDevice("q7-0b31");
    device->Faults().Add(simusb::StallRequest(StringRead(0)));
    ClassLayerWorld world(device);
    EXPECT_FALSE(NT_SUCCESS(world.Start()));
}

// ---------------------------------------------------------------- strings

TEST(UsbBusLayer, TheSerialNumberIsReadInTheDevicesFirstLanguage) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    CUSBStringDescriptor serial;
    ASSERT_EQ(world.Layer().GetSerialNumberString(serial, 0), STATUS_SUCCESS);
    EXPECT_EQ(Text(serial), "Q70B31-001024");
    EXPECT_EQ(serial.Size(), 2 + 2 * serial.Characters());
    EXPECT_EQ(serial.TextBytes(), serial.Size() - 2);
    EXPECT_EQ(serial.Bytes()[1], 3);  // kept exactly as the device sent it
}

TEST(UsbBusLayer, StringsAreRefusedForIndexZeroAndForLanguagesTheDeviceDoesNotHave) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    CUSBStringDescriptor string;
    EXPECT_EQ(world.Layer().GetStringDescriptor(0, string, 0), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(world.Layer().GetStringDescriptor(2, string, 0x0411), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(world.Layer().GetStringDescriptor(2, string, 0x0407), STATUS_SUCCESS);  // the German product name
    EXPECT_EQ(Text(string), "Q7 Audio-Schnittstelle");
}

TEST(UsbBusLayer, AStringOfTwoOrThreeBytesIsEmpty) {
    for (std::vector<uint8_t> reply : {std::vector<uint8_t>{2, 3}, std::vector<uint8_t>{3, 3, 0x41}}) {
        auto device = kerneltest::ReadyMadeDevice("q7-0b31");
        device->Faults().Add(simusb::ReplaceReply(StringRead(3), reply));
        ClassLayerWorld world(device);
        ASSERT_EQ(world.Start(), STATUS_SUCCESS);
        CUSBStringDescriptor string;
        EXPECT_EQ(world.Layer().GetStringDescriptor(3, string, 0), STATUS_SUCCESS);
        EXPECT_EQ(string.Size(), 0u);
        EXPECT_EQ(string.Characters(), 0u);
    }
}

TEST(UsbBusLayer, AStringWhoseSecondReadComesBackShortKeepsOnlyWhatCame) {
    auto device = kerneltest::ReadyMadeDevice("q7-0b31");
    device->Faults().Add(simusb::TruncateReply(StringRead(3), 8, 2));  // 3 characters of the serial number
    ClassLayerWorld world(device);
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    CUSBStringDescriptor serial;
    ASSERT_EQ(world.Layer().GetSerialNumberString(serial, 0), STATUS_SUCCESS);
    EXPECT_EQ(serial.Size(), 8u);
    EXPECT_EQ(Text(serial), "Q70");
    EXPECT_EQ(serial.Character(5), 0);  // past the end reads nothing
}

// ---------------------------------------------------------------- host controller

TEST(UsbBusLayer, TheHostControllersIdentityIsReadThroughItsName) {
    simusbhost::ControllerIdentity identity;
    identity.pciVendorId = 0x1002;
    identity.pciDeviceId = 0x4396;
    identity.pciRevision = 0x11;
    identity.rootPorts = 6;
    identity.flavor = EHCI_Generic;
    ClassLayerWorld world(kerneltest::ReadyMadeDevice("q7-0b31"), identity);
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    USB_CONTROLLER_INFO_0 info{};
    ASSERT_EQ(world.Layer().GetControllerInfo(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.PciVendorId, 0x1002u);
    EXPECT_EQ(info.PciDeviceId, 0x4396u);
    EXPECT_EQ(info.PciRevision, 0x11u);
    EXPECT_EQ(info.NumberOfRootPorts, 6u);
    EXPECT_EQ(info.ControllerFlavor, EHCI_Generic);
}

TEST(UsbBusLayer, AControllerQueryThatFailsReportsItsStatus) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    USB_CONTROLLER_INFO_0 info{};
    world.Bus().FailUserRequest(STATUS_NOT_SUPPORTED);
    EXPECT_EQ(world.Layer().GetControllerInfo(&info), STATUS_NOT_SUPPORTED);
    world.Bus().FailUserRequest(STATUS_SUCCESS);
    world.Bus().FailControllerNameRequest(STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(world.Layer().GetControllerInfo(&info), STATUS_INVALID_DEVICE_REQUEST);
}

// ---------------------------------------------------------------- configuration and pipes

TEST(UsbBusLayer, SelectingAnAlternateOfAnInterfaceThatWasNotConfiguredIsInvalid) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    EXPECT_EQ(world.Layer().SelectAlternate(7, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(world.Layer().SelectAlternate(1, 9), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(world.Layer().SelectAlternate(1, 1), STATUS_SUCCESS);
    EXPECT_NE(world.Layer().FindPipe(0x01), nullptr);
    EXPECT_EQ(world.Layer().FindPipe(0x05), nullptr);
}

TEST(UsbBusLayer, TheInterfaceListNamesEveryInterfaceThatExists) {
    auto device = kerneltest::MakeEditedDevice(Described("uac2-with-hid"), [](ConfigurationBytes& set) {
        set[4] = static_cast<uint8_t>(set[4] + 1);  // bNumInterfaces claims one interface that is not there
    });
    ClassLayerWorld world(device);
    ASSERT_EQ(world.Start(), STATUS_SUCCESS);
    ULONG count = 0;
    PUSBD_INTERFACE_LIST_ENTRY list = world.Layer().CreateInterfaceList(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 4u);  // AC, two streams, HID; the missing one is left out
    for (ULONG i = 0; i < count; ++i) {
        EXPECT_EQ(list[i].InterfaceDescriptor->bInterfaceNumber, i);
        EXPECT_EQ(list[i].InterfaceDescriptor->bAlternateSetting, 0);
    }
    EXPECT_EQ(list[count].InterfaceDescriptor, nullptr);
    ExFreePool(list);
    EXPECT_EQ(world.Layer().SelectConfiguration(), STATUS_SUCCESS);
    EXPECT_TRUE(world.Device().HostConfiguredEveryInterface());
}

TEST(UsbBusLayer, IntervalsAndDurationsAreCountedInBusUnits) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    USBD_PIPE_INFORMATION pipe{};
    pipe.PipeType = UsbdPipeTypeIsochronous;
    pipe.Interval = 1;
    EXPECT_EQ(layer.GetPipeIntervalUnits(&pipe), 1u);
    EXPECT_EQ(layer.GetTransferDuration(64, &pipe), 8u);
    pipe.Interval = 2;
    EXPECT_EQ(layer.GetPipeIntervalUnits(&pipe), 2u);
    EXPECT_EQ(layer.GetTransferDuration(8, &pipe), 2u);
    pipe.Interval = 4;
    EXPECT_EQ(layer.GetPipeIntervalUnits(&pipe), 8u);
    EXPECT_EQ(layer.GetTransferDuration(3, &pipe), 3u);
    pipe.Interval = 0;  // as a device may report it
    EXPECT_EQ(layer.GetPipeIntervalUnits(&pipe), 1u);
    pipe.PipeType = UsbdPipeTypeInterrupt;
    EXPECT_EQ(layer.GetPipeIntervalUnits(&pipe), 0u);
    EXPECT_EQ(layer.GetTransferDuration(8, nullptr), 0u);
}

TEST(UsbBusLayer, AFullSpeedDevicesIntervalIsInFrames) {
    ClassLayerWorld world("uac1-duplex");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    USHORT bcdUsb = world.Layer().DeviceDescriptor().bcdUSB;  // a packed field: copied, not referenced
    ASSERT_LT(bcdUsb, 0x0200);
    USBD_PIPE_INFORMATION pipe{};
    pipe.PipeType = UsbdPipeTypeIsochronous;
    pipe.Interval = 4;
    EXPECT_EQ(world.Layer().GetPipeIntervalUnits(&pipe), 4u);
    EXPECT_EQ(world.Layer().GetTransferDuration(3, &pipe), 12u);
}

// ---------------------------------------------------------------- control requests

TEST(UsbBusLayer, ControlRequestsAreClassOrVendorToAKnownRecipientWithABufferWhenThereIsData) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    UCHAR buffer[4] = {};
    CUSBAudioCL& layer = world.Layer();
    size_t before = world.Device().Requests().Entries().size();
    EXPECT_EQ(layer.ControlRequest(0x80, 6, 0x0100, 0, 4, buffer), STATUS_INVALID_PARAMETER);  // standard
    EXPECT_EQ(layer.ControlRequest(0xA4, 1, 0x0100, 0, 4, buffer), STATUS_INVALID_PARAMETER);  // recipient 4
    EXPECT_EQ(layer.ControlRequest(0xA1, 1, 0x0100, 0, 4, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(world.Device().Requests().Entries().size(), before);  // none reached the device
    ULONG returned = 0;
    EXPECT_EQ(layer.ControlRequest(0xA1, 1, 0x0100, 41 << 8, 4, buffer, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(buffer[0] | buffer[1] << 8 | buffer[2] << 16, 48000);
    const simusb::Setup setup = world.Device().Requests().Entries().back().setup;
    EXPECT_EQ(setup.bmRequestType, 0xA1);
    EXPECT_EQ(setup.wIndex, 41 << 8);
    EXPECT_EQ(layer.ControlRequest(0x41, 0, 1, 1, 0, nullptr), STATUS_SUCCESS);  // the vendor mode request
    EXPECT_EQ(world.Device().VendorMode(1), 1);
}

// ---------------------------------------------------------------- asynchronous transfers

struct Completed {
    std::atomic<int> calls{0};
    NTSTATUS status = STATUS_PENDING;
    ULONG bytes = 0;
    ULONG startFrame = 0;
    ULONG durationMs = 0;
    KIRQL irql = PASSIVE_LEVEL;
    KEVENT done;
    Completed() { KeInitializeEvent(&done, NotificationEvent, FALSE); }

    static VOID Callback(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG durationMs) {
        auto* self = static_cast<Completed*>(context);
        self->status = status;
        self->bytes = bytes;
        self->startFrame = startFrame;
        self->durationMs = durationMs;
        self->irql = KeGetCurrentIrql();
        self->calls++;
        KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
    }
    void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }
};

// The Q7 with its capture endpoint at 192 bytes per packet, one packet every
// other microframe; the device is watched packet by packet.
std::unique_ptr<ClassLayerWorld> CaptureAt192BytesInterval2() {
    auto device = kerneltest::MakeEditedDevice(Described("q7-0b31"), [](ConfigurationBytes& set) {
        for (size_t n = 0;; ++n) {  // every alternate setting's data endpoint 0x82
            size_t at = kerneltest::FindNthDescriptor(set, 5, -1, n);
            if (at == kerneltest::kNotFound) break;
            if (set[at + 2] != 0x82) continue;
            set[at + 4] = 192;
            set[at + 5] = 0;
            set[at + 6] = 2;
        }
    });
    return std::make_unique<ClassLayerWorld>(device, simusbhost::ControllerIdentity{}, kmsim::Options{}, true);
}

// Configures the device and selects alternate setting 1 of an interface.
// Capture packets of any size up to a packet pass the completion check, as
// if a format had been selected.
PUSBD_PIPE_INFORMATION OpenPipe(ClassLayerWorld& world, UCHAR interfaceNumber, UCHAR address) {
    EXPECT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    EXPECT_EQ(world.Layer().SelectAlternate(interfaceNumber, 1), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = world.Layer().FindPipe(address);
    if (world.Layer().CaptureStream() != nullptr && pipe != nullptr) {
        world.Layer().CaptureStream()->minimumPacketBytes = 0;
        world.Layer().CaptureStream()->maximumPacketBytes = pipe->MaximumPacketSize;
    }
    return pipe;
}

TEST(UsbBusLayer, AnInTransferFillsWholeMillisecondsOfPackets) {
    auto world = CaptureAt192BytesInterval2();
    PUSBD_PIPE_INFORMATION pipe = OpenPipe(*world, 2, 0x82);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(pipe->MaximumPacketSize, 192);
    for (ULONG bytes : {1536u, 768u}) {
        world->Spy().packets.clear();
        std::vector<UCHAR> buffer(bytes);
        Completed completed;
        ASSERT_EQ(world->Layer().SubmitInTransfer(pipe, buffer.data(), bytes, Completed::Callback, &completed),
                  STATUS_SUCCESS);
        completed.Wait();
        EXPECT_EQ(completed.calls.load(), 1);
        EXPECT_EQ(completed.status, STATUS_SUCCESS);
        EXPECT_EQ(completed.irql, DISPATCH_LEVEL);
        std::vector<kerneltest::SpiedPacket> packets = world->Spy().On(0x82);
        ASSERT_EQ(packets.size(), bytes / 192) << bytes;  // 8 and 4 packets, each at an offset of a whole packet
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(packets[i].bytes, 192u);
            if (i > 0) {
                EXPECT_EQ(packets[i].at.Index(simusb::Speed::High) - packets[i - 1].at.Index(simusb::Speed::High), 2u);
            }
        }
        EXPECT_EQ(completed.durationMs, bytes / 192 * 2 / 8);
    }
}

TEST(UsbBusLayer, CapturedPacketsAreMovedTogether) {
    auto world = CaptureAt192BytesInterval2();
    PUSBD_PIPE_INFORMATION pipe = OpenPipe(*world, 2, 0x82);
    ASSERT_NE(pipe, nullptr);
    // Every packet carries 180 bytes: its index in the transfer, repeated.
    uint8_t next = 0;
    world->Spy().inAnswer = [&next](uint8_t, const simusb::BusTime&, std::span<uint8_t> room) {
        std::fill(room.begin(), room.begin() + 180, next++);
        return size_t{180};
    };
    std::vector<UCHAR> buffer(768, 0xEE);
    Completed completed;
    ASSERT_EQ(world->Layer().SubmitInTransfer(pipe, buffer.data(), 768, Completed::Callback, &completed), STATUS_SUCCESS);
    completed.Wait();
    EXPECT_EQ(completed.status, STATUS_SUCCESS);
    ASSERT_EQ(completed.bytes, 720u);  // 4 packets of 180, contiguous from the start
    for (ULONG i = 0; i < 720; ++i) {
        ASSERT_EQ(buffer[i], i / 180) << i;
    }
}

TEST(UsbBusLayer, AnOutTransferIsCutIntoPacketsOfTheMaximumSize) {
    auto device = kerneltest::MakeEditedDevice(Described("uac1-duplex"), [](ConfigurationBytes& set) {
        size_t at = kerneltest::FindEndpointDescriptor(set, 0x01);
        set[at + 4] = 192;
        set[at + 5] = 0;
    });
    ClassLayerWorld world(device, simusbhost::ControllerIdentity{}, kmsim::Options{}, true);
    PUSBD_PIPE_INFORMATION pipe = OpenPipe(world, 1, 0x01);
    ASSERT_NE(pipe, nullptr);
    std::vector<UCHAR> buffer(500);
    Completed completed;
    ASSERT_EQ(world.Layer().SubmitTransfer(pipe, buffer.data(), 500, USBD_START_ISO_TRANSFER_ASAP, Completed::Callback,
                                           &completed, 0),
              STATUS_SUCCESS);
    completed.Wait();
    std::vector<kerneltest::SpiedPacket> packets = world.Spy().On(0x01);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].bytes, 192u);
    EXPECT_EQ(packets[1].bytes, 192u);
    EXPECT_EQ(packets[2].bytes, 116u);
    EXPECT_EQ(completed.status, STATUS_SUCCESS);
    EXPECT_EQ(completed.bytes, 500u);
    EXPECT_EQ(completed.durationMs, 3u);
    EXPECT_EQ(completed.startFrame, packets[0].at.frame);
}

TEST(UsbBusLayer, TransfersThatCannotBeBuiltAreRefused) {
    auto world = CaptureAt192BytesInterval2();
    PUSBD_PIPE_INFORMATION pipe = OpenPipe(*world, 2, 0x82);
    ASSERT_NE(pipe, nullptr);
    std::vector<UCHAR> buffer(192 * 72);
    Completed completed;
    // 72 packets: more than one URB holds.
    EXPECT_EQ(world->Layer().SubmitInTransfer(pipe, buffer.data(), 192 * 72, Completed::Callback, &completed),
              STATUS_INVALID_PARAMETER);
    // Not a whole millisecond of packets: the last packets would lie past the buffer.
    EXPECT_EQ(world->Layer().SubmitInTransfer(pipe, buffer.data(), 200, Completed::Callback, &completed),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(world->Layer().SubmitInTransfer(nullptr, buffer.data(), 768, Completed::Callback, &completed),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(completed.calls.load(), 0);
}

TEST(UsbBusLayer, AFailedTransferIsReportedOnceWithNoBytes) {
    auto world = CaptureAt192BytesInterval2();
    PUSBD_PIPE_INFORMATION pipe = OpenPipe(*world, 2, 0x82);
    world->Bus().FailTransfers(world->Pdo(), 0x82, 1);
    std::vector<UCHAR> buffer(768);
    Completed completed;
    ASSERT_EQ(world->Layer().SubmitInTransfer(pipe, buffer.data(), 768, Completed::Callback, &completed), STATUS_SUCCESS);
    completed.Wait();
    kmtest::SleepMs(10);
    EXPECT_EQ(completed.calls.load(), 1);
    EXPECT_EQ(completed.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(completed.bytes, 0u);
    EXPECT_EQ(completed.startFrame, 0u);
}

TEST(UsbBusLayer, AbortingAPipeEndsItsTransfersAndResettingNeedsPassiveLevel) {
    auto world = CaptureAt192BytesInterval2();
    PUSBD_PIPE_INFORMATION pipe = OpenPipe(*world, 2, 0x82);
    std::vector<UCHAR> buffer(768);
    Completed completed;
    ASSERT_EQ(world->Layer().SubmitInTransfer(pipe, buffer.data(), 768, Completed::Callback, &completed), STATUS_SUCCESS);
    EXPECT_EQ(world->Layer().AbortPipe(pipe), STATUS_SUCCESS);
    EXPECT_EQ(completed.calls.load(), 1);
    EXPECT_EQ(completed.status, STATUS_CANCELLED);
    EXPECT_EQ(completed.bytes, 0u);
    EXPECT_EQ(world->Layer().ResetPipe(pipe), STATUS_SUCCESS);
    EXPECT_EQ(world->Layer().AbortPipe(nullptr), STATUS_INVALID_PARAMETER);
    USBD_PIPE_INFORMATION noHandle{};
    EXPECT_EQ(world->Layer().ResetPipe(&noHandle), STATUS_INVALID_PARAMETER);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS atDispatch = world->Layer().ResetPipe(pipe);
    KeLowerIrql(old);
    EXPECT_EQ(atDispatch, STATUS_UNSUCCESSFUL);
}

TEST(UsbBusLayer, TransfersResubmittedFromTheirCompletionKeepTheStreamGoing) {
    auto world = CaptureAt192BytesInterval2();
    PUSBD_PIPE_INFORMATION pipe = OpenPipe(*world, 2, 0x82);
    struct Loop {
        CUSBAudioCL* layer;
        PUSBD_PIPE_INFORMATION pipe;
        std::vector<UCHAR> buffer = std::vector<UCHAR>(768);
        std::atomic<int> left{200};
        std::atomic<int> failed{0};
        KEVENT done{};
        static VOID Again(NTSTATUS status, ULONG, ULONG, PVOID context, ULONG) {
            auto* self = static_cast<Loop*>(context);
            if (!NT_SUCCESS(status)) self->failed++;
            if (--self->left > 0) {
                if (!NT_SUCCESS(self->layer->SubmitInTransfer(self->pipe, self->buffer.data(), 768, Again, self))) {
                    self->failed++;
                }
            } else {
                KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
            }
        }
    } loop{&world->Layer(), pipe};
    KeInitializeEvent(&loop.done, NotificationEvent, FALSE);
    ASSERT_EQ(world->Layer().SubmitInTransfer(pipe, loop.buffer.data(), 768, Loop::Again, &loop), STATUS_SUCCESS);
    KeWaitForSingleObject(&loop.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(loop.failed.load(), 0);
    EXPECT_EQ(world->Spy().On(0x82).size(), 200u * 4);
}

}  // namespace
