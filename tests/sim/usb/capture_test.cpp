// Capture streams: packet sizes that carry the device clock, the test
// signal, WAV sources, loopback with an exact delay, overflow.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <bit>
#include <filesystem>
#include <map>

#include "simusb/capture_sources.h"
#include "simusb/clock_model.h"
#include "simusb/loopback_tap.h"
#include "simusb/descriptor_builder.h"
#include "simusb/ready_made_devices.h"
#include "simusb/audio_file.h"
#include "test_host.h"

namespace simusb {
namespace {

using testing::Marker;
using testing::PackFrames;
using testing::TestHost;
using testing::UnpackFrames;

constexpr SampleFormat kStereo24In32{2, 4, 24, false};
constexpr SampleFormat kQuad24In32{4, 4, 24, false};

// The frames a clock at `rate` and `offset_ppm` completes in `t_ns` from its start.
uint64_t ExpectedFrames(int64_t t_ns, uint32_t rate, int64_t offset_ppm) {
    unsigned __int128 product = static_cast<unsigned __int128>(t_ns) * rate * static_cast<uint64_t>(1000000 + offset_ppm);
    return static_cast<uint64_t>(product / 1000000000000000ull);
}

struct ImplicitCase {
    Speed speed;
    uint32_t rate;
    int64_t offset_ppm;
    uint64_t packets;
};

class ImplicitFeedbackSizes : public ::testing::TestWithParam<ImplicitCase> {};

TEST_P(ImplicitFeedbackSizes, PacketSizesAddUpToTheDeviceClockExactly) {
    const ImplicitCase c = GetParam();
    AudioDescription d = FindReadyMadeDevice("uac2-implicit-duplex")->describe();
    if (c.speed == Speed::Full) d = testing::AtFullSpeed(d);
    auto device = MakeAudioDevice(d);
    TestHost host(*device);
    ASSERT_TRUE(host.Configure());
    device->SetClockOffsetPpm(c.offset_ppm, 0);
    ASSERT_TRUE(host.SetRate(2, c.rate));
    ASSERT_TRUE(host.SetInterface(2, 1));
    const uint64_t first = 3;  // sampling begins at this first poll
    uint64_t received = 0;
    uint64_t periods = c.speed == Speed::High ? 8000 : 1000;
    uint64_t shortest = c.rate * static_cast<uint64_t>(1000000 + c.offset_ppm) / (1000000 * periods);
    std::map<uint64_t, uint64_t> sizes;
    for (uint64_t i = first; i < first + c.packets; ++i) {
        std::vector<uint8_t> packet = host.ReceiveIn(0x81, i, 1024);
        ASSERT_EQ(packet.size() % kStereo24In32.FrameBytes(), 0u);
        std::vector<int32_t> samples = UnpackFrames(kStereo24In32, packet);
        for (size_t s = 0; s < samples.size(); ++s) {
            uint64_t frame = received + s / 2;
            ASSERT_EQ(samples[s], TestSignalSample(kStereo24In32, frame, static_cast<uint8_t>(s % 2)))
                << "packet " << i << ": no frame is dropped or repeated";
        }
        received += samples.size() / 2;
        ++sizes[samples.size() / 2];
        int64_t elapsed = host.At(i).time_ns;
        ASSERT_EQ(received, ExpectedFrames(elapsed, c.rate, c.offset_ppm) - ExpectedFrames(host.At(first).time_ns, c.rate, c.offset_ppm))
            << "after packet " << i;
    }
    sizes.erase(0);  // the first poll
    for (const auto& [frames, count] : sizes) {
        EXPECT_TRUE(frames == shortest || frames == shortest + 1) << frames << "-frame packets: " << count;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, ImplicitFeedbackSizes,
    ::testing::Values(ImplicitCase{Speed::Full, 48000, 250, 10000},    // 48 with a 49 every 83 ms
                      ImplicitCase{Speed::High, 44100, 250, 480000},   // 5 or 6, for a minute
                      ImplicitCase{Speed::High, 96000, -37, 80000}));  // 12 with the odd 11

TEST(Capture, FastClockGivesTheOccasional49FramePacket) {
    auto device = MakeAudioDevice(testing::AtFullSpeed(FindReadyMadeDevice("uac2-implicit-duplex")->describe()));
    TestHost host(*device);
    ASSERT_TRUE(host.Configure());
    device->SetClockOffsetPpm(250, 0);
    ASSERT_TRUE(host.SetInterface(2, 1));
    size_t long_packets = 0;
    for (uint64_t i = 0; i <= 10000; ++i) long_packets += host.ReceiveIn(0x81, i, 1024).size() == 49 * 8 ? 1 : 0;
    EXPECT_EQ(long_packets, 120u) << "10 s at 48012 Hz is 480120 frames";
}

TEST(Capture, ALookAheadOfTheBusKeepsLaterFramesForLaterPackets) {
    auto device = FindReadyMadeDevice("q7-0b31")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Start({2}));
    for (uint64_t i = 0; i < 8; ++i) host.ReceiveIn(0x82, i, 2048);
    // Someone looks at the device 3 microframes ahead of the host's schedule.
    device->settle(host.At(11).time_ns);
    uint64_t received = 0;
    for (uint64_t i = 8; i < 16; ++i) {
        const size_t frames = host.ReceiveIn(0x82, i, 2048).size() / kQuad24In32.FrameBytes();
        EXPECT_EQ(frames, 6u) << "microframe " << i << " carries its own 6 frames at 48 kHz";
        received += frames;
    }
    EXPECT_EQ(received, 48u);
    EXPECT_TRUE(device->Capture(2)->Events().Overruns().empty());
}

TEST(Capture, HostThatStopsPollingLosesTheOldestFrames) {
    auto device = FindReadyMadeDevice("q7-0b31")->Make();
    TestHost host(*device);
    ASSERT_TRUE(host.Start({2}));
    CaptureStream* capture = device->Capture(2);
    for (uint64_t i = 0; i < 8; ++i) host.ReceiveIn(0x82, i, 2048);
    ASSERT_EQ(capture->FramesProduced(), 42u);  // 7 microframes of 6 frames after the first poll
    std::vector<uint8_t> late = host.ReceiveIn(0x82, 8 + 80, 2048);  // 10 ms later
    std::vector<StreamEvent> overflows = capture->Events().Of(StreamEvent::Kind::CaptureOverflow);
    ASSERT_EQ(overflows.size(), 1u);
    EXPECT_EQ(overflows[0].count, 486u - 194) << "the FIFO keeps its 194 latest frames";
    EXPECT_EQ(overflows[0].at.frame, 11u);
    std::vector<int32_t> samples = UnpackFrames(kQuad24In32, late);
    ASSERT_EQ(samples.size(), 97u * 4) << "a full packet";
    EXPECT_EQ(samples[0], TestSignalSample(kQuad24In32, 42 + 292, 0)) << "the counter jumps over what was lost";
}

TEST(Capture, PlaysAWavFileIntoTheStreamFormat) {
    std::filesystem::path path = std::filesystem::temp_directory_path() / "simusb_capture_test.wav";
    AudioClip audio;
    audio.format = SampleFormat{2, 2, 16, false};
    for (int i = 0; i < 10; ++i) {
        audio.samples.push_back(static_cast<int32_t>(i * 1000 - 5000));
        audio.samples.push_back(static_cast<int32_t>(-i * 7));
    }
    WriteWavFile(path, audio);
    AudioDescription d = FindReadyMadeDevice("q7-0b31")->describe();
    d.streams[1].capture.kind = CaptureKind::WavFile;
    d.streams[1].capture.wavFile = path;
    auto device = MakeAudioDevice(d);
    TestHost host(*device);
    ASSERT_TRUE(host.Start({2}));
    std::vector<int32_t> samples;
    for (uint64_t i = 0; i < 5; ++i) {
        std::vector<int32_t> packet = UnpackFrames(kQuad24In32, host.ReceiveIn(0x82, i, 2048));
        samples.insert(samples.end(), packet.begin(), packet.end());
    }
    ASSERT_EQ(samples.size(), 24u * 4);
    for (size_t frame = 0; frame < 24; ++frame) {
        size_t source = frame % 10;  // the file loops
        EXPECT_EQ(samples[frame * 4 + 0], audio.samples[source * 2] * 65536) << "frame " << frame;
        EXPECT_EQ(samples[frame * 4 + 1], audio.samples[source * 2 + 1] * 65536) << "frame " << frame;
        EXPECT_EQ(samples[frame * 4 + 2], 0) << "the file has two channels";
        EXPECT_EQ(samples[frame * 4 + 3], 0);
    }
    std::filesystem::remove(path);
}

TEST(Capture, ReadsFloatAndMultichannelWavFiles) {
    std::filesystem::path path = std::filesystem::temp_directory_path() / "simusb_float_test.wav";
    AudioClip audio;
    audio.format = SampleFormat{3, 4, 32, true};
    audio.rate = 96000;
    for (float value : {0.5f, -0.25f, 1.0f, -1.0f, 0.0f, 0.125f}) audio.samples.push_back(std::bit_cast<int32_t>(value));
    WriteWavFile(path, audio);
    AudioClip read = ReadAudioFile(path);
    EXPECT_EQ(read.format, audio.format);
    EXPECT_EQ(read.rate, 96000u);
    EXPECT_EQ(read.samples, audio.samples);
    EXPECT_EQ(ConvertSample(read.samples[0], read.format, kStereo24In32), 0x40000000);
    EXPECT_EQ(ConvertSample(read.samples[2], read.format, kStereo24In32), 0x7FFFFF00) << "full scale, clipped, low byte clear";
    EXPECT_EQ(ConvertSample(read.samples[3], read.format, kStereo24In32), INT32_MIN);
    std::filesystem::remove(path);
    EXPECT_THROW(ReadAudioFile(path), std::runtime_error);
}

TEST(Capture, ReadsAudioFilesThatAreNotWavAndRefusesWhatIsNoAudio) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "simusb_capture_test.flac";
    SF_INFO info = {};
    info.channels = 2;
    info.samplerate = 44100;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const int written[] = {0x12345600, -0x40000000, 0x7FFFFF00, 0};  // left-justified 24-bit values
    ASSERT_EQ(sf_writef_int(file, written, 2), 2);
    sf_close(file);
    AudioClip read = ReadAudioFile(path);
    EXPECT_EQ(read.format, (SampleFormat{2, 3, 24, false}));
    EXPECT_EQ(read.rate, 44100u);
    EXPECT_EQ(read.samples, (std::vector<int32_t>{0x123456, -0x400000, 0x7FFFFF, 0}));

