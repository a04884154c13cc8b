// A minimal adapter driver through its whole life as Plug and Play, PortCls
// and the I/O manager drive it: load, start, open, I/O, sleep and wake,
// unplug with a handle open, close, removal and unload; and the other
// removal sequences.

#include <gtest/gtest.h>

#include <ksmedia.h>

#include <memory>

#include "km_time.h"
#include "kmsim/client.h"
#include "kmsim/device_interfaces.h"
#include "kmsim/device_nodes.h"
#include "kmsim/portcls.h"
#include "kmsim/registry.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"
#include "simpnp/pnp_manager.h"
#include "simusb/ready_made_devices.h"
#include "test_adapter_driver.h"

namespace {

using Calls = std::vector<std::string>;

class PnpLifecycleTest : public ::testing::Test {
protected:
    PnpLifecycleTest() { testdriver::ResetCalls(); }
    ~PnpLifecycleTest() override { testdriver::ResetCalls(); }

    NTSTATUS Plug() {
        return pnp_->Plug(std::shared_ptr<simusb::Device>(simusb::FindReadyMadeDevice("q7-0b31")->Make()), &pdo_);
    }
    // The path of the device's audio interface, cut before its reference string.
    std::string DevicePath() {
        std::vector<kmsim::DeviceInterface> audio = kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO);
        EXPECT_EQ(audio.size(), 1u);
        if (audio.empty()) return {};
        return audio[0].path.substr(0, audio[0].path.size() - audio[0].referenceString.size() - 1);
    }
    // The calls the driver got since the last look.
    Calls Since() {
        Calls all = testdriver::Calls();
        Calls fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }

    kmsim::Simulation sim_;
    std::unique_ptr<simusbhost::Bus> bus_ = std::make_unique<simusbhost::Bus>();
    std::unique_ptr<simpnp::PnpManager> pnp_ =
        std::make_unique<simpnp::PnpManager>(*bus_, simpnp::DriverImage{"vq7audio", testdriver::DriverEntry});
    PDEVICE_OBJECT pdo_ = nullptr;
    size_t seen_ = 0;
};

