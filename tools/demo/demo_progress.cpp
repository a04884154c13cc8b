#include "demo_progress.h"

#include <unistd.h>

namespace vq7demo {

namespace {

// A terminal needs no more than a few updates a second.
constexpr auto kInterval = std::chrono::milliseconds(100);

}  // namespace

ProgressLine::ProgressLine(FILE* stream) : stream_(stream), enabled_(isatty(fileno(stream)) != 0) {}

void ProgressLine::Show(const Progress& p) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < kInterval) return;
    last_ = now;
    shown_ = true;
    std::fprintf(stream_, "\r\033[K%6.2f / %.2f s simulated  %llu frames moved  %llu buffer switches  %llu xruns",
                 p.simulatedSeconds, p.totalSeconds, static_cast<unsigned long long>(p.framesMoved),
                 static_cast<unsigned long long>(p.periods), static_cast<unsigned long long>(p.xruns));
    std::fflush(stream_);
}

void ProgressLine::End() {
    if (!enabled_ || !shown_) return;
    std::fprintf(stream_, "\r\033[K");
    std::fflush(stream_);
}

}  // namespace vq7demo
