#include "demo_options.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <cmath>

#include "demo_error.h"
#include "simusb/ready_made_devices.h"

namespace vq7demo {

namespace {

template <typename T>
T Integer(const std::string& option, const std::string& text, T low, T high) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        throw DemoError(option + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                        ", not '" + text + "'");
    }
    return value;
}

double Seconds(const std::string& text) {
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || !std::isfinite(value) || value <= 0 || value > 3600) {
        throw DemoError("--seconds takes a length above 0 and up to 3600, not '" + text + "'");
    }
    return value;
}

SampleKind Format(const std::string& text) {
    if (text == "pcm") return SampleKind::Pcm;
    if (text == "float") return SampleKind::Float;
    if (text == "dsd") return SampleKind::Dsd;
    throw DemoError("--format takes pcm, float or dsd, not '" + text + "'");
}

}  // namespace

const char* SampleKindName(SampleKind kind) {
    switch (kind) {
    case SampleKind::Pcm: return "pcm";
    case SampleKind::Float: return "float";
    case SampleKind::Dsd: return "dsd";
    }
    return "pcm";
}

DemoOptions ParseOptions(const std::vector<std::string>& arguments) {
    DemoOptions options;
    bool rateGiven = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            continue;
        }
        if (option == "--realtime") {
            options.realtime = true;
            continue;
        }
        if (option == "--json") {
            options.json = true;
            continue;
        }
        static const char* const kValued[] = {"--device", "--rate",  "--buffer", "--seconds",
                                              "--format", "--drift", "--input",  "--out",
                                              "--system-audio"};
        if (std::find(std::begin(kValued), std::end(kValued), option) == std::end(kValued)) {
            throw DemoError("unknown option '" + option + "' (see --help)");
        }
        if (i + 1 >= arguments.size()) {
            throw DemoError(option + " needs a value (see --help)");
        }
        const std::string& value = arguments[++i];
        if (option == "--device") {
            options.device = value;
        } else if (option == "--rate") {
            options.rate = Integer<uint32_t>(option, value, 1, 100000000);
            rateGiven = true;
        } else if (option == "--buffer") {
            // The channel judges the size; 0 is passed on for it to refuse.
            options.bufferFrames = Integer<uint32_t>(option, value, 0, 1u << 20);
        } else if (option == "--seconds") {
            options.seconds = Seconds(value);
        } else if (option == "--format") {
            options.format = Format(value);
        } else if (option == "--drift") {
            options.driftPpm = Integer<int64_t>(option, value, -100000, 100000);
        } else if (option == "--input") {
            options.input = value;
        } else if (option == "--system-audio") {
            options.systemAudio = value == "tone" ? SystemAudioKind::Tone
                                  : value == "off" ? SystemAudioKind::Off
                                                   : SystemAudioKind::File;
            options.systemAudioFile = options.systemAudio == SystemAudioKind::File ? value : "";
        } else {
            options.out = value;
        }
    }
    if (options.format == SampleKind::Dsd && !rateGiven) {
        options.rate = kDefaultDsdWordRate;
    }
    return options;
}

std::string HelpText() {
    std::string text =
        "usage: scripts/demo [options]\n"
        "\n"
        "Runs one low-latency session through the driver: a simulated device is plugged\n"
        "into the simulated bus, the driver starts, a client opens the ASIO channel,\n"
        "streams duplex, plays a test signal (a marker, then a tone) and records what\n"
        "comes back through the device's loopback, then stops, closes and unplugs.\n"
        "\n"
        "  --device NAME|FILE  a ready-made device or a descriptor file (default q7-0b31)\n"
        "  --rate HZ           the sample rate (default 48000; with dsd 88200, DSD64 as\n"
        "                      32-bit words)\n"
        "  --buffer FRAMES     the client's buffer size (default 64)\n"
        "  --seconds S         how long to stream (default 10)\n"
        "  --format KIND       pcm, float or dsd (default pcm)\n"
        "  --drift PPM         the device clock's offset from the bus clock (default 0)\n"
        "  --input FILE        play this audio file (any format libsndfile reads) after\n"
        "                      the marker instead of the tone\n"
        "  --system-audio tone|FILE|off\n"
        "                      what the system's audio engine plays through the WaveRT\n"
        "                      path beside the session (default: a quiet 440 Hz tone);\n"
        "                      played.wav then holds the sum\n"
        "  --realtime          run on the wall clock, as a listener would hear it\n"
        "                      (default: virtual time, finished in seconds)\n"
        "  --out DIR           where the files go (default demo-out)\n"
        "  --json              print report.json instead of the text report\n"
        "  --help              this text\n"
        "\n"
        "Files: recorded.wav (what the client captured), played.wav (what the device\n"
        "played), report.json, latency.png (the marker's round trip and the ring fills).\n"
        "\n"
        "Ready-made devices:\n";
    for (const simusb::ReadyMadeDevice& device : simusb::ReadyMadeDevices()) {
        text += "  " + std::string(device.name) + "\n";
    }
    return text;
}

}  // namespace vq7demo
