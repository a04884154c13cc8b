// The simulated USB host seen from a driver: descriptor reads and class
// requests, configuration and interface selection, isochronous timing on the
// bus clock, the rules enforced on URBs, unplugging, injected faults, the bus
// interface and the host controller's identity.

#include <gtest/gtest.h>

#include <usbbusif.h>
#include <usbuser.h>

#include <memory>

#include "km_time.h"
#include "kmsim/simulation.h"
#include "scripted_device.h"
#include "simusbhost/bus.h"
#include "urb_client.h"

namespace {

using bustest::AsyncTransfer;
using bustest::ScriptedDevice;
using bustest::SubmitAndWait;

constexpr int64_t kMs = 1000 * 1000;

// A simulated host with one scripted device attached, configured the way a
// driver configures it.
class BusTest : public ::testing::Test {
protected:
    void Attach(simusb::Speed speed, uint16_t outMaxPacket = 200) {
        device_ = std::make_shared<ScriptedDevice>(speed, outMaxPacket);
        pdo_ = bus_->Attach(device_);
    }

    // 1 ms ticks, so that the test's own delays are as long as they say.
    void SetUp() override { ExSetTimerResolution(10000, TRUE); }
    void TearDown() override {
        bus_.reset();
        ExSetTimerResolution(0, FALSE);
    }

    // Reads the whole configuration set and selects it with every interface
    // at alternate setting 0, then `alternate` on interface 1.
    void Configure(UCHAR alternate = 1) {
        configuration_.assign(device_->config_.size(), 0);
        ASSERT_EQ(ReadDescriptor(2, 0, 0, configuration_), STATUS_SUCCESS);
        configurationHandle_ = bustest::SelectConfiguration(pdo_, configuration_, {0, 1, 2});
        ASSERT_NE(configurationHandle_, nullptr);
        if (alternate != 0) {
            SelectAlternate(1, alternate);
            SelectAlternate(2, 1);
        }
    }

    NTSTATUS SelectAlternate(UCHAR number, UCHAR alternate, ULONG pipesRoom = 2) {
        NTSTATUS status = bustest::SelectInterface(pdo_, configurationHandle_, number, alternate, pipesRoom, lastInterface_);
        if (NT_SUCCESS(status)) {
            const auto& info = Interface();
            for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
                pipes_[info.Pipes[i].EndpointAddress] = info.Pipes[i];
            }
        }
        return status;
    }

    const USBD_INTERFACE_INFORMATION& Interface() const {
        return *reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(lastInterface_.data());
    }

    NTSTATUS ReadDescriptor(UCHAR type, UCHAR index, USHORT language, std::vector<UCHAR>& into) {
        return bustest::ReadDescriptor(pdo_, type, index, language, into, &lastUsbdStatus_);
    }

    NTSTATUS ClassOrVendor(USHORT function, bool in, UCHAR request, USHORT value, USHORT index,
                           std::vector<UCHAR>& data) {
        return bustest::ClassOrVendor(pdo_, function, in, request, value, index, data, &lastUsbdStatus_);
    }

    NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
        URB urb{};
        urb.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
        urb.UrbPipeRequest.Hdr.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe;
        return SubmitAndWait(pdo_, &urb);
    }

    USBD_PIPE_HANDLE Pipe(UCHAR address) { return pipes_.at(address).PipeHandle; }

    std::vector<simusb::BusTime> TimesOn(UCHAR endpoint) const {
        std::vector<simusb::BusTime> times;
        for (const auto& packet : device_->delivered) {
            if (packet.endpoint == endpoint) times.push_back(packet.at);
        }
        return times;
    }

    kmsim::Simulation sim_;
    std::unique_ptr<simusbhost::Bus> bus_ = std::make_unique<simusbhost::Bus>();
    std::shared_ptr<ScriptedDevice> device_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<UCHAR> configuration_;
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    std::vector<UCHAR> lastInterface_;
    std::map<UCHAR, USBD_PIPE_INFORMATION> pipes_;
    USBD_STATUS lastUsbdStatus_ = 0;
};

// ---------------------------------------------------------------- control transfers

