// Who may use a direction: shared reservations on a duplex device, one user
// per direction on a playback-only one, and an exclusive one alone; and
// the rate range the adapter reports.

#include <gtest/gtest.h>

#include "driver_world.h"

namespace {

using kerneltest::DriverWorld;
using kerneltest::PluggedDevice;

TEST(Reservations, ADuplexDeviceSharesDirectionsUntilOneIsExclusive) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    CUSBAudioAdapter* adapter = world.Adapter(q7.pdo);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->ReserveDirections(FALSE, TRUE, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(adapter->ReserveDirections(FALSE, TRUE, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(adapter->ReserveDirections(TRUE, TRUE, TRUE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(adapter->ReleaseDirections(FALSE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(adapter->ReleaseDirections(FALSE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(adapter->ReleaseDirections(FALSE, TRUE), STATUS_SUCCESS);  // one too many: nothing to release
    EXPECT_EQ(adapter->ReserveDirections(TRUE, TRUE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(adapter->ReserveDirections(TRUE, FALSE, FALSE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(adapter->ReleaseDirections(TRUE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(adapter->ReserveDirections(TRUE, FALSE, FALSE), STATUS_SUCCESS);
}

TEST(Reservations, APlaybackOnlyDirectionHasOneUser) {
    DriverWorld world;
    PluggedDevice dac = world.Start("uac2-async-dac");
    CUSBAudioAdapter* adapter = world.Adapter(dac.pdo);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->ReserveDirections(FALSE, TRUE, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(adapter->ReserveDirections(FALSE, TRUE, FALSE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(adapter->ReleaseDirections(FALSE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(adapter->ReserveDirections(FALSE, TRUE, FALSE), STATUS_SUCCESS);
}

TEST(Reservations, TheRateRangeIsThePlaybackDirections) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    CUSBAudioAdapter* adapter = world.Adapter(q7.pdo);
    ASSERT_NE(adapter, nullptr);
    ULONG lowest = 0, highest = 0;
    ASSERT_EQ(adapter->GetRateRange(&lowest, &highest), STATUS_SUCCESS);
    EXPECT_EQ(lowest, 32000u);
    EXPECT_EQ(highest, 768000u);
    EXPECT_EQ(adapter->GetRateRange(nullptr, &highest), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(adapter->GetSampleRate(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(adapter->RegisterMiniport(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(adapter->UnregisterMiniport(nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
