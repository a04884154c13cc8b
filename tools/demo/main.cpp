// vq7demo: one low-latency session through the driver on a simulated
// device, with a report and files worth looking at. See --help.

#include <cstdio>
#include <string>
#include <vector>

#include "demo_error.h"
#include "demo_files.h"
#include "demo_options.h"
#include "demo_progress.h"
#include "demo_report.h"
#include "demo_session.h"

int main(int argc, char** argv) {
    using namespace vq7demo;
    try {
        const DemoOptions options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::fputs(HelpText().c_str(), stdout);
            return 0;
        }
        ProgressLine progress(stderr);
        const SessionResult result = RunSession(options, [&](const Progress& p) { progress.Show(p); });
        progress.End();
        WriteSessionFiles(result, options.out);
        const std::string pictureProblem = DrawLatencyPicture(options.out);
        if (options.json) {
            std::fputs((ReportJson(result).dump(2) + "\n").c_str(), stdout);
        } else {
            std::fputs(ReportText(result).c_str(), stdout);
            std::printf("files         %s: recorded.wav, played.wav, report.json%s\n", options.out.c_str(),
                        pictureProblem.empty() ? ", latency.png" : "");
        }
        if (!pictureProblem.empty()) std::fprintf(stderr, "vq7demo: %s\n", pictureProblem.c_str());
        return result.failure.empty() ? 0 : 1;
    } catch (const DemoError& error) {
        std::fprintf(stderr, "vq7demo: %s\n", error.what());
        return 2;
    }
}
