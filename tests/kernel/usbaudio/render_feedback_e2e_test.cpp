// Render paced by explicit feedback, end to end in virtual time: eight
// transfers of 8 ms stay in flight, each resubmitted on completion and
// sized from the latest feedback value the way the engine sizes them,
// while the device's clock runs fast and then slow. The device must play
// every frame sent, in order, without its buffer running dry or over.

#include <gtest/gtest.h>

#include <vector>

#include "common/locks.h"
#include "kmsim/simulation.h"
#include "stream_test_support.h"

namespace {

using namespace streamtest;
using kerneltest::ClassLayerWorld;
using kerneltest::DescriptionOf;

constexpr ULONG kTransfersInFlight = 8;
constexpr ULONG kFramesPerTransfer = 8;  // ms
constexpr ULONG kFeedbackInFlight = 2;
constexpr ULONG kFrameBytes = 8;
constexpr ULONG kOneSample = 0x10000;

INT32 Marker(ULONG64 frame, ULONG channel) {
    return static_cast<INT32>(((frame * 2 + channel) & 0xFFFFFF) << 8);
}

// The engine's check of a feedback value: implausible values give way to nominal.
ULONG Plausible(ULONG value, ULONG nominal) {
    bool implausible = value < kOneSample || value + kOneSample < nominal || value > nominal + kOneSample;
    return implausible ? nominal : value;
}

class RenderLoop {
public:
    explicit RenderLoop(CUSBAudioCL& layer) : layer_(layer) {
        KeInitializeSpinLock(&lock_);
        KeInitializeEvent(&drained_, NotificationEvent, FALSE);
        KeInitializeEvent(&firstFeedback_, NotificationEvent, FALSE);
        nominal_ = layer.GetFeedbackNominal(0);
        for (Slot& slot : render_) slot = Slot{this, std::vector<UCHAR>(64 * 16 * kFrameBytes), 0};
        for (Slot& slot : feedback_) slot = Slot{this, std::vector<UCHAR>(layer.GetFeedbackTransferBytes()), 0};
    }

    // Render starts once the device has reported its rate.
    void Start() {
        for (Slot& slot : feedback_) {
            InterlockedIncrement(&inFlight_);
            if (!SubmitFeedback(slot)) Done();
        }
        KeWaitForSingleObject(&firstFeedback_, Executive, KernelMode, FALSE, nullptr);
        for (Slot& slot : render_) {
            InterlockedIncrement(&inFlight_);
            if (!SubmitRender(slot)) Done();
        }
    }
    void StopAndDrain() {
        {
            vq7::InStackLock lock(lock_);
            stopping_ = true;
        }
        KeWaitForSingleObject(&drained_, Executive, KernelMode, FALSE, nullptr);
    }

    ULONG64 FramesSent() const { return nextFrame_; }
    ULONG Failures() const { return failures_; }

private:
    struct Slot {
        RenderLoop* loop;
        std::vector<UCHAR> buffer;
        ULONG bytes;
    };

    void Done() {
        if (InterlockedDecrement(&inFlight_) == 0) KeSetEvent(&drained_, IO_NO_INCREMENT, FALSE);
    }

    bool Stopping() {
        vq7::InStackLock lock(lock_);
        return stopping_;
    }

    // Serialised, as render submissions must be.
    bool SubmitRender(Slot& slot) {
        vq7::InStackLock lock(lock_);
        if (stopping_) return false;
        ULONG feedback = layer_.ApplyPendingFeedback();
        slot.bytes = layer_.GetRenderTransferBytes(kFramesPerTransfer, feedback);
        auto* samples = reinterpret_cast<INT32*>(slot.buffer.data());
        for (ULONG frame = 0; frame < slot.bytes / kFrameBytes; ++frame, ++nextFrame_) {
            samples[2 * frame] = Marker(nextFrame_, 0);
            samples[2 * frame + 1] = Marker(nextFrame_, 1);
        }
        NTSTATUS status =
            layer_.SubmitRenderTransfer(slot.buffer.data(), nullptr, slot.bytes, kFramesPerTransfer, RenderDone, &slot);
        failures_ += NT_SUCCESS(status) ? 0 : 1;
        return NT_SUCCESS(status);
    }
    bool SubmitFeedback(Slot& slot) {
        if (Stopping()) return false;
        return NT_SUCCESS(
            layer_.RecvFeedback(slot.buffer.data(), static_cast<ULONG>(slot.buffer.size()), FeedbackDone, &slot));
    }

