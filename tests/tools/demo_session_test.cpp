// The demo's session on ready-made devices: the report's figures against
// what the session itself kept (the recorded audio, the device's played
// record, its counters), the clock offset against the device's, and the
// refusals a user gets for what cannot be had.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "demo_error.h"
#include "demo_options.h"
#include "demo_report.h"
#include "demo_session.h"
#include "simusb/audio_file.h"

namespace {

using vq7demo::DemoError;
using vq7demo::DemoOptions;
using vq7demo::RunSession;
using vq7demo::SessionResult;

DemoOptions Short(const char* device, double seconds = 1.5) {
    DemoOptions options;
    options.device = device;
    options.seconds = seconds;
    return options;
}

// Channel 0 of frame `frame` of a clip, with full scale at 1.
double Level(const simusb::AudioClip& clip, uint64_t frame) {
    const int32_t sample = clip.samples[frame * clip.format.channels];
    return static_cast<double>(sample) / (1u << (8 * clip.format.subslotBytes - 1));
}

// The first frame after `after` whose channel 0 is above the marker threshold.
std::optional<uint64_t> FirstAbove(const simusb::AudioClip& clip, uint64_t after) {
    for (uint64_t f = after; f < clip.Frames(); ++f) {
        if (Level(clip, f) > vq7demo::kMarkerThreshold) return f;
    }
    return std::nullopt;
}

class DemoSession : public ::testing::TestWithParam<const char*> {};

TEST_P(DemoSession, ReportAgreesWithWhatTheSessionRecordedAndCounted) {
    const DemoOptions options = Short(GetParam());
    const SessionResult r = RunSession(options);
    const nlohmann::json report = vq7demo::ReportJson(r);
    ASSERT_EQ(r.failure, "");

    // Every buffer switch moved one buffer each way, and the session ran its length.
    EXPECT_EQ(report["periods"], r.periods);
    EXPECT_EQ(r.framesIn, r.periods * options.bufferFrames);
    EXPECT_EQ(r.framesOut, r.periods * options.bufferFrames);
    EXPECT_GE(r.periods, static_cast<uint64_t>(options.seconds * options.rate / options.bufferFrames) - r.readSlots);
    EXPECT_EQ(r.recorded.Frames(), r.framesIn);

    EXPECT_EQ(report["xruns"]["device"], 0);
    EXPECT_EQ(report["xruns"]["rings"], 0);

    // The measured round trip is where the marker's echo lies in the recording.
    const std::optional<uint64_t> echo = FirstAbove(r.recorded, r.markerOutputFrame + 1);
    ASSERT_TRUE(echo.has_value()) << "the marker came back";
    EXPECT_EQ(report["latency"]["measuredFrames"], static_cast<int64_t>(*echo - r.markerOutputFrame));
    EXPECT_GT(*echo - r.markerOutputFrame, r.BufferOnlyFrames()) << "the driver and device add to the buffers";
    EXPECT_EQ(report["latency"]["bufferOnlyFrames"], 2 * options.bufferFrames);
    // The model computes the round trip the session measured, exactly.
    ASSERT_FALSE(report["latency"]["computedFrames"].is_null());
    EXPECT_EQ(report["latency"]["measuredFrames"], report["latency"]["computedFrames"]);
    EXPECT_EQ(report["latency"]["agree"], true);

    // The device played the marker once, ahead of the programme.
    const std::optional<uint64_t> played = FirstAbove(r.played, 0);
    ASSERT_TRUE(played.has_value());
    EXPECT_FALSE(FirstAbove(r.played, *played + 1).has_value()) << "the tone stays below the marker's threshold";

    ASSERT_FALSE(report["clockOffsetPpm"].is_null());
    EXPECT_NEAR(report["clockOffsetPpm"].get<double>(), 0.0, 5.0);
    EXPECT_GT(report["cpuPerPeriodUs"].get<double>(), 0.0);
}

// Test names allow letters, digits and underscores only.
std::string DeviceName(const ::testing::TestParamInfo<const char*>& param) {
    std::string name = param.param;
    for (char& c : name) {
        if (c == '-') c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(ReadyMade, DemoSession, ::testing::Values("q7-0b31", "uac2-with-hid", "uac2-implicit-duplex"),
                         DeviceName);

TEST(DemoSessionClock, TheOffsetTheDriverMeasuredIsTheDevicesOwn) {
    DemoOptions options = Short("q7-0b31");
    options.rate = 192000;
    options.bufferFrames = 32;
    options.driftPpm = 1000;
    // The model's directions start with the ASIO stream; a system stream
    // that started them first moves render's start by up to a frame.
    options.systemAudio = vq7demo::SystemAudioKind::Off;
    const SessionResult r = RunSession(options);
    ASSERT_EQ(r.failure, "");
    ASSERT_TRUE(r.clockOffsetPpm.has_value());
    EXPECT_NEAR(*r.clockOffsetPpm, 1000.0, 5.0);
    EXPECT_EQ(r.xruns.Device() + r.xruns.Rings(), 0u);
    ASSERT_TRUE(r.MeasuredFrames().has_value());
    EXPECT_EQ(r.MeasuredFrames(), r.computedFrames) << "the model follows the clock's offset";
}

TEST(DemoSessionFormats, DsdWordsComeBackThroughTheLoopback) {
    DemoOptions options = Short("q7-0b31", 1);
    options.format = vq7demo::SampleKind::Dsd;
    options.rate = vq7demo::kDefaultDsdWordRate;
    const SessionResult r = RunSession(options);
    ASSERT_EQ(r.failure, "");
    EXPECT_EQ(r.xruns.Device() + r.xruns.Rings(), 0u);
    ASSERT_TRUE(r.MeasuredFrames().has_value()) << "the all-ones marker word came back";
    EXPECT_GT(*r.MeasuredFrames(), static_cast<int64_t>(r.BufferOnlyFrames()));
    // The device played the marker word itself.
    bool played = false;
    for (size_t i = 0; i < r.played.samples.size(); i += r.played.format.channels) {
        played = played || r.played.samples[i] == -1;
    }
    EXPECT_TRUE(played);
}

TEST(DemoSessionInput, AnInputFileIsPlayedAfterTheMarkerAtTheStreamRate) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "vq7demo_input_test.wav";
    simusb::AudioClip clip;
    clip.format = simusb::SampleFormat{1, 2, 16, false};
    clip.rate = 24000;  // half the stream's rate: every file frame lasts two stream frames
    for (int i = 0; i < 2400; ++i) clip.samples.push_back(static_cast<int16_t>(i % 2 == 0 ? 8192 : -8192));
    simusb::WriteWavFile(path, clip);
    DemoOptions options = Short("q7-0b31", 0.6);
    options.input = path;
    options.systemAudio = vq7demo::SystemAudioKind::Off;  // the loopback carries the file alone
    const SessionResult r = RunSession(options);
    std::filesystem::remove(path);
    ASSERT_TRUE(r.MeasuredFrames().has_value());
    // File frame 10 (+0.25) and 11 (-0.25), linearly between at odd stream frames.
    const uint64_t first = 300 * 48 + static_cast<uint64_t>(*r.MeasuredFrames());  // the programme starts at 0.3 s
    EXPECT_NEAR(Level(r.recorded, first + 20), 0.25, 1e-6);
    EXPECT_NEAR(Level(r.recorded, first + 21), 0.0, 1e-6);
    EXPECT_NEAR(Level(r.recorded, first + 22), -0.25, 1e-6);
}

// The system's engine plays its tone through the WaveRT path beside the
// ASIO session, at the session's rate, without a glitch; an exclusive ASIO
// format keeps it out, and the report says so.
TEST(DemoSessionSystemAudio, TheEnginePlaysBesideTheSessionAndTheReportTellsIt) {
    const SessionResult r = RunSession(Short("q7-0b31", 1));
    ASSERT_EQ(r.failure, "");
    ASSERT_TRUE(r.systemAudio.ran) << r.systemAudio.refused;
    EXPECT_EQ(r.systemAudio.rate, 48000u);
    EXPECT_EQ(r.systemAudio.channels, 2u);
    EXPECT_EQ(r.systemAudio.glitches, 0u);
    EXPECT_GT(r.systemAudio.framesPlayed, 48000u * 9 / 10);
    EXPECT_LE(std::llabs(r.systemAudio.positionDriftFrames), 96);
    const nlohmann::json report = vq7demo::ReportJson(r);
    EXPECT_EQ(report["systemAudio"]["rate"], 48000);
    EXPECT_EQ(report["systemAudio"]["glitches"], 0);
    EXPECT_EQ(r.xruns.Device() + r.xruns.Rings(), 0u);

    DemoOptions dsd = Short("q7-0b31", 0.5);
    dsd.format = vq7demo::SampleKind::Dsd;
    dsd.rate = vq7demo::kDefaultDsdWordRate;
    const SessionResult refused = RunSession(dsd);
    EXPECT_FALSE(refused.systemAudio.ran);
    EXPECT_NE(refused.systemAudio.refused.find("STATUS_DEVICE_BUSY"), std::string::npos) << refused.systemAudio.refused;
    EXPECT_TRUE(vq7demo::ReportJson(refused)["systemAudio"].is_null());

    DemoOptions off = Short("q7-0b31", 0.5);
    off.systemAudio = vq7demo::SystemAudioKind::Off;
    EXPECT_FALSE(RunSession(off).systemAudio.ran);
}

TEST(DemoSessionRefusals, WhatCannotBeHadIsOneLineNamingWhy) {
    auto refusal = [](const DemoOptions& options) {
        try {
            RunSession(options);
        } catch (const DemoError& error) {
            return std::string(error.what());
        }
        return std::string("no refusal");
    };
    std::vector<std::pair<DemoOptions, std::string>> cases;
    DemoOptions options = Short("q7-0b31", 0.1);
    options.rate = 12345;
    cases.emplace_back(options, "the device refuses 12345 Hz: STATUS_INVALID_PARAMETER");
    options = Short("q7-0b31", 0.1);
    options.bufferFrames = 0;
    cases.emplace_back(options, "the channel refuses 0-frame buffers of pcm at 48000 Hz: STATUS_INVALID_PARAMETER");
    options = Short("q7-0b31", 0.1);
    options.format = vq7demo::SampleKind::Float;
    cases.emplace_back(options, "the channel refuses 64-frame buffers of float at 48000 Hz: STATUS_NO_MATCH");
    cases.emplace_back(Short("no-such-device", 0.1), "no ready-made device and no file named 'no-such-device'");
    options = Short("q7-0b31", 0.1);
    options.input = "/nonexistent/input.wav";
    cases.emplace_back(options, "cannot read the input file /nonexistent/input.wav");
    cases.emplace_back(Short("uac2-async-dac", 0.1), "needs a render and a capture stream");
    for (const auto& [given, expected] : cases) {
        const std::string message = refusal(given);
        EXPECT_NE(message.find(expected), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

TEST(DemoOptions, ValuesAreCheckedAndDsdTakesItsWordRate) {
    EXPECT_THROW(vq7demo::ParseOptions({"--bogus"}), DemoError);
    EXPECT_THROW(vq7demo::ParseOptions({"--rate"}), DemoError);
    EXPECT_THROW(vq7demo::ParseOptions({"--seconds", "-1"}), DemoError);
    EXPECT_THROW(vq7demo::ParseOptions({"--format", "mp3"}), DemoError);
    EXPECT_EQ(vq7demo::ParseOptions({"--format", "dsd"}).rate, vq7demo::kDefaultDsdWordRate);
    EXPECT_EQ(vq7demo::ParseOptions({"--format", "dsd", "--rate", "176400"}).rate, 176400u);
    const DemoOptions o = vq7demo::ParseOptions({"--drift", "-250", "--buffer", "32", "--realtime", "--json"});
    EXPECT_EQ(o.driftPpm, -250);
    EXPECT_EQ(o.bufferFrames, 32u);
    EXPECT_TRUE(o.realtime && o.json);
}

}  // namespace
