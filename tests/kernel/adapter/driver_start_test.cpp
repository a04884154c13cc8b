// The driver's start on a Q7: the persisted sample rate, the subdevice
// named after it, a rate change that re-publishes and persists, and the
// next start of the same device at that rate.

#include <gtest/gtest.h>

#include <ksmedia.h>

#include <cstring>

#include "driver_world.h"
#include "kmsim/portcls.h"
#include "kmsim/registry.h"
#include "kmsim/verifier.h"
#include "simusb/audio_codes.h"
#include "simusb/ready_made_devices.h"
#include "simusb/request_log.h"

namespace {

using kerneltest::DriverWorld;
using kerneltest::PluggedDevice;

constexpr char kGuidName[] = "{A9305ACA-9ECF-4573-B250-15B911C12CCF}";
constexpr uint8_t kQ7Clock = 41;

// The one reference string a device at `rate` publishes.
std::vector<std::string> NamesFor(ULONG rate) {
    std::string name = kGuidName;
    name += '_';
    name += std::to_string(rate);
    return std::vector<std::string>(1, name);
}

// The rate the driver last sent to the Q7's clock, 0 if none.
uint32_t LastClockRate(simusb::AudioDevice& device) {
    const simusb::LoggedRequest* set =
        device.Requests().Last(simusb::match::SetCur(kQ7Clock, simusb::uac::kClockFrequencyControl));
    if (set == nullptr || set->outData.size() != 4) return 0;
    uint32_t rate;
    std::memcpy(&rate, set->outData.data(), 4);
    return rate;
}

std::vector<std::string> ReferenceStrings(const std::vector<kmsim::DeviceInterface>& interfaces) {
    std::vector<std::string> names;
    for (const auto& entry : interfaces) names.push_back(entry.referenceString);
    return names;
}

TEST(DriverStart, AFirstStartPersists44100AndPublishesTheSubdeviceUnderItsName) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    EXPECT_EQ(kmsim::RegistryGetDword(world.HardwareKey(q7.pdo), "SampleRate"), 44100u);
    EXPECT_EQ(LastClockRate(*q7.usb), 44100u);
    EXPECT_EQ(ReferenceStrings(world.AudioInterfaces(q7.pdo)), NamesFor(44100));
    // The filter is found as a real-time render and capture endpoint too.
    EXPECT_EQ(kmsim::EnabledDeviceInterfaces(KSCATEGORY_REALTIME).size(), 1u);
    EXPECT_EQ(kmsim::EnabledDeviceInterfaces(KSCATEGORY_RENDER).size(), 1u);
    EXPECT_EQ(kmsim::EnabledDeviceInterfaces(KSCATEGORY_CAPTURE).size(), 1u);
    ULONG rate = 0;
    ASSERT_NE(world.Adapter(q7.pdo), nullptr);
    EXPECT_EQ(world.Adapter(q7.pdo)->GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 44100u);
}

TEST(DriverStart, ARateChangeRepublishesAndPersistsAndTheReplugStartsThere) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    CUSBAudioAdapter* adapter = world.Adapter(q7.pdo);
    ASSERT_NE(adapter, nullptr);
    ASSERT_EQ(adapter->ChangeSampleRate(96000), STATUS_SUCCESS);
    EXPECT_EQ(ReferenceStrings(world.AudioInterfaces(q7.pdo)), NamesFor(96000));
    EXPECT_EQ(kmsim::RegistryGetDword(world.HardwareKey(q7.pdo), "SampleRate"), 96000u);
    EXPECT_EQ(LastClockRate(*q7.usb), 96000u);

    world.UnplugAndWait(q7.pdo);
    EXPECT_TRUE(world.AudioInterfaces(q7.pdo).empty());
    q7.usb->Requests().Clear();
    ASSERT_EQ(world.Plug(q7.usb, &q7.pdo), STATUS_SUCCESS);
    EXPECT_EQ(ReferenceStrings(world.AudioInterfaces(q7.pdo)), NamesFor(96000));
    EXPECT_EQ(LastClockRate(*q7.usb), 96000u);
}