TEST_F(BusTest, DescriptorReadsReturnWhatTheDeviceSentWithinTheRequestedLength) {
    Attach(simusb::Speed::High);
    std::vector<UCHAR> device(18);
    EXPECT_EQ(ReadDescriptor(1, 0, 0, device), STATUS_SUCCESS);
    EXPECT_EQ(device, device_->device_);
    std::vector<UCHAR> head(9);
    EXPECT_EQ(ReadDescriptor(2, 0, 0, head), STATUS_SUCCESS);
    EXPECT_EQ(head.size(), 9u);
    std::vector<UCHAR> roomy(1000);
    EXPECT_EQ(ReadDescriptor(2, 0, 0, roomy), STATUS_SUCCESS);
    EXPECT_EQ(roomy.size(), device_->config_.size());  // a short reply is not an error on the default pipe
    ASSERT_FALSE(device_->requests.empty());
    EXPECT_EQ(device_->requests.back().bmRequestType, 0x80);
    EXPECT_EQ(device_->requests.back().wValue, 0x0200);
    EXPECT_EQ(device_->requests.back().wLength, 1000);
}

TEST_F(BusTest, ControlRequestsCompleteAtTheEndOfTheFrameTheyWereSentIn) {
    Attach(simusb::Speed::High);
    ExSetTimerResolution(5000, TRUE);  // 0.5 ms ticks for a delay of 2.5 ms
    LARGE_INTEGER delay = kmtest::RelativeUs(2500);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);  // now 2.5 ms into the bus
    std::vector<UCHAR> device(18);
    EXPECT_EQ(ReadDescriptor(1, 0, 0, device), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::NowNs(), 3 * kMs);
    EXPECT_EQ(device_->requestTimes.back(), 3 * kMs);
    ExSetTimerResolution(0, FALSE);
}

