// Explicit feedback read from the device and averaged, the full-speed 10.14
// format, and the checks on completed capture transfers.

#include <gtest/gtest.h>

#include <vector>

#include "feedback_packets.h"
#include "kmsim/simulation.h"
#include "stream_test_support.h"

namespace {

using namespace streamtest;
using kerneltest::ClassLayerWorld;
using kerneltest::DescriptionOf;

// An isochronous IN URB of up to 8 packets over its own data, in pool-like
// storage of its own as URBs of the lookaside are.
struct FeedbackUrb {
    explicit FeedbackUrb(std::vector<UCHAR> bytes)
        : data(std::move(bytes)), storage(GET_ISO_URB_SIZE(8)), urb(reinterpret_cast<PURB>(storage.data())) {
        Iso().Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        Iso().TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        Iso().TransferBufferLength = static_cast<ULONG>(data.size());
    }
    _URB_ISOCH_TRANSFER& Iso() { return urb->UrbIsochronousTransfer; }
    void Packet(ULONG offset, ULONG length, USBD_STATUS status = USBD_STATUS_SUCCESS) {
        Iso().IsoPacket[Iso().NumberOfPackets++] = USBD_ISO_PACKET_DESCRIPTOR{offset, length, status};
    }
    ULONG Average(LONG* last) { return vq7::AverageFeedbackPackets(Iso(), data.data(), last); }

