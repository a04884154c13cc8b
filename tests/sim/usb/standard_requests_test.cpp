// Standard requests answered from a device's own descriptors, strings and
// language IDs, the request log, and the fault knobs that make a device hostile.

#include <gtest/gtest.h>

#include <random>

#include "simusb/byte_order.h"
#include "simusb/descriptor_builder.h"
#include "simusb/ready_made_devices.h"
#include "simusb/reply_faults.h"
#include "simusb/usb_codes.h"
#include "test_host.h"

namespace simusb {
namespace {

using testing::TestHost;

std::unique_ptr<AudioDevice> Q7() { return FindReadyMadeDevice("q7-0b31")->Make(); }

std::u16string StringText(const std::vector<uint8_t>& descriptor) {
    std::u16string text;
    for (size_t i = 2; i + 1 < descriptor.size(); i += 2) text.push_back(static_cast<char16_t>(ReadLe(descriptor, i, 2)));
    return text;
}

TEST(StandardRequests, DescriptorsHonourWLength) {
    auto device = Q7();
    TestHost host(*device);
    auto head = host.GetDescriptor(usb::kDeviceDescriptor, 0, 8);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->size(), 8u);
    auto whole = host.GetDescriptor(usb::kDeviceDescriptor, 0, 255);
    ASSERT_TRUE(whole);
    EXPECT_EQ(*whole, device->Descriptors().device);
    EXPECT_EQ(ReadLe(*whole, 8, 2), 0xF0E1u);
    EXPECT_EQ(ReadLe(*whole, 10, 2), 0x0B31u);

    auto config9 = host.GetDescriptor(usb::kConfigurationDescriptor, 0, 9);
    ASSERT_TRUE(config9);
    ASSERT_EQ(config9->size(), 9u);
    uint16_t total = static_cast<uint16_t>(ReadLe(*config9, 2, 2));
    auto config = host.GetDescriptor(usb::kConfigurationDescriptor, 0, total);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->size(), total);
    EXPECT_EQ(*config, device->Descriptors().configurations[0]);
    EXPECT_FALSE(host.GetDescriptor(usb::kConfigurationDescriptor, 1, 9)) << "only one configuration";
}

TEST(StandardRequests, StringZeroListsLanguagesAndStringsAreFoundPerLanguage) {
    auto device = Q7();
    TestHost host(*device);
    auto langIds = host.GetDescriptor(usb::kStringDescriptor, 0, 255);
    ASSERT_TRUE(langIds);
    ASSERT_EQ(langIds->size(), 6u);
    EXPECT_EQ((*langIds)[0], 6);
    EXPECT_EQ((*langIds)[1], usb::kStringDescriptor);
    EXPECT_EQ(ReadLe(*langIds, 2, 2), 0x0409u);
    EXPECT_EQ(ReadLe(*langIds, 4, 2), 0x0407u);

    auto english = host.GetDescriptor(usb::kStringDescriptor, 2, 255, 0x0409);
    auto german = host.GetDescriptor(usb::kStringDescriptor, 2, 255, 0x0407);
    ASSERT_TRUE(english && german);
    EXPECT_EQ(StringText(*english), u"Q7");
    EXPECT_EQ(StringText(*german), u"Q7 Audio-Schnittstelle");
    auto serial = host.GetDescriptor(usb::kStringDescriptor, device->Descriptors().device[16], 255, 0x0409);
    ASSERT_TRUE(serial);
    EXPECT_EQ(StringText(*serial), u"Q70B31-001024");

    EXPECT_FALSE(host.GetDescriptor(usb::kStringDescriptor, 3, 255, 0x0407)) << "no German serial number";
    EXPECT_FALSE(host.GetDescriptor(usb::kStringDescriptor, 9, 255, 0x0409)) << "no string 9";
    auto shortRead = host.GetDescriptor(usb::kStringDescriptor, 2, 2, 0x0409);
    ASSERT_TRUE(shortRead);
    EXPECT_EQ(*shortRead, (std::vector<uint8_t>{2 + 2 * 2, usb::kStringDescriptor}));
}

