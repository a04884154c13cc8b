// The ASIO stream's requests beyond steady streaming: reads that wait for
// armed input, stop and failure cancelling them, the stream error until the
// next start, reads from any handle, output-only and capture-only streams,
// a client that falls behind, exclusivity against a WaveRT stream, DSD
// silence, and an unplug with a read pending.

#include <gtest/gtest.h>

#include <string>

#include <memory>
#include <vector>

#include "asio_channel_client.h"
#include "asio_duplex_client.h"
#include "kmsim/portcls.h"
#include "kmsim/verifier.h"
#include "simusb/frame_record.h"
#include "simusb/render_stream.h"

namespace {

using asiotest::ChannelClient;
using asiotest::CounterSample;
using asiotest::DuplexClient;
using asiotest::Params;
using kerneltest::DriverWorld;
using kerneltest::PluggedDevice;

constexpr int64_t kMs_ns = 1000000;

void SleepMs(LONG64 ms) {
    LARGE_INTEGER delay;
    delay.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

struct RunningQ7 : ::testing::Test {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    ChannelClient owner{world, q7.pdo, "owner"};
    CUSBAudioAdapter& Adapter() { return *world.Adapter(q7.pdo); }
    ULONG InFrameBytes() { return Adapter().Asio().InputFormat().FrameBytes(); }
    void StartDuplex(ULONG frames) {
        ASSERT_EQ(owner.Open(), STATUS_SUCCESS);
        ASSERT_EQ(owner.OpenPrepareStart(Params(frames, true, true)), STATUS_SUCCESS);
    }
};

TEST_F(RunningQ7, AReadWaitsForArmedInputAndAStopCancelsEveryPendingRead) {
    StartDuplex(64);
    const ULONG bytes = 4 * InFrameBytes();
    std::vector<std::vector<UCHAR>> buffers(3, std::vector<UCHAR>(bytes));
    kmsim::Overlapped reads[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(owner.Process().Read(owner.Handle(), buffers[i].data(), bytes, &reads[i]), STATUS_PENDING);
    }
    SleepMs(20);  // capture runs, but the input is not armed
    for (auto& read : reads) EXPECT_FALSE(read.Done());
    EXPECT_EQ(owner.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    for (auto& read : reads) {
        EXPECT_TRUE(read.Done());
        EXPECT_EQ(read.ioStatus.Status, STATUS_CANCELLED);
        EXPECT_EQ(read.ioStatus.Information, 0u);
    }
    ULONG transferred = 0;
    EXPECT_EQ(owner.Process().Read(owner.Handle(), buffers[0].data(), bytes, &transferred), STATUS_UNSUCCESSFUL);

    ASSERT_EQ(owner.Send(IOCTL_ASIO_START).status, STATUS_SUCCESS);
    ASSERT_EQ(owner.Process().Read(owner.Handle(), buffers[0].data(), bytes, &reads[0]), STATUS_PENDING);
    SleepMs(5);
    EXPECT_FALSE(reads[0].Done());
    ASSERT_EQ(owner.Send(IOCTL_ASIO_ARM_INPUT).status, STATUS_SUCCESS);
    EXPECT_EQ(reads[0].Wait(), STATUS_SUCCESS);
    EXPECT_EQ(reads[0].ioStatus.Information, bytes);

    // Another handle's read is served like the owner's.
    ChannelClient other(world, q7.pdo, "other");
    ASSERT_EQ(other.Open(), STATUS_SUCCESS);
    EXPECT_EQ(other.Process().Read(other.Handle(), buffers[1].data(), bytes, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, bytes);
    EXPECT_EQ(other.Close(), STATUS_SUCCESS);
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
}

TEST_F(RunningQ7, AForcedCaptureFailureFailsTheStreamUntilTheNextStart) {
    StartDuplex(1024);
    ASSERT_EQ(owner.Send(IOCTL_ASIO_ARM_INPUT).status, STATUS_SUCCESS);
    const ULONG bytes = 1024 * InFrameBytes();
    std::vector<UCHAR> buffer(bytes);
    kmsim::Overlapped pending;
    ASSERT_EQ(owner.Process().Read(owner.Handle(), buffer.data(), bytes, &pending), STATUS_PENDING);
    ASSERT_EQ(owner.Send(IOCTL_ASIO_FAIL_NEXT_INPUT).status, STATUS_SUCCESS);
    EXPECT_EQ(pending.Wait(), STATUS_CANCELLED);
    EXPECT_NE(owner.Query(IOCTL_ASIO_GET_STREAM_ERROR).Ulong(), 0u);
    ULONG transferred = 7;
    EXPECT_EQ(owner.Process().Read(owner.Handle(), buffer.data(), bytes, &transferred),
              STATUS_REINITIALIZATION_NEEDED);
    EXPECT_EQ(owner.Process().Write(owner.Handle(), buffer.data(), 64, &transferred), STATUS_REINITIALIZATION_NEEDED);
    EXPECT_EQ(transferred, 0u);
    EXPECT_NE(owner.Query(IOCTL_ASIO_GET_STREAM_ERROR).Ulong(), 0u);  // still, until the next start
    ASSERT_EQ(owner.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    ASSERT_EQ(owner.Send(IOCTL_ASIO_START).status, STATUS_SUCCESS);
    EXPECT_EQ(owner.Query(IOCTL_ASIO_GET_STREAM_ERROR).Ulong(), 0u);
    ASSERT_EQ(owner.Send(IOCTL_ASIO_ARM_INPUT).status, STATUS_SUCCESS);
    EXPECT_EQ(owner.Process().Read(owner.Handle(), buffer.data(), bytes, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, bytes);
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
}

TEST_F(RunningQ7, ADuplexWriteIsTakenWholeAndTheExcessBecomesDebt) {
    StartDuplex(64);
    vq7::AsioRing& ring = Adapter().Asio().OutputRing();
    const ULONG bytes = ring.Size() * 2;
    std::vector<UCHAR> data(bytes, 1);
    ULONG transferred = 0;
    EXPECT_EQ(owner.Process().Write(owner.Handle(), data.data(), bytes, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, bytes);
    EXPECT_GT(ring.Debt(), 0);  // owed to the device as silence
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
}

TEST_F(RunningQ7, AClientBehindThePositionLosesInputAndGetsOutputSilence) {
    StartDuplex(128);
    ASSERT_EQ(owner.Send(IOCTL_ASIO_ARM_INPUT).status, STATUS_SUCCESS);
    DuplexClient client(owner, 128, InFrameBytes(), 2);
    client.Begin();
    client.RunUntil(kmsim::NowNs() + 100 * kMs_ns);
    const ULONG position = owner.Query(IOCTL_ASIO_GET_POSITION).Ulong();
    EXPECT_NEAR(static_cast<double>(position), static_cast<double>(client.figures.framesIn), 3 * 128.0);
    vq7::AsioStream& stream = Adapter().Asio();
    // Ahead of the position: nothing changes.
    const ULONG inputLevel = stream.InputRing().Level();
    EXPECT_EQ(owner.SendUlong(IOCTL_ASIO_SYNC_POSITION, position + 1000), STATUS_SUCCESS);
    EXPECT_EQ(stream.InputRing().Level(), inputLevel);
    EXPECT_EQ(stream.OutputRing().Debt(), 0);
    // 50 frames behind: 50 frames of input dropped, 50 of output silence inserted.
    const LONG inDebt = stream.InputRing().Debt();
    const ULONG outLevel = stream.OutputRing().Level();
    EXPECT_EQ(owner.SendUlong(IOCTL_ASIO_SYNC_POSITION, position - 50), STATUS_SUCCESS);
    const ULONG dropped = inputLevel - stream.InputRing().Level() +
                          static_cast<ULONG>(inDebt - stream.InputRing().Debt());
    EXPECT_EQ(dropped, 50 * InFrameBytes());
    const ULONG outFrame = stream.OutputRing().FrameBytes();
    EXPECT_EQ(stream.OutputRing().Level() + static_cast<ULONG>(stream.OutputRing().Debt()), outLevel + 50 * outFrame);
    EXPECT_EQ(owner.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    client.Drain();
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
}

TEST_F(RunningQ7, FloatAndDsdAreRefusedWhileAWaveRtStreamPlaysAndPcmShares) {
    ASSERT_EQ(owner.Open(), STATUS_SUCCESS);
    ASSERT_EQ(owner.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    ASSERT_EQ(Adapter().ReserveDirections(FALSE, TRUE, FALSE), STATUS_SUCCESS);  // as a WaveRT render stream does
    const int64_t before = kmsim::NowNs();
    EXPECT_EQ(owner.Prepare(Params(64, true, true, ASIO_FORMAT_TAG_IEEE_FLOAT)), STATUS_DEVICE_BUSY);
    EXPECT_GE(kmsim::NowNs() - before, 9 * kMs_ns);  // nine sleeps between ten attempts
    EXPECT_EQ(owner.Prepare(Params(256, false, true, ASIO_FORMAT_TAG_PCM, ASIO_DSD_MODE_DSD)), STATUS_DEVICE_BUSY);
    EXPECT_EQ(owner.Prepare(Params(64, true, true)), STATUS_SUCCESS);  // PCM shares
    EXPECT_EQ(owner.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    ASSERT_EQ(Adapter().ReleaseDirections(FALSE, TRUE), STATUS_SUCCESS);

    ASSERT_EQ(owner.Prepare(Params(256, false, true, ASIO_FORMAT_TAG_PCM, ASIO_DSD_MODE_DSD)), STATUS_SUCCESS);
    vq7::AsioRing& ring = Adapter().Asio().OutputRing();
    ring.Prime();
    std::vector<UCHAR> silence(64, 0);
    ASSERT_EQ(ring.Read(silence.data(), 64, true), 0u);  // empty: nothing to read
    ASSERT_EQ(ring.Read(silence.data(), 64, false), 64u);
    EXPECT_EQ(silence, std::vector<UCHAR>(64, 0x96));  // DSD silence, not zeros
    ring.Reset();
    // Another request for exclusive or shared use waits until UNPREPARE.
    EXPECT_EQ(Adapter().ReserveDirections(FALSE, TRUE, FALSE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(owner.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    EXPECT_EQ(Adapter().ReserveDirections(FALSE, TRUE, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().ReleaseDirections(FALSE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
}

TEST_F(RunningQ7, CaptureOnlyStreamsEveryFrameInOrder) {
    ASSERT_EQ(owner.Open(), STATUS_SUCCESS);
    ASSERT_EQ(owner.OpenPrepareStart(Params(128, true, false)), STATUS_SUCCESS);
    ASSERT_EQ(owner.Send(IOCTL_ASIO_ARM_INPUT).status, STATUS_SUCCESS);
    ULONG transferred = 0;
    std::vector<UCHAR> buffer(16);
    EXPECT_EQ(owner.Process().Write(owner.Handle(), buffer.data(), 16, &transferred), STATUS_INVALID_DEVICE_REQUEST);
    const ULONG frameBytes = InFrameBytes();
    std::vector<UCHAR> period(128 * frameBytes);
    uint32_t previous = 0;
    uint32_t step = 0;
    uint64_t frames = 0;
    uint64_t discontinuities = 0;
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(owner.Process().Read(owner.Handle(), period.data(), static_cast<ULONG>(period.size()), &transferred),
                  STATUS_SUCCESS);
        for (ULONG offset = 0; offset < transferred; offset += frameBytes, ++frames) {
            uint32_t value;
            std::memcpy(&value, period.data() + offset, sizeof(value));
            if (frames == 1) step = value - previous;
            if (frames > 1 && value - previous != step) discontinuities += 1;
            previous = value;
        }
    }
    EXPECT_EQ(frames, 500u * 128);
    EXPECT_EQ(discontinuities, 0u);
    EXPECT_NE(step, 0u);
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
}

TEST_F(RunningQ7, AnUnplugWithAReadPendingCancelsItAndTheHandleStillCloses) {
    StartDuplex(1024);
    ASSERT_EQ(owner.Send(IOCTL_ASIO_ARM_INPUT).status, STATUS_SUCCESS);
    const ULONG bytes = 1024 * InFrameBytes();
    std::vector<UCHAR> buffer(bytes);
    kmsim::Overlapped pending;
    ASSERT_EQ(owner.Process().Read(owner.Handle(), buffer.data(), bytes, &pending), STATUS_PENDING);
    world.Pnp().Unplug(q7.pdo);
    EXPECT_EQ(pending.Wait(), STATUS_CANCELLED);
    ULONG transferred = 0;
    EXPECT_EQ(owner.Process().Read(owner.Handle(), buffer.data(), bytes, &transferred), STATUS_DELETE_PENDING);
    EXPECT_EQ(owner.Send(IOCTL_ASIO_STOP).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
    world.Pnp().WaitForRemoval(q7.pdo);
    EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("USBA")), 0u);
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

// The DAC offers 24-bit PCM and 32-bit float: a stream of either tag opens
// the device's setting of that tag.
class OutputOnly : public ::testing::TestWithParam<USHORT> {};

TEST_P(OutputOnly, TheOutputThreadFeedsTheDacEveryFrameInOrder) {
    const USHORT tag = GetParam();
    DriverWorld world;
    PluggedDevice dac = world.Start("uac2-async-dac");
    ChannelClient owner(world, dac.pdo, "owner");
    ASSERT_EQ(owner.Open(), STATUS_SUCCESS);
    ASSERT_EQ(owner.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 48000), STATUS_SUCCESS);
    ASSERT_EQ(owner.OpenPrepareStart(Params(256, false, true, tag)), STATUS_SUCCESS);
    EXPECT_EQ(dac.usb->FirstRender()->Format().ieeeFloat, tag == ASIO_FORMAT_TAG_IEEE_FLOAT);
    const vq7::AudioFormat out = world.Adapter(dac.pdo)->Asio().OutputFormat();
    ASSERT_EQ(out.bitsPerSample, 32u);
    ULONG transferred = 0;
    std::vector<UCHAR> none(16);
    EXPECT_EQ(owner.Process().Read(owner.Handle(), none.data(), 16, &transferred), STATUS_INVALID_DEVICE_REQUEST);

    uint64_t played = 0;
    uint64_t outOfOrder = 0;
    int32_t previous = 0;
    world.Bus().WithDevice(dac.pdo, [&](simusb::Device& device) {
        simusb::FrameRecord& record = static_cast<simusb::AudioDevice&>(device).FirstRender()->Played();
        record.KeepSamples(false);
        record.SetChecker([&](uint64_t, std::span<const int32_t> frame) {
            if (played == 0 && frame[0] == 0) return;
            if (played > 0 && frame[0] != CounterSample(static_cast<uint32_t>(previous) >> 8)) outOfOrder += 1;
            previous = frame[0];
            played += 1;
        });
    });
    // Two writes in flight: each completes once the thread moved it into the ring.
    constexpr ULONG kFrames = 256;
    std::vector<std::vector<int32_t>> periods(2, std::vector<int32_t>(kFrames * out.channels));
    kmsim::Overlapped writes[2];
    uint64_t written = 0;
    auto issue = [&](int slot) {
        for (ULONG f = 0; f < kFrames; ++f) {
            for (ULONG c = 0; c < out.channels; ++c) periods[slot][f * out.channels + c] = CounterSample(written + f);
        }
        written += kFrames;
        return owner.Process().Write(owner.Handle(), periods[slot].data(),
                                     static_cast<ULONG>(periods[slot].size() * sizeof(int32_t)), &writes[slot]);
    };
    ASSERT_EQ(issue(0), STATUS_PENDING);
    ASSERT_EQ(issue(1), STATUS_PENDING);
    int completed = 0;
    const int64_t end = kmsim::NowNs() + 2000 * kMs_ns;
    for (int slot = 0; kmsim::NowNs() < end; slot ^= 1) {
        ASSERT_EQ(writes[slot].Wait(), STATUS_SUCCESS);
        EXPECT_EQ(writes[slot].ioStatus.Information, kFrames * out.channels * sizeof(int32_t));
        completed += 1;
        ASSERT_EQ(issue(slot), STATUS_PENDING);
    }
    world.Bus().WithDevice(dac.pdo, [&](simusb::Device& device) {
        static_cast<simusb::AudioDevice&>(device).FirstRender()->Played().SetChecker(nullptr);
    });
    std::printf("output only: %d writes completed, %llu frames played\n", completed,
                static_cast<unsigned long long>(played));
    EXPECT_EQ(owner.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    for (auto& w : writes) w.Wait();
    EXPECT_GE(completed, 2000 * 48 / 256 * 95 / 100);
    EXPECT_GT(played, 0u);
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Dac, OutputOnly, ::testing::Values(ASIO_FORMAT_TAG_PCM, ASIO_FORMAT_TAG_IEEE_FLOAT),
                         [](const ::testing::TestParamInfo<USHORT>& tag) {
                             return std::string(tag.param == ASIO_FORMAT_TAG_PCM ? "Pcm" : "Float");
                         });

}  // namespace
