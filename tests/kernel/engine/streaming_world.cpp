#include "streaming_world.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "kmsim/registry.h"
#include "kmsim/simulation.h"
#include "simusb/render_stream.h"
#include "simusb/capture_stream.h"

namespace enginetest {

namespace {

uint32_t ContainerMask(ULONG bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }

uint32_t ReadSample(const UCHAR* at, ULONG bytes) {
    uint32_t value = 0;
    for (ULONG i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
    return value;
}

// The counter placed in a container: 32-bit containers carry it above the
// low byte, which a 24-bit device may not keep.
uint32_t Placed(uint64_t frame, ULONG containerBits) {
    const uint32_t counter = static_cast<uint32_t>(frame + 1);
    return containerBits >= 32 ? counter << 8 : counter & ContainerMask(containerBits);
}

}  // namespace

// ---------------------------------------------------------------- the test clients

ULONG CountingRenderSource::Read(UCHAR* destination, ULONG frames) {
    const ULONG sampleBytes = format_.bitsPerSample / 8;
    for (ULONG f = 0; f < frames; ++f, ++next_) {
        const uint32_t value = Placed(next_, format_.bitsPerSample);
        for (ULONG c = 0; c < format_.channels; ++c) {
            for (ULONG b = 0; b < sampleBytes; ++b) *destination++ = static_cast<UCHAR>(value >> (8 * b));
        }
    }
    return frames;
}

int32_t CountingRenderSource::Next(int32_t played, ULONG containerBits) {
    const uint32_t counter = containerBits >= 32 ? static_cast<uint32_t>(played) >> 8 : static_cast<uint32_t>(played);
    return Expected(counter, containerBits);  // counter c was frame c - 1
}

int32_t CountingRenderSource::Expected(uint64_t frame, ULONG containerBits) {
    const uint32_t value = Placed(frame, containerBits);
    if (containerBits >= 32) return static_cast<int32_t>(value);
    const unsigned shift = 32 - containerBits;
    return static_cast<int32_t>(value << shift) >> shift;  // as the device reads a sample: sign-extended
}

ULONG SignalCheckingSink::Write(const UCHAR* source, ULONG frames) {
    const ULONG frameBytes = format_.FrameBytes();
    const ULONG sampleBytes = format_.bitsPerSample / 8;
    const uint32_t mask = ContainerMask(format_.bitsPerSample);
    for (ULONG f = 0; f < frames; ++f, source += frameBytes) {
        const uint32_t value = ReadSample(source, sampleBytes);
        const uint64_t seen = frames_.load(std::memory_order_relaxed);
        if (seen == 1) {
            step_ = (value - previous_) & mask;
        } else if (seen > 1 && ((value - previous_) & mask) != step_) {
            discontinuities_.fetch_add(1, std::memory_order_relaxed);
        }
        previous_ = value;
        frames_.store(seen + 1, std::memory_order_relaxed);
    }
    return frames;
}

// ---------------------------------------------------------------- a streaming device

void SleepMs(LONG64 milliseconds) {
    LARGE_INTEGER delay;
    delay.QuadPart = -milliseconds * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

StreamingDevice::StreamingDevice(kerneltest::DriverWorld& world, const StreamRun& run)
    : world_(world), rate_(run.rate) {
    if (run.edit) {
        simusb::AudioDescription description = kerneltest::DescriptionOf(run.device);
        run.edit(description);
        usb_ = world.Make(description);
    } else {
        usb_ = world.Make(run.device.c_str());
    }
    if (usb_ == nullptr) return;
    if (run.playbackFramesPerTransfer != 0) {
        kmsim::RegistrySetDword("\\Registry\\Machine\\SOFTWARE\\VEXO\\Q7 ASIO Performance", "param1",
                                run.playbackFramesPerTransfer);
    }
    if (run.forceAmdQuirk) {
        // The quirk is read at start: learn the hardware key, then start again.
        EXPECT_EQ(world.Plug(usb_, &pdo_), STATUS_SUCCESS);
        const std::string key = world.HardwareKey(pdo_);
        world.UnplugAndWait(pdo_);
        kmsim::RegistrySetDword(key, "ForceAMDChipset", 1);
    }
    EXPECT_EQ(world.Plug(usb_, &pdo_), STATUS_SUCCESS) << run.device;
    adapter_ = world.Adapter(pdo_);
}

StreamingDevice::~StreamingDevice() {
    if (adapter_ != nullptr) world_.UnplugAndWait(pdo_);
}

bool StreamingDevice::Duplex() const {
    return adapter_->ClassLayer().RenderStream() != nullptr && adapter_->ClassLayer().CaptureStream() != nullptr;
}

NTSTATUS StreamingDevice::Start() {
    CUSBAudioAdapter& adapter = *adapter_;
    if (adapter.PlaybackOnly()) {
        ULONG channels = 0;
        ULONG bits = 0;
        NTSTATUS status = adapter.ClassLayer().GetBestFormat(0, vq7::AudioFormat::kTagPcm, rate_, &channels, &bits);
        if (!NT_SUCCESS(status)) return status;
        status = adapter.SetFormat(FALSE, vq7::AudioFormat::kTagPcm, channels, bits, rate_);
        if (!NT_SUCCESS(status)) return status;
    } else {
        NTSTATUS status = adapter.ChangeSampleRate(rate_);
        if (!NT_SUCCESS(status)) return status;
    }
    return adapter.StartDirection(false);
}

void StreamingDevice::Stop() {
    DetachClients();
    EXPECT_EQ(adapter_->StopDirection(false), STATUS_SUCCESS);
    if (adapter_->PlaybackOnly()) adapter_->ClearFormat(FALSE);
}

void StreamingDevice::AttachClients() {
    CUSBAudioAdapter& adapter = *adapter_;
    const vq7::DeviceStreamLayout layout = adapter.StreamLayout();
    source_.SetFormat(layout.render);
    source_.SetCapturePaced(adapter.ClassLayer().CaptureStream() != nullptr);
    adapter.Mixers().asioRender.Bind(&source_);
    ASSERT_EQ(adapter.Mixers().asioRender.Attach(layout), STATUS_SUCCESS);
    WithDevice([&](simusb::AudioDevice& device) {
        simusb::FrameRecord& played = device.FirstRender()->Played();
        played.KeepSamples(false);
        // Long runs keep counts only (the capture client checks the signal).
        if (simusb::CaptureStream* capture = device.FirstCapture()) capture->Sent().KeepSamples(false);
        const ULONG bits = layout.render.bitsPerSample;
        // The first frame played may be any: a mixer paced by capture
        // starts its lead on the packets it finds. From it on, every frame
        // must follow the one before.
        played.SetChecker([this, bits, previous = int32_t{0}](uint64_t, std::span<const int32_t> frame) mutable {
            if (framesPlayed == 0 && frame[0] == 0) return;  // silence before the source was attached
            if (framesPlayed > 0 && frame[0] != CountingRenderSource::Next(previous, bits)) playedOutOfOrder += 1;
            previous = frame[0];
            framesPlayed += 1;
        });
    });
    renderChecked_ = true;
    if (adapter.ClassLayer().CaptureStream() != nullptr) {
        adapter.Mixers().asioCapture.Bind(&sink_);
        ASSERT_EQ(adapter.Mixers().asioCapture.Attach(layout), STATUS_SUCCESS);
    }
}

void StreamingDevice::DetachClients() {
    adapter_->Mixers().asioRender.Detach();
    adapter_->Mixers().asioCapture.Detach();
    if (renderChecked_) {
        WithDevice([](simusb::AudioDevice& device) { device.FirstRender()->Played().SetChecker(nullptr); });
        renderChecked_ = false;
    }
}

void StreamingDevice::WithDevice(const std::function<void(simusb::AudioDevice&)>& fn) {
    world_.Bus().WithDevice(pdo_, [&](simusb::Device& device) { fn(static_cast<simusb::AudioDevice&>(device)); });
}

void StreamingDevice::SetClockOffsetPpm(int64_t ppm) {
    WithDevice([&](simusb::AudioDevice& device) { device.SetClockOffsetPpm(ppm, kmsim::NowNs()); });
}

// ---------------------------------------------------------------- a run

StreamFigures RunStreaming(const StreamRun& run) {
    // Runs longer than the simulation's usual limit are what a soak is for.
    kmsim::Options options;
    options.virtualLimit_ns = std::max<int64_t>(options.virtualLimit_ns, (run.seconds + 600) * 1000000000LL);
    kerneltest::DriverWorld world(simusbhost::ControllerIdentity{}, options);
    StreamingDevice device(world, run);
    StreamFigures figures;
    if (!device.Started()) return figures;
    // The offset is set before the stream starts: the simulated device
    // settles a change in the middle of a bus frame all at once.
    device.SetClockOffsetPpm(run.clockOffsetPpm);
    figures.startStatus = device.Start();
    if (!NT_SUCCESS(figures.startStatus)) return figures;
    device.AttachClients();
    if (run.reverseHalfway) {
        SleepMs(run.seconds * 500);
        device.SetClockOffsetPpm(-run.clockOffsetPpm);
        SleepMs(run.seconds * 500);
    } else {
        SleepMs(run.seconds * 1000);
    }
    device.WithDevice([&](simusb::AudioDevice& usb) {
        if (simusb::RenderStream* render = usb.FirstRender()) {
            const std::vector<simusb::StreamEvent> underruns = render->Events().Underruns();
            figures.renderUnderruns = underruns.size();
            figures.firstUnderrunFrame = underruns.empty() ? 0 : underruns.front().deviceFrame;
            figures.renderOverruns = render->Events().Overruns().size();
            figures.otherDeviceEvents += render->Events().Size() - figures.renderUnderruns - figures.renderOverruns;
        }
        if (simusb::CaptureStream* capture = usb.FirstCapture()) {
            figures.captureOverruns = capture->Events().Overruns().size();
            figures.otherDeviceEvents += capture->Events().Size() - figures.captureOverruns;
        }
    });
    const vq7::EngineStatistics& statistics = device.Adapter().Statistics();
    // The pipelines still count while the test reads: interlocked reads.
    const auto read = [](const volatile LONG& counter) {
        return static_cast<uint64_t>(InterlockedCompareExchange(const_cast<volatile LONG*>(&counter), 0, 0));
    };
    figures.renderRecoveries = read(statistics.renderRecoveries);
    figures.captureRecoveries = read(statistics.captureRecoveries);
    figures.continuityFailures = read(statistics.frameContinuityFailures);
    figures.feedbackReplaced = read(statistics.feedbackValuesReplaced);
    figures.framesCaptured = device.Sink().Frames();
    figures.capturedOutOfOrder = device.Sink().Discontinuities();
    device.Stop();
    figures.framesPlayed = device.framesPlayed.load();
    figures.playedOutOfOrder = device.playedOutOfOrder.load();
    return figures;
}

}  // namespace enginetest