TEST(StandardRequests, ConfigurationAndAlternateSettingsAreRememberedPerInterface) {
    auto device = Q7();
    TestHost host(*device);
    EXPECT_EQ(host.In(usb::kDirectionIn, usb::kGetConfiguration, 0, 0, 1), std::vector<uint8_t>{0});
    EXPECT_FALSE(host.SetInterface(1, 1)) << "no SET_INTERFACE before a configuration";
    EXPECT_FALSE(host.Configure(7)) << "there is no configuration 7";
    ASSERT_TRUE(host.Configure(1));
    EXPECT_EQ(host.In(usb::kDirectionIn, usb::kGetConfiguration, 0, 0, 1), std::vector<uint8_t>{1});

    EXPECT_TRUE(host.SetInterface(1, 2));
    EXPECT_TRUE(host.SetInterface(2, 1));
    EXPECT_FALSE(host.SetInterface(2, 3)) << "the capture interface has two settings";
    EXPECT_FALSE(host.SetInterface(9, 0));
    auto getInterface = [&](uint8_t number) {
        return host.In(usb::kDirectionIn | usb::kRecipientInterface, usb::kGetInterface, 0, number, 1);
    };
    EXPECT_EQ(getInterface(1), std::vector<uint8_t>{2});
    EXPECT_EQ(getInterface(2), std::vector<uint8_t>{1});
    EXPECT_EQ(getInterface(0), std::vector<uint8_t>{0});
    EXPECT_FALSE(getInterface(9));

    ASSERT_TRUE(host.Configure(1));
    EXPECT_EQ(getInterface(1), std::vector<uint8_t>{0}) << "SET_CONFIGURATION resets the settings";
}

TEST(StandardRequests, StatusAndEndpointHalt) {
    auto device = Q7();
    TestHost host(*device);
    ASSERT_TRUE(host.Start({1}));
    constexpr uint8_t kEndpointRecipient = usb::kRecipientEndpoint;
    auto status = [&](uint8_t endpoint) {
        return host.In(usb::kDirectionIn | kEndpointRecipient, usb::kGetStatus, 0, endpoint, 2);
    };
    EXPECT_EQ(host.In(usb::kDirectionIn, usb::kGetStatus, 0, 0, 2), (std::vector<uint8_t>{0, 0})) << "bus powered";
    EXPECT_EQ(status(0x01), (std::vector<uint8_t>{0, 0}));
    EXPECT_TRUE(host.Out(kEndpointRecipient, usb::kSetFeature, usb::kEndpointHalt, 0x01));
    EXPECT_EQ(status(0x01), (std::vector<uint8_t>{1, 0}));
    EXPECT_TRUE(host.Out(kEndpointRecipient, usb::kClearFeature, usb::kEndpointHalt, 0x01));
    EXPECT_EQ(status(0x01), (std::vector<uint8_t>{0, 0}));
    EXPECT_FALSE(status(0x82)) << "the capture endpoint is not in the selected setting";
    EXPECT_FALSE(host.Out(usb::kRecipientDevice, usb::kSetFeature, usb::kDeviceRemoteWakeup, 0))
        << "the configuration does not offer remote wakeup";
}

TEST(StandardRequests, QualifierOnlyAtHighSpeedAndUnknownRequestsStall) {
    auto highSpeed = Q7();
    auto fullSpeed = FindReadyMadeDevice("uac1-duplex")->Make();
    TestHost hs(*highSpeed);
    TestHost fs(*fullSpeed);
    auto qualifier = hs.GetDescriptor(usb::kDeviceQualifierDescriptor, 0, 10);
    ASSERT_TRUE(qualifier);
    EXPECT_EQ(qualifier->size(), 10u);
    EXPECT_EQ((*qualifier)[8], 1) << "bNumConfigurations";
    EXPECT_FALSE(fs.GetDescriptor(usb::kDeviceQualifierDescriptor, 0, 10));
    EXPECT_FALSE(hs.In(usb::kDirectionIn, usb::kSynchFrame, 0, 0x81, 2));
    EXPECT_FALSE(hs.Out(usb::kTypeStandard, usb::kSetDescriptor, 0x0100, 0, {0}));
    EXPECT_FALSE(hs.GetDescriptor(0x0F, 0, 5)) << "no BOS descriptor";
}

TEST(RequestLog, RecordsEveryRequestWithItsAnswer) {
    auto device = Q7();
    TestHost host(*device);
    host.now_ns = 5000;
    host.GetDescriptor(usb::kConfigurationDescriptor, 0, 9);
    host.GetDescriptor(usb::kStringDescriptor, 9, 255, 0x0409);
    const RequestLog& log = device->Requests();
    ASSERT_EQ(log.Entries().size(), 2u);
    EXPECT_EQ(log.Count(match::ConfigurationDescriptor(0)), 1u);
    EXPECT_EQ(log.Count(match::SetConfiguration()), 0u) << "a test can assert a request was not sent";
    const LoggedRequest* last = log.Last(match::StringDescriptor(9));
    ASSERT_NE(last, nullptr);
    EXPECT_TRUE(last->stalled);
    EXPECT_EQ(last->time_ns, 5000);
    EXPECT_EQ(log.Entries()[0].inData.size(), 9u);
}

