// The engine's test world and the checks that follow the audio through it.

#include "engine_world.h"

#include <algorithm>
#include <iterator>

#include "asio_channel_client.h"
#include "km_time.h"
#include "simusb/capture_stream.h"
#include "simusb/ready_made_devices.h"
#include "simusb/render_stream.h"

namespace enginetest {

namespace {

simusb::AudioDevice& Audio(simusb::Device& device) { return static_cast<simusb::AudioDevice&>(device); }

void PutSample(uint8_t* at, int32_t value, ULONG bits) {
    for (ULONG b = 0; b < bits / 8; ++b) at[b] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * b));
}

constexpr ULONG kCommonRates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000};

// Left out, as the WaveRT path's own device tests leave them out: the class
// 1.0 devices publish no WaveRT filter, the framed vendor device's render
// record shows nothing played through this path, and the jittering
// implicit-feedback device's Prepare fails at some of its rates.
const char* const kLeftOut[] = {"uac1-duplex", "uac1-async-dac", "framed-vendor-class", "implicit-jitter"};

// Frames the capture check keeps queued while the engine reads nothing.
constexpr size_t kMostQueued = 1 << 16;

}  // namespace

int32_t SignalSample(uint64_t frame, ULONG channel, ULONG bits) {
    const uint32_t mixed = static_cast<uint32_t>((frame % 65521) * 2654435761u) ^ (channel * 0x9E3779B9u);
    const int32_t masked = static_cast<int32_t>(mixed & ((1u << (bits - 2)) - 1));
    return masked != 0 ? masked : 1;
}

int32_t ReadSample(const uint8_t* at, ULONG bits) {
    uint32_t value = 0;
    for (ULONG b = 0; b < bits / 8; ++b) value |= static_cast<uint32_t>(at[b]) << (8 * b);
    const ULONG unused = 32 - bits;
    return static_cast<int32_t>(value << unused) >> unused;
}

// ---------------------------------------------------------------- render

RenderCheck::RenderCheck(kerneltest::DriverWorld& world, PDEVICE_OBJECT pdo) : world_(world), pdo_(pdo) {
    world_.Bus().WithDevice(pdo_, [&](simusb::Device& device) {
        if (Audio(device).FirstRender() == nullptr) return;  // a device that only captures
        simusb::FrameRecord& record = Audio(device).FirstRender()->Played();
        record.KeepSamples(false);
        record.SetChecker([this](uint64_t, std::span<const int32_t> frame) {
            if (std::all_of(frame.begin(), frame.end(), [](int32_t v) { return v == 0; })) {
                silent_ = played_ > 0;
                return;
            }
            if (played_ == 0) {
                for (uint64_t k = 0; k < 65521; ++k) {
                    if (Expected(k, 0) == frame[0] && (frame.size() < 2 || Expected(k, 1) == frame[1])) {
                        first_ = k;
                        break;
                    }
                }
            }
            resumed_ += silent_ ? 1 : 0;
            silent_ = false;
            bool match = true;
            for (ULONG c = 0; c < channels_ && c < frame.size(); ++c) {
                match = match && frame[c] == Expected(first_ + played_, c);
            }
            mismatches_ += match ? 0 : 1;
            ++played_;
        });
    });
}

RenderCheck::~RenderCheck() {
    world_.Bus().WithDevice(pdo_, [](simusb::Device& device) {
        if (Audio(device).FirstRender() != nullptr) Audio(device).FirstRender()->Played().SetChecker(nullptr);
    });
}

int32_t RenderCheck::Expected(uint64_t frame, ULONG channel) const {
    return static_cast<int32_t>(static_cast<uint32_t>(SignalSample(frame, channel, bits_)) << shift_.load());
}

audioengine::RenderSource RenderCheck::Source(const audioengine::PinFormat& format) {
    bits_ = format.Bits();
    channels_ = format.Channels();
    return [bits = bits_, channels = channels_](uint64_t first, uint8_t* out, ULONG frames) {
        for (ULONG f = 0; f < frames; ++f) {
            for (ULONG c = 0; c < channels; ++c) {
                PutSample(out + (f * channels + c) * (bits / 8), SignalSample(first + f, c, bits), bits);
            }
        }
    };
}