    static VOID RenderDone(NTSTATUS status, ULONG bytes, ULONG, PVOID context, ULONG) {
        Slot& slot = *static_cast<Slot*>(context);
        RenderLoop& loop = *slot.loop;
        loop.failures_ += NT_SUCCESS(status) && bytes == slot.bytes ? 0 : 1;
        if (!loop.SubmitRender(slot)) loop.Done();
    }
    static VOID FeedbackDone(NTSTATUS status, ULONG value, ULONG, PVOID context, ULONG) {
        Slot& slot = *static_cast<Slot*>(context);
        RenderLoop& loop = *slot.loop;
        if (NT_SUCCESS(status)) {
            loop.layer_.StorePendingFeedback(Plausible(value, loop.nominal_));
            KeSetEvent(&loop.firstFeedback_, IO_NO_INCREMENT, FALSE);
        } else {
            loop.failures_ += 1;
        }
        if (!loop.SubmitFeedback(slot)) loop.Done();
    }

    CUSBAudioCL& layer_;
    KSPIN_LOCK lock_;
    KEVENT drained_;
    KEVENT firstFeedback_;
    Slot render_[kTransfersInFlight];
    Slot feedback_[kFeedbackInFlight];
    ULONG nominal_ = 0;
    ULONG64 nextFrame_ = 0;
    volatile LONG inFlight_ = 0;
    ULONG failures_ = 0;
    bool stopping_ = false;
};

void Sleep(LONG64 ms) {
    LARGE_INTEGER delay;
    delay.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

void OffsetClock(ClassLayerWorld& world, int64_t ppm) {
    streamtest::WithDevice(world, [&](simusb::AudioDevice& device) { device.SetClockOffsetPpm(ppm, kmsim::NowNs()); });
}

// Runs the loop with the clock `fastPpm` fast for half the time, then as
// much slow, and checks what the device played.
void PlayWhileTheClockDrifts(ClassLayerWorld& world, ULONG rate, LONG64 seconds, int64_t fastPpm) {
    ASSERT_TRUE(world.HasLayer());
    ASSERT_EQ(SelectExplicit(world.Layer(), 0, 1, 2, 24, rate, kFramesPerTransfer).status, STATUS_SUCCESS);
    ASSERT_TRUE(streamtest::WaitForStableClock(world.Layer(), 0));
    ULONG64 checked = 0;
    ULONG64 mismatches = 0;
    streamtest::WithDevice(world, [&](simusb::AudioDevice& device) {
        simusb::FrameRecord& played = device.FirstRender()->Played();
        played.KeepSamples(false);
        played.SetChecker([&](uint64_t, std::span<const int32_t> frame) {
            mismatches += frame[0] != Marker(checked, 0) || frame[1] != Marker(checked, 1) ? 1 : 0;
            checked += 1;
        });
    });
    OffsetClock(world, fastPpm);
    RenderLoop loop(world.Layer());
    loop.Start();
    Sleep(seconds * 500);
    OffsetClock(world, -fastPpm);
    Sleep(seconds * 500);
    loop.StopAndDrain();

    EXPECT_EQ(loop.Failures(), 0u);
    streamtest::WithDevice(world, [&](simusb::AudioDevice& device) {
        simusb::RenderStream* render = device.FirstRender();
        EXPECT_TRUE(render->Events().Underruns().empty()) << render->Events().Underruns().size() << " underruns";
        EXPECT_TRUE(render->Events().Overruns().empty()) << render->Events().Overruns().size() << " overruns";
        EXPECT_EQ(render->Events().Size(), 0u) << "no packet was refused either";
        EXPECT_EQ(render->Played().Count() + render->FifoFrames(), loop.FramesSent());
        EXPECT_GT(render->Played().Count(), static_cast<ULONG64>(rate) * (seconds - 1));
        render->Played().SetChecker(nullptr);
    });
    EXPECT_EQ(mismatches, 0u) << "frames played out of order or altered";
    EXPECT_GT(checked, 0u);
}

TEST(RenderFeedbackEndToEnd, SixtySecondsWithTheClock300PpmFastThenSlow) {
    auto world = WorldOf(DescriptionOf("uac2-async-dac"));
    PlayWhileTheClockDrifts(*world, 48000, 60, 300);
}

// Feedback counts samples per microframe also when a packet spans two.
TEST(RenderFeedbackEndToEnd, PacketsOfTwoMicroframesFollowPerMicroframeFeedback) {
    simusb::AudioDescription d = DescriptionOf("uac2-async-dac");
    d.streams[0].interval = 2;
    auto world = WorldOf(d);
    PlayWhileTheClockDrifts(*world, 96000, 10, 300);
}

}  // namespace
