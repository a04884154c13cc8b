// The buffer's notifications as the engine sees them: with two per buffer
// the event is signalled on the advance that reaches the buffer's half and
// on the one that wraps; with one per buffer on the wrap alone. A 4800-byte
// buffer, as in the stream's worked example.

#include <gtest/gtest.h>

#include "engine_world.h"
#include "km_time.h"

namespace {

constexpr ULONG kBufferBytes = 4800;
constexpr LONGLONG kRunMs = 500;

class EngineNotificationsTest : public enginetest::EngineQ7Test {
protected:
    // Runs a render stream of the example's buffer and returns what it saw.
    audioengine::StreamStats Run(ULONG notifications, ULONG* frameBytes) {
        audioengine::PinFormat format = {};
        EXPECT_EQ(engine_->ChooseFormat(false, 0, &format), STATUS_SUCCESS);
        *frameBytes = format.FrameBytes();
        EXPECT_EQ(kBufferBytes % format.FrameBytes(), 0u);
        audioengine::StreamOptions options;
        options.bufferFrames = kBufferBytes / format.FrameBytes();
        options.notificationsPerBuffer = notifications;
        audioengine::EngineStream* stream = nullptr;
        EXPECT_EQ(engine_->OpenStream(false, format, options, &stream), STATUS_SUCCESS);
        if (stream == nullptr) return {};
        EXPECT_EQ(stream->BufferBytes(), kBufferBytes);
        EXPECT_EQ(stream->Run(), STATUS_SUCCESS);
        kmtest::SleepMs(kRunMs);
        const audioengine::StreamStats stats = stream->Stats();
        EXPECT_EQ(engine_->CloseStream(stream), STATUS_SUCCESS);
        return stats;
    }
    // One transfer's bytes at most: the position moves a transfer at a time.
    static ULONG Step(ULONG frameBytes) { return 48 * frameBytes; }
};

TEST_F(EngineNotificationsTest, TwicePerBufferSignalsOnReachingTheHalfAndOnTheWrap) {
    ULONG frameBytes = 0;
    const audioengine::StreamStats stats = Run(2, &frameBytes);
    const uint64_t buffers = stats.deviceFrames * frameBytes / kBufferBytes;
    EXPECT_GE(buffers, 10u);
    EXPECT_NEAR(static_cast<double>(stats.notifications), 2.0 * buffers, 2.0);
    ASSERT_GE(stats.notificationOffsets.size(), 4u);
    ULONG halves = 0;
    ULONG wraps = 0;
    for (ULONG offset : stats.notificationOffsets) {
        const bool half = offset >= kBufferBytes / 2 && offset < kBufferBytes / 2 + Step(frameBytes);
        const bool wrap = offset < Step(frameBytes);
        EXPECT_TRUE(half || wrap) << offset;
        halves += half;
        wraps += wrap;
    }
    EXPECT_LE(halves > wraps ? halves - wraps : wraps - halves, 1u);  // they alternate
    EXPECT_EQ(stats.glitches, 0u);
}

TEST_F(EngineNotificationsTest, OncePerBufferSignalsOnTheWrapAlone) {
    ULONG frameBytes = 0;
    const audioengine::StreamStats stats = Run(1, &frameBytes);
    const uint64_t buffers = stats.deviceFrames * frameBytes / kBufferBytes;
    EXPECT_GE(buffers, 10u);
    EXPECT_NEAR(static_cast<double>(stats.notifications), static_cast<double>(buffers), 1.0);
    for (ULONG offset : stats.notificationOffsets) EXPECT_LT(offset, Step(frameBytes)) << offset;
    // The engine still keeps up: it polls between the notifications.
    EXPECT_EQ(stats.glitches, 0u);
}

}  // namespace
