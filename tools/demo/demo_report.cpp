#include "demo_report.h"

#include <cstdarg>
#include <cstdio>

namespace vq7demo {

namespace {

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

double Milliseconds(int64_t frames, uint32_t rate) { return static_cast<double>(frames) * 1000.0 / rate; }

std::string FramesAndMs(std::optional<int64_t> frames, uint32_t rate) {
    if (!frames) return "not available";
    return Format("%lld frames = %.3f ms", static_cast<long long>(*frames), Milliseconds(*frames, rate));
}

template <typename T>
nlohmann::json OrNull(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

std::string WireText(const WireFormat& format) {
    return Format("%u ch x %u-bit", format.channels, format.bitsPerSample);
}

std::string LatencyVerdict(const SessionResult& r) {
    const std::optional<int64_t> measured = r.MeasuredFrames();
    if (!r.computedFrames) return r.computedWhyNot.empty() ? "" : ": " + r.computedWhyNot;
    if (!measured) return "";
    if (r.LatencyAgrees()) return "  (they agree)";
    return Format("  (MISMATCH: measured %+lld frames)", static_cast<long long>(*measured - *r.computedFrames));
}

std::string SystemAudioText(const SystemAudioResult& s) {
    if (!s.refused.empty()) return "system audio  refused: " + s.refused + "\n";
    if (!s.ran) return "";
    return Format("system audio  %u Hz, %u ch x %u-bit (the filter's intersection), %llu glitches, "
                  "position %+lld frames against the device clock\n",
                  s.rate, s.channels, s.bits, static_cast<unsigned long long>(s.glitches),
                  static_cast<long long>(s.positionDriftFrames));
}

}  // namespace

nlohmann::json ReportJson(const SessionResult& r) {
    nlohmann::json j;
    j["device"] = r.device;
    j["deviceName"] = r.deviceName;
    j["rate"] = r.rate;
    j["bufferFrames"] = r.bufferFrames;
    j["format"] = SampleKindName(r.format);
    j["seconds"] = r.seconds;
    j["clock"] = r.realtime ? "realtime" : "virtual";
    j["periods"] = r.periods;
    j["framesIn"] = r.framesIn;
    j["framesOut"] = r.framesOut;
    j["failure"] = r.failure.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.failure);
    j["xruns"] = {{"device", r.xruns.Device()},
                  {"rings", r.xruns.Rings()},
                  {"deviceUnderruns", r.xruns.deviceUnderruns},
                  {"deviceOverruns", r.xruns.deviceOverruns},
                  {"ringUnderruns", r.xruns.ringUnderruns},
                  {"ringOverruns", r.xruns.ringOverruns}};
    nlohmann::json terms = nlohmann::json::object();
    for (const auto& [name, frames] : r.computedTerms) terms[name] = frames;
    j["latency"] = {{"measuredFrames", OrNull(r.MeasuredFrames())},
                    {"computedFrames", OrNull(r.computedFrames)},
                    {"bufferOnlyFrames", r.BufferOnlyFrames()},
                    {"agree", r.LatencyAgrees()},
                    {"computedTerms", terms}};
    j["clockOffsetPpm"] = OrNull(r.clockOffsetPpm);
    j["clockOffsetSource"] = r.clockSource;
    j["systemAudio"] = r.systemAudio.ran ? nlohmann::json{{"rate", r.systemAudio.rate},
                                                           {"channels", r.systemAudio.channels},
                                                           {"bits", r.systemAudio.bits},
                                                           {"glitches", r.systemAudio.glitches},
                                                           {"positionDriftFrames", r.systemAudio.positionDriftFrames}}
                                         : nlohmann::json(nullptr);
    j["cpuPerPeriodUs"] = r.CpuPerPeriodUs();
    j["streamedSeconds"] = r.streamedSeconds;
    j["wallSeconds"] = r.wallSeconds;
    return j;
}

std::string ReportText(const SessionResult& r) {
    std::string text;
    const std::string name =
        r.deviceName.empty() ? r.device : r.device + ", channel name \"" + r.deviceName + "\" (its serial number)";
    text += "device        " + name + "\n";
    text += Format("stream        %u Hz, %u-frame buffers, %s (in %s, out %s), %u reads pending\n", r.rate,
                   r.bufferFrames, SampleKindName(r.format), WireText(r.input).c_str(), WireText(r.output).c_str(),
                   r.readSlots);
    text += Format("ran           %.3f s of %s time in %.2f s\n", r.streamedSeconds,
                   r.realtime ? "wall-clock" : "virtual", r.wallSeconds);
    text += Format("periods       %llu buffer switches, %llu frames in, %llu frames out\n",
                   static_cast<unsigned long long>(r.periods), static_cast<unsigned long long>(r.framesIn),
                   static_cast<unsigned long long>(r.framesOut));
    if (!r.failure.empty()) text += "failure       " + r.failure + "\n";
    text += Format("xruns         device: %llu underruns, %llu overruns; rings: %llu underruns, %llu overruns\n",
                   static_cast<unsigned long long>(r.xruns.deviceUnderruns),
                   static_cast<unsigned long long>(r.xruns.deviceOverruns),
                   static_cast<unsigned long long>(r.xruns.ringUnderruns),
                   static_cast<unsigned long long>(r.xruns.ringOverruns));
    text += "round trip    measured  " + FramesAndMs(r.MeasuredFrames(), r.rate) + "\n";
    text += "              computed  " + FramesAndMs(r.computedFrames, r.rate) + LatencyVerdict(r) + "\n";
    if (!r.computedTerms.empty()) {
        std::string terms;
        for (const auto& [term, frames] : r.computedTerms) {
            terms += (terms.empty() ? "" : " + ") + Format("%lld %s", static_cast<long long>(frames), term.c_str());
        }
        text += "                = " + terms + "\n";
    }
    text += "              buffers   " + FramesAndMs(static_cast<int64_t>(r.BufferOnlyFrames()), r.rate) +
            " (2 x buffer)";
    if (const std::optional<int64_t> measured = r.MeasuredFrames()) {
        const int64_t added = *measured - static_cast<int64_t>(r.BufferOnlyFrames());
        text += Format("; the driver and device add %lld frames = %.3f ms", static_cast<long long>(added),
                       Milliseconds(added, r.rate));
    }
    text += "\n";
    text += r.clockOffsetPpm
                ? Format("clock offset  %+.1f ppm, from %s\n", *r.clockOffsetPpm, r.clockSource.c_str())
                : std::string("clock offset  not measured: the session was too short\n");
    text += SystemAudioText(r.systemAudio);
    text += Format("CPU           %.2f us per period (process thread times: driver and simulated platform)\n",
                   r.CpuPerPeriodUs());
    return text;
}

}  // namespace vq7demo
