// The files a session leaves in the output folder: recorded.wav,
// played.wav, report.json, and latency.png drawn by plot_latency.py (with
// matplotlib) from latency-data.json.
#pragma once

#include <filesystem>
#include <string>

#include "demo_session.h"

namespace vq7demo {

// Writes the audio files, the report and the plot's data. Throws DemoError
// when the folder or a file cannot be written.
void WriteSessionFiles(const SessionResult& result, const std::filesystem::path& folder);
// Draws latency.png; returns an empty string, or why there is no picture.
std::string DrawLatencyPicture(const std::filesystem::path& folder);

}  // namespace vq7demo
