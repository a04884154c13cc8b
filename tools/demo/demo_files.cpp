#include "demo_files.h"

#include <cstdlib>
#include <fstream>

#include "demo_error.h"
#include "demo_report.h"
#include "simusb/audio_file.h"

#ifndef VQ7DEMO_PLOT_SCRIPT
#error "the build names the plot script"
#endif

namespace vq7demo {

namespace {

void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    if (!file) throw DemoError(path.string() + ": cannot be written");
}

void WriteAudio(const std::filesystem::path& path, const simusb::AudioClip& clip) {
    try {
        simusb::WriteWavFile(path, clip);
    } catch (const std::exception& failure) {
        throw DemoError(failure.what());
    }
}

// What the picture shows: channel 0 as the client wrote and read it over
// the marker's round trip, and the rings' fill over the session.
nlohmann::json PlotData(const SessionResult& r) {
    nlohmann::json j;
    j["rate"] = r.rate;
    j["bufferFrames"] = r.bufferFrames;
    j["format"] = SampleKindName(r.format);
    j["device"] = r.device;
    j["windowStartFrame"] = r.windowStart;
    j["markerOutputFrame"] = r.markerOutputFrame;
    j["markerInputFrame"] = r.markerInputFrame ? nlohmann::json(*r.markerInputFrame) : nlohmann::json(nullptr);
    j["computedFrames"] = r.computedFrames ? nlohmann::json(*r.computedFrames) : nlohmann::json(nullptr);
    j["written"] = r.windowWritten;
    j["read"] = r.windowRead;
    j["system"] = r.windowSystem;
    nlohmann::json fills = {{"seconds", nlohmann::json::array()}};
    for (const char* ring : {"input", "output"}) {
        for (const char* field : {"Low", "High", "Mean"}) fills[std::string(ring) + field] = nlohmann::json::array();
    }
    for (const RingFill& fill : r.fills) {
        fills["seconds"].push_back(fill.seconds);
        for (const auto& [ring, range] : {std::pair{"input", &fill.input}, std::pair{"output", &fill.output}}) {
            fills[std::string(ring) + "Low"].push_back(range->low);
            fills[std::string(ring) + "High"].push_back(range->high);
            fills[std::string(ring) + "Mean"].push_back(range->mean);
        }
    }
    j["fills"] = fills;
    return j;
}

}  // namespace

void WriteSessionFiles(const SessionResult& result, const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw DemoError(folder.string() + ": " + error.message());
    WriteAudio(folder / "recorded.wav", result.recorded);
    WriteAudio(folder / "played.wav", result.played);
    WriteText(folder / "report.json", ReportJson(result).dump(2) + "\n");
    WriteText(folder / "latency-data.json", PlotData(result).dump() + "\n");
}

std::string DrawLatencyPicture(const std::filesystem::path& folder) {
    // Debian's interpreter, which python3-matplotlib belongs to, before
    // whatever else is first on the path.
    const char* python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const std::string command = std::string(python) + " '" + std::string(VQ7DEMO_PLOT_SCRIPT) + "' '" +
                                (folder / "latency-data.json").string() + "' '" + (folder / "latency.png").string() +
                                "'";
    const int status = std::system(command.c_str());
    if (status != 0) {
        return "no latency.png: the plot script failed (is python3-matplotlib installed?)";
    }
    return {};
}

}  // namespace vq7demo
