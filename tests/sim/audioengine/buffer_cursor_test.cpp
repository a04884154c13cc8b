// The engine's bookkeeping of one cyclic buffer: the span due at each
// position report, and the glitches and backward steps it counts.

#include <gtest/gtest.h>

#include "audioengine/buffer_cursor.h"

namespace {

using audioengine::BufferCursor;

constexpr ULONG kBuffer = 4800;
constexpr ULONG kFrame = 8;

TEST(BufferCursorRender, KeepsTheBufferFullOneBufferAheadOfTheDevice) {
    BufferCursor cursor(kBuffer, kFrame, false);
    EXPECT_EQ(cursor.EngineBytes(), kBuffer);  // written whole before the run
    cursor.Observe(2400, 2400);
    auto due = cursor.Due();
    EXPECT_EQ(due.from, kBuffer);
    EXPECT_EQ(due.to, kBuffer + 2400);
    cursor.Done(due.to);
    cursor.Observe(0, 2400);  // the wrap
    due = cursor.Due();
    EXPECT_EQ(due.from, kBuffer + 2400);
    EXPECT_EQ(due.to, kBuffer + kBuffer);  // the device at a whole buffer, the engine one more ahead
    EXPECT_EQ(cursor.Glitches(), 0u);
}

TEST(BufferCursorRender, ADeviceThatPlaysPastTheWrittenDataIsOneGlitch) {
    BufferCursor cursor(kBuffer, kFrame, false);
    cursor.Observe(2400, 2400);
    cursor.Observe(0, 2400);
    cursor.Observe(800, 800);  // 5600 bytes played, 4800 written
    const auto due = cursor.Due();
    EXPECT_EQ(cursor.Glitches(), 1u);
    EXPECT_EQ(cursor.GlitchFrames(), 800u / kFrame);
    EXPECT_EQ(due.from, 5600u);  // the engine resumes at the device
    EXPECT_EQ(due.to, 5600u + kBuffer);
}

TEST(BufferCursorCapture, ReadsWhatTheDeviceDeliveredAndCountsOverwrittenData) {
    BufferCursor cursor(kBuffer, kFrame, true);
    cursor.Observe(2400, 2400);
    auto due = cursor.Due();
    EXPECT_EQ(due.from, 0u);
    EXPECT_EQ(due.to, 2400u);
    cursor.Done(due.to);
    cursor.Observe(0, 2400);
    cursor.Observe(4000, 4000);  // 8800 delivered, 2400 read: 1600 bytes overwritten
    due = cursor.Due();
    EXPECT_EQ(cursor.Glitches(), 1u);
    EXPECT_EQ(cursor.GlitchFrames(), 1600u / kFrame);
    EXPECT_EQ(due.from, 8800u - kBuffer);
    EXPECT_EQ(due.to, 8800u);
}

TEST(BufferCursorPosition, ABackwardStepIsCountedAndIgnored) {
    BufferCursor cursor(kBuffer, kFrame, true);
    cursor.Observe(1000, 1000);
    cursor.Observe(960, 480);  // 40 bytes back, not almost a whole lap forward
    EXPECT_EQ(cursor.BackwardSteps(), 1u);
    EXPECT_EQ(cursor.DeviceBytes(), 1000u);
    cursor.Observe(1480, 480);
    EXPECT_EQ(cursor.DeviceBytes(), 1480u);
    EXPECT_EQ(cursor.BackwardSteps(), 1u);
}

TEST(BufferCursorPosition, AWrapWithinTheTimeThatPassedIsProgress) {
    BufferCursor cursor(kBuffer, kFrame, true);
    cursor.Observe(4000, 4000);
    cursor.Observe(3900, 4700);  // 4700 bytes in the time: a lap less 100
    EXPECT_EQ(cursor.BackwardSteps(), 0u);
    EXPECT_EQ(cursor.DeviceBytes(), 4000u + 4700u);
}

}  // namespace
