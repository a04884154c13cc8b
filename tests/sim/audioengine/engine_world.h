// The simulated audio engine on the whole driver: a ready-made device
// plugged into the simulated bus and started, and the engine with the
// device's filter open, found through the audio interfaces. The checks that
// judge what arrived: a render signal whose every frame is known, followed
// in the device's played record, and the device's sent capture frames
// compared in order with what the engine's sink read.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "asio_duplex_client.h"
#include "audioengine/audio_engine.h"
#include "driver_world.h"

namespace enginetest {

// Render sample k, channel c at `bits`: never zero, distinct within a
// frame and over a long period, and within the top bits - 2 of the width.
int32_t SignalSample(uint64_t frame, ULONG channel, ULONG bits);
// A little-endian sample of `bits` at `at`, sign-extended.
int32_t ReadSample(const uint8_t* at, ULONG bits);

// Follows the signal in the device's played record: the first non-silent
// frame fixes where the signal starts; every frame after it must be the
// signal's next (shifted to the device's width), until silence ends it.
class RenderCheck {
public:
    RenderCheck(kerneltest::DriverWorld& world, PDEVICE_OBJECT pdo);
    ~RenderCheck();
    audioengine::RenderSource Source(const audioengine::PinFormat& format);
    void SetShift(ULONG shift) { shift_ = shift; }
    uint64_t Played() const { return played_; }
    uint64_t Mismatches() const { return mismatches_; }
    uint64_t ResumedAfterSilence() const { return resumed_; }

private:
    int32_t Expected(uint64_t frame, ULONG channel) const;
    kerneltest::DriverWorld& world_;
    PDEVICE_OBJECT pdo_;
    ULONG bits_ = 32;
    ULONG channels_ = 2;
    std::atomic<ULONG> shift_{0};
    uint64_t first_ = 0;
    uint64_t played_ = 0;
    uint64_t mismatches_ = 0;
    uint64_t resumed_ = 0;  // signal frames after a silence inside the run
    bool silent_ = false;
};

// Queues what the device sends (narrowed to the stream's width) and lets
// the engine's sink take it off in order: the engine's first frame is
// found among the queued ones, every later one must be the next.
class CaptureCheck {
public:
    CaptureCheck(kerneltest::DriverWorld& world, PDEVICE_OBJECT pdo);
    ~CaptureCheck();
    audioengine::CaptureSink Sink(const audioengine::PinFormat& format);
    void SetShift(ULONG shift) { shift_ = shift; }
    uint64_t Read() const { return read_; }
    uint64_t Wrong() const { return wrong_; }
    bool Found() const { return found_; }

private:
    kerneltest::DriverWorld& world_;
    PDEVICE_OBJECT pdo_;
    std::atomic<ULONG> shift_{0};
    std::mutex lock_;  // the device's thread against the engine's
    std::deque<std::vector<int32_t>> sent_;
    uint64_t read_ = 0;
    uint64_t wrong_ = 0;
    bool found_ = false;
};

// What one RunBoth saw of each direction the filter streams.
struct RunResult {
    bool render = false;
    bool capture = false;
    audioengine::PinFormat renderFormat = {};
    audioengine::PinFormat captureFormat = {};
    audioengine::StreamStats renderStats;
    audioengine::StreamStats captureStats;
    uint64_t played = 0;      // signal frames the device played
    uint64_t mismatches = 0;  // of those, frames not the signal's next
    uint64_t captured = 0;    // frames the engine read
    uint64_t captureWrong = 0;
    bool captureFound = false;
};

// An ASIO client streaming duplex PCM on the Q7 beside the engine: the
// channel claimed, a 64-frame stream prepared and started, its input armed
// and a read pending per slot, each answered with an output period.
class StreamingAsio {
public:
    static constexpr ULONG kFrames = 64;
    StreamingAsio(kerneltest::DriverWorld& world, PDEVICE_OBJECT pdo) : channel_(world, pdo) {}
    ~StreamingAsio() {
        if (thread_) Stop();  // a test that gave up early
    }
    NTSTATUS Start();
    void RunFor(int64_t ns) { client_.RunUntil(kmsim::NowNs() + ns); }
    // Serves the periods on a thread of its own, as an ASIO host's
    // streaming thread does, while the test's thread does other things.
    void ServeInBackground();
    // Stops the stream (and the thread), waits for its reads and closes the handle.
    void Stop();
    asiotest::DuplexClient& Client() { return client_; }
    asiotest::ChannelClient& Channel() { return channel_; }

private:
    asiotest::ChannelClient channel_;
    asiotest::DuplexClient client_{channel_, kFrames, 4 * 4, 2};  // the Q7: 4 inputs, 2 outputs, 32 bits
    std::atomic<bool> stop_{false};
    std::unique_ptr<kmsim::Thread> thread_;
};

class EngineTest : public testing::Test {
protected:
    // Starts a ready-made device and opens its filter.
    void Start(const char* readyMade);
    // Opens the filter the device publishes now (after a rate change).
    NTSTATUS Reopen();
    // The device moved to `rate` through the ASIO channel, as the control
    // panel does, and the engine on the filter published for it.
    NTSTATUS ChangeRate(ULONG rate);
    void Unplug();
    // Renders the known signal and captures for `ms` with every direction
    // the filter streams, at `rate` (0: the engine's choice), then pauses,
    // lets what was mixed play out, and closes.
    RunResult RunBoth(ULONG rate, LONGLONG ms, const audioengine::StreamOptions& options = {});
    void TearDown() override;
    // The device's sample width behind a direction's stream (after its format is set).
    ULONG DeviceBits(bool capture);

    kerneltest::DriverWorld world_;
    kerneltest::PluggedDevice device_;
    std::unique_ptr<audioengine::AudioEngine> engine_ = std::make_unique<audioengine::AudioEngine>();
    bool unplugged_ = false;
};

class EngineQ7Test : public EngineTest {
protected:
    void SetUp() override { Start("q7-0b31"); }
};

// The ready-made devices whose filter the system's engine streams through.
std::vector<std::string> StreamingDevices();
// The rates a device offers, of the common ones.
std::vector<ULONG> OfferedRates(CUSBAudioAdapter& adapter);

}  // namespace enginetest
