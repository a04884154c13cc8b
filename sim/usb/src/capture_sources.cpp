#include "simusb/capture_sources.h"

#include <algorithm>
#include <vector>

namespace simusb {

namespace {

class SilenceSource final : public CaptureSource {
public:
    void Fill(uint64_t, uint64_t, const SampleFormat&, std::span<int32_t> frame) override {
        std::fill(frame.begin(), frame.end(), 0);
    }
};

class TestSignalSource final : public CaptureSource {
public:
    void Fill(uint64_t index, uint64_t, const SampleFormat& format, std::span<int32_t> frame) override {
        for (size_t c = 0; c < frame.size(); ++c) frame[c] = TestSignalSample(format, index, static_cast<uint8_t>(c));
    }
};

class WavSource final : public CaptureSource {
public:
    WavSource(AudioClip audio, bool loop) : audio_(std::move(audio)), loop_(loop) {}

    void Fill(uint64_t index, uint64_t, const SampleFormat& format, std::span<int32_t> frame) override {
        std::fill(frame.begin(), frame.end(), 0);
        uint64_t frames = audio_.Frames();
        if (frames == 0 || (!loop_ && index >= frames)) return;
        size_t first = static_cast<size_t>(index % frames) * audio_.format.channels;
        for (size_t c = 0; c < frame.size() && c < audio_.format.channels; ++c) {
            frame[c] = ConvertSample(audio_.samples[first + c], audio_.format, format);
        }
    }

private:
    AudioClip audio_;
    bool loop_;
};

class LoopbackSource final : public CaptureSource {
public:
    LoopbackSource(const LoopbackTap* tap, uint32_t delay) : tap_(tap), delay_(delay) {}

    void Fill(uint64_t, uint64_t deviceFrame, const SampleFormat& format, std::span<int32_t> frame) override {
        std::fill(frame.begin(), frame.end(), 0);
        if (tap_ == nullptr) return;
        const uint64_t renderFrame = tap_->RenderFrameFor(deviceFrame, clock_);
        if (renderFrame < delay_) return;
        played_.assign(tap_->Format().channels, 0);
        if (!tap_->Copy(renderFrame - delay_, played_)) return;
        for (size_t c = 0; c < frame.size() && c < played_.size(); ++c) {
            frame[c] = ConvertSample(played_[c], tap_->Format(), format);
        }
    }

    void Follow(const ClockModel* clock) override { clock_ = clock; }

private:
    const LoopbackTap* tap_;
    uint32_t delay_;
    const ClockModel* clock_ = nullptr;
    std::vector<int32_t> played_;
};

}  // namespace

int32_t TestSignalSample(const SampleFormat& format, uint64_t index, uint8_t channel) {
    unsigned container = 8u * std::clamp<unsigned>(format.subslotBytes, 1, 4);
    unsigned bits = std::clamp<unsigned>(format.bitResolution, 1, container);
    uint32_t counter = static_cast<uint32_t>(index * 16 + channel);
    int32_t wrapped = static_cast<int32_t>(counter << (32 - bits)) >> (32 - bits);
    return static_cast<int32_t>(static_cast<uint32_t>(wrapped) << (container - bits));
}

std::unique_ptr<CaptureSource> MakeCaptureSource(const CaptureOptions& options, const LoopbackTap* tap) {
    switch (options.kind) {
    case CaptureKind::Silence: return std::make_unique<SilenceSource>();
    case CaptureKind::TestSignal: return std::make_unique<TestSignalSource>();
    case CaptureKind::WavFile: return std::make_unique<WavSource>(ReadAudioFile(options.wavFile), options.loopWav);
    case CaptureKind::Loopback: return std::make_unique<LoopbackSource>(tap, options.loopbackDelay_frames);
    }
    return std::make_unique<SilenceSource>();
}

}  // namespace simusb
