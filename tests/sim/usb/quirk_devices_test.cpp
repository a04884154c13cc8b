// The devices the driver treats specially, each doing what the special
// treatment exists for.

#include <gtest/gtest.h>

#include <map>

#include "simusb/audio_codes.h"
#include "simusb/byte_order.h"
#include "simusb/packet_framing.h"
#include "simusb/ready_made_devices.h"
#include "test_host.h"

namespace simusb {
namespace {

using testing::Marker;
using testing::PackFrames;
using testing::TestHost;

constexpr SampleFormat kStereo24In32{2, 4, 24, false};

std::vector<uint8_t> SixFrames(uint64_t first) { return PackFrames(kStereo24In32, first, 6, Marker); }

uint16_t IdOf(const AudioDevice& device, size_t offset) {
    return static_cast<uint16_t>(ReadLe(device.Descriptors().device, offset, 2));
}

class EveryInterfaceDevices : public ::testing::TestWithParam<const char*> {};

TEST_P(EveryInterfaceDevices, StreamOnlyWhenTheHostConfiguredEveryInterface) {
    auto device = FindReadyMadeDevice(GetParam())->Make();
    TestHost host(*device);
    const AudioModel* model = device->Model();
    ASSERT_NE(model, nullptr) << "the driver parses these interfaces as audio";
    ASSERT_EQ(model->streaming.size(), 2u);
    bool framed = device->Settings().quirks.lengthHeaderFraming;
    auto packet = [&](uint64_t first) { return framed ? WrapLengthHeader(SixFrames(first)) : SixFrames(first); };

    ASSERT_TRUE(host.Configure(1, {0}));
    std::vector<uint8_t> every = device->ActiveLayout()->InterfaceNumbers();
    device->configured(1, std::span<const uint8_t>(every).first(every.size() - 1), 0);  // all but the last
    ASSERT_TRUE(host.SetInterface(1, 1));
    ASSERT_TRUE(host.SetInterface(2, 1));
    host.SendOut(0x01, 0, packet(0));
    EXPECT_TRUE(host.ReceiveIn(0x82, 0, 2048).empty());
    EXPECT_EQ(device->Render(1)->Events().Count(StreamEvent::Kind::NotStreaming), 1u);
    EXPECT_EQ(device->Capture(2)->Events().Count(StreamEvent::Kind::NotStreaming), 1u);
    EXPECT_FALSE(device->StreamAllowed(1, 0));

    device->configured(1, device->ActiveLayout()->InterfaceNumbers(), 1000000);  // now every interface
    for (uint64_t i = 8; i < 8 + 40; ++i) host.SendOut(0x01, i, packet((i - 8) * 6));
    host.ReceiveIn(0x82, 48, 2048);
    EXPECT_EQ(host.ReceiveIn(0x82, 49, 2048).size(), 6u * 8);
    device->settle(6000000);
    EXPECT_GT(device->Render(1)->Played().Count(), 0u);
    EXPECT_EQ(device->Render(1)->Played().Frame(0)[0], Marker(0, 0));
}

INSTANTIATE_TEST_SUITE_P(Devices, EveryInterfaceDevices,
                         ::testing::Values("framed-vendor-class", "vendor-class-extra-interface", "uac2-with-dfu",
                                           "uac2-with-hid"));

TEST(QuirkDevices, CarryTheIdsAndInterfaceClassesTheDriverKnowsThemBy) {
    struct Expected {
        const char* name;
        uint16_t vendor, product;
        uint8_t audioClass;
        uint8_t extraClass;  // of the interface after the audio ones; 0: none
    };
    const Expected expected[] = {
        {"framed-vendor-class", 0xF0E1, 0x0B40, 0xFF, 0},
        {"vendor-class-extra-interface", 0x0499, 0x1504, 0xFF, 0xFF},
        {"uac2-with-dfu", 0x20B1, 0x0002, 0x01, 0xFE},
        {"uac2-with-hid", 0x054C, 0x09D5, 0x01, 0x03},
        {"implicit-jitter", 0x0944, 0x020A, 0x01, 0},
    };
    for (const Expected& e : expected) {
        auto device = FindReadyMadeDevice(e.name)->Make();
        EXPECT_EQ(IdOf(*device, 8), e.vendor) << e.name;
        EXPECT_EQ(IdOf(*device, 10), e.product) << e.name;
        ConfigurationLayout layout = ReadConfigurationLayout(device->Descriptors().configurations[0]);
        for (const AltSettingLayout& alt : layout.altSettings) {
            if (alt.Number() <= 2) {
                EXPECT_EQ(alt.Class(), e.audioClass) << e.name << " interface " << int(alt.Number());
            } else {
                EXPECT_EQ(alt.Class(), e.extraClass) << e.name << " interface " << int(alt.Number());
            }
        }
        EXPECT_EQ(layout.InterfaceNumbers().size(), e.extraClass != 0 ? 4u : 3u) << e.name;
    }
}

TEST(QuirkDevices, LengthHeaderIsDecodedAndAMalformedOneIsAnError) {
    auto device = FindReadyMadeDevice("framed-vendor-class")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Start({1}));
    RenderStream* render = device->Render(1);
    uint64_t sent = 0;
    for (uint64_t i = 0; i < 20; ++i, sent += 6) host.SendOut(0x01, i, WrapLengthHeader(SixFrames(sent)));
    std::vector<uint8_t> lying = WrapLengthHeader(SixFrames(sent));
    lying[0] += 8;  // claims two frames more than it carries
    host.SendOut(0x01, 20, lying);
    host.SendOut(0x01, 21, std::vector<uint8_t>{0x30, 0});  // no whole header
    host.SendOut(0x01, 22, SixFrames(sent));                // no header at all
    std::vector<StreamEvent> errors = render->Events().Of(StreamEvent::Kind::MalformedPacket);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0].at.microframe, 4u);
    EXPECT_EQ(errors[0].count, 4u + 48) << "the packet's bytes";
    EXPECT_EQ(render->FifoFrames() + render->Played().Count(), sent) << "malformed packets are not played";
    device->settle(3000000);
    for (uint64_t i = 0; i < render->Played().Count(); ++i) {
        ASSERT_EQ(render->Played().Frame(i)[0], Marker(i, 0)) << "the header is not audio";
    }
}

TEST(QuirkDevices, JitteryImplicitFeedbackStaysWithinTwoFramesOfTheClock) {
    auto device = FindReadyMadeDevice("implicit-jitter")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Start({2}));
    device->SetClockOffsetPpm(120, 0);
    CaptureStream* capture = device->Capture(2);
    std::map<int, int> deviations;
    uint64_t received = 0;
    for (uint64_t i = 0; i < 80000; ++i) {
        uint64_t producedBefore = capture->FramesProduced();
        uint64_t frames = host.ReceiveIn(0x82, i, 2048).size() / 8;
        received += frames;
        if (i == 0) continue;
        int deviation = static_cast<int>(frames) - static_cast<int>(capture->FramesProduced() - producedBefore);
        ++deviations[deviation];
        ASSERT_LE(capture->FramesProduced() - received, 2u) << "never more than two frames held back";
    }
    EXPECT_EQ(deviations.begin()->first, -2);
    EXPECT_EQ(deviations.rbegin()->first, 2);
    EXPECT_GT(deviations[0], 0);
    EXPECT_GT(deviations[1] + deviations[-1], 10000) << "the sizes wander, not once in a while";
}

}  // namespace
}  // namespace simusb
