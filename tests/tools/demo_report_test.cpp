// The demo's report as a person and a script read it: frames with their
// milliseconds, whether measured and computed agree, what the driver adds
// to the buffers, and figures that were not had shown as such.

#include <gtest/gtest.h>

#include "demo_report.h"

namespace {

vq7demo::SessionResult Figures() {
    vq7demo::SessionResult r;
    r.device = "q7-0b31";
    r.rate = 48000;
    r.bufferFrames = 64;
    r.seconds = 10;
    r.periods = 7500;
    r.markerOutputFrame = 9600;
    r.markerInputFrame = 9600 + 308;
    r.computedFrames = 308;
    r.clockOffsetPpm = 1000.4;
    r.clockSource = "the capture packet sizes";
    r.xruns.ringUnderruns = 2;
    r.xruns.deviceOverruns = 1;
    return r;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(DemoReport, TextGivesFramesWithMillisecondsAndWhatTheDriverAdds) {
    const std::string text = vq7demo::ReportText(Figures());
    EXPECT_TRUE(Has(text, "measured  308 frames = 6.417 ms")) << text;
    EXPECT_TRUE(Has(text, "computed  308 frames = 6.417 ms  (they agree)")) << text;
    EXPECT_TRUE(Has(text, "buffers   128 frames = 2.667 ms (2 x buffer); the driver and device add 180 frames = 3.750 ms"))
        << text;
    EXPECT_TRUE(Has(text, "device: 0 underruns, 1 overruns; rings: 2 underruns, 0 overruns")) << text;
    EXPECT_TRUE(Has(text, "+1000.4 ppm, from the capture packet sizes")) << text;

    EXPECT_EQ(vq7demo::ReportJson(Figures())["latency"]["agree"], true);

    // Agreement is equality: one frame off is a mismatch.
    vq7demo::SessionResult off = Figures();
    off.computedFrames = 309;
    EXPECT_TRUE(Has(vq7demo::ReportText(off), "computed  309 frames = 6.438 ms  (MISMATCH: measured -1 frames)"))
        << vq7demo::ReportText(off);
    EXPECT_EQ(vq7demo::ReportJson(off)["latency"]["agree"], false);

    vq7demo::SessionResult none = Figures();
    none.computedFrames.reset();
    none.computedWhyNot = "the device's render and capture clocks differ in rate or offset";
    EXPECT_TRUE(Has(vq7demo::ReportText(none),
                    "computed  not available: the device's render and capture clocks differ in rate or offset"))
        << vq7demo::ReportText(none);
    EXPECT_EQ(vq7demo::ReportJson(none)["latency"]["agree"], false);
}

TEST(DemoReport, JsonCarriesTheKeysScriptsReadAndNullForWhatWasNotHad) {
    nlohmann::json j = vq7demo::ReportJson(Figures());
    for (const char* key : {"device", "rate", "bufferFrames", "format", "seconds", "periods", "xruns", "latency",
                            "clockOffsetPpm", "cpuPerPeriodUs"}) {
        EXPECT_TRUE(j.contains(key)) << key;
    }
    EXPECT_EQ(j["xruns"]["device"], 1);
    EXPECT_EQ(j["xruns"]["rings"], 2);
    EXPECT_EQ(j["latency"]["measuredFrames"], 308);
    EXPECT_EQ(j["latency"]["computedFrames"], 308);
    EXPECT_EQ(j["latency"]["bufferOnlyFrames"], 128);
    EXPECT_EQ(j["format"], "pcm");

    vq7demo::SessionResult lost = Figures();
    lost.markerInputFrame.reset();
    lost.clockOffsetPpm.reset();
    j = vq7demo::ReportJson(lost);
    EXPECT_TRUE(j["latency"]["measuredFrames"].is_null());
    EXPECT_TRUE(j["clockOffsetPpm"].is_null());
    EXPECT_TRUE(Has(vq7demo::ReportText(lost), "measured  not available"));
}

}  // namespace