// ---------------------------------------------------------------- capture

CaptureCheck::CaptureCheck(kerneltest::DriverWorld& world, PDEVICE_OBJECT pdo) : world_(world), pdo_(pdo) {
    world_.Bus().WithDevice(pdo_, [&](simusb::Device& device) {
        if (Audio(device).FirstCapture() == nullptr) return;  // a device that only plays
        simusb::FrameRecord& record = Audio(device).FirstCapture()->Sent();
        record.KeepSamples(false);
        record.SetChecker([this](uint64_t, std::span<const int32_t> frame) {
            std::vector<int32_t> narrowed(frame.begin(), frame.end());
            for (int32_t& v : narrowed) v >>= shift_.load();  // arithmetic, as the converter narrows
            std::lock_guard<std::mutex> guard(lock_);
            sent_.push_back(std::move(narrowed));
            if (sent_.size() > kMostQueued) sent_.pop_front();
        });
    });
}

CaptureCheck::~CaptureCheck() {
    world_.Bus().WithDevice(pdo_, [](simusb::Device& device) {
        if (Audio(device).FirstCapture() != nullptr) Audio(device).FirstCapture()->Sent().SetChecker(nullptr);
    });
}

audioengine::CaptureSink CaptureCheck::Sink(const audioengine::PinFormat& format) {
    return [this, bits = format.Bits(), channels = format.Channels()](uint64_t, const uint8_t* in, ULONG frames) {
        std::lock_guard<std::mutex> guard(lock_);
        for (ULONG f = 0; f < frames; ++f) {
            std::vector<int32_t> frame(channels);
            for (ULONG c = 0; c < channels; ++c) frame[c] = ReadSample(in + (f * channels + c) * (bits / 8), bits);
            if (!found_) {
                auto match = std::find(sent_.begin(), sent_.end(), frame);
                if (match == sent_.end()) {
                    ++wrong_;
                    continue;
                }
                sent_.erase(sent_.begin(), match);
                found_ = true;
            }
            if (sent_.empty() || sent_.front() != frame) {
                ++wrong_;
            }
            if (!sent_.empty()) sent_.pop_front();
            ++read_;
        }
    };
}

// ---------------------------------------------------------------- ASIO beside the engine

NTSTATUS StreamingAsio::Start() {
    NTSTATUS status = channel_.Open();
    if (NT_SUCCESS(status)) status = channel_.OpenPrepareStart(asiotest::Params(kFrames, true, true));
    if (NT_SUCCESS(status)) status = channel_.Send(IOCTL_ASIO_ARM_INPUT).status;
    if (NT_SUCCESS(status)) client_.Begin();
    return status;
}

void StreamingAsio::ServeInBackground() {
    thread_ = std::make_unique<kmsim::Thread>("asio host", [this] {
        while (!stop_ && NT_SUCCESS(client_.figures.failure)) client_.ServeOne();
    });
}

void StreamingAsio::Stop() {
    stop_ = true;
    if (thread_) thread_->Join();  // it ends at its next period
    thread_.reset();
    channel_.Send(IOCTL_ASIO_STOP);
    client_.Drain();
    channel_.Close();
}

// ---------------------------------------------------------------- the world

void EngineTest::Start(const char* readyMade) {
    device_ = world_.Start(readyMade);
    ASSERT_NE(world_.Adapter(device_.pdo), nullptr);
    ASSERT_EQ(Reopen(), STATUS_SUCCESS);
}

NTSTATUS EngineTest::Reopen() {
    const auto filters = audioengine::FindAudioFilters("vq7audio", world_.Pnp().InstancePath(device_.pdo));
    if (filters.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return engine_->OpenFilter(filters.front());
}

NTSTATUS EngineTest::ChangeRate(ULONG rate) {
    engine_->CloseFilter();
    asiotest::ChannelClient panel(world_, device_.pdo, "control-panel");
    NTSTATUS status = panel.Open();
    if (NT_SUCCESS(status)) status = panel.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, rate);
    panel.Close();
    const NTSTATUS reopened = Reopen();
    return NT_SUCCESS(status) ? reopened : status;
}