TEST_F(BusTest, AStalledRequestFailsWithTheStallStatus) {
    Attach(simusb::Speed::High);
    std::vector<UCHAR> string(4);
    EXPECT_EQ(ReadDescriptor(3, 7, 0x0409, string), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lastUsbdStatus_, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(string.empty());
}

TEST_F(BusTest, ClassAndVendorRequestsCarryTheirSetupAndData) {
    Attach(simusb::Speed::High);
    std::vector<UCHAR> in(4);
    EXPECT_EQ(ClassOrVendor(URB_FUNCTION_CLASS_INTERFACE, true, 0x01, 0x0100, 0x0A00, in), STATUS_SUCCESS);
    EXPECT_EQ(in, (std::vector<UCHAR>{1, 2, 3, 4}));
    const simusb::Setup& get = device_->requests.back();
    EXPECT_EQ(get.bmRequestType, 0xA1);
    EXPECT_EQ(get.bRequest, 0x01);
    EXPECT_EQ(get.wValue, 0x0100);
    EXPECT_EQ(get.wIndex, 0x0A00);
    EXPECT_EQ(get.wLength, 4);

    std::vector<UCHAR> out = {0x80, 0xBB, 0x00, 0x00};
    EXPECT_EQ(ClassOrVendor(URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, 0x0001, out), STATUS_SUCCESS);
    EXPECT_EQ(device_->requests.back().bmRequestType, 0x22);
    EXPECT_EQ(device_->outData, (std::vector<UCHAR>{0x80, 0xBB, 0x00, 0x00}));

    std::vector<UCHAR> none;
    EXPECT_EQ(ClassOrVendor(URB_FUNCTION_VENDOR_INTERFACE, false, 0x00, 1, 2, none), STATUS_SUCCESS);
    EXPECT_EQ(device_->requests.back().bmRequestType, 0x41);
    EXPECT_EQ(ClassOrVendor(URB_FUNCTION_VENDOR_INTERFACE, false, 0x00, 0xBAD, 2, none), STATUS_UNSUCCESSFUL);
}

// ---------------------------------------------------------------- configuration

TEST_F(BusTest, SelectingTheConfigurationReportsEveryInterfaceAndTellsTheDevice) {
    Attach(simusb::Speed::High);
    Configure(0);
    EXPECT_NE(configurationHandle_, nullptr);
    EXPECT_EQ(device_->configuration, 1);
    EXPECT_EQ(device_->configuredInterfaces, (std::vector<uint8_t>{0, 1, 2}));
}

TEST_F(BusTest, SelectingAnAlternateOpensItsPipesFromTheEndpointDescriptors) {
    Attach(simusb::Speed::High, 0x0800 | 0x180);  // two transactions of 384 bytes per microframe
    Configure(0);
    ASSERT_EQ(SelectAlternate(1, 1), STATUS_SUCCESS);
    const USBD_INTERFACE_INFORMATION& info = Interface();
    EXPECT_EQ(info.NumberOfPipes, 2u);
    EXPECT_EQ(info.Class, 0xFF);
    EXPECT_EQ(info.SubClass, 2);
    EXPECT_EQ(info.Pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(info.Pipes[0].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(info.Pipes[0].MaximumPacketSize, 768);
    EXPECT_EQ(info.Pipes[0].Interval, 1);
    EXPECT_EQ(info.Pipes[1].EndpointAddress, 0x81);
    EXPECT_EQ(info.Pipes[1].MaximumPacketSize, 4);
    EXPECT_EQ(info.Pipes[1].Interval, 4);
    EXPECT_NE(info.Pipes[0].PipeHandle, nullptr);
    EXPECT_NE(info.Pipes[0].PipeHandle, info.Pipes[1].PipeHandle);
    EXPECT_EQ(info.Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(device_->alternates[1], 1);
}

TEST_F(BusTest, SelectInterfaceRefusesWhatWasNotConfiguredOrDoesNotExistOrDoesNotFit) {
    Attach(simusb::Speed::High);
    Configure(0);
    EXPECT_EQ(SelectAlternate(3, 0), STATUS_INVALID_PARAMETER);  // not in the configuration
    EXPECT_EQ(SelectAlternate(1, 5), STATUS_INVALID_PARAMETER);  // no such alternate setting
    EXPECT_EQ(SelectAlternate(1, 1, 1), STATUS_INVALID_PARAMETER);  // room for one pipe, two needed
    EXPECT_EQ(device_->alternates.count(1), 0u);
}

TEST_F(BusTest, PipesOfAReplacedAlternateAreNoLongerValid) {
    Attach(simusb::Speed::High);
    Configure();
    USBD_PIPE_HANDLE old = Pipe(0x01);
    ASSERT_EQ(SelectAlternate(1, 0), STATUS_SUCCESS);
    EXPECT_EQ(Interface().NumberOfPipes, 0u);
    AsyncTransfer transfer;
    transfer.BuildIso(old, false, std::vector<ULONG>(8, 48));
    transfer.Submit(pdo_);
    EXPECT_EQ(transfer.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(transfer.Iso().Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// ---------------------------------------------------------------- isochronous timing

TEST_F(BusTest, AnAsapTransferOnAnIdlePipeStartsTwoFramesAheadAndCompletesAfterItsLastMicroframe) {
    Attach(simusb::Speed::High);
    Configure();
    int64_t start = kmsim::NowNs();
    ULONG startFrame = bus_->CurrentFrame();
    AsyncTransfer transfer;
    transfer.BuildIso(Pipe(0x01), false, std::vector<ULONG>(8, 48));
    EXPECT_EQ(transfer.Submit(pdo_), STATUS_PENDING);
    transfer.Wait();
    EXPECT_EQ(transfer.status, STATUS_SUCCESS);
    EXPECT_EQ(transfer.Iso().StartFrame, startFrame + 2);
    EXPECT_EQ(transfer.completedAt_ns, static_cast<int64_t>(startFrame + 3) * kMs);
    EXPECT_GE(transfer.completedAt_ns, start);
    EXPECT_EQ(transfer.completionIrql, DISPATCH_LEVEL);
    std::vector<simusb::BusTime> times = TimesOn(0x01);
    ASSERT_EQ(times.size(), 8u);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(times[i].frame, startFrame + 2);
        EXPECT_EQ(times[i].microframe, i);
        EXPECT_EQ(times[i].time_ns, static_cast<int64_t>(startFrame + 2) * kMs + i * 125000);
    }
    EXPECT_EQ(device_->delivered[3].data, std::vector<uint8_t>(transfer.buffer.begin() + 144, transfer.buffer.begin() + 192));
    EXPECT_EQ(bus_->CurrentFrame(), startFrame + 3);
}

TEST_F(BusTest, TransfersResubmittedOnCompletionFollowEachOtherWithoutAGapAndCompleteInOrder) {
    Attach(simusb::Speed::High);
    Configure();
    constexpr int kTransfers = 40;
    std::vector<int> order;
    int submitted = 0;
    AsyncTransfer transfers[2];
    for (int t = 0; t < 2; ++t) {
        transfers[t].BuildIso(Pipe(0x01), false, std::vector<ULONG>(8, 48));
        transfers[t].onComplete = [&, t](AsyncTransfer& self) {
            order.push_back(t);
            if (submitted < kTransfers) {
                ++submitted;
                self.Submit(pdo_);
            }
        };
    }
    submitted = 2;
    transfers[0].Submit(pdo_);
    transfers[1].Submit(pdo_);
    kmtest::SleepMs(kTransfers + 10);
    std::vector<simusb::BusTime> times = TimesOn(0x01);
    ASSERT_EQ(times.size(), 8u * kTransfers);
    for (size_t i = 1; i < times.size(); ++i) {
        ASSERT_EQ(times[i].Index(simusb::Speed::High), times[i - 1].Index(simusb::Speed::High) + 1) << i;
    }
    ASSERT_EQ(order.size(), static_cast<size_t>(kTransfers));
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i], static_cast<int>(i % 2));
    }
    simusbhost::EndpointCounters counters = bus_->Counters(pdo_, 0x01);
    EXPECT_EQ(counters.transfersCompleted, static_cast<uint64_t>(kTransfers));
    EXPECT_EQ(counters.packetsLate, 0u);
}

TEST_F(BusTest, InPacketsLandAtTheirOffsetsWithTheLengthsReceived) {
    Attach(simusb::Speed::High);
    Configure();
    device_->inLength = [](uint8_t, const simusb::BusTime& at) { return static_cast<size_t>(180 + at.microframe); };
    AsyncTransfer transfer;
    transfer.BuildIso(Pipe(0x82), true, std::vector<ULONG>(8, 192));
    transfer.Submit(pdo_);
    transfer.Wait();
    EXPECT_EQ(transfer.status, STATUS_SUCCESS);
    for (ULONG i = 0; i < 8; ++i) {
        EXPECT_EQ(transfer.Iso().IsoPacket[i].Offset, i * 192);
        EXPECT_EQ(transfer.Iso().IsoPacket[i].Length, 180 + i);
        EXPECT_EQ(transfer.Iso().IsoPacket[i].Status, USBD_STATUS_SUCCESS);
    }
    ULONG unit = (transfer.Iso().StartFrame) * 8 + 5;
    EXPECT_EQ(transfer.buffer[5 * 192], static_cast<UCHAR>(unit));
}

TEST_F(BusTest, ADeviceThatSendsMoreThanAPacketHoldsIsReportedAsAnOverrun) {
    Attach(simusb::Speed::High);
    Configure();
    device_->inLength = [](uint8_t, const simusb::BusTime& at) { return at.microframe == 2 ? size_t{500} : size_t{100}; };
    AsyncTransfer transfer;
    transfer.BuildIso(Pipe(0x82), true, std::vector<ULONG>(8, 192));
    transfer.Submit(pdo_);
    transfer.Wait();
    EXPECT_EQ(transfer.status, STATUS_SUCCESS);
    EXPECT_EQ(transfer.Iso().IsoPacket[2].Status, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(transfer.Iso().IsoPacket[2].Length, 192u);
    EXPECT_EQ(transfer.Iso().ErrorCount, 1u);
}

TEST_F(BusTest, FullSpeedPacketsTakeOneFrameEach) {
    Attach(simusb::Speed::Full);
    Configure();
    ULONG startFrame = bus_->CurrentFrame();
    AsyncTransfer transfer;
    transfer.BuildIso(Pipe(0x01), false, {192, 192, 116});
    transfer.Submit(pdo_);
    transfer.Wait();
    EXPECT_EQ(transfer.status, STATUS_SUCCESS);
    std::vector<simusb::BusTime> times = TimesOn(0x01);
    ASSERT_EQ(times.size(), 3u);
    EXPECT_EQ(times[0].frame, startFrame + 2);
    EXPECT_EQ(times[2].frame, startFrame + 4);
    EXPECT_EQ(device_->delivered[2].data.size(), 116u);
    EXPECT_EQ(transfer.completedAt_ns, static_cast<int64_t>(startFrame + 5) * kMs);
}

TEST_F(BusTest, AnEndpointWithALongerIntervalGetsAPacketEveryFewMicroframes) {
    Attach(simusb::Speed::High);
    Configure();
    AsyncTransfer transfer;  // the feedback endpoint, bInterval 4: one packet per millisecond
    transfer.BuildIso(Pipe(0x81), true, std::vector<ULONG>(3, 4));
    transfer.Submit(pdo_);
    transfer.Wait();
    EXPECT_EQ(transfer.status, STATUS_SUCCESS);
    std::vector<simusb::BusTime> times = TimesOn(0x81);
    ASSERT_EQ(times.size(), 3u);
    EXPECT_EQ(times[1].Index(simusb::Speed::High) - times[0].Index(simusb::Speed::High), 8u);
    EXPECT_EQ(times[2].Index(simusb::Speed::High) - times[1].Index(simusb::Speed::High), 8u);
}

// ---------------------------------------------------------------- rules on URBs

TEST_F(BusTest, UrbsThatBreakTheControllersRulesAreRefused) {
    Attach(simusb::Speed::High);
    Configure();
    struct Case {
        const char* what;
        std::function<void(AsyncTransfer&)> build;
    } cases[] = {
        {"a high-speed transfer that does not cover whole frames",
         [&](AsyncTransfer& t) { t.BuildIso(Pipe(0x01), false, std::vector<ULONG>(6, 48)); }},
        {"an OUT packet longer than the maximum packet size",
         [&](AsyncTransfer& t) {
             std::vector<ULONG> lengths(8, 48);
             lengths[3] = 201;
             t.BuildIso(Pipe(0x01), false, lengths);
         }},
        {"more packets than one transfer may have",
         [&](AsyncTransfer& t) { t.BuildIso(Pipe(0x82), true, std::vector<ULONG>(1032, 1)); }},
        {"a URB shorter than its packets",
         [&](AsyncTransfer& t) {
             t.BuildIso(Pipe(0x01), false, std::vector<ULONG>(8, 48));
             t.Iso().Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(4));
         }},
        {"offsets that go backwards",
         [&](AsyncTransfer& t) {
             t.BuildIso(Pipe(0x82), true, std::vector<ULONG>(8, 10));
             t.Iso().IsoPacket[5].Offset = 2;
         }},
        {"no buffer", [&](AsyncTransfer& t) {
             t.BuildIso(Pipe(0x82), true, std::vector<ULONG>(8, 10));
             t.Iso().TransferBuffer = nullptr;
         }},
        {"a start frame in the past", [&](AsyncTransfer& t) {
             t.BuildIso(Pipe(0x82), true, std::vector<ULONG>(8, 10), 0);
             t.Iso().StartFrame = bus_->CurrentFrame();
         }},
    };
    for (auto& c : cases) {
        AsyncTransfer transfer;
        c.build(transfer);
        EXPECT_NE(transfer.Submit(pdo_), STATUS_PENDING) << c.what;
        EXPECT_FALSE(NT_SUCCESS(transfer.status)) << c.what;
        EXPECT_TRUE(USBD_ERROR(transfer.Iso().Hdr.Status)) << c.what;
    }
    EXPECT_TRUE(device_->delivered.empty());
}

TEST_F(BusTest, AStreamThatFallsBehindStartsAgainAheadOfTheBus) {
    Attach(simusb::Speed::High);
    Configure();
    AsyncTransfer first;
    first.BuildIso(Pipe(0x01), false, std::vector<ULONG>(8, 48));
    first.Submit(pdo_);
    first.Wait();
    kmtest::SleepMs(20);  // nothing queued: the device sees a gap
    ULONG frame = bus_->CurrentFrame();
    AsyncTransfer second;
    second.BuildIso(Pipe(0x01), false, std::vector<ULONG>(8, 48));
    second.Submit(pdo_);
    second.Wait();
    EXPECT_EQ(second.Iso().StartFrame, frame + 2);
    EXPECT_EQ(bus_->Counters(pdo_, 0x01).packetsLate, 0u);
}

TEST_F(BusTest, AnExplicitStartFrameIsHonoured) {
    Attach(simusb::Speed::High);
    Configure();
    ULONG frame = bus_->CurrentFrame();
    AsyncTransfer transfer;
    transfer.BuildIso(Pipe(0x01), false, std::vector<ULONG>(8, 48), 0);
    transfer.Iso().StartFrame = frame + 10;
    transfer.Submit(pdo_);
    transfer.Wait();
    EXPECT_EQ(transfer.status, STATUS_SUCCESS);
    EXPECT_EQ(TimesOn(0x01).front().frame, frame + 10);
}

// ---------------------------------------------------------------- unplug and faults

TEST_F(BusTest, UnpluggingCompletesTransfersInFlightAndRefusesLaterRequests) {
    Attach(simusb::Speed::High);
    Configure();
    AsyncTransfer inFlight;
    inFlight.BuildIso(Pipe(0x01), false, std::vector<ULONG>(64, 48));
    inFlight.Submit(pdo_);
    kmtest::SleepMs(1);
    bus_->Unplug(pdo_);
    inFlight.Wait();
    EXPECT_EQ(inFlight.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(inFlight.Iso().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    AsyncTransfer later;
    later.BuildIso(Pipe(0x01), false, std::vector<ULONG>(8, 48));
    later.Submit(pdo_);
    EXPECT_EQ(later.status, STATUS_DEVICE_NOT_CONNECTED);
    std::vector<UCHAR> device(18);
    EXPECT_EQ(ReadDescriptor(1, 0, 0, device), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_GE(device_->settledAt, 0);
}

TEST_F(BusTest, AStalledEndpointFailsUntilThePipeIsReset) {
    Attach(simusb::Speed::High);
    Configure();
    bus_->StallEndpoint(pdo_, 0x01);
    AsyncTransfer transfer;
    transfer.BuildIso(Pipe(0x01), false, std::vector<ULONG>(8, 48));
    transfer.Submit(pdo_);
    EXPECT_EQ(transfer.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(transfer.Iso().Hdr.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(0x01)), STATUS_SUCCESS);
    transfer.Submit(pdo_);
    transfer.Wait();
    EXPECT_EQ(transfer.status, STATUS_SUCCESS);
}

TEST_F(BusTest, InjectedTransferErrorsFailEveryPacketOfThatManyTransfers) {
    Attach(simusb::Speed::High);
    Configure();
    bus_->FailTransfers(pdo_, 0x82, 1);
    AsyncTransfer transfer;
    transfer.BuildIso(Pipe(0x82), true, std::vector<ULONG>(8, 192));
    transfer.Submit(pdo_);
    transfer.Wait();
    EXPECT_EQ(transfer.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(transfer.Iso().Hdr.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(transfer.Iso().ErrorCount, 8u);
    transfer.Submit(pdo_);
    transfer.Wait();
    EXPECT_EQ(transfer.status, STATUS_SUCCESS);
}

TEST_F(BusTest, AbortingAPipeCancelsItsTransfersBeforeTheAbortCompletes) {
    Attach(simusb::Speed::High);
    Configure();
    AsyncTransfer transfers[3];
    for (auto& transfer : transfers) {
        transfer.BuildIso(Pipe(0x82), true, std::vector<ULONG>(16, 192));
        transfer.Submit(pdo_);
    }
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(0x82)), STATUS_SUCCESS);
    for (auto& transfer : transfers) {
        EXPECT_EQ(transfer.status, STATUS_CANCELLED);
        EXPECT_EQ(transfer.Iso().Hdr.Status, USBD_STATUS_CANCELED);
    }
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234)), STATUS_INVALID_PARAMETER);
}

// ---------------------------------------------------------------- bus interface and controller

NTSTATUS QueryBusInterface(PDEVICE_OBJECT pdo, USHORT version, USHORT size, USB_BUS_INTERFACE_USBDI_V1* out) {
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = size;
    next->Parameters.QueryInterface.Version = version;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(out);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID event) {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

TEST_F(BusTest, TheBusInterfaceTellsTheSpeedAndTheFrameNumber) {
    Attach(simusb::Speed::High);
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    ASSERT_EQ(QueryBusInterface(pdo_, USB_BUSIF_USBDI_VERSION_1, sizeof bus, &bus), STATUS_SUCCESS);
    EXPECT_EQ(bus.Size, 72);
    EXPECT_TRUE(bus.IsDeviceHighSpeed(bus.BusContext));
    kmtest::SleepMs(40);
    ULONG frame = 0;
    EXPECT_EQ(bus.QueryBusTime(bus.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, bus_->CurrentFrame());
    EXPECT_EQ(frame, static_cast<ULONG>(kmsim::NowNs() / kMs));
    USB_BUS_INTERFACE_USBDI_V1 small{};
    EXPECT_EQ(QueryBusInterface(pdo_, USB_BUSIF_USBDI_VERSION_1, 64, &small), STATUS_NOT_SUPPORTED);
}

TEST_F(BusTest, AFullSpeedDeviceIsNotHighSpeed) {
    Attach(simusb::Speed::Full);
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    ASSERT_EQ(QueryBusInterface(pdo_, USB_BUSIF_USBDI_VERSION_1, sizeof bus, &bus), STATUS_SUCCESS);
    EXPECT_FALSE(bus.IsDeviceHighSpeed(bus.BusContext));
}

// The controller queries a driver makes: the name through the device, then
// the identity through the controller opened by that name.
NTSTATUS ControllerName(PDEVICE_OBJECT pdo, std::vector<UCHAR>& buffer) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = buffer.data();
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument2 = reinterpret_cast<PVOID>(buffer.size());
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

TEST(BusControllerTest, AnswersItsNameAndItsIdentityAndCanBeMadeToFail) {
    kmsim::Simulation sim;
    simusbhost::ControllerIdentity identity;
    identity.pciVendorId = 0x1022;
    identity.pciDeviceId = 0x7814;
    identity.flavor = OHCI_Generic;
    simusbhost::Bus bus(identity);
    PDEVICE_OBJECT pdo = bus.Attach(std::make_shared<ScriptedDevice>(simusb::Speed::Full));

    std::vector<UCHAR> small(sizeof(USB_HUB_NAME), 0);
    ASSERT_EQ(ControllerName(pdo, small), STATUS_SUCCESS);
    ULONG bytes = reinterpret_cast<PUSB_HUB_NAME>(small.data())->ActualLength;
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, bus.ControllerName());
    EXPECT_EQ(bytes, expected.Length);
    std::vector<UCHAR> full(bytes + 4, 0);
    ASSERT_EQ(ControllerName(pdo, full), STATUS_SUCCESS);
    UNICODE_STRING name{static_cast<USHORT>(bytes & 0xFFFF), static_cast<USHORT>(bytes & 0xFFFF),
                        reinterpret_cast<PWCH>(full.data() + 4)};

    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT controller = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &controller), STATUS_SUCCESS);
    USBUSER_CONTROLLER_INFO_0 request{};
    request.Header.UsbUserRequest = USBUSER_GET_CONTROLLER_INFO_0;
    request.Header.RequestBufferLength = sizeof request;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_USB_USER_REQUEST, controller, &request, sizeof request, &request,
                                             sizeof request, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(controller, irp), STATUS_SUCCESS);
    EXPECT_EQ(request.Info0.PciVendorId, 0x1022u);
    EXPECT_EQ(request.Info0.PciDeviceId, 0x7814u);
    EXPECT_EQ(request.Info0.ControllerFlavor, OHCI_Generic);
    EXPECT_EQ(request.Header.UsbUserStatusCode, UsbUserSuccess);

    bus.FailUserRequest(STATUS_NOT_SUPPORTED);
    KeClearEvent(&event);
    irp = IoBuildDeviceIoControlRequest(IOCTL_USB_USER_REQUEST, controller, &request, sizeof request, &request,
                                        sizeof request, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(controller, irp), STATUS_NOT_SUPPORTED);
    ObDereferenceObject(file);

    bus.FailControllerNameRequest(STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ControllerName(pdo, small), STATUS_NOT_SUPPORTED);
}

}  // namespace
