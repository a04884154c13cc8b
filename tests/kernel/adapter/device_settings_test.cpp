// The settings a start decides: the host-controller quirk, DSD support, the
// playback-only device without a fixed rate, and the transfer sizing read
// from the performance key.

#include <gtest/gtest.h>

#include "driver_world.h"
#include "kmsim/registry.h"
#include "simusb/audio_codes.h"
#include "wavert/performance_parameters.h"

namespace {

using kerneltest::DriverWorld;
using kerneltest::PluggedDevice;
using kerneltest::SecondStart;

constexpr char kPerformanceKey[] = "\\Registry\\Machine\\SOFTWARE\\VEXO\\Q7 ASIO Performance";
constexpr char kGuidName[] = "{A9305ACA-9ECF-4573-B250-15B911C12CCF}";

size_t VendorModeRequests(simusb::AudioDevice& device) {
    size_t count = 0;
    for (const simusb::LoggedRequest& entry : device.Requests().Entries()) {
        count += entry.setup.bmRequestType == simusb::uac::kVendorModeRequestType &&
                 entry.setup.bRequest == simusb::uac::kVendorModeRequest;
    }
    return count;
}

TEST(DeviceSettings, APlaybackOnlyDeviceHasNoFixedRateAndShorterRenderTransfers) {
    DriverWorld world;
    PluggedDevice dac = world.Start("uac2-async-dac");
    EXPECT_FALSE(kmsim::RegistryGetValue(world.HardwareKey(dac.pdo), "SampleRate").has_value());
    std::vector<kmsim::DeviceInterface> audio = world.AudioInterfaces(dac.pdo);
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(audio[0].referenceString, kGuidName);
    ASSERT_NE(world.Adapter(dac.pdo), nullptr);
    EXPECT_TRUE(world.Adapter(dac.pdo)->PlaybackOnly());
    EXPECT_EQ(world.Adapter(dac.pdo)->ChangeSampleRate(48000), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(vq7::PlaybackFramesPerTransfer, 4u);
    EXPECT_EQ(vq7::PlaybackTransfersInFlight, 8u);
}

TEST(DeviceSettings, TheAmdQuirkComesFromTheControllerOrIsForcedOnlyForDuplexDevices) {
    {
        DriverWorld world(simusbhost::ControllerIdentity{0x1022, 0x7808, 0, 4, OHCI_Generic, 0});
        PluggedDevice q7 = world.Start("q7-0b31");
        EXPECT_TRUE(world.Adapter(q7.pdo)->AmdQuirk());
        EXPECT_EQ(vq7::PlaybackFramesPerTransfer, 1u);
        EXPECT_EQ(vq7::PlaybackTransfersInFlight, 8u);
    }
    {
        DriverWorld world(simusbhost::ControllerIdentity{0x1002, 0x4396, 0, 4, USB_HcGeneric, 0});
        PluggedDevice q7 = world.Start("q7-0b31");
        EXPECT_FALSE(world.Adapter(q7.pdo)->AmdQuirk());  // an AMD controller of another flavour needs no quirk
        EXPECT_EQ(vq7::PlaybackFramesPerTransfer, 8u);
    }
    {
        DriverWorld world;  // an Intel EHCI controller
        SecondStart q7(world, "q7-0b31");
        kmsim::RegistrySetDword(q7.Key(), "ForceAMDChipset", 1);
        ASSERT_EQ(q7.Start(), STATUS_SUCCESS);
        EXPECT_TRUE(q7.Adapter()->AmdQuirk());
    }
    {
        DriverWorld world;
        SecondStart dac(world, "uac2-async-dac");
        kmsim::RegistrySetDword(dac.Key(), "ForceAMDChipset", 1);
        ASSERT_EQ(dac.Start(), STATUS_SUCCESS);
        EXPECT_FALSE(dac.Adapter()->AmdQuirk());
    }
    {
        // Without the controller's identity the forcing value is not even read.
        DriverWorld world;
        SecondStart q7(world, "q7-0b31");
        kmsim::RegistrySetDword(q7.Key(), "ForceAMDChipset", 1);
        world.Bus().FailUserRequest(STATUS_NOT_SUPPORTED);
        ASSERT_EQ(q7.Start(), STATUS_SUCCESS);
        EXPECT_FALSE(q7.Adapter()->AmdQuirk());
    }
}

TEST(DeviceSettings, ThePerformanceKeyWinsOverTheQuirksDefaults) {
    DriverWorld world(simusbhost::ControllerIdentity{0x1022, 0x7808, 0, 4, EHCI_Generic, 0});
    kmsim::RegistrySetDword(kPerformanceKey, "param1", 8);
    kmsim::RegistrySetDword(kPerformanceKey, "param4", 12);
    PluggedDevice q7 = world.Start("q7-0b31");
    EXPECT_TRUE(world.Adapter(q7.pdo)->AmdQuirk());
    EXPECT_EQ(vq7::PlaybackFramesPerTransfer, 8u);
    EXPECT_EQ(vq7::PlaybackTransfersInFlight, 8u);
    EXPECT_EQ(vq7::CaptureFramesPerTransfer, 1u);
    EXPECT_EQ(vq7::CaptureTransfersInFlight, 12u);
}

TEST(DeviceSettings, DsdSupportIsStoredOrProbedWithTheVendorRequest) {
    DriverWorld world;
    {
        // Absent: the Q7 accepts the PCM mode request, so DSD is supported.
        PluggedDevice q7 = world.Start("q7-0b31");
        EXPECT_GT(VendorModeRequests(*q7.usb), 0u);
        EXPECT_EQ(world.Adapter(q7.pdo)->IsDsdSupported(), 1u);
        PVOID face = nullptr;
        EXPECT_EQ(world.Adapter(q7.pdo)->QueryInterface(IID_IUsbAudioDsdControl, &face), STATUS_SUCCESS);
        ASSERT_NE(face, nullptr);
        static_cast<IUsbAudioDsdControl*>(face)->Release();
        world.UnplugAndWait(q7.pdo);
    }
    {
        // Zero: not supported, however the device would answer.
        SecondStart q7(world, "q7-0b31");
        kmsim::RegistrySetDword(q7.Key(), "DSDNativeModeSupported", 0);
        ASSERT_EQ(q7.Start(), STATUS_SUCCESS);
        EXPECT_EQ(VendorModeRequests(q7.Usb()), 0u);
        EXPECT_EQ(q7.Adapter()->IsDsdSupported(), 0u);
        PVOID face = reinterpret_cast<PVOID>(1);
        EXPECT_EQ(q7.Adapter()->QueryInterface(IID_IUsbAudioDsdControl, &face), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(face, nullptr);
        EXPECT_EQ(q7.Adapter()->SetDsdMode(1), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(q7.Adapter()->SetDsdMode(0), STATUS_SUCCESS);
        world.UnplugAndWait(q7.Pdo());
    }
    {
        // Absent on a device that stalls the request: not supported.
        PluggedDevice dac = world.Start("uac2-async-dac");
        EXPECT_GT(VendorModeRequests(*dac.usb), 0u);
        EXPECT_EQ(world.Adapter(dac.pdo)->IsDsdSupported(), 0u);
        world.UnplugAndWait(dac.pdo);
    }
    {
        // Nonzero: supported without asking the device.
        SecondStart q7(world, "q7-0b31");
        kmsim::RegistrySetDword(q7.Key(), "DSDNativeModeSupported", 1);
        ASSERT_EQ(q7.Start(), STATUS_SUCCESS);
        EXPECT_EQ(VendorModeRequests(q7.Usb()), 0u);
        EXPECT_EQ(q7.Adapter()->IsDsdSupported(), 1u);
        EXPECT_EQ(q7.Adapter()->SetDsdMode(1), STATUS_SUCCESS);
        EXPECT_EQ(VendorModeRequests(q7.Usb()), 2u);  // one per streaming interface
        EXPECT_EQ(q7.Adapter()->ClassLayer().GetVendorMode(), 1u);
    }
}

// ---------------------------------------------------------------- the performance key

using Pair = std::pair<ULONG, ULONG>;

class PerformanceKey : public ::testing::Test {
protected:
    // One pair read over the given defaults.
    static Pair Read(ULONG set, Pair defaults) {
        vq7::ReadPerformanceParameters(set, &defaults.first, &defaults.second);
        return defaults;
    }
    static Pair Playback() { return Read(vq7::kPlaybackParameters, {8, 8}); }
    static Pair Capture() { return Read(vq7::kCaptureParameters, {1, 16}); }
    kmsim::Simulation sim_;
};

TEST_F(PerformanceKey, AMissingKeyKeepsTheDefaults) {
    EXPECT_EQ(Playback(), Pair(8, 8));
    EXPECT_EQ(Capture(), Pair(1, 16));
}

TEST_F(PerformanceKey, ValuesAreLimitedAndZeroMeansTheDefault) {
    kmsim::RegistrySetDword(kPerformanceKey, "param1", 3);
    kmsim::RegistrySetDword(kPerformanceKey, "param2", 0);
    kmsim::RegistrySetDword(kPerformanceKey, "param3", 5);
    kmsim::RegistrySetDword(kPerformanceKey, "param4", 40);
    EXPECT_EQ(Playback(), Pair(3, 8));
    EXPECT_EQ(Capture(), Pair(1, 16));
}

TEST_F(PerformanceKey, AnOutOfRangeDefaultOrAValueOfAnotherTypeChangesNothing) {
    kmsim::RegistrySetDword(kPerformanceKey, "param1", 2);
    kmsim::RegistrySetDword(kPerformanceKey, "param2", 2);
    EXPECT_EQ(Read(vq7::kPlaybackParameters, {9, 8}), Pair(9, 8));  // above the limit: the call does nothing
    EXPECT_EQ(Read(vq7::kPlaybackParameters, {0, 8}), Pair(0, 8));
    EXPECT_EQ(Playback(), Pair(2, 2));
    // A string where a number belongs is not copied over the value.
    kmsim::RegistrySetString(kPerformanceKey, "param3", "a long text that would not fit a ULONG");
    kmsim::RegistrySetDword(kPerformanceKey, "param4", 4);
    EXPECT_EQ(Capture(), Pair(1, 16));
}

}  // namespace
