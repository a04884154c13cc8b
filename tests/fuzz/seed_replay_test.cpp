// The fuzz targets' inputs run as the targets run them: every seed and every
// input a fuzzer once crashed on (regressions/<target>/), so that the
// ordinary test run keeps them passing.

#include <gtest/gtest.h>

#include <ntddk.h>

#include "asio_channel.h"
#include "asio_channel_session.h"
#include "class_layer_input.h"
#include "class_layer_start.h"
#include "kmsim/client.h"
#include "seed_corpus.h"
#include "simusb/descriptor_file.h"
#include "simusb/ready_made_devices.h"

namespace {

using vq7fuzz::SeedInput;

const std::string kRegressions = VQ7_FUZZ_REGRESSIONS;

TEST(ClassLayerInput, AnExportedDeviceDecodesToTheDescriptorsItWasMadeFrom) {
    for (const simusb::ReadyMadeDevice& ready : simusb::ReadyMadeDevices()) {
        const simusb::DescriptorFile file = simusb::ParseDescriptorFile(simusb::WriteDescriptorFile(*ready.Make()));
        const std::vector<uint8_t> bytes = vq7fuzz::EncodeClassLayerInput(file);
        const vq7fuzz::ClassLayerInput input = vq7fuzz::DecodeClassLayerInput(bytes.data(), bytes.size());
        EXPECT_EQ(input.file.descriptors.device, file.descriptors.device) << ready.name;
        ASSERT_FALSE(input.file.descriptors.configurations.empty()) << ready.name;
        EXPECT_EQ(input.file.descriptors.configurations.front(), file.descriptors.configurations.front()) << ready.name;
        EXPECT_EQ(input.file.descriptors.strings, file.descriptors.strings) << ready.name;
        EXPECT_EQ(input.file.descriptors.speed, file.descriptors.speed) << ready.name;
        EXPECT_EQ(input.file.quirks, file.quirks) << ready.name;
        EXPECT_TRUE(input.replyScript.empty()) << ready.name;
    }
}

TEST(ClassLayerInput, AShortInputDecodesWithZerosAndAnyInputDecodes) {
    const uint8_t flagsOnly[] = {0x05};
    vq7fuzz::ClassLayerInput input = vq7fuzz::DecodeClassLayerInput(flagsOnly, sizeof(flagsOnly));
    EXPECT_EQ(input.file.descriptors.speed, simusb::Speed::Full);
    EXPECT_TRUE(input.startOnly);
    EXPECT_EQ(input.file.descriptors.device, std::vector<uint8_t>(18, 0));
    EXPECT_TRUE(input.file.descriptors.configurations.empty());
    // A string at index 0 (the language list) or given twice is dropped, as a file may not give it.
    std::vector<uint8_t> strings(1 + 18 + 2, 0);
    strings.insert(strings.end(), {3, 0, 0x09, 0x04, 1, 'a', 0, 1, 0x09, 0x04, 1, 'b', 0, 1, 0x09, 0x04, 0});
    input = vq7fuzz::DecodeClassLayerInput(strings.data(), strings.size());
    ASSERT_EQ(input.file.descriptors.strings.size(), 1u);
    EXPECT_EQ(input.file.descriptors.strings[0].text, u"b");
}

TEST(ClassLayerInput, TheReplyScriptStallsReplacesAndCutsRepliesInTurn) {
    vq7fuzz::ReplyScript script({0, 1, 2, 2, 0xAB, 0xCD, 3, 1});
    const simusb::Setup setup = {0xA1, 1, 0x0100, 0x0100, 4};
    std::vector<simusb::ControlReply> replies(5, simusb::ControlReply{false, {1, 2, 3, 4}});
    for (simusb::ControlReply& reply : replies) script.Apply(setup, reply);
    EXPECT_FALSE(replies[0].stall);
    EXPECT_EQ(replies[0].data, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_TRUE(replies[1].stall);
    EXPECT_EQ(replies[2].data, (std::vector<uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(replies[3].data, (std::vector<uint8_t>{1}));
    EXPECT_EQ(replies[4].data, (std::vector<uint8_t>{1, 2, 3, 4})) << "past its end the device answers itself";
}

TEST(ClassLayerFuzzSeeds, ReadyMadeDevicesAndRegressionsRunWithoutLeaks) {
    vq7fuzz::ClassLayerStartWorld world;
    const std::vector<SeedInput> seeds = vq7fuzz::ClassLayerSeedsFromReadyMadeDevices();
    for (const SeedInput& seed : seeds) {
        EXPECT_TRUE(world.Run(seed.bytes.data(), seed.bytes.size())) << seed.name;
    }
    EXPECT_GT(world.Started(), seeds.size() / 2) << "most ready-made devices start";
    for (const SeedInput& input : vq7fuzz::ReadSeeds(kRegressions + "/class-layer")) {
        SCOPED_TRACE(input.name);
        world.Run(input.bytes.data(), input.bytes.size());
    }
}

// The channel still answers a new client: the world an input leaves behind.
void ExpectChannelAnswers(vq7fuzz::AsioChannelWorld& world) {
    kmsim::Client process("checker");
    HANDLE handle = nullptr;
    ASSERT_EQ(process.Open(world.ChannelPath(), &handle), STATUS_SUCCESS);
    ULONG rate = 0;
    ULONG transferred = 0;
    EXPECT_EQ(process.DeviceIoControl(handle, IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, &rate, sizeof(rate), &transferred),
              STATUS_SUCCESS);
    EXPECT_EQ(transferred, sizeof(rate));
    EXPECT_EQ(process.Close(handle), STATUS_SUCCESS);
}

TEST(AsioChannelFuzzSeeds, SessionsAndRegressionsLeaveTheChannelAsTheyFoundIt) {
    vq7fuzz::AsioChannelWorld world;
    std::vector<SeedInput> inputs = vq7fuzz::AsioChannelSeeds();
    ASSERT_GE(inputs.size(), 5u);
    for (SeedInput& regression : vq7fuzz::ReadSeeds(kRegressions + "/asio-channel")) {
        inputs.push_back(std::move(regression));
    }
    for (const SeedInput& input : inputs) {
        SCOPED_TRACE(input.name);
        vq7fuzz::RunAsioChannelInput(world, input.bytes.data(), input.bytes.size());
        EXPECT_FALSE(world.Unplugged());
        ExpectChannelAnswers(world);
    }
}

TEST(AsioChannelFuzzSeeds, EveryTruncationOfASessionRuns) {
    vq7fuzz::AsioChannelWorld world;
    const std::vector<uint8_t> session = vq7fuzz::AsioChannelSeeds().at(1).bytes;
    for (size_t length = 0; length <= session.size(); length += 3) {
        vq7fuzz::RunAsioChannelInput(world, session.data(), length);
    }
    ExpectChannelAnswers(world);
}

}  // namespace
