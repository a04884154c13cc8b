#include "demo_session.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "asiopeer/asio_channel_client.h"
#include "demo_device.h"
#include "demo_error.h"
#include "demo_round_trip.h"
#include "demo_system_audio.h"
#include "demo_world.h"
#include "status_names.h"

namespace vq7demo {

namespace {

constexpr size_t kMaxFillPoints = 4000;
constexpr double kWindowAfterEcho_s = 0.002;
constexpr double kWindowBeforeMarker_s = 0.001;

double ProcessCpuSeconds() {
    timespec now = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string Status(NTSTATUS status) { return vq7usb::StatusName(status); }

// The device's counters of underruns and overruns, read under the bus's lock.
struct DeviceCounts {
    uint64_t underruns = 0;
    uint64_t overruns = 0;
};

// The engine's counters the device clock is judged by.
struct ClockCounters {
    LONG64 feedbackSum = 0;
    LONG feedbackValues = 0;
    LONG64 captureFrames = 0;
    LONG captureTransfers = 0;
};

ClockCounters ReadClockCounters(const vq7::EngineStatistics& s) {
    return ClockCounters{__atomic_load_n(&s.feedbackValueSum, __ATOMIC_RELAXED),
                         __atomic_load_n(&s.feedbackTransfersCompleted, __ATOMIC_RELAXED),
                         __atomic_load_n(&s.captureFramesReceived, __ATOMIC_RELAXED),
                         __atomic_load_n(&s.captureTransfersCompleted, __ATOMIC_RELAXED)};
}

WireFormat WireOf(const vq7::AudioFormat& format, SampleKind kind) {
    return WireFormat{kind, format.channels, format.bitsPerSample};
}

class Session {
public:
    Session(const DemoOptions& options, const ProgressSink& progress) : options_(options), progress_(progress) {}

    SessionResult Run();

private:
    void LoadProgramme();
    void OpenChannel();
    void Prepare();
    void Stream();
    bool ServePeriod();
    void KeepInput(std::span<const UCHAR> period);
    void KeepWindow(uint64_t frame, std::span<const UCHAR> period, uint32_t index);
    void SampleFills();
    void ReportProgress();
    void MeasureClock();
    void Finish();
    DeviceCounts ReadDeviceCounts();
    uint64_t RingXruns();

    const DemoOptions& options_;
    const ProgressSink& progress_;
    SessionResult result_;
    LoopedDevice device_;
    std::optional<simusb::AudioClip> programme_;
    std::optional<TestSignal> signal_;
    std::optional<DemoWorld> world_;
    std::optional<asiopeer::AsioChannelClient> client_;
    std::optional<SystemAudio> systemAudio_;
    std::vector<uint8_t> outPeriod_;
    std::vector<double> dsdState_;
    DeviceCounts countsAtStart_;
    int64_t start_ns_ = 0;
    int64_t end_ns_ = 0;
    int64_t nextProgress_ns_ = 0;
    uint64_t fillEvery_ = 1;  // buffer switches per stretch of the fill record
    uint64_t fillCount_ = 0;
    ULONG transferMs_ = 1;
    ClockCounters atSettle_;
    bool settled_ = false;
};

void Session::LoadProgramme() {
    if (options_.input.empty()) return;
    try {
        programme_ = simusb::ReadAudioFile(options_.input);
    } catch (const std::exception& failure) {
        throw DemoError("cannot read the input file " + std::string(failure.what()));
    }
}

void Session::OpenChannel() {
    client_.emplace("vq7demo");
    NTSTATUS status = client_->Open(world_->DevicePath());
    if (!NT_SUCCESS(status)) throw DemoError("cannot open the ASIO channel: " + Status(status));
    if (!NT_SUCCESS(client_->GetDeviceName(&result_.deviceName))) result_.deviceName.clear();
    status = client_->SetSampleRate(options_.rate);
    if (!NT_SUCCESS(status)) {
        ULONG low = 0;
        ULONG high = 0;
        std::string range;
        if (NT_SUCCESS(client_->GetRateRange(&low, &high))) {
            range = " (it offers rates from " + std::to_string(low) + " to " + std::to_string(high) + " Hz)";
        }
        throw DemoError("the device refuses " + std::to_string(options_.rate) + " Hz: " + Status(status) + range);
    }
}

void Session::Prepare() {
    const bool dsd = options_.format == SampleKind::Dsd;
    if (dsd) {
        bool supported = false;
        if (!NT_SUCCESS(client_->GetDsdSupport(&supported)) || !supported) {
            throw DemoError("the device has no DSD mode");
        }
    }
    const USHORT tag = options_.format == SampleKind::Float ? ASIO_FORMAT_TAG_IEEE_FLOAT : ASIO_FORMAT_TAG_PCM;
    // The system's audio starts first when it can share the device (PCM),
    // as a desktop's sounds usually play before a music program starts;
    // a float or DSD stream needs the device alone, so there the ASIO
    // stream is prepared first and the system's audio is refused.
    const bool shares = options_.format == SampleKind::Pcm;
    systemAudio_.emplace(options_);
    if (shares) systemAudio_->Start(world_->InstancePath());
    NTSTATUS status = client_->Claim();
    if (!NT_SUCCESS(status)) throw DemoError("cannot claim the ASIO channel: " + Status(status));
    status = client_->Prepare(asiopeer::DuplexParams(options_.bufferFrames, tag, dsd));
    if (!NT_SUCCESS(status)) {
        throw DemoError("the channel refuses " + std::to_string(options_.bufferFrames) + "-frame buffers of " +
                        SampleKindName(options_.format) + " at " + std::to_string(options_.rate) + " Hz: " +
                        Status(status));
    }
    if (!shares) systemAudio_->Start(world_->InstancePath());
    vq7::AsioStream& asio = world_->Adapter().Asio();
    result_.input = WireOf(asio.InputFormat(), options_.format);
    result_.output = WireOf(asio.OutputFormat(), options_.format);
    if (!NT_SUCCESS(client_->GetCaptureFramesPerTransfer(&transferMs_)) || transferMs_ == 0) transferMs_ = 1;
    const ULONG transferFrames = (options_.rate + 999) / 1000 * transferMs_;
    result_.readSlots = asiopeer::ReadSlots(transferFrames, options_.bufferFrames);
}

DeviceCounts Session::ReadDeviceCounts() {
    DeviceCounts counts;
    world_->Bus().WithDevice(world_->Pdo(), [&](simusb::Device&) {
        if (simusb::RenderStream* render = device_.usb->Render(device_.renderInterface)) {
            counts.underruns += render->Events().Underruns().size();
            counts.overruns += render->Events().Overruns().size();
        }
        if (simusb::CaptureStream* capture = device_.usb->Capture(device_.captureInterface)) {
            counts.overruns += capture->Events().Overruns().size();
        }
    });
    return counts;
}

uint64_t Session::RingXruns() {
    vq7::AsioStream& asio = world_->Adapter().Asio();
    return uint64_t{asio.InputRing().Underruns()} + asio.InputRing().Overruns() + asio.OutputRing().Underruns() +
           asio.OutputRing().Overruns();
}

void Session::KeepWindow(uint64_t frame, std::span<const UCHAR> period, uint32_t index) {
    if (frame < result_.windowStart) return;
    const size_t at = static_cast<size_t>(frame - result_.windowStart);
    const size_t limit = static_cast<size_t>(options_.rate * 0.5);  // the window never outgrows half a second
    if (at >= limit) return;
    if (result_.windowRead.size() <= at) result_.windowRead.resize(at + 1, 0.0f);
    result_.windowRead[at] = static_cast<float>(DecodeSample(result_.input, period, index));
}

void Session::KeepInput(std::span<const UCHAR> period) {
    const WireFormat& in = result_.input;
    const uint32_t frames = static_cast<uint32_t>(period.size() / in.FrameBytes());
    for (uint32_t f = 0; f < frames; ++f) {
        const uint64_t frame = result_.framesIn + f;
        const size_t first = static_cast<size_t>(f) * in.channels;
        for (uint32_t c = 0; c < in.channels; ++c) result_.recorded.samples.push_back(HeldSample(in, period, first + c));
        const bool beforeEchoEnds =
            !result_.markerInputFrame ||
            frame < *result_.markerInputFrame + static_cast<uint64_t>(kWindowAfterEcho_s * options_.rate);
        if (beforeEchoEnds) KeepWindow(frame, period, static_cast<uint32_t>(first));
        if (!result_.markerInputFrame && frame > result_.markerOutputFrame &&
            DecodeSample(in, period, first) > kMarkerThreshold) {
            result_.markerInputFrame = frame;
        }
    }
    result_.framesIn += frames;
}

void Session::SampleFills() {
    vq7::AsioStream& asio = world_->Adapter().Asio();
    const uint32_t input = asio.InputRing().Level() / result_.input.FrameBytes();
    const uint32_t output = asio.OutputRing().Level() / result_.output.FrameBytes();
    if (fillCount_ == 0) {
        result_.fills.push_back(RingFill{static_cast<double>(kmsim::NowNs() - start_ns_) * 1e-9, {}, {}});
    }
    RingFill& stretch = result_.fills.back();
    fillCount_ += 1;
    for (auto [range, level] : {std::pair{&stretch.input, input}, std::pair{&stretch.output, output}}) {
        range->low = std::min(range->low, level);
        range->high = std::max(range->high, level);
        range->mean += (level - range->mean) / static_cast<double>(fillCount_);
    }
    if (fillCount_ == fillEvery_) fillCount_ = 0;
}

void Session::ReportProgress() {
    const int64_t now = kmsim::NowNs();
    // The clock is judged after the first quarter (at most a second), once
    // the device's FIFO has settled at its level.
    if (!settled_ && now - start_ns_ >= std::min<int64_t>((end_ns_ - start_ns_) / 4, 1000000000)) {
        atSettle_ = ReadClockCounters(world_->Adapter().Statistics());
        settled_ = true;
    }
    if (!progress_ || now < nextProgress_ns_) return;
    nextProgress_ns_ = now + 100000000;
    const DeviceCounts counts = ReadDeviceCounts();
    Progress p;
    p.simulatedSeconds = static_cast<double>(now - start_ns_) * 1e-9;
    p.totalSeconds = options_.seconds;
    p.framesMoved = result_.framesIn + result_.framesOut;
    p.periods = result_.periods;
    p.xruns = counts.underruns + counts.overruns - countsAtStart_.underruns - countsAtStart_.overruns + RingXruns();
    progress_(p);
}

bool Session::ServePeriod() {
    std::span<const UCHAR> period;
    NTSTATUS status = client_->WaitPeriod(&period);
    if (!NT_SUCCESS(status)) {
        result_.failure = "a read failed: " + Status(status);
        return false;
    }
    KeepInput(period);
    const uint32_t frames = options_.bufferFrames;
    EncodeFrames(*signal_, result_.output, result_.framesOut, frames, dsdState_, outPeriod_);
    status = client_->Write(outPeriod_);
    if (!NT_SUCCESS(status)) {
        result_.failure = "a write failed: " + Status(status);
        return false;
    }
    result_.framesOut += frames;
    result_.periods += 1;
    status = client_->RequeueRead();
    if (!NT_SUCCESS(status)) {
        result_.failure = "a read could not be queued: " + Status(status);
        return false;
    }
    SampleFills();
    ReportProgress();
    return true;
}

void Session::Stream() {
    signal_.emplace(options_.rate, programme_ ? &*programme_ : nullptr);
    result_.markerOutputFrame = signal_->MarkerFrame();
    const uint64_t before = static_cast<uint64_t>(kWindowBeforeMarker_s * options_.rate);
    result_.windowStart = result_.markerOutputFrame > before ? result_.markerOutputFrame - before : 0;
    outPeriod_.assign(static_cast<size_t>(options_.bufferFrames) * result_.output.FrameBytes(), 0);
    result_.recorded.format = HeldFormat(result_.input);
    result_.recorded.rate = options_.rate;
    const uint64_t expectedPeriods =
        static_cast<uint64_t>(options_.seconds * options_.rate / std::max<uint32_t>(options_.bufferFrames, 1));
    fillEvery_ = std::max<uint64_t>(1, expectedPeriods / kMaxFillPoints);

    // After the ASIO stream is prepared (an exclusive ASIO format then keeps
    // the system's audio out, rather than the other way round) and before
    // it starts (the system's stream starts its directions while no ASIO
    // period waits to be served).
    NTSTATUS status = client_->Start();
    if (!NT_SUCCESS(status)) throw DemoError("the channel did not start: " + Status(status));
    status = client_->ArmInput();
    if (!NT_SUCCESS(status)) throw DemoError("the input could not be armed: " + Status(status));
    status = client_->BeginReads(result_.readSlots, options_.bufferFrames * result_.input.FrameBytes());
    if (!NT_SUCCESS(status)) throw DemoError("the first reads failed: " + Status(status));

    countsAtStart_ = ReadDeviceCounts();
    start_ns_ = kmsim::NowNs();
    end_ns_ = start_ns_ + static_cast<int64_t>(options_.seconds * 1e9);
    const double cpuStart = ProcessCpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    while (kmsim::NowNs() < end_ns_ && ServePeriod()) {
    }
    result_.cpuSeconds = ProcessCpuSeconds() - cpuStart;
    result_.streamedSeconds = static_cast<double>(kmsim::NowNs() - start_ns_) * 1e-9;
    result_.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
}

// The device clock against the bus clock: from the mean of the explicit
// feedback values against their nominal value, or, where capture paces
// render, from the frames capture transfers carried against what their
// bus time holds at the nominal rate.
void Session::MeasureClock() {
    if (!settled_) return;
    const ClockCounters now = ReadClockCounters(world_->Adapter().Statistics());
    const LONG values = now.feedbackValues - atSettle_.feedbackValues;
    const ULONG nominal = world_->Adapter().ClassLayer().GetFeedbackNominal(0);
    if (values > 0 && nominal != 0) {
        const double mean = static_cast<double>(now.feedbackSum - atSettle_.feedbackSum) / values;
        result_.clockOffsetPpm = (mean / nominal - 1) * 1e6;
        result_.clockSource = "the explicit feedback values";
        return;
    }
    const LONG transfers = now.captureTransfers - atSettle_.captureTransfers;
    if (transfers > 0) {
        const double expected = static_cast<double>(transfers) * transferMs_ * options_.rate / 1000.0;
        result_.clockOffsetPpm = (static_cast<double>(now.captureFrames - atSettle_.captureFrames) / expected - 1) * 1e6;
        result_.clockSource = "the capture packet sizes";
    }
}

void Session::Finish() {
    world_->Bus().WithDevice(world_->Pdo(), [&](simusb::Device&) {
        const simusb::RenderStream* render = device_.usb->Render(device_.renderInterface);
        const simusb::CaptureStream* capture = device_.usb->Capture(device_.captureInterface);
        if (render == nullptr || capture == nullptr) return;
        if (!world_->Adapter().ClassLayer().RenderFollowsCapture()) {
            result_.computedWhyNot = "the model describes render that follows capture, and this device's does not";
        } else if (const std::optional<asiopeer::RoundTrip> trip =
                       ComputedRoundTrip(options_, *device_.usb, *render, *capture)) {
            result_.computedFrames = trip->total_frames;
            for (const asiopeer::RoundTripTerm& term : trip->terms) result_.computedTerms.emplace_back(term.name, term.frames);
        } else {
            result_.computedWhyNot = "the device's render and capture clocks differ in rate or offset";
        }
    });
    // Counted up to the stop: the stop itself leaves the device's FIFO dry.
    const DeviceCounts counts = ReadDeviceCounts();
    vq7::AsioStream& asio = world_->Adapter().Asio();
    result_.xruns.deviceUnderruns = counts.underruns - countsAtStart_.underruns;
    result_.xruns.deviceOverruns = counts.overruns - countsAtStart_.overruns;
    result_.xruns.ringUnderruns = uint64_t{asio.InputRing().Underruns()} + asio.OutputRing().Underruns();
    result_.xruns.ringOverruns = uint64_t{asio.InputRing().Overruns()} + asio.OutputRing().Overruns();

    MeasureClock();

    systemAudio_->Stop();
    result_.systemAudio = systemAudio_->Result();
    client_->Stop();
    client_->DrainReads();
    client_->Unprepare();
    client_->Release();
    client_->Close();
    client_.reset();
    world_->Unplug();

    if (simusb::RenderStream* render = device_.usb->Render(device_.renderInterface)) {
        result_.played.format = render->Format();
        result_.played.rate = options_.rate;
        result_.played.samples = render->Played().Samples();
    }
    const size_t windowEnd = std::min(result_.windowRead.size(), static_cast<size_t>(options_.rate * 0.5));
    result_.windowRead.resize(windowEnd);
    for (size_t i = 0; i < windowEnd; ++i) {
        result_.windowWritten.push_back(static_cast<float>(signal_->Value(result_.windowStart + i, 0)));
        if (result_.systemAudio.ran) {
            result_.windowSystem.push_back(static_cast<float>(systemAudio_->Value(result_.windowStart + i, 0)));
        }
    }
    systemAudio_.reset();
}

SessionResult Session::Run() {
    result_.device = options_.device;
    result_.rate = options_.rate;
    result_.bufferFrames = options_.bufferFrames;
    result_.format = options_.format;
    result_.seconds = options_.seconds;
    result_.realtime = options_.realtime;
    device_ = MakeLoopedDevice(options_.device, options_.driftPpm);
    LoadProgramme();
    world_.emplace(options_.realtime, options_.seconds);
    world_->Plug(device_.usb);
    OpenChannel();
    Prepare();
    Stream();
    Finish();
    world_.reset();
    return std::move(result_);
}

}  // namespace

std::optional<int64_t> SessionResult::MeasuredFrames() const {
    if (!markerInputFrame) return std::nullopt;
    return static_cast<int64_t>(*markerInputFrame) - static_cast<int64_t>(markerOutputFrame);
}

bool SessionResult::LatencyAgrees() const {
    const std::optional<int64_t> measured = MeasuredFrames();
    if (!measured || !computedFrames) return false;
    return *measured == *computedFrames;
}

SessionResult RunSession(const DemoOptions& options, const ProgressSink& progress) {
    Session session(options, progress);
    return session.Run();
}

}  // namespace vq7demo
