// The demo's command line: what to run (device, rate, buffer, length,
// sample format, clock offset, what to play), how (virtual or wall-clock
// time) and where the files go.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vq7demo {

enum class SampleKind { Pcm, Float, Dsd };

// What the system's audio engine plays beside the ASIO session.
enum class SystemAudioKind { Tone, File, Off };

const char* SampleKindName(SampleKind kind);

struct DemoOptions {
    std::string device = "q7-0b31";  // a ready-made device's name or a descriptor file
    uint32_t rate = 48000;           // the stream's rate; DSD: the rate of its 32-bit words
    uint32_t bufferFrames = 64;
    double seconds = 10;
    SampleKind format = SampleKind::Pcm;
    int64_t driftPpm = 0;            // the device clock against the bus clock
    std::filesystem::path input;     // empty: the test signal
    SystemAudioKind systemAudio = SystemAudioKind::Tone;
    std::filesystem::path systemAudioFile;  // SystemAudioKind::File
    bool realtime = false;
    std::filesystem::path out = "demo-out";
    bool json = false;
    bool help = false;
};

// The rate a DSD run takes when none is given: DSD64 (2.8224 MHz) as
// 32-bit words.
inline constexpr uint32_t kDefaultDsdWordRate = 88200;

// Throws DemoError with a one-line message for anything it cannot take.
DemoOptions ParseOptions(const std::vector<std::string>& arguments);
std::string HelpText();

}  // namespace vq7demo
