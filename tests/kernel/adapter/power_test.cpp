// Sleep and wake: the device comes back to D0 with both directions at their
// zero-bandwidth setting and, on a DSD device, its vendor mode re-sent.

#include <gtest/gtest.h>

#include "driver_world.h"
#include "simusb/audio_codes.h"
#include "simusb/request_log.h"

namespace {

using kerneltest::DriverWorld;
using kerneltest::PluggedDevice;

size_t Requests(simusb::AudioDevice& device, uint8_t type, uint8_t request) {
    size_t count = 0;
    for (const simusb::LoggedRequest& entry : device.Requests().Entries()) {
        count += entry.setup.bmRequestType == type && entry.setup.bRequest == request;
    }
    return count;
}

size_t VendorModes(simusb::AudioDevice& device) {
    return Requests(device, simusb::uac::kVendorModeRequestType, simusb::uac::kVendorModeRequest);
}

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    return power;
}

TEST(Power, WakingReturnsBothDirectionsToSettingZeroAndResendsTheVendorMode) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    CUSBAudioAdapter* adapter = world.Adapter(q7.pdo);
    ASSERT_NE(adapter, nullptr);
    ASSERT_EQ(adapter->IsDsdSupported(), 1u);
    EXPECT_TRUE(world.Pnp().Capabilities(q7.pdo).SurpriseRemovalOK);
    CUSBAudioCL& layer = adapter->ClassLayer();
    ULONG channels = 0, bits = 0, bytes = 0;
    ASSERT_EQ(layer.SelectStreamingFormat(1, 1, 4, 24, 44100, 1, &channels, &bits, &bytes), STATUS_SUCCESS);
    ASSERT_NE(layer.GetCurrentAlternate(1), 0u);
    q7.usb->Requests().Clear();

    world.Pnp().Sleep();
    EXPECT_EQ(adapter->PowerState(), static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(VendorModes(*q7.usb), 0u);
    EXPECT_NE(layer.GetCurrentAlternate(1), 0u);  // nothing happens on the way down

    world.Pnp().Wake();
    EXPECT_EQ(adapter->PowerState(), static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(layer.GetCurrentAlternate(0), 0u);
    EXPECT_EQ(layer.GetCurrentAlternate(1), 0u);
    EXPECT_EQ(VendorModes(*q7.usb), 2u);  // one per streaming interface

    // D0 again, and D3 twice: only the first change of a state counts.
    q7.usb->Requests().Clear();
    adapter->PowerChangeState(DeviceState(PowerDeviceD0));
    EXPECT_TRUE(q7.usb->Requests().Entries().empty());
    adapter->PowerChangeState(DeviceState(PowerDeviceD3));
    adapter->PowerChangeState(DeviceState(PowerDeviceD3));
    EXPECT_TRUE(q7.usb->Requests().Entries().empty());
    EXPECT_EQ(adapter->QueryPowerChangeState(DeviceState(PowerDeviceD2)), STATUS_SUCCESS);
}

TEST(Power, ADeviceWithoutDsdGetsNoVendorModeOnWake) {
    DriverWorld world;
    PluggedDevice dac = world.Start("uac2-async-dac");
    dac.usb->Requests().Clear();
    world.Pnp().Sleep();
    world.Pnp().Wake();
    EXPECT_EQ(VendorModes(*dac.usb), 0u);
    EXPECT_EQ(world.Adapter(dac.pdo)->PowerState(), static_cast<ULONG>(PowerDeviceD0));
}

}  // namespace