TEST(ReplyFaults, SecondConfigurationReadComesBackShort) {
    auto device = Q7();
    device->Faults().Add(TruncateReply(match::ConfigurationDescriptor(0), 40, 2));
    TestHost host(*device);
    auto first = host.GetDescriptor(usb::kConfigurationDescriptor, 0, 9);
    uint16_t total = static_cast<uint16_t>(ReadLe(*first, 2, 2));
    auto second = host.GetDescriptor(usb::kConfigurationDescriptor, 0, total);
    auto third = host.GetDescriptor(usb::kConfigurationDescriptor, 0, total);
    ASSERT_TRUE(second && third);
    EXPECT_EQ(second->size(), 40u);
    EXPECT_EQ(third->size(), total) << "only the second read is cut";
}

TEST(ReplyFaults, TotalLengthLiesAndStringReadComesBackShort) {
    auto device = Q7();
    device->Faults().Add(TotalLengthReads(5));
    device->Faults().Add(TruncateReply(match::StringDescriptor(2), 3, 2));
    TestHost host(*device);
    auto config = host.GetDescriptor(usb::kConfigurationDescriptor, 0, 9);
    EXPECT_EQ(ReadLe(*config, 2, 2), 5u) << "smaller than the configuration descriptor itself";
    host.GetDescriptor(usb::kStringDescriptor, 2, 2, 0x0409);
    auto text = host.GetDescriptor(usb::kStringDescriptor, 2, 255, 0x0409);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 3u) << "an odd length, shorter than its bLength";
    EXPECT_EQ((*text)[0], 6);

    auto huge = Q7();
    huge->Faults().Add(TotalLengthReads(0xFFF0));
    TestHost hostile(*huge);
    auto whole = hostile.GetDescriptor(usb::kConfigurationDescriptor, 0, 0xFFF0);
    EXPECT_EQ(ReadLe(*whole, 2, 2), 0xFFF0u);
    EXPECT_EQ(whole->size(), huge->Descriptors().configurations[0].size()) << "the set itself stays as it is";
}

TEST(ReplyFaults, HookAndStallReachAnyRequest) {
    auto device = Q7();
    device->Faults().Add(StallRequest(match::DeviceDescriptor(), 1));
    device->Faults().SetHook([](const simusb::Setup& setup, ControlReply& reply) {
        if (setup.bRequest == usb::kGetConfiguration) reply.data = {0x42};
    });
    TestHost host(*device);
    EXPECT_FALSE(host.GetDescriptor(usb::kDeviceDescriptor, 0, 18));
    EXPECT_TRUE(host.GetDescriptor(usb::kDeviceDescriptor, 0, 18));
    EXPECT_EQ(host.In(usb::kDirectionIn, usb::kGetConfiguration, 0, 0, 1), std::vector<uint8_t>{0x42});
}

TEST(RawBytesDevice, ArbitraryDescriptorsAreServedAndNeverCrashTheModel) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        DescriptorSet set;
        set.speed = Speed::High;
        set.device.resize(18);
        for (uint8_t& b : set.device) b = static_cast<uint8_t>(random());
        std::vector<uint8_t> config(9 + random() % 300);
        for (uint8_t& b : config) b = static_cast<uint8_t>(random());
        config[0] = 9;
        config[1] = usb::kConfigurationDescriptor;
        config[5] = 1;
        // Some rounds look like an audio function to get past the first checks.
        if (round % 2 == 0 && config.size() > 30) {
            const uint8_t audioControl[] = {9, 4, 0, 0, 0, 1, 1, 0x20, 0, 9, 0x24, 1, 0, 2, 8, 0xFF, 0, 0};
            std::copy(std::begin(audioControl), std::end(audioControl), config.begin() + 9);
        }
        set.configurations.push_back(config);
        AudioDevice device(set, AudioSettings{});
        TestHost host(device);
        auto served = host.GetDescriptor(usb::kConfigurationDescriptor, 0, 0xFFFF);
        ASSERT_TRUE(served);
        EXPECT_EQ(*served, config);
        host.Configure(1);
        for (uint8_t number = 0; number < 4; ++number) host.SetInterface(number, 1);
        host.Rate(static_cast<uint8_t>(random()));
        host.SendOut(0x01, 0, std::vector<uint8_t>(64, 0));
        host.ReceiveIn(0x81, 1, 1024);
        device.settle(1000000);
    }
}

}  // namespace
}  // namespace simusb
