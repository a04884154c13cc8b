// The progress line: simulated time, frames moved, buffer switches and
// xruns so far, rewritten in place on a terminal, silent otherwise.
#pragma once

#include <chrono>
#include <cstdio>

#include "demo_session.h"

namespace vq7demo {

class ProgressLine {
public:
    explicit ProgressLine(FILE* stream);
    void Show(const Progress& progress);
    // Clears the line, so that the report starts on a clean one.
    void End();
    bool Enabled() const { return enabled_; }

private:
    FILE* stream_;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace vq7demo