void EngineTest::Unplug() {
    world_.Pnp().Unplug(device_.pdo);
}

ULONG EngineTest::DeviceBits(bool capture) {
    CUSBAudioAdapter* adapter = world_.Adapter(device_.pdo);
    return capture ? adapter->StreamLayout().capture.bitsPerSample : adapter->StreamLayout().render.bitsPerSample;
}

void EngineTest::TearDown() {
    engine_.reset();
    if (!unplugged_ && device_.pdo != nullptr) world_.UnplugAndWait(device_.pdo);
}

RunResult EngineTest::RunBoth(ULONG rate, LONGLONG ms, const audioengine::StreamOptions& options) {
    RunResult result;
    result.render = engine_->StreamingPin(false) != nullptr;
    result.capture = engine_->StreamingPin(true) != nullptr;
    RenderCheck renderCheck(world_, device_.pdo);
    CaptureCheck captureCheck(world_, device_.pdo);
    audioengine::EngineStream* render = nullptr;
    audioengine::EngineStream* capture = nullptr;
    if (result.render) {
        EXPECT_EQ(engine_->ChooseFormat(false, rate, &result.renderFormat), STATUS_SUCCESS) << rate;
        audioengine::StreamOptions renderOptions = options;
        renderOptions.source = renderCheck.Source(result.renderFormat);
        EXPECT_EQ(engine_->OpenStream(false, result.renderFormat, renderOptions, &render), STATUS_SUCCESS) << rate;
        if (render != nullptr) renderCheck.SetShift(DeviceBits(false) - result.renderFormat.Bits());
    }
    if (result.capture) {
        EXPECT_EQ(engine_->ChooseFormat(true, rate, &result.captureFormat), STATUS_SUCCESS) << rate;
        audioengine::StreamOptions captureOptions = options;
        captureOptions.sink = captureCheck.Sink(result.captureFormat);
        EXPECT_EQ(engine_->OpenStream(true, result.captureFormat, captureOptions, &capture), STATUS_SUCCESS) << rate;
        if (capture != nullptr) captureCheck.SetShift(DeviceBits(true) - result.captureFormat.Bits());
    }
    for (audioengine::EngineStream* stream : {render, capture}) {
        if (stream != nullptr) {
            EXPECT_EQ(stream->Run(), STATUS_SUCCESS);
        }
    }
    kmtest::SleepMs(ms);
    for (audioengine::EngineStream* stream : {render, capture}) {
        if (stream != nullptr) {
            EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        }
    }
    kmtest::SleepMs(100);  // what was mixed plays out
    if (render != nullptr) result.renderStats = render->Stats();
    if (capture != nullptr) result.captureStats = capture->Stats();
    EXPECT_EQ(engine_->CloseStream(render), STATUS_SUCCESS);
    EXPECT_EQ(engine_->CloseStream(capture), STATUS_SUCCESS);
    result.played = renderCheck.Played();
    result.mismatches = renderCheck.Mismatches();
    result.captured = captureCheck.Read();
    result.captureWrong = captureCheck.Wrong();
    result.captureFound = captureCheck.Found();
    return result;
}

std::vector<std::string> StreamingDevices() {
    std::vector<std::string> names;
    for (const simusb::ReadyMadeDevice& device : simusb::ReadyMadeDevices()) {
        if (std::find(std::begin(kLeftOut), std::end(kLeftOut), device.name) == std::end(kLeftOut)) {
            names.emplace_back(device.name);
        }
    }
    return names;
}

std::vector<ULONG> OfferedRates(CUSBAudioAdapter& adapter) {
    std::vector<ULONG> rates;
    for (ULONG rate : kCommonRates) {
        if (NT_SUCCESS(adapter.ClassLayer().IsRateSupported(rate))) rates.push_back(rate);
    }
    return rates;
}

}  // namespace enginetest