TEST_F(PnpLifecycleTest, TheDriverLivesThroughLoadIoSleepUnplugAndUnloadInThePlatformsOrder) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Since(), (Calls{"DriverEntry \\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vq7audio",
                              "AddDevice", "PnP START_DEVICE", "StartDevice SampleRate=none", "MiniportInit resources=0",
                              "PnP QUERY_CAPABILITIES", "QueryDeviceCapabilities"}));
    EXPECT_TRUE(pnp_->Capabilities(pdo_).SurpriseRemovalOK);
    EXPECT_TRUE(pnp_->Capabilities(pdo_).Removable);

    kmsim::Client client("host");
    HANDLE handle;
    ASSERT_EQ(client.Open(DevicePath() + "\\SOMETHING", &handle), STATUS_SUCCESS);
    const UCHAR input[4] = {1, 2, 3, 4};
    UCHAR output[8] = {};
    ULONG transferred = 0;
    ASSERT_EQ(client.DeviceIoControl(handle, testdriver::kIoctlReverse, input, 4, output, 8, &transferred),
              STATUS_SUCCESS);
    EXPECT_EQ(transferred, 4u);
    EXPECT_EQ(output[0], 4);
    EXPECT_EQ(output[3], 1);

    // A read stays pending and completes from the driver's DPC.
    UCHAR data[16] = {};
    kmsim::Overlapped read;
    int64_t sent_ns = kmsim::NowNs();
    ASSERT_EQ(client.Read(handle, data, sizeof data, &read), STATUS_PENDING);
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_GE(kmsim::NowNs() - sent_ns, testdriver::kReadDelay_ms * 1000 * 1000);
    EXPECT_EQ(read.ioStatus.Information, sizeof data);
    EXPECT_EQ(data[15], testdriver::kReadPattern);
    ASSERT_EQ(client.Write(handle, data, 6, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, 6u);
    EXPECT_EQ(Since(), (Calls{"Create \\SOMETHING", "DeviceControl in=4", "Read pending (MDL)",
                              "Read completed at IRQL DISPATCH", "Write 6"}));

    pnp_->Sleep();
    pnp_->Wake();
    EXPECT_EQ(Since(), (Calls{"PowerChangeState D3", "PowerChangeState D0"}));

    // Unplugged with the handle open: surprise removal at once, new opens
    // fail, the open handle still reaches the driver, removal waits.
    std::string path = DevicePath();
    pnp_->Unplug(pdo_);
    EXPECT_TRUE(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).empty());
    HANDLE late;
    EXPECT_EQ(client.Open(path + "\\something", &late), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(client.DeviceIoControl(handle, testdriver::kIoctlReverse, input, 4, output, 8, &transferred),
              STATUS_SUCCESS);
    kmtest::SleepMs(100);
    EXPECT_EQ(Since(), (Calls{"PnP SURPRISE_REMOVAL", "DeviceControl in=4"}));
    EXPECT_TRUE(pnp_->DriverLoaded());

    ASSERT_EQ(client.Close(handle), STATUS_SUCCESS);
    pnp_->WaitForRemoval(pdo_);
    EXPECT_EQ(Since(), (Calls{"Cleanup", "Close", "PnP REMOVE_DEVICE", "Miniport released", "Adapter released",
                              "DriverUnload"}));
    EXPECT_FALSE(pnp_->DriverLoaded());
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

TEST_F(PnpLifecycleTest, TheHardwareKeyIsReadAtStartAndSurvivesTheDevice) {
    // The device node exists from enumeration on: preset its hardware key
    // before a second start.
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    std::string key = kmsim::DeviceHardwareKeyPath(pdo_);
    ASSERT_FALSE(key.empty());
    EXPECT_NE(key.find("\\Enum\\USB\\VID_"), std::string::npos) << key;
    EXPECT_NE(key.find("&MI_00\\"), std::string::npos) << key;
    kmsim::RegistrySetDword(key, "SampleRate", 48000);
    Since();
    ASSERT_EQ(pnp_->Restart(pdo_), STATUS_SUCCESS);
    Calls restart = Since();
    ASSERT_GE(restart.size(), 5u);
    EXPECT_EQ(Calls(restart.begin(), restart.begin() + 5),
              (Calls{"PnP QUERY_STOP_DEVICE", "PnP STOP_DEVICE", "Miniport released", "Adapter released",
                     "PnP START_DEVICE"}));
    EXPECT_EQ(restart[5], "StartDevice SampleRate=48000");
    EXPECT_EQ(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).size(), 1u);  // registered anew
    ASSERT_EQ(pnp_->Disable(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(kmsim::RegistryKeyExists(key));
}

TEST_F(PnpLifecycleTest, AVetoedDisableIsCancelledAndAnAgreedOneRemovesAtOnce) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    Since();
    testdriver::VetoNextQueryRemove();
    EXPECT_EQ(pnp_->Disable(pdo_), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Since(), (Calls{"PnP QUERY_REMOVE_DEVICE", "PnP CANCEL_REMOVE_DEVICE"}));

    // An application holding a handle vetoes too.
    kmsim::Client client;
    HANDLE handle;
    ASSERT_EQ(client.Open(DevicePath() + "\\something", &handle), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->Disable(pdo_), STATUS_DEVICE_BUSY);
    ASSERT_EQ(client.Close(handle), STATUS_SUCCESS);
    Since();

    ASSERT_EQ(pnp_->Disable(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Since(), (Calls{"PnP QUERY_REMOVE_DEVICE", "PnP REMOVE_DEVICE", "Miniport released",
                              "Adapter released", "DriverUnload"}));
    EXPECT_TRUE(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).empty());
}

TEST_F(PnpLifecycleTest, AClientThatEndsWithoutClosingGetsItsReadCancelledThenCleanupAndClose) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    UCHAR data[8];
    kmsim::Overlapped read;
    {
        kmsim::Client client;
        HANDLE handle;
        ASSERT_EQ(client.Open(DevicePath() + "\\something", &handle), STATUS_SUCCESS);
        HANDLE second;
        ASSERT_EQ(client.Duplicate(handle, &second), STATUS_SUCCESS);
        ASSERT_EQ(client.Read(handle, data, sizeof data, &read), STATUS_PENDING);
        Since();
    }
    EXPECT_EQ(read.ioStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(Since(), (Calls{"Read cancelled", "Cleanup", "Close"}));
    kmtest::SleepMs(50);  // the read's timer fires on nothing
    EXPECT_EQ(Since(), Calls{});
}

TEST_F(PnpLifecycleTest, TheAudioInterfacesCarryTheSubdeviceNameAndArriveAndGo) {
    kmsim::DeviceInterfaceWatch audio(KSCATEGORY_AUDIO);
    kmsim::DeviceInterfaceWatch render(KSCATEGORY_RENDER);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    std::string instance = pnp_->InstancePath(pdo_);
    for (char& c : instance) {
        if (c == '\\') c = '#';
    }
    std::string expected = "\\\\?\\" + instance + "#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave";
    std::vector<kmsim::DeviceInterface> enabled = kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO);
    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_EQ(enabled[0].path, expected);
    EXPECT_EQ(enabled[0].referenceString, "Wave");
    EXPECT_EQ(enabled[0].service, "vq7audio");
    ASSERT_EQ(audio.Events().size(), 1u);
    EXPECT_TRUE(audio.Events()[0].arrival);
    ASSERT_EQ(render.Events().size(), 1u);
    EXPECT_EQ(kmsim::EnabledDeviceInterfaces(KSCATEGORY_CAPTURE).size(), 0u);

    // The subdevice's own name opens a PortCls filter; an unknown name does not.
    kmsim::Client client;
    HANDLE filter;
    EXPECT_EQ(client.Open(enabled[0].path, &filter), STATUS_SUCCESS);
    EXPECT_EQ(client.Close(filter), STATUS_SUCCESS);
    EXPECT_EQ(client.Open(DevicePath() + "\\Other", &filter), STATUS_OBJECT_NAME_NOT_FOUND);

    pnp_->Unplug(pdo_);
    pnp_->WaitForRemoval(pdo_);
    ASSERT_EQ(audio.Events().size(), 2u);
    EXPECT_FALSE(audio.Events()[1].arrival);
    EXPECT_EQ(audio.Events()[1].interface.path, expected);
}

}  // namespace
