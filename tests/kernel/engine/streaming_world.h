// A started device whose directions run through the driver's engine, for
// the engine's end-to-end tests: a test render source that plays a frame
// counter and a test capture sink that checks the device's test signal,
// attached to the ASIO mixers; and a run that streams a device at a rate
// for some simulated seconds and returns what happened, reused by the
// drift tests and the soak.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "descriptor_edits.h"
#include "driver_world.h"
#include "engine/capture_sink.h"
#include "engine/render_source.h"

namespace enginetest {

// Plays frame n as the value n + 1 on every channel, placed so that the
// device's record shows it: the source's format is the device's render
// format, so the mixer copies.
class CountingRenderSource final : public vq7::RenderSource {
public:
    void SetFormat(const vq7::AudioFormat& format) { format_ = format; }
    // Paced by capture, as the clients of a device that captures are.
    void SetCapturePaced(bool paced) { capturePaced_ = paced; }
    vq7::AudioFormat Format() const override { return format_; }
    ULONG Read(UCHAR* destination, ULONG frames) override;
    bool CapturePaced() const override { return capturePaced_; }
    bool Primed() const override { return true; }
    NTSTATUS OnAttach() override { return STATUS_SUCCESS; }
    void AfterRead() override {}
    void OnDetach() override {}

    uint64_t FramesRead() const { return next_; }
    // The sample a played frame must carry, as the device reports it.
    static int32_t Expected(uint64_t frame, ULONG containerBits);
    // The sample of the frame after one that played as `played`.
    static int32_t Next(int32_t played, ULONG containerBits);

private:
    vq7::AudioFormat format_ = {};
    bool capturePaced_ = false;
    uint64_t next_ = 0;
};

// Checks that every captured frame continues the device's test signal: a
// counter that steps by the same amount from frame to frame.
class SignalCheckingSink final : public vq7::CaptureSink {
public:
    vq7::AudioFormat Format() const override { return format_; }
    ULONG Write(const UCHAR* source, ULONG frames) override;
    NTSTATUS Configure(const vq7::AudioFormat& deviceFormat, ULONG) override {
        format_ = deviceFormat;
        return STATUS_SUCCESS;
    }
    void Unconfigure() override {}

    // Read by the test while the capture DPC writes.
    uint64_t Frames() const { return frames_.load(std::memory_order_relaxed); }
    uint64_t Discontinuities() const { return discontinuities_.load(std::memory_order_relaxed); }

private:
    vq7::AudioFormat format_ = {};
    std::atomic<uint64_t> frames_{0};
    std::atomic<uint64_t> discontinuities_{0};
    uint32_t previous_ = 0;
    uint32_t step_ = 0;
};

struct StreamFigures {
    NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
    uint64_t renderUnderruns = 0;  // device FIFO ran dry, or packets missing
    uint64_t firstUnderrunFrame = 0;  // the device frame of the first one
    uint64_t renderOverruns = 0;   // frames that did not fit, packets too long
    uint64_t captureOverruns = 0;  // frames the device dropped for want of a poll
    uint64_t otherDeviceEvents = 0;
    uint64_t renderRecoveries = 0;
    uint64_t captureRecoveries = 0;
    uint64_t continuityFailures = 0;
    uint64_t feedbackReplaced = 0;
    uint64_t framesPlayed = 0;
    uint64_t playedOutOfOrder = 0;
    uint64_t framesCaptured = 0;
    uint64_t capturedOutOfOrder = 0;
};

struct StreamRun {
    std::string device;           // a ready-made device
    ULONG rate = 48000;
    int64_t clockOffsetPpm = 0;
    LONG64 seconds = 1;           // simulated
    bool forceAmdQuirk = false;
    bool reverseHalfway = false;  // the clock offset turns to its opposite after half the run
    ULONG playbackFramesPerTransfer = 0;  // written to the performance key before the start; 0: the default
    // Changes to the ready-made device's description, if any.
    std::function<void(simusb::AudioDescription&)> edit;
};

// A run of a ready-made device at a rate, everything else as by default.
inline StreamRun RunOf(const char* device, ULONG rate) {
    StreamRun run;
    run.device = device;
    run.rate = rate;
    return run;
}

// A device started in a world, its directions opened at a rate.
class StreamingDevice {
public:
    StreamingDevice(kerneltest::DriverWorld& world, const StreamRun& run);
    ~StreamingDevice();

    CUSBAudioAdapter& Adapter() { return *adapter_; }
    simusb::AudioDevice& Usb() { return *usb_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    bool Started() const { return adapter_ != nullptr; }
    bool Duplex() const;
    // The first start: directions opened, pipelines running, the test
    // source and sink attached once the directions are open.
    NTSTATUS Start();
    void Stop();
    void AttachClients();
    void DetachClients();
    CountingRenderSource& Source() { return source_; }
    SignalCheckingSink& Sink() { return sink_; }
    // Runs fn with the device while the host controller leaves it alone.
    void WithDevice(const std::function<void(simusb::AudioDevice&)>& fn);
    void SetClockOffsetPpm(int64_t ppm);

    // What the device's render record showed while the clients were
    // attached. Read them rather than the device while streaming: a look
    // at the simulated device settles its time within a bus frame.
    std::atomic<uint64_t> framesPlayed{0};
    std::atomic<uint64_t> playedOutOfOrder{0};

private:
    kerneltest::DriverWorld& world_;
    std::shared_ptr<simusb::AudioDevice> usb_;
    PDEVICE_OBJECT pdo_ = nullptr;
    CUSBAudioAdapter* adapter_ = nullptr;
    ULONG rate_;
    CountingRenderSource source_;
    SignalCheckingSink sink_;
    bool renderChecked_ = false;
};

// Streams a device through the engine as `run` says and counts what went
// wrong. Builds its own world.
StreamFigures RunStreaming(const StreamRun& run);

// Sleeps the calling simulation thread for simulated milliseconds.
void SleepMs(LONG64 milliseconds);

}  // namespace enginetest
