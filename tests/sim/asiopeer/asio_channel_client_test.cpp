// The ASIO channel's client module against the driver on the simulated Q7:
// the two-step name, the rate and format queries, reads completing in the
// order issued, one per buffer, and a stop cancelling the pending ones.

#include <gtest/gtest.h>

#include <cstring>

#include "asiopeer/asio_channel_client.h"
#include "driver_world.h"

namespace {

using asiopeer::AsioChannelClient;

TEST(AsioChannelClientSlots, OneMoreThanACaptureTransferFillsAndNeverFewerThanTwo) {
    EXPECT_EQ(asiopeer::ReadSlots(48, 64), 2u);
    EXPECT_EQ(asiopeer::ReadSlots(48, 48), 2u);
    EXPECT_EQ(asiopeer::ReadSlots(48, 32), 3u);
    EXPECT_EQ(asiopeer::ReadSlots(192, 32), 7u);
    EXPECT_EQ(asiopeer::ReadSlots(45, 1), 46u);
}

struct AsioChannelClientTest : ::testing::Test {
    kerneltest::DriverWorld world;
    kerneltest::PluggedDevice q7 = world.Start("q7-0b31");
    AsioChannelClient client{"client-test"};

    void SetUp() override { ASSERT_EQ(client.Open(world.DevicePath(q7.pdo)), STATUS_SUCCESS); }
};

TEST_F(AsioChannelClientTest, QueriesGiveTheDevicesNameRatesAndFormats) {
    std::string name;
    ASSERT_EQ(client.GetDeviceName(&name), STATUS_SUCCESS);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('\0'), std::string::npos);
    ULONG low = 0;
    ULONG high = 0;
    ASSERT_EQ(client.GetRateRange(&low, &high), STATUS_SUCCESS);
    EXPECT_EQ(low, 32000u);
    EXPECT_EQ(high, 768000u);
    EXPECT_EQ(client.SetSampleRate(96000), STATUS_SUCCESS);
    ULONG rate = 0;
    ASSERT_EQ(client.GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 96000u);
    EXPECT_EQ(client.SetSampleRate(12345), STATUS_INVALID_PARAMETER);
    ASIO_FORMAT_INFO info = {};
    info.FormatTag = ASIO_FORMAT_TAG_PCM;
    info.SampleRate = 96000;
    ASSERT_EQ(client.GetFormatInfo(&info), STATUS_SUCCESS);
    // The record is packed: its fields are read by value.
    const ULONG outChannels = info.OutChannels;
    const ULONG inChannels = info.InChannels;
    EXPECT_EQ(outChannels, 2u);
    EXPECT_EQ(inChannels, 4u);
    bool dsd = false;
    ASSERT_EQ(client.GetDsdSupport(&dsd), STATUS_SUCCESS);
    EXPECT_TRUE(dsd);
}

TEST_F(AsioChannelClientTest, PeriodsArriveInOrderOnePerBufferAndAStopCancelsTheRest) {
    constexpr ULONG kBuffer = 64;
    ASSERT_EQ(client.Claim(), STATUS_SUCCESS);
    ASSERT_EQ(client.Prepare(asiopeer::DuplexParams(kBuffer, ASIO_FORMAT_TAG_PCM, false)), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    ASSERT_EQ(client.ArmInput(), STATUS_SUCCESS);
    const ULONG frameBytes = 4 * 4;  // the Q7's four 32-bit inputs
    ASSERT_EQ(client.BeginReads(2, kBuffer * frameBytes), STATUS_SUCCESS);
    std::vector<UCHAR> silence(kBuffer * 2 * 4, 0);
    auto frame = [&](std::span<const UCHAR> data, ULONG index) {
        uint32_t value = 0;
        std::memcpy(&value, data.data() + index * frameBytes, sizeof(value));
        return value;
    };
    uint32_t previous = 0;
    uint32_t step = 0;
    for (int period = 0; period < 50; ++period) {
        std::span<const UCHAR> data;
        ASSERT_EQ(client.WaitPeriod(&data), STATUS_SUCCESS);
        ASSERT_EQ(data.size(), kBuffer * frameBytes);
        // The device's test signal counts frames: each period continues the last.
        if (period == 0) {
            step = frame(data, 1) - frame(data, 0);
            ASSERT_NE(step, 0u);
        } else {
            EXPECT_EQ(frame(data, 0) - previous, step) << "period " << period;
        }
        previous = frame(data, kBuffer - 1);
        ASSERT_EQ(client.Write(silence), STATUS_SUCCESS);
        ASSERT_EQ(client.RequeueRead(), STATUS_SUCCESS);
    }
    ULONG position = 0;
    ASSERT_EQ(client.GetPosition(&position), STATUS_SUCCESS);
    // The time since the first read completed: 49 more buffers, within a capture transfer.
    EXPECT_NEAR(static_cast<double>(position), 49.0 * kBuffer, 48);
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
    std::span<const UCHAR> data;
    EXPECT_EQ(client.WaitPeriod(&data), STATUS_CANCELLED);
    EXPECT_TRUE(data.empty());
    client.DrainReads();
    EXPECT_EQ(client.Unprepare(), STATUS_SUCCESS);
    EXPECT_EQ(client.Release(), STATUS_SUCCESS);
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
}

}  // namespace