    const std::filesystem::path text = std::filesystem::temp_directory_path() / "simusb_not_audio.wav";
    std::FILE* junk = std::fopen(text.c_str(), "w");
    ASSERT_NE(junk, nullptr);
    std::fputs("this is no audio file\n", junk);
    std::fclose(junk);
    EXPECT_THROW(ReadAudioFile(text), std::runtime_error);
    std::filesystem::remove(path);
    std::filesystem::remove(text);
}

TEST(Capture, LoopbackReturnsRenderFramesAfterExactlyTheConfiguredDelay) {
    constexpr uint32_t kDelay = 37;
    AudioDescription d = FindReadyMadeDevice("q7-0b31")->describe();
    d.streams[1].capture.kind = CaptureKind::Loopback;
    d.streams[1].capture.loopbackInterface = 1;
    d.streams[1].capture.loopbackDelay_frames = kDelay;
    auto device = MakeAudioDevice(d);
    TestHost host(*device);
    ASSERT_TRUE(host.Start({1, 2}));
    uint64_t sent = 0;
    std::vector<int32_t> captured;
    for (uint64_t frame = 0; frame < 50; ++frame) {  // 50 ms: the bus sends a frame's OUT packets before its IN packets
        for (uint64_t i = frame * 8; i < frame * 8 + 8; ++i, sent += 6) {
            host.SendOut(0x01, i, PackFrames(kStereo24In32, sent, 6, Marker));
        }
        for (uint64_t i = frame * 8; i < frame * 8 + 8; ++i) {
            std::vector<int32_t> packet = UnpackFrames(kQuad24In32, host.ReceiveIn(0x82, i, 2048));
            captured.insert(captured.end(), packet.begin(), packet.end());
        }
    }
    const FrameRecord& played = device->Render(1)->Played();
    const FrameRecord& returned = device->Capture(2)->Sent();
    ASSERT_EQ(returned.Count() * 4, captured.size());
    size_t matched = 0;
    for (uint64_t j = 0; j < returned.Count(); ++j) {
        int32_t sample = returned.Frame(j)[0];
        if (sample == 0) continue;  // before playback started, or before the delay passed
        uint64_t renderFrame = static_cast<uint32_t>(sample) / 256 / 4;
        ASSERT_LT(renderFrame, played.Count());
        EXPECT_EQ(returned.DeviceFrame(j) - played.DeviceFrame(renderFrame), kDelay) << "capture frame " << j;
        EXPECT_EQ(returned.Frame(j)[1], Marker(renderFrame, 1));
        EXPECT_EQ(returned.Frame(j)[2], 0);
        ++matched;
    }
    EXPECT_EQ(matched, played.Count() - kDelay + (returned.DeviceFrame(returned.Count() - 1) - played.DeviceFrame(played.Count() - 1)))
        << "every played frame comes back once the delay has passed";
    EXPECT_EQ(captured[(returned.Count() - 1) * 4], returned.Frame(returned.Count() - 1)[0]) << "the record is what was sent";
}

TEST(Capture, LoopbackOnAnotherClockReadsTheRenderFrameOfTheSameMoment) {
    ClockModel render(48000, 0);
    ClockModel capture(48000, 1000000);  // started 1 ms (48 frames) later
    LoopbackTap tap;
    tap.Reset(kStereo24In32, &render);
    // Capture frame k completes at 1 ms + (k + 1) periods, as render frame 48 + k does.
    EXPECT_EQ(tap.RenderFrameFor(0, &capture), 48u);
    EXPECT_EQ(tap.RenderFrameFor(1000, &capture), 1048u);
    EXPECT_EQ(tap.RenderFrameFor(1000, &render), 1000u) << "on one clock, the same frame";
    // Started a third of a period later, capture frame k completes inside
    // render frame 48 + k + 1: the last render frame complete is 48 + k.
    ClockModel late(48000, 1000000 + 6944);
    EXPECT_EQ(tap.RenderFrameFor(0, &late), 48u);
    EXPECT_EQ(tap.RenderFrameFor(47999, &late), 48047u);
}

TEST(Capture, LoopbackFromAnInterfaceThatDoesNotRenderIsRefused) {
    AudioDescription d = FindReadyMadeDevice("q7-0b31")->describe();
    d.streams[1].capture.kind = CaptureKind::Loopback;
    d.streams[1].capture.loopbackInterface = 2;
    EXPECT_THROW(MakeAudioDevice(d), std::invalid_argument);
}

}  // namespace
}  // namespace simusb
