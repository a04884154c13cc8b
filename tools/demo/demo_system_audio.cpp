#include "demo_system_audio.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "audioengine/audio_engine.h"
#include "demo_error.h"
#include "status_names.h"

namespace vq7demo {

namespace {

constexpr double kToneHz = 440;
constexpr double kToneLevel = 0.0316;  // -30 dBFS: under the ASIO signal, well under the marker

void PutPcm(uint8_t* at, double value, uint32_t bits) {
    const double full = std::ldexp(1.0, static_cast<int>(bits) - 1);
    const auto code = static_cast<uint32_t>(static_cast<int32_t>(std::clamp(std::round(value * full), -full, full - 1)));
    for (uint32_t b = 0; b < bits / 8; ++b) at[b] = static_cast<uint8_t>(code >> (8 * b));
}

}  // namespace

SystemAudio::SystemAudio(const DemoOptions& options) : options_(options) {
    if (options_.systemAudio != SystemAudioKind::File) return;
    try {
        file_ = simusb::ReadAudioFile(options_.systemAudioFile);
    } catch (const std::exception& failure) {
        throw DemoError("cannot read the system audio file " + std::string(failure.what()));
    }
}

SystemAudio::~SystemAudio() { Stop(); }

double SystemAudio::Value(uint64_t frame, uint32_t channel) const {
    if (fileSignal_) {
        return fileSignal_->Value(fileSignal_->ProgrammeFrame() + frame, channel);
    }
    const double t = static_cast<double>(frame) / result_.rate;
    return kToneLevel * std::sin(2 * std::numbers::pi * kToneHz * t);
}

void SystemAudio::Start(const std::string& instancePath) {
    if (options_.systemAudio == SystemAudioKind::Off) return;
    engine_ = std::make_unique<audioengine::AudioEngine>("system-audio");
    const auto filters = audioengine::FindAudioFilters("vq7audio", instancePath);
    NTSTATUS status = filters.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : engine_->OpenFilter(filters.front());
    audioengine::PinFormat format = {};
    if (NT_SUCCESS(status)) status = engine_->ChooseFormat(false, 0, &format);
    if (NT_SUCCESS(status)) {
        result_.rate = format.Rate();
        result_.channels = format.Channels();
        result_.bits = format.Bits();
        if (file_) fileSignal_.emplace(format.Rate(), &*file_);  // the file at the stream's rate, once
        audioengine::StreamOptions stream;
        stream.source = [this, channels = format.Channels(), bits = format.Bits()](uint64_t first, uint8_t* out,
                                                                                    ULONG frames) {
            for (ULONG f = 0; f < frames; ++f) {
                for (uint32_t c = 0; c < channels; ++c) {
                    PutPcm(out + (f * channels + c) * (bits / 8), Value(first + f, c), bits);
                }
            }
        };
        status = engine_->OpenStream(false, format, stream, &stream_);
    }
    if (NT_SUCCESS(status)) status = stream_->Run();
    if (!NT_SUCCESS(status)) {
        result_.refused = vq7usb::StatusName(status);
        engine_.reset();
        stream_ = nullptr;
        return;
    }
    result_.ran = true;
}

void SystemAudio::Stop() {
    if (stream_ == nullptr) return;
    const audioengine::StreamStats stats = stream_->Stats();
    result_.framesPlayed = stats.deviceFrames;
    result_.glitches = stats.glitches;
    result_.positionDriftFrames = audioengine::PositionDriftFrames(stats, result_.rate, options_.driftPpm);
    engine_->CloseFilter();
    engine_.reset();
    stream_ = nullptr;
}

}  // namespace vq7demo