TEST(DriverStart, ARateChangeThatChangesNothingOrCannotBeNamedLeavesTheSubdeviceAlone) {
    simusb::AudioDescription description = simusb::FindReadyMadeDevice("q7-0b31")->describe();
    description.clocks[0].rates.push_back({64000, 64000, 0});  // offered, but no subdevice name
    DriverWorld world;
    auto usb = world.Make(description);
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(world.Plug(usb, &pdo), STATUS_SUCCESS);
    CUSBAudioAdapter* adapter = world.Adapter(pdo);
    ASSERT_NE(adapter, nullptr);
    kmsim::DeviceInterfaceWatch watch(KSCATEGORY_AUDIO);
    usb->Requests().Clear();

    EXPECT_EQ(adapter->ChangeSampleRate(44100), STATUS_SUCCESS);   // the current rate
    EXPECT_EQ(adapter->ChangeSampleRate(64000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(adapter->ChangeSampleRate(12345), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(watch.Events().empty());
    EXPECT_EQ(LastClockRate(*usb), 0u);  // the clock was not touched
    EXPECT_EQ(kmsim::RegistryGetDword(world.HardwareKey(pdo), "SampleRate"), 44100u);
    EXPECT_EQ(ReferenceStrings(world.AudioInterfaces(pdo)), NamesFor(44100));
}

TEST(DriverStart, AStoredRateTheDeviceDoesNotOfferIsReplacedByItsLowest) {
    DriverWorld world;
    kerneltest::SecondStart q7(world, "q7-0b31");
    kmsim::RegistrySetDword(q7.Key(), "SampleRate", 50000);
    ASSERT_EQ(q7.Start(), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::RegistryGetDword(q7.Key(), "SampleRate"), 32000u);
    EXPECT_EQ(ReferenceStrings(world.AudioInterfaces(q7.Pdo())), NamesFor(32000));
}

TEST(DriverStart, ASampleRateStoredAsTextFailsTheStartAndAFixedOneStartsAgain) {
    DriverWorld world;
    kerneltest::SecondStart q7(world, "q7-0b31");
    kmsim::RegistrySetString(q7.Key(), "SampleRate", "48000");
    EXPECT_EQ(q7.Start(), STATUS_NO_MATCH);
    EXPECT_TRUE(world.AudioInterfaces(q7.Pdo()).empty());
    EXPECT_EQ(kmsim::RegistryGetString(q7.Key(), "SampleRate"), "48000");  // not overwritten
    world.Bus().Detach(q7.Pdo());  // the failed stack is gone; the hardware goes too
    kmsim::RegistrySetDword(q7.Key(), "SampleRate", 48000);
    ASSERT_EQ(q7.Start(), STATUS_SUCCESS);
    EXPECT_EQ(ReferenceStrings(world.AudioInterfaces(q7.Pdo())), NamesFor(48000));
}

TEST(DriverStart, TwoQ7sAtOnceEachGetTheirOwnAdapterSubdeviceAndRate) {
    DriverWorld world;
    PluggedDevice first = world.Start("q7-0b31");
    PluggedDevice second = world.Start("q7-0b32");
    ASSERT_NE(world.Adapter(first.pdo), nullptr);
    ASSERT_NE(world.Adapter(second.pdo), nullptr);
    EXPECT_NE(world.Adapter(first.pdo), world.Adapter(second.pdo));
    EXPECT_EQ(world.Adapter(first.pdo)->ClassLayer().ProductId(), 0x0B31);
    EXPECT_EQ(world.Adapter(second.pdo)->ClassLayer().ProductId(), 0x0B32);
    ASSERT_EQ(world.Adapter(second.pdo)->ChangeSampleRate(48000), STATUS_SUCCESS);
    EXPECT_EQ(ReferenceStrings(world.AudioInterfaces(first.pdo)), NamesFor(44100));
    EXPECT_EQ(ReferenceStrings(world.AudioInterfaces(second.pdo)), NamesFor(48000));
    EXPECT_EQ(kmsim::RegistryGetDword(world.HardwareKey(first.pdo), "SampleRate"), 44100u);
    EXPECT_EQ(kmsim::RegistryGetDword(world.HardwareKey(second.pdo), "SampleRate"), 48000u);
    EXPECT_EQ(LastClockRate(*first.usb), 44100u);
    EXPECT_EQ(LastClockRate(*second.usb), 48000u);
}

TEST(DriverStart, UnloadAfterRemovalLeavesNothingBehind) {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    ASSERT_EQ(world.Adapter(q7.pdo)->ChangeSampleRate(192000), STATUS_SUCCESS);
    ASSERT_EQ(world.Pnp().Disable(q7.pdo), STATUS_SUCCESS);
    EXPECT_FALSE(world.Pnp().DriverLoaded());
    EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("USBA")), 0u);
    EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("PcCr")), 0u);
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

}  // namespace

// Class 1.0 devices whose feature unit has volume on each channel and only
// mute on the master channel: the master volume is not theirs to cache,
// and the subdevice is published all the same.
TEST(DriverStart, DevicesWithoutAMasterVolumePublishTheirInterfaces) {
    for (const char* name : {"uac1-async-dac", "uac1-duplex"}) {
        DriverWorld world;
        kerneltest::PluggedDevice device = world.Start(name);
        ASSERT_NE(world.Adapter(device.pdo), nullptr) << name;
        const std::vector<std::string> names = ReferenceStrings(world.AudioInterfaces(device.pdo));
        ASSERT_FALSE(names.empty()) << name;
        const std::string expected = std::string(name) == "uac1-async-dac" ? std::string(kGuidName)
                                                                           : NamesFor(44100).front();
        for (const std::string& reference : names) EXPECT_EQ(reference, expected) << name;
    }
}