    std::vector<UCHAR> data;
    std::vector<UCHAR> storage;
    PURB urb;
};

TEST(FeedbackAverage, EmptyPacketsRepeatTheValueBeforeAndOtherLengthsAreIgnored) {
    FeedbackUrb t({0x00, 0x00, 0x06, 0x00, 0, 0, 0, 0, 0x00, 0x80, 0x05, 0x00, 9, 9, 9, 9, 9});
    t.Packet(0, 4);   // 6.0
    t.Packet(4, 0);   // 6.0 again
    t.Packet(8, 4);   // 5.5
    t.Packet(12, 5);  // ignored
    LONG last = 0;
    EXPECT_EQ(t.Average(&last), (0x60000u + 0x60000 + 0x58000) / 3);
    EXPECT_EQ(last, 0x58000);
}

TEST(FeedbackAverage, FullSpeedTenFourteenBecomesSixteenSixteen) {
    FeedbackUrb t({0x00, 0x00, 0x0B, 0x00, 0x00, 0x0B});
    t.Packet(0, 3);
    t.Packet(3, 3);
    LONG last = 0;
    EXPECT_EQ(t.Average(&last), 0x2C0000u) << "44.0 samples per frame";
}

TEST(FeedbackAverage, PacketsThatFailedOrLieOutsideTheDataCountForNothing) {
    FeedbackUrb t({0x00, 0x00, 0x06, 0x00});
    t.Packet(0, 4, USBD_STATUS_ISO_NA_LATE_USBPORT);
    t.Packet(2, 4);           // runs past the data
    t.Packet(0xFFFFFFF0, 4);  // far outside it
    t.Packet(0, 0xFFFFFFFF);
    LONG last = 0x48000;
    EXPECT_EQ(t.Average(&last), 0u);
    EXPECT_EQ(last, 0x48000) << "the last value survives a transfer with nothing in it";
}

// ---------------------------------------------------------------- from the device

ULONG ReadFeedback(ClassLayerWorld& world, NTSTATUS* status, ULONG* startFrame) {
    std::vector<UCHAR> buffer(world.Layer().GetFeedbackTransferBytes());
    TransferReport report;
    *status =
        world.Layer().RecvFeedback(buffer.data(), static_cast<ULONG>(buffer.size()), TransferReport::Callback, &report);
    if (!NT_SUCCESS(*status)) return 0;
    report.Wait();
    *status = report.status;
    *startFrame = report.startFrame;
    return report.bytes;
}

void OffsetClock(ClassLayerWorld& world, int64_t ppm) {
    streamtest::WithDevice(world, [&](simusb::AudioDevice& device) { device.SetClockOffsetPpm(ppm, kmsim::NowNs()); });
}

TEST(DeviceFeedback, HighSpeedValuesAreSamplesPerMicroframe) {
    auto world = WorldOf(DescriptionOf("uac2-async-dac"));
    ASSERT_TRUE(world->HasLayer());
    ASSERT_EQ(SelectExplicit(world->Layer(), kRender, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
    EXPECT_EQ(world->Layer().GetFeedbackTransferBytes(), 4u * 4) << "4 ms of 4-byte packets, one a millisecond";
    OffsetClock(*world, 250);
    NTSTATUS status = STATUS_PENDING;
    ULONG startFrame = 0;
    EXPECT_EQ(ReadFeedback(*world, &status, &startFrame), 393314u);  // 6.0015 x 2^16
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_GT(startFrame, 0u);
    EXPECT_EQ(world->Layer().RenderStream()->lastFeedback, 393314);

    world->Bus().FailTransfers(world->Pdo(), 0x81, 1);
    EXPECT_EQ(ReadFeedback(*world, &status, &startFrame), 0u);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(startFrame, 0u);
}

TEST(DeviceFeedback, FullSpeedValuesAreConvertedFromTenFourteen) {
    auto world = WorldOf(DescriptionOf("uac1-async-dac"));
    ASSERT_TRUE(world->HasLayer());
    ASSERT_EQ(SelectExplicit(world->Layer(), kRender, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
    EXPECT_EQ(world->Layer().GetFeedbackNominal(kRender), 48u << 16);
    OffsetClock(*world, 250);
    NTSTATUS status = STATUS_PENDING;
    ULONG startFrame = 0;
    EXPECT_EQ(ReadFeedback(*world, &status, &startFrame), 786629u << 2);  // 48.012 x 2^14, as 16.16
    EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST(DeviceFeedback, OnlyARenderStreamWithAnIsochronousFeedbackPipeIsRead) {
    auto world = WorldOf(DescriptionOf("uac2-implicit-duplex"));
    ASSERT_TRUE(world->HasLayer());
    ASSERT_EQ(SelectExplicit(world->Layer(), kRender, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
    UCHAR buffer[16];
    EXPECT_EQ(world->Layer().RecvFeedback(buffer, sizeof buffer, TransferReport::Callback, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(world->Layer().GetFeedbackTransferBytes(), 0u);
}

// ---------------------------------------------------------------- capture checks

TEST(CaptureChecks, APacketOutsideThePacketSizesMarksTheTransferButItsDataArrivesAndEmptyOnesAreValid) {
    auto world = WorldOf(DescriptionOf("q7-0b31"));
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    auto s = SelectExplicit(layer, kCapture, kPcm, 4, 24, 48000, 1);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    std::vector<UCHAR> buffer(s.maxBytesPerTransfer);
    TransferReport first;
    TransferReport second;
    for (TransferReport* report : {&first, &second}) {
        ASSERT_EQ(
            layer.SubmitCaptureTransfer(buffer.data(), s.maxBytesPerTransfer, 1, TransferReport::Callback, report),
            STATUS_SUCCESS);
    }
    first.Wait();
    second.Wait();
    // Sampling starts at the first poll, which comes back empty: a valid
    // packet without frames.
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(first.bytes, 7u * 6 * 16) << "the seven packets after the empty one, delivered";
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(second.bytes, 8u * 6 * 16);

    FeedbackUrb longPacket(std::vector<UCHAR>(1024));
    longPacket.Packet(0, layer.CaptureStream()->maximumPacketBytes);
    longPacket.Packet(512, layer.CaptureStream()->maximumPacketBytes + 4);
    EXPECT_EQ(layer.CheckCompletedTransfer(STATUS_SUCCESS, longPacket.urb, nullptr), STATUS_UNEXPECTED_IO_ERROR);
    longPacket.Iso().IsoPacket[1].Length = layer.CaptureStream()->minimumPacketBytes;
    EXPECT_EQ(layer.CheckCompletedTransfer(STATUS_SUCCESS, longPacket.urb, nullptr), STATUS_SUCCESS);
    longPacket.Iso().IsoPacket[1].Length = 0;
    EXPECT_EQ(layer.CheckCompletedTransfer(STATUS_SUCCESS, longPacket.urb, nullptr), STATUS_SUCCESS) << "empty";
    longPacket.Iso().IsoPacket[1].Length = layer.CaptureStream()->minimumPacketBytes - 1;
    EXPECT_EQ(layer.CheckCompletedTransfer(STATUS_SUCCESS, longPacket.urb, nullptr), STATUS_UNEXPECTED_IO_ERROR)
        << "short but not empty";
    EXPECT_EQ(layer.CheckCompletedTransfer(STATUS_CANCELLED, longPacket.urb, nullptr), STATUS_CANCELLED);
}

TEST(ProtectedContent, ForwardsToTheDeviceBelowWithTheDataPipe) {
    auto world = WorldOf(DescriptionOf("uac2-async-dac"));
    ASSERT_TRUE(world->HasLayer());
    DRMFORWARD info{};
    EXPECT_EQ(world->Layer().GetDrmForwardInfo(kRender, &info), STATUS_UNSUCCESSFUL) << "no format, no pipe";
    ASSERT_EQ(SelectExplicit(world->Layer(), kRender, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
    ASSERT_EQ(world->Layer().GetDrmForwardInfo(kRender, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.DeviceObject, world->Pdo());
    EXPECT_EQ(info.Context, world->Layer().RenderStream()->dataPipe->PipeHandle);
    EXPECT_EQ(world->Layer().GetDrmForwardInfo(kCapture, &info), STATUS_UNSUCCESSFUL);
}

}  // namespace
