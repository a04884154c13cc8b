// How render transfers are cut into isochronous packets: by the packet
// schedule (every rate, both speeds, without drift), by explicit feedback
// (fractions carried from transfer to transfer), by what capture delivers,
// and for the device that wants a length header before each packet.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "stream_test_support.h"

namespace {

using namespace streamtest;
using kerneltest::ClassLayerWorld;
using kerneltest::DescriptionOf;
using vq7::RenderPacketPlan;

constexpr ULONG kFrameBytes = 8;  // 2 channels of 4 bytes

std::vector<ULONG> Lengths(const RenderPacketPlan& plan) {
    return std::vector<ULONG>(plan.lengths, plan.lengths + plan.count);
}

std::vector<ULONG> Repeat(ULONG length, ULONG count) {
    return std::vector<ULONG>(count, length);
}

std::vector<ULONG> Join(std::vector<ULONG> a, const std::vector<ULONG>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A playback-only device without a feedback endpoint, so that the packet
// schedule paces it, offering every rate of the schedule the speed can carry.
simusb::AudioDescription ScheduledDac(simusb::Speed speed) {
    simusb::AudioDescription d = DescriptionOf("uac2-async-dac");
    d.speed = speed;
    d.streams[0].feedbackEndpoint = 0;
    d.streams[0].sync = simusb::SyncType::Adaptive;
    d.clocks[0].rates.clear();
    for (ULONG i = 0; i < vq7::PacketScheduleRowCount(); ++i) {
        ULONG rate = vq7::PacketScheduleRowAt(i).rate;
        if (speed == simusb::Speed::High || rate <= 96000) d.clocks[0].rates.push_back(simusb::DiscreteRate(rate));
    }
    return d;
}

// ---------------------------------------------------------------- the packet schedule

TEST(SchedulePackets, EveryRateGivesPacketsWithinTheStreamsSizesAtBothSpeeds) {
    for (simusb::Speed speed : {simusb::Speed::High, simusb::Speed::Full}) {
        auto world = WorldOf(ScheduledDac(speed));
        ASSERT_TRUE(world->HasLayer());
        CUSBAudioCL& layer = world->Layer();
        const bool high = speed == simusb::Speed::High;
        for (ULONG i = 0; i < vq7::PacketScheduleRowCount(); ++i) {
            const vq7::PacketScheduleRow& row = vq7::PacketScheduleRowAt(i);
            if (!high && row.rate > 96000) continue;
            ASSERT_EQ(SelectExplicit(layer, kRender, kPcm, 2, 24, row.rate, 8).status, STATUS_SUCCESS) << row.rate;
            const USB_AS_INTERFACE* render = layer.RenderStream();
            const vq7::PacketCycle& cycle = row.Cycle(high);
            ULONG bytes = layer.GetRenderTransferBytes(8, 0);
            RenderPacketPlan plan;
            ASSERT_EQ(layer.PlanRenderPackets(bytes, 8, &plan), STATUS_SUCCESS) << row.rate;
            ASSERT_EQ(plan.count, high ? 64u : 8u);
            for (ULONG p = 0; p < plan.count; ++p) {
                EXPECT_EQ(plan.lengths[p], cycle.At(p) * kFrameBytes) << row.rate << " packet " << p;
                EXPECT_GE(plan.lengths[p], render->minimumPacketBytes) << row.rate;
                EXPECT_LE(plan.lengths[p], render->maximumPacketBytes) << row.rate;
            }
            EXPECT_EQ(plan.after.schedulePosition, (high ? 64 : 8) % cycle.length);
        }
    }
}

// Transfer after transfer continue the cycle: after every transfer the
// samples sent are within one of the rate's exact count.
TEST(SchedulePackets, TenThousandTransfersStayWithinOneSampleOfTheRate) {
    for (bool high : {true, false}) {
        for (ULONG i = 0; i < vq7::PacketScheduleRowCount(); ++i) {
            const vq7::PacketScheduleRow& row = vq7::PacketScheduleRowAt(i);
            const vq7::PacketCycle& cycle = row.Cycle(high);
            const vq7::RenderPacing pacing{high, 1, kFrameBytes};
            const ULONG units = 8 * (high ? 8 : 1);  // 8 ms transfers
            ULONG position = 0;
            ULONG64 sent = 0;
            for (ULONG transfer = 1; transfer <= 10000; ++transfer) {
                ULONG bytes = cycle.Sum(position, units) * kFrameBytes;
                RenderPacketPlan plan{};
                ASSERT_EQ(vq7::PlanSchedulePackets(pacing, cycle, position, bytes, &plan), STATUS_SUCCESS);
                ASSERT_EQ(plan.Total(), bytes);
                position = plan.after.schedulePosition;
                sent += bytes / kFrameBytes;
                LONG64 exact = static_cast<LONG64>(row.rate) * 8 * transfer;  // samples x 1000
                ASSERT_LT(std::llabs(static_cast<LONG64>(sent) * 1000 - exact), 1000) << row.rate << " " << transfer;
            }
            EXPECT_EQ(sent * 1000, static_cast<ULONG64>(row.rate) * 80000) << "80 s of samples, exactly";
        }
    }
}

TEST(SchedulePackets, SubmittedTransfersMoveTheScheduleAndReachTheDeviceWhole) {
    auto world = WorldOf(ScheduledDac(simusb::Speed::High));
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    ASSERT_EQ(SelectExplicit(layer, kRender, kPcm, 2, 24, 44100, 8).status, STATUS_SUCCESS);
    ASSERT_TRUE(streamtest::WaitForStableClock(layer, kRender));
    // What a tool shows before anything is sent: the transfers as they would follow.
    std::vector<ULONG> planned;
    vq7::RenderCursor cursor = layer.CurrentRenderCursor();
    for (int i = 0; i < 3; ++i) {
        RenderPacketPlan plan{};
        ASSERT_EQ(layer.PlanRenderPackets(layer.GetRenderTransferBytes(8, 0, cursor), 8, cursor, &plan),
                  STATUS_SUCCESS);
        planned.push_back(plan.Total());
        cursor = plan.after;
    }
    std::vector<UCHAR> buffer(8 * 8 * 8 * kFrameBytes);
    TransferReport reports[3];
    ULONG total = 0;
    for (int i = 0; i < 3; ++i) {
        ULONG bytes = layer.GetRenderTransferBytes(8, 0);
        EXPECT_EQ(bytes, planned[i]);
        total += bytes;
        ASSERT_EQ(layer.SubmitRenderTransfer(buffer.data(), nullptr, bytes, 8, TransferReport::Callback, &reports[i]),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(layer.SchedulePosition(), 3u * 64 % 80);
    EXPECT_EQ(layer.CurrentRenderCursor().schedulePosition, cursor.schedulePosition);
    for (TransferReport& report : reports) {
        report.Wait();
        EXPECT_EQ(report.status, STATUS_SUCCESS);
        EXPECT_EQ(report.durationMs, 8u);
    }
    EXPECT_EQ(total, layer.ScheduleEntry()->highSpeed.Sum(0, 192) * kFrameBytes);
    streamtest::WithDevice(*world, [&](simusb::AudioDevice& device) {
        simusb::RenderStream* render = device.FirstRender();
        EXPECT_EQ(render->Played().Count() + render->FifoFrames(), total / kFrameBytes);
        EXPECT_EQ(render->Events().Count(simusb::StreamEvent::Kind::MalformedPacket), 0u);
        EXPECT_EQ(render->Events().Count(simusb::StreamEvent::Kind::PacketTooLong), 0u);
    });
}

// ---------------------------------------------------------------- explicit feedback

struct FeedbackFixture : ::testing::Test {
    void SetUp() override {
        world = WorldOf(DescriptionOf("uac2-async-dac"));
        ASSERT_TRUE(world->HasLayer());
        ASSERT_EQ(SelectExplicit(world->Layer(), kRender, kPcm, 2, 24, 48000, 8).status, STATUS_SUCCESS);
    }
    RenderPacketPlan PlanAt(ULONG feedback, ULONG bytes) {
        world->Layer().StorePendingFeedback(feedback);
        EXPECT_EQ(world->Layer().ApplyPendingFeedback(), feedback);
        RenderPacketPlan plan{};
        EXPECT_EQ(world->Layer().PlanRenderPackets(bytes, 1, &plan), STATUS_SUCCESS);
        return plan;
    }
    std::unique_ptr<ClassLayerWorld> world;
};

TEST_F(FeedbackFixture, WholeAndHalfSamplesPerMicroframe) {
    EXPECT_EQ(world->Layer().GetRenderTransferBytes(1, 0x60000), 384u);
    RenderPacketPlan plan = PlanAt(0x60000, 384);
    EXPECT_EQ(Lengths(plan), Repeat(48, 8));
    EXPECT_EQ(plan.after.feedbackFraction, 0u);
    EXPECT_EQ(world->Layer().GetRenderTransferBytes(1, 0x58000), 352u);
    plan = PlanAt(0x58000, 352);
    EXPECT_EQ(Lengths(plan), (std::vector<ULONG>{40, 48, 40, 48, 40, 48, 40, 48}));
}

TEST_F(FeedbackFixture, TooFewStepsForWholeMillisecondsSpreadTheFramesEvenly) {
    RenderPacketPlan plan = PlanAt(0x60000, 200);  // 25 frames: 5 steps, 8 packets
    EXPECT_TRUE(plan.lengthsFromOffsets);
    EXPECT_EQ(Lengths(plan), Join({32}, Repeat(24, 7)));
    EXPECT_EQ(plan.after.feedbackFraction, 0u);
    std::vector<UCHAR> buffer(200);
    TransferReport report;
    ASSERT_EQ(world->Layer().SubmitRenderTransfer(buffer.data(), nullptr, 200, 1, TransferReport::Callback, &report),
              STATUS_SUCCESS);
    report.Wait();
    EXPECT_EQ(report.status, STATUS_SUCCESS);
    EXPECT_EQ(report.bytes, 200u);
    streamtest::WithDevice(*world, [](simusb::AudioDevice& device) {
        EXPECT_EQ(device.FirstRender()->FifoFrames(), 25u);
        EXPECT_EQ(device.FirstRender()->Events().Count(simusb::StreamEvent::Kind::MalformedPacket), 0u);
    });
}

// The fraction of a sample a transfer leaves over goes into the next one.
TEST_F(FeedbackFixture, FractionsCarryOverFromTransferToTransfer) {
    const ULONG feedback = 0x60123;  // 6.0044 samples per microframe
    world->Layer().StorePendingFeedback(feedback);
    world->Layer().ApplyPendingFeedback();
    std::vector<UCHAR> buffer(64 * 7 * kFrameBytes);
    std::vector<TransferReport> reports(40);
    ULONG64 bytes = 0;
    for (TransferReport& report : reports) {
        ULONG next = world->Layer().GetRenderTransferBytes(1, feedback);
        bytes += next;
        ASSERT_EQ(
            world->Layer().SubmitRenderTransfer(buffer.data(), nullptr, next, 1, TransferReport::Callback, &report),
            STATUS_SUCCESS);
    }
    const ULONG64 steps = 40 * 8;
    EXPECT_EQ(bytes, (steps * feedback >> 16) * kFrameBytes);
    EXPECT_EQ(world->Layer().RenderStream()->feedbackFraction, (steps * feedback) & 0xFFFF);
    for (TransferReport& report : reports) report.Wait();
}

// ---------------------------------------------------------------- capture-paced

TEST(CapturePacedPackets, RenderFollowsCaptureOnOneClockOrAnImplicitFeedbackEndpoint) {
    struct Case {
        const char* device;
        bool follows;
    } cases[] = {{"q7-0b31", true},
                 {"uac1-duplex", true},
                 {"uac2-implicit-duplex", true},
                 {"uac2-async-dac", false},
                 {"uac2-clock-selector", false}};
    for (const Case& c : cases) {
        auto world = WorldOf(DescriptionOf(c.device));
        ASSERT_TRUE(world->HasLayer()) << c.device;
        EXPECT_EQ(world->Layer().RenderFollowsCapture(), c.follows) << c.device;
    }
}

// Render on the implicit-feedback duplex device, opened in the paced form
// at 48 kHz: 8-byte frames, 48-byte nominal packets.
std::unique_ptr<kerneltest::ClassLayerWorld> PacedRenderWorld() {
    auto world = WorldOf(DescriptionOf("uac2-implicit-duplex"));
    EXPECT_TRUE(world->HasLayer());
    if (world->HasLayer()) {
        EXPECT_EQ(SelectPaced(world->Layer(), kRender, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
    }
    return world;
}

TEST(CapturePacedPackets, DeviationsFromNominalBecomeBigAndSmallPackets) {
    auto world = PacedRenderWorld();
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    RenderPacketPlan plan{};
    ASSERT_EQ(layer.PlanRenderPackets(376, 1, &plan), STATUS_SUCCESS);
    EXPECT_EQ(Lengths(plan), Join(Repeat(48, 7), {40}));
    ASSERT_EQ(layer.PlanRenderPackets(400, 1, &plan), STATUS_SUCCESS);
    EXPECT_EQ(Lengths(plan), Join(Repeat(56, 2), Repeat(48, 6)));
    ASSERT_EQ(layer.PlanRenderPackets(1000, 1, &plan), STATUS_SUCCESS);  // beyond a frame per packet
    EXPECT_EQ(plan.count, 24u) << "21 nominal packets, filled to whole milliseconds";
    EXPECT_EQ(plan.Total(), 1000u);
    EXPECT_EQ(layer.PlanRenderPackets(3200, 1, &plan), STATUS_INVALID_PARAMETER) << "more than one URB holds";
    EXPECT_EQ(layer.PlanRenderPackets(0, 1, &plan), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(SelectPaced(layer, kRender, kPcm, 2, 24, 44100).status, STATUS_SUCCESS);  // no smaller packet
    ASSERT_EQ(layer.PlanRenderPackets(352, 1, &plan), STATUS_SUCCESS);
    EXPECT_EQ(Lengths(plan), Join(Repeat(48, 4), Repeat(40, 4)));
    ASSERT_EQ(layer.PlanRenderPackets(312, 1, &plan), STATUS_SUCCESS);
    EXPECT_EQ(Lengths(plan), Join(Repeat(40, 7), {32}));
}

// Bytes that are not whole frames: the transfer carries the whole frames in
// them, and its completion reports the bytes it carried.
TEST(CapturePacedPackets, BytesThatAreNotWholeFramesAreRoundedDownAndReportedAsSent) {
    auto world = PacedRenderWorld();
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    RenderPacketPlan plan{};
    ASSERT_EQ(layer.PlanRenderPackets(373, 1, &plan), STATUS_SUCCESS);  // 46 frames and 5 bytes
    EXPECT_EQ(Lengths(plan), Join(Repeat(48, 6), Repeat(40, 2)));
    ASSERT_EQ(layer.PlanRenderPackets(395, 1, &plan), STATUS_SUCCESS);  // 49 frames and 3 bytes
    EXPECT_EQ(Lengths(plan), Join({56}, Repeat(48, 7)));
    EXPECT_EQ(layer.PlanRenderPackets(7, 1, &plan), STATUS_INVALID_PARAMETER) << "not one frame";

    std::vector<UCHAR> audio(395);
    TransferReport report;
    ASSERT_EQ(layer.SubmitRenderTransfer(audio.data(), nullptr, 395, 1, TransferReport::Callback, &report),
              STATUS_SUCCESS);
    report.Wait();
    EXPECT_EQ(report.status, STATUS_SUCCESS);
    EXPECT_EQ(report.bytes, 392u);
}

// ---------------------------------------------------------------- the length-header device

TEST(LengthHeaderPackets, EveryPacketCarriesItsLengthAndTheAudioArrivesWhole) {
    auto world = WorldOf(DescriptionOf("framed-vendor-class"));
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    ASSERT_EQ(SelectPaced(layer, kRender, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
    std::vector<INT32> samples(2 * 47);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<INT32>((i + 1) << 8);
    PMDL mdl = IoAllocateMdl(samples.data(), 376, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    TransferReport byBuffer;
    TransferReport byMdl;
    ASSERT_EQ(layer.SubmitRenderTransfer(samples.data(), nullptr, 376, 1, TransferReport::Callback, &byBuffer),
              STATUS_SUCCESS);
    ASSERT_EQ(layer.SubmitRenderTransfer(nullptr, mdl, 376, 1, TransferReport::Callback, &byMdl), STATUS_SUCCESS);
    byBuffer.Wait();
    byMdl.Wait();
    IoFreeMdl(mdl);
    EXPECT_EQ(byBuffer.status, STATUS_SUCCESS);
    EXPECT_EQ(byBuffer.bytes, 376u) << "the audio bytes, not the headers";
    EXPECT_EQ(byMdl.bytes, 376u);
    streamtest::WithDevice(*world, [&](simusb::AudioDevice& device) {
        simusb::RenderStream* render = device.FirstRender();
        EXPECT_EQ(render->Events().Count(simusb::StreamEvent::Kind::MalformedPacket), 0u);
        EXPECT_EQ(render->Played().Count() + render->FifoFrames(), 94u);
    });
}

// ---------------------------------------------------------------- every ready-made device

// What a check of a device runs for each direction: the best format at 48
// kHz, the selection in the form the engine would use, and for render the
// first eight transfers of 1 ms as the transport would cut them.
TEST(ReadyMadeDevices, EveryDirectionSelectsAndRenderPlansEightTransfers) {
    for (const simusb::ReadyMadeDevice& device : simusb::ReadyMadeDevices()) {
        SCOPED_TRACE(std::string(device.name));
        auto world = WorldOf(device.describe());
        ASSERT_TRUE(world->HasLayer());
        CUSBAudioCL& layer = world->Layer();
        const bool paced = layer.RenderFollowsCapture();
        for (UCHAR direction : {kCapture, kRender}) {
            if (layer.Stream(direction) == nullptr) continue;
            ULONG channels = 0, bits = 0;
            ASSERT_EQ(layer.GetBestFormat(direction, kPcm, 48000, &channels, &bits), STATUS_SUCCESS);
            PacedSelection s = paced ? SelectPaced(layer, direction, kPcm, channels, bits, 48000)
                                     : PacedSelection{SelectExplicit(layer, direction, kPcm, channels, bits, 48000)};
            ASSERT_EQ(s.status, STATUS_SUCCESS) << int(direction);
            EXPECT_GT(s.maxBytesPerTransfer, 0u);
            if (direction != kRender) continue;
            const ULONG frameBytes = layer.RenderStream()->bytesPerFrame;
            const ULONG feedback = layer.ApplyPendingFeedback();
            vq7::RenderCursor cursor = layer.CurrentRenderCursor();
            for (int transfer = 0; transfer < 8; ++transfer) {
                ULONG bytes = paced ? s.nominalBytesPerTransfer : layer.GetRenderTransferBytes(1, feedback, cursor);
                EXPECT_EQ(bytes, 48 * frameBytes) << "48 frames a millisecond";
                RenderPacketPlan plan{};
                ASSERT_EQ(layer.PlanRenderPackets(bytes, 1, cursor, &plan), STATUS_SUCCESS);
                EXPECT_EQ(plan.Total(), bytes);
                EXPECT_EQ(plan.count, layer.IsHighSpeed() ? 8u : 1u);
                cursor = plan.after;
            }
        }
    }
}

// ---------------------------------------------------------------- hostile input

TEST(HostileTransport, EndpointsThatCarryNothingAreRefusedAtSubmission) {
    auto device = kerneltest::MakeEditedDevice(DescriptionOf("q7-0b31"), [](std::vector<uint8_t>& set) {
        for (uint8_t address : {0x01, 0x81, 0x82}) {
            kerneltest::WriteLe16(set, kerneltest::FindEndpointDescriptor(set, address) + 4, 0);  // wMaxPacketSize
        }
    });
    ClassLayerWorld world(device);
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    auto s = SelectExplicit(layer, kRender, kPcm, 2, 24, 48000, 8);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(s.maxBytesPerTransfer, 0u);
    ASSERT_EQ(SelectExplicit(layer, 1, kPcm, 4, 24, 48000).status, STATUS_SUCCESS);
    std::vector<UCHAR> buffer(4096);
    layer.ApplyPendingFeedback();
    EXPECT_EQ(layer.SubmitRenderTransfer(buffer.data(), nullptr, 384, 1, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(layer.SubmitCaptureTransfer(buffer.data(), 512, 1, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(layer.GetFeedbackTransferBytes(), 0u);
    EXPECT_EQ(layer.RecvFeedback(buffer.data(), 16, nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

TEST(HostileTransport, PlannersNeverLoopOnARateOfNothing) {
    const vq7::RenderPacing pacing{true, 1, kFrameBytes};
    RenderPacketPlan plan{};
    EXPECT_EQ(vq7::PlanFeedbackPackets(pacing, 0, 0, 384, &plan), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(vq7::PlanFeedbackPackets(pacing, 0x100, 0, 384, &plan), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(vq7::PlanFeedbackPackets(vq7::RenderPacing{true, 1, 0}, 0x60000, 0, 384, &plan),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(vq7::PlanCapturePacedPackets(pacing, 0, true, 384, 1, &plan), STATUS_INVALID_DEVICE_STATE);
    const vq7::PacketCycle& cycle = vq7::FindPacketScheduleRow(8000)->highSpeed;
    EXPECT_EQ(vq7::PlanSchedulePackets(pacing, cycle, 0, 65 * kFrameBytes, &plan), STATUS_INVALID_PARAMETER);
}

}  // namespace
