// Realising stream formats on simulated devices: which alternate setting a
// request gets, the packet sizes and transfer capacity that follow, the
// paced form's capture bounds, the format questions, the clock, and the
// vendor mode request.

#include <gtest/gtest.h>

#include "stream_test_support.h"

namespace {

using namespace streamtest;
using kerneltest::ClassLayerWorld;
using kerneltest::DescriptionOf;

constexpr USHORT kFloat = 3;
constexpr USHORT kALaw = 6;

std::unique_ptr<ClassLayerWorld> ReadyWorld(const char* name) {
    return WorldOf(DescriptionOf(name));
}

ULONG DeviceAlternate(ClassLayerWorld& world, uint8_t interfaceNumber) {
    ULONG alternate = 0;
    streamtest::WithDevice(world,
                           [&](simusb::AudioDevice& device) { alternate = device.AlternateSetting(interfaceNumber); });
    return alternate;
}

struct Capabilities {
    NTSTATUS status;
    ULONG maxChannels, minBits, maxBits, minRate, maxRate;
};

Capabilities CapabilitiesOf(CUSBAudioCL& layer, UCHAR direction) {
    Capabilities c{};
    c.status = layer.GetFormatCapabilities(direction, &c.maxChannels, &c.minBits, &c.maxBits, &c.minRate, &c.maxRate);
    return c;
}

// ---------------------------------------------------------------- alternate choice

TEST(AlternateChoice, AnExactMatchSelectsItsSettingOnTheDevice) {
    auto world = ReadyWorld("uac2-async-dac");  // 1: PCM 24 in 32, 2: PCM 16 in 16, 3: float 32
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    struct Case {
        USHORT tag;
        ULONG bits;
        ULONG alternate;
        ULONG containerBits;
    } cases[] = {{kPcm, 16, 2, 16}, {kFloat, 32, 3, 32}, {kPcm, 24, 1, 32}};
    for (const Case& c : cases) {
        auto s = SelectExplicit(layer, kRender, c.tag, 2, c.bits, 48000);
        ASSERT_EQ(s.status, STATUS_SUCCESS) << c.bits;
        EXPECT_EQ(s.channels, 2u);
        EXPECT_EQ(s.containerBits, c.containerBits);
        EXPECT_EQ(layer.GetCurrentAlternate(kRender), c.alternate);
        EXPECT_EQ(DeviceAlternate(*world, 1), c.alternate) << "the recorded setting is the device's";
        ASSERT_NE(layer.RenderStream()->dataPipe, nullptr);
    }
    EXPECT_EQ(SelectExplicit(layer, kRender, kALaw, 2, 8, 48000).status, STATUS_NOT_SUPPORTED);
    ASSERT_EQ(SelectExplicit(layer, kRender, kPcm, 0, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(DeviceAlternate(*world, 1), 0u);
    EXPECT_EQ(layer.RenderStream()->dataPipe, nullptr);
}

TEST(AlternateChoice, WithoutAnExactMatchTheWidestCandidateIsReported) {
    simusb::AudioDescription d = DescriptionOf("uac2-async-dac");
    d.terminals[0].channels = 4;
    d.streams[0].formats = {Pcm(2, 2, 16), Pcm(4, 4, 24), Pcm(4, 4, 32)};
    auto world = WorldOf(d);
    ASSERT_TRUE(world->HasLayer());
    ULONG channels = 0;
    ULONG bits = 0;
    // 2 channels at 24 bits: the 4-channel 32-bit containers win, the later one on a tie.
    ASSERT_EQ(world->Layer().FindFormat(kRender, kPcm, 2, 24, 48000, &channels, &bits), STATUS_SUCCESS);
    EXPECT_EQ(channels, 4u);
    EXPECT_EQ(bits, 32u);
    auto s = SelectExplicit(world->Layer(), kRender, kPcm, 2, 20, 48000);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(world->Layer().GetCurrentAlternate(kRender), 3u);
    EXPECT_EQ(world->Layer().RenderStream()->bytesPerFrame, 16u);
    // A rate the clock does not offer never reaches the alternates.
    EXPECT_EQ(world->Layer().FindFormat(kRender, kPcm, 2, 24, 32000, &channels, &bits), STATUS_NOT_SUPPORTED);
}

// Class 1.0 capture endpoint without the sampling frequency control, two
// settings of two rates each. The endpoint answers its rate reads with
// `reported`, one read after the other, and stalls after them.
const simusb::RequestMatch kGetEndpointRate{0xA2, 0x81, 0x0100, 0x82, {}};

std::shared_ptr<simusb::AudioDevice> ProbedCaptureDevice(std::initializer_list<uint32_t> reported) {
    simusb::AudioDescription d = DescriptionOf("uac1-duplex");
    d.streams[1].frequencyControl = false;
    d.streams[1].formats = {Pcm(2, 2, 16), Pcm(2, 2, 16)};
    auto device = std::shared_ptr<simusb::AudioDevice>(simusb::MakeAudioDevice(d));
    uint32_t occurrence = 0;
    for (uint32_t rate : reported) {
        std::vector<uint8_t> reply{static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8),
                                   static_cast<uint8_t>(rate >> 16)};
        device->Faults().Add(simusb::ReplaceReply(kGetEndpointRate, reply, ++occurrence));
    }
    return device;
}

// A setting is taken only while the device reports running at the rate.
TEST(AlternateChoice, ClassOneDiscreteRatesNeedTheEndpointToRunAtTheRate) {
    const simusb::RequestMatch getRate = kGetEndpointRate;
    auto device = ProbedCaptureDevice({44100, 48000});  // settings 1, then 2
    ClassLayerWorld world(device);
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    auto s = SelectExplicit(world.Layer(), kCapture, kPcm, 2, 16, 48000);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(world.Layer().GetCurrentAlternate(kCapture), 2u);
    EXPECT_EQ(DeviceAlternate(world, 2), 2u);
    EXPECT_EQ(device->Requests().Count(getRate), 2u);
    // A third probe is not answered: no setting is known to run at the rate.
    ASSERT_EQ(SelectExplicit(world.Layer(), kCapture, kPcm, 0, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(SelectExplicit(world.Layer(), kCapture, kPcm, 2, 16, 44100).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(DeviceAlternate(world, 2), 0u) << "every probe put the previous setting back";
    EXPECT_EQ(world.Layer().CaptureStream()->dataPipe, nullptr);
}

// A device on one fixed clock: its rate selects and fixes the device, any
// other is refused, and the clock is never sent a rate.
TEST(AlternateChoice, AFixedClockDeviceStreamsAtItsOwnRate) {
    auto world = ReadyWorld("uac2-fixed-clock");
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    EXPECT_EQ(SelectExplicit(layer, kRender, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
    EXPECT_EQ(layer.GetCurrentAlternate(kRender), 1u);
    EXPECT_EQ(SelectExplicit(layer, kRender, kPcm, 2, 24, 44100).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(layer.SetSampleRate(48000), STATUS_SUCCESS);
    EXPECT_EQ(layer.SetSampleRate(96000), STATUS_UNSUCCESSFUL);
    size_t sets = 0;
    streamtest::WithDevice(*world, [&](simusb::AudioDevice& device) {
        sets = device.Requests().Count(simusb::match::SetCur(9, simusb::uac::kClockFrequencyControl));
    });
    EXPECT_EQ(sets, 0u);
}

// The engine asks for formats while a direction streams: the probe must not
// switch a stream that has a format away from its setting and back.
TEST(AlternateChoice, ClassOneRateProbeLeavesAStreamWithAFormatOnItsSetting) {
    auto device = ProbedCaptureDevice({44100, 48000, 48000});  // settings 1, 2, then 2 again
    ClassLayerWorld world(device);
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    ASSERT_EQ(SelectExplicit(world.Layer(), kCapture, kPcm, 2, 16, 48000).status, STATUS_SUCCESS);
    ASSERT_EQ(world.Layer().GetCurrentAlternate(kCapture), 2u);
    const size_t switches = device->Requests().Count(simusb::match::SetInterface(2));
    const PUSBD_PIPE_INFORMATION pipe = world.Layer().CaptureStream()->dataPipe;
    ULONG channels = 0;
    ULONG bits = 0;
    EXPECT_EQ(world.Layer().FindFormat(kCapture, kPcm, 2, 16, 48000, &channels, &bits), STATUS_SUCCESS)
        << "the current setting's endpoint reports the rate";
    EXPECT_EQ(world.Layer().FindFormat(kCapture, kPcm, 2, 16, 44100, &channels, &bits), STATUS_NOT_SUPPORTED)
        << "setting 1 is not known to run at 44.1 kHz without selecting it";
    EXPECT_EQ(device->Requests().Count(simusb::match::SetInterface(2)), switches);
    EXPECT_EQ(DeviceAlternate(world, 2), 2u);
    EXPECT_EQ(world.Layer().CaptureStream()->dataPipe, pipe);
}

TEST(AlternateChoice, ClassOneContinuousRangeAndEndpointRate) {
    auto world = ReadyWorld("uac1-async-dac");  // 32 to 96 kHz, sampling frequency control
    ASSERT_TRUE(world->HasLayer());
    ULONG channels = 0;
    ULONG bits = 0;
    EXPECT_EQ(world->Layer().FindFormat(kRender, kPcm, 2, 24, 96001, &channels, &bits), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(SelectExplicit(world->Layer(), kRender, kPcm, 2, 24, 88200).status, STATUS_SUCCESS);
    uint32_t rate = 0;
    streamtest::WithDevice(*world, [&](simusb::AudioDevice& device) { rate = device.Uac1()->Rate(0x01); });
    EXPECT_EQ(rate, 88200u) << "the data endpoint was told its rate";
}

// ---------------------------------------------------------------- packet sizes

struct Sizes {
    ULONG frame, nominal, minimum, maximum;
    bool differs;
};

void ExpectSizes(const USB_AS_INTERFACE* stream, const Sizes& want) {
    EXPECT_EQ(stream->bytesPerFrame, want.frame);
    EXPECT_EQ(stream->nominalPacketBytes, want.nominal);
    EXPECT_EQ(stream->minimumPacketBytes, want.minimum);
    EXPECT_EQ(stream->maximumPacketBytes, want.maximum);
    EXPECT_EQ(stream->minimumDiffers != 0, want.differs);
}

struct SizeCase {
    const char* device;
    uint8_t interval;  // of the data endpoint; 0: as the device has it
    UCHAR direction;
    bool paced;
    ULONG rate;
    ULONG ms;
    Sizes sizes;
    ULONG packetsPerMs;     // the transfer capacity, in packets of the endpoint
    ULONG feedbackNominal;  // 16.16 samples per bus unit
    ULONG serviceInterval;
    LONG below, above;  // paced form: frames per transfer
};

constexpr ULONG kSixSamples = 6u << 16;

const SizeCase kSizeCases[] = {
    {"uac2-async-dac", 0, kRender, false, 48000, 8, {8, 48, 40, 56, true}, 8, kSixSamples, 1, 0, 0},
    {"uac2-async-dac", 0, kRender, false, 44100, 1, {8, 40, 40, 48, false}, 8, 44100u * 65536 / 8000, 1, 0, 0},
    // A packet every two microframes carries 24 samples; the device still reports per microframe.
    {"uac2-async-dac", 2, kRender, false, 96000, 2, {8, 192, 184, 200, true}, 4, 2 * kSixSamples, 2, 0, 0},
    {"uac1-async-dac", 0, kRender, false, 44100, 4, {6, 264, 264, 270, false}, 1, 44100u * 65536 / 1000, 1, 0, 0},
    {"uac2-implicit-duplex", 0, kCapture, true, 48000, 1, {8, 48, 40, 56, true}, 8, 0, 1, -8, 8},
    // The packet-margin device: a frame more each way.
    {"implicit-jitter", 0, kCapture, true, 48000, 1, {8, 48, 32, 64, true}, 8, 0, 1, -16, 16},
};

TEST(PacketSizes, FollowFromTheFormatTheSpeedAndTheServiceInterval) {
    for (const SizeCase& c : kSizeCases) {
        SCOPED_TRACE(testing::Message() << c.device << " at " << c.rate);
        simusb::AudioDescription d = DescriptionOf(c.device);
        if (c.interval != 0) d.streams[0].interval = c.interval;
        auto world = WorldOf(d);
        ASSERT_TRUE(world->HasLayer());
        CUSBAudioCL& layer = world->Layer();
        streamtest::PacedSelection s;
        if (c.paced) {
            s = SelectPaced(layer, c.direction, kPcm, 2, 24, c.rate, c.ms);
            EXPECT_EQ(s.nominalBytesPerTransfer, c.ms * 8 * c.sizes.nominal);
            EXPECT_EQ(s.framesBelow, c.below);
            EXPECT_EQ(s.framesAbove, c.above);
        } else {
            s = PacedSelection{SelectExplicit(layer, c.direction, kPcm, 2, 24, c.rate, c.ms)};
        }
        ASSERT_EQ(s.status, STATUS_SUCCESS);
        const USB_AS_INTERFACE* stream = layer.Stream(c.direction);
        ExpectSizes(stream, c.sizes);
        EXPECT_EQ(s.maxBytesPerTransfer, c.ms * c.packetsPerMs * stream->dataPipe->MaximumPacketSize);
        EXPECT_EQ(layer.GetFeedbackNominal(c.direction), c.feedbackNominal);
        if (c.direction == kRender) {
            EXPECT_EQ(layer.RenderServiceInterval(), c.serviceInterval);
            EXPECT_EQ(stream->pendingFeedback, c.feedbackNominal) << "render starts from the nominal value";
        }
    }
}

TEST(PacketSizes, ARenderRateOutsideTheScheduleIsRefusedBeforeTheDeviceHearsOfIt) {
    auto world = ReadyWorld("q7-0b31");
    ASSERT_TRUE(world->HasLayer());
    size_t before = world->Device().Requests().Entries().size();
    EXPECT_EQ(SelectExplicit(world->Layer(), kRender, kPcm, 2, 24, 12345).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(world->Device().Requests().Entries().size(), before);
}

// A refused render selection leaves the running format whole, its feedback
// history too: the schedule check and the clock both refuse before it is cleared.
TEST(PacketSizes, ARefusedRenderSelectionKeepsTheFeedbackOfTheCurrentFormat) {
    auto world = ReadyWorld("uac2-async-dac");
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    ASSERT_EQ(SelectExplicit(layer, kRender, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
    const ULONG reading = kSixSamples + 0x80;
    layer.StorePendingFeedback(reading);
    ASSERT_EQ(layer.ApplyPendingFeedback(), reading);
    EXPECT_EQ(SelectExplicit(layer, kRender, kPcm, 2, 24, 12345).status, STATUS_NOT_SUPPORTED) << "no schedule row";
    EXPECT_EQ(SelectExplicit(layer, kRender, kPcm, 2, 24, 32000).status, STATUS_NOT_SUPPORTED) << "not a clock rate";
    EXPECT_EQ(layer.RenderStream()->appliedFeedback, reading);
    EXPECT_EQ(layer.RenderStream()->pendingFeedback, reading);
    ASSERT_EQ(SelectExplicit(layer, kRender, kPcm, 2, 24, 96000).status, STATUS_SUCCESS);
    EXPECT_EQ(layer.RenderStream()->appliedFeedback, 0u) << "a new format starts without the old history";
}

// Closing in the paced form: there is nothing to count frames in, so asking
// for them is refused, but the setting is still 0.
TEST(PacketSizes, ClosingInThePacedFormLeavesNoPackets) {
    auto world = ReadyWorld("uac2-implicit-duplex");
    ASSERT_TRUE(world->HasLayer());
    ASSERT_EQ(SelectPaced(world->Layer(), kCapture, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
    auto s = SelectPaced(world->Layer(), kCapture, kPcm, 0, 0, 0);
    EXPECT_EQ(s.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(s.nominalBytesPerTransfer, 0u);
    EXPECT_EQ(DeviceAlternate(*world, 2), 0u);
    ExpectSizes(world->Layer().CaptureStream(), {0, 0, 0, 0, false});
}

// ---------------------------------------------------------------- format questions

TEST(FormatQuestions, BestFormatCapabilitiesAndRates) {
    auto world = ReadyWorld("q7-0b31");
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    ULONG channels = 0;
    ULONG bits = 0;
    ASSERT_EQ(layer.GetBestFormat(kCapture, kPcm, 192000, &channels, &bits), STATUS_SUCCESS);
    EXPECT_EQ(channels, 4u);
    EXPECT_EQ(bits, 32u);
    EXPECT_EQ(layer.GetBestFormat(kRender, kFloat, 48000, &channels, &bits), STATUS_NO_MATCH);
    EXPECT_EQ(layer.GetBestFormat(kRender, kPcm, 1000000, &channels, &bits), STATUS_NO_MATCH);
    EXPECT_EQ(layer.GetBestFormat(kRender, kALaw, 48000, &channels, &bits), STATUS_NOT_SUPPORTED);
    Capabilities c = CapabilitiesOf(layer, kCapture);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.maxChannels, 4u);
    EXPECT_EQ(c.minBits, 32u);
    EXPECT_EQ(c.maxBits, 32u);
    EXPECT_EQ(c.minRate, 32000u);
    EXPECT_EQ(c.maxRate, 768000u);
    EXPECT_EQ(layer.IsRateSupported(705600), STATUS_SUCCESS);
    EXPECT_EQ(layer.IsRateSupported(12345), STATUS_INVALID_PARAMETER);
}

TEST(FormatQuestions, ThePlaybackOnlyDacHasNoCaptureFormat) {
    auto dac = ReadyWorld("uac2-async-dac");
    ASSERT_TRUE(dac->HasLayer());
    ULONG channels = 0;
    ULONG bits = 0;
    EXPECT_EQ(dac->Layer().GetBestFormat(kCapture, kPcm, 48000, &channels, &bits), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(dac->Layer().GetBestFormat(kRender, kPcm, 48000, &channels, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, 32u) << "the largest containers offering PCM";
    EXPECT_EQ(dac->Layer().IsRateSupported(44100), STATUS_SUCCESS) << "asked of the render stream";
}

TEST(FormatQuestions, ClassOneRatesComeFromTheFormatDescriptors) {
    auto world = ReadyWorld("uac1-duplex");  // 44100 and 48000
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    Capabilities c = CapabilitiesOf(layer, kRender);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.minRate, 44100u);
    EXPECT_EQ(c.maxRate, 48000u);
    EXPECT_EQ(c.minBits, 16u);
    ULONG low = 40000, high = 46000;
    ASSERT_EQ(layer.NarrowRateRange(kCapture, &low, &high), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 44100u);
    low = 50000, high = 60000;  // no rate at or above 50000
    ASSERT_EQ(layer.NarrowRateRange(kCapture, &low, &high), STATUS_SUCCESS);
    EXPECT_EQ(low, 60000u);
    EXPECT_EQ(high, 48000u);
    EXPECT_EQ(layer.IsRateSupported(44100), STATUS_SUCCESS);
    EXPECT_EQ(layer.IsRateSupported(32000), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(layer.IsClockStable(kCapture));
    EXPECT_EQ(layer.SetSampleRate(48000), STATUS_UNSUCCESSFUL) << "class 1.0 cannot be fixed without a format";
    EXPECT_EQ(layer.ForcedSampleRate(), 48000u);
}

struct Narrowed {
    NTSTATUS status;
    ULONG low, high;
};

Narrowed Narrow(CUSBAudioCL& layer, UCHAR direction, ULONG low, ULONG high) {
    Narrowed n{STATUS_PENDING, low, high};
    n.status = layer.NarrowRateRange(direction, &n.low, &n.high);
    return n;
}

void ExpectNarrowed(const Narrowed& n, ULONG low, ULONG high) {
    EXPECT_EQ(n.status, STATUS_SUCCESS);
    EXPECT_EQ(n.low, low);
    EXPECT_EQ(n.high, high);
}

// The WaveRT data ranges take the narrowed maximum as the stream rate, so a
// continuous range must answer the rates inside the limits, not its bounds.
TEST(FormatQuestions, ContinuousRangesNarrowToTheRatesWithinTheLimits) {
    {
        auto uac1 = ReadyWorld("uac1-async-dac");  // continuous 32 to 96 kHz
        ASSERT_TRUE(uac1->HasLayer());
        ExpectNarrowed(Narrow(uac1->Layer(), kRender, 48000, 48000), 48000, 48000);
        ExpectNarrowed(Narrow(uac1->Layer(), kRender, 8000, 48000), 32000, 48000);
        ExpectNarrowed(Narrow(uac1->Layer(), kRender, 0, 0xFFFFFFFF), 32000, 96000);
        // Nothing at or above 100 kHz: the minimum comes back as the given maximum.
        ExpectNarrowed(Narrow(uac1->Layer(), kRender, 100000, 200000), 200000, 96000);
        EXPECT_EQ(Narrow(uac1->Layer(), kCapture, 48000, 48000).status, STATUS_INVALID_PARAMETER) << "no capture";
    }
    {
        simusb::AudioDescription d = DescriptionOf("uac2-async-dac");
        d.clocks[0].rates = {simusb::RateRange{32000, 192000, 4000}};
        auto uac2 = WorldOf(d);
        ASSERT_TRUE(uac2->HasLayer());
        ExpectNarrowed(Narrow(uac2->Layer(), kRender, 48000, 48000), 48000, 48000);
        // On the range's 4 kHz grid.
        ExpectNarrowed(Narrow(uac2->Layer(), kRender, 50000, 61000), 52000, 60000);
        ExpectNarrowed(Narrow(uac2->Layer(), kRender, 0, 0xFFFFFFFF), 32000, 192000);
        // No grid rate inside: the limits cross.
        ExpectNarrowed(Narrow(uac2->Layer(), kRender, 49000, 51000), 52000, 48000);
        EXPECT_EQ(Narrow(uac2->Layer(), 1, 48000, 48000).status, STATUS_INVALID_PARAMETER) << "capture flag";
    }
    {
        auto selector = ReadyWorld("uac2-clock-selector");  // the 44.1 and the 48 kHz family on two clocks
        ASSERT_TRUE(selector->HasLayer());
        ExpectNarrowed(Narrow(selector->Layer(), kRender, 45000, 100000), 48000, 96000);
    }
}

TEST(FormatQuestions, SetSampleRateProgramsTheClockWhichSettlesBeforeItIsStable) {
    auto world = ReadyWorld("q7-0b31");  // 50 ms settle time
    ASSERT_TRUE(world->HasLayer());
    ASSERT_EQ(world->Layer().SetSampleRate(96000), STATUS_SUCCESS);
    EXPECT_EQ(world->Layer().ForcedSampleRate(), 96000u);
    EXPECT_FALSE(world->Layer().IsClockStable(kRender));
    LARGE_INTEGER delay;
    delay.QuadPart = -60 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_TRUE(world->Layer().IsClockStable(kRender));
    ULONG channels = 0, bits = 0;
    EXPECT_EQ(world->Layer().SetSampleRate(12345), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(world->Layer().GetBestFormat(kRender, kPcm, 96000, &channels, &bits), STATUS_SUCCESS);
}

// ---------------------------------------------------------------- vendor mode

TEST(VendorMode, EveryStreamingInterfaceIsToldAndRemembersIt) {
    auto world = ReadyWorld("q7-0b31");  // modes 0 and 1
    ASSERT_TRUE(world->HasLayer());
    CUSBAudioCL& layer = world->Layer();
    ASSERT_EQ(layer.SetVendorMode(1), STATUS_SUCCESS);
    EXPECT_EQ(layer.GetVendorMode(), 1u);
    EXPECT_EQ(world->Device().VendorMode(1), std::optional<uint16_t>(1));
    EXPECT_EQ(world->Device().VendorMode(2), std::optional<uint16_t>(1));
    size_t sent = world->Device().Requests().Count(simusb::match::VendorMode(2));
    ASSERT_EQ(layer.RestoreVendorMode(), STATUS_SUCCESS);
    const simusb::LoggedRequest* last = world->Device().Requests().Last(simusb::match::VendorMode(2));
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(world->Device().Requests().Count(simusb::match::VendorMode(2)), sent + 1);
    EXPECT_EQ(last->setup.wValue, 1u);
    EXPECT_FALSE(NT_SUCCESS(layer.SetVendorMode(7))) << "a mode the device refuses";
    EXPECT_EQ(layer.GetVendorMode(), 1u);
}

TEST(VendorMode, AFailureStopsTheWalkAndOnlyAcceptedModesAreRemembered) {
    auto world = ReadyWorld("q7-0b31");
    ASSERT_TRUE(world->HasLayer());
    world->Device().Faults().Add(simusb::StallRequest(simusb::match::VendorMode(2)));
    CUSBAudioCL& layer = world->Layer();
    EXPECT_FALSE(NT_SUCCESS(layer.SetVendorMode(1)));
    EXPECT_EQ(layer.StreamingInterfaces()->vendorMode, 1u);
    EXPECT_EQ(layer.StreamingInterfaces()->next->vendorMode, 0u);
}

TEST(VendorMode, ADeviceWithoutTheRequestRefusesIt) {
    auto dac = ReadyWorld("uac2-async-dac");
    ASSERT_TRUE(dac->HasLayer());
    EXPECT_FALSE(NT_SUCCESS(dac->Layer().SetVendorMode(0)));
    EXPECT_EQ(dac->Layer().GetVendorMode(), 0u);
}

// ---------------------------------------------------------------- hostile descriptors and replies

TEST(HostileFormats, ASettingWhoseSubslotsHoldNothingIsNeverSelected) {
    simusb::AudioDescription d = DescriptionOf("uac2-async-dac");
    d.streams[0].formats = {Pcm(2, 0, 24)};
    auto world = WorldOf(d);
    ASSERT_TRUE(world->HasLayer());
    size_t before = world->Device().Requests().Count(simusb::match::SetInterface(1));
    EXPECT_EQ(SelectExplicit(world->Layer(), kRender, kPcm, 2, 24, 48000).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SelectPaced(world->Layer(), kRender, kPcm, 2, 24, 48000).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(world->Device().Requests().Count(simusb::match::SetInterface(1)), before);
    EXPECT_EQ(world->Layer().GetRenderTransferBytes(8, 0x60000), 0u);
}

TEST(HostileFormats, AClockRangeWithoutSubrangesOffersNothing) {
    auto device = std::shared_ptr<simusb::AudioDevice>(simusb::MakeAudioDevice(DescriptionOf("q7-0b31")));
    device->Faults().Add(simusb::ReplaceReply(simusb::match::GetRange(41, 1), {0, 0}));
    ClassLayerWorld world(device);
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    ULONG channels = 0, bits = 0;
    EXPECT_EQ(world.Layer().GetBestFormat(kRender, kPcm, 48000, &channels, &bits), STATUS_NO_MATCH);
    EXPECT_EQ(world.Layer().IsRateSupported(48000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SelectExplicit(world.Layer(), kRender, kPcm, 2, 24, 48000).status, STATUS_NOT_SUPPORTED);
    Capabilities c = CapabilitiesOf(world.Layer(), kRender);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.minRate, 0u);
    EXPECT_EQ(c.maxRate, 0u);
    EXPECT_EQ(c.maxChannels, 2u) << "the formats are still known";
}

}  // namespace
