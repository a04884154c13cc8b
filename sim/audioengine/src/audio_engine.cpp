#include "audioengine/audio_engine.h"

#include <algorithm>

namespace audioengine {

std::vector<kmsim::DeviceInterface> FindAudioFilters(const std::string& service, const std::string& instancePath) {
    std::vector<kmsim::DeviceInterface> found;
    for (const kmsim::DeviceInterface& entry : kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO)) {
        if (entry.service == service && (instancePath.empty() || entry.instancePath == instancePath)) {
            found.push_back(entry);
        }
    }
    return found;
}

// The engine serves its buffers on a 1 ms timer, as the platform's engine
// raises the timer resolution while it runs.
AudioEngine::AudioEngine(const char* processName) : process_(processName) { ExSetTimerResolution(10000, TRUE); }

AudioEngine::~AudioEngine() {
    CloseFilter();
    ExSetTimerResolution(0, FALSE);
}

NTSTATUS AudioEngine::OpenFilter(const kmsim::DeviceInterface& filter) {
    CloseFilter();
    HANDLE handle = nullptr;
    NTSTATUS status = process_.Open(filter.path, &handle);
    if (!NT_SUCCESS(status)) return status;
    referenceString_ = filter.referenceString;
    filter_ = std::make_unique<KsHandle>(process_, handle);
    controls_ = std::make_unique<EndpointControls>(*filter_);
    status = ReadPins(*filter_, &pins_);
    if (NT_SUCCESS(status)) status = controls_->ReadTopology();
    if (!NT_SUCCESS(status)) CloseFilter();
    return status;
}

NTSTATUS AudioEngine::CloseFilter() {
    NTSTATUS status = STATUS_SUCCESS;
    while (!streams_.empty()) {
        const NTSTATUS closed = CloseStream(streams_.back().get());
        if (NT_SUCCESS(status)) status = closed;
    }
    if (filter_) {
        const NTSTATUS closed = process_.Close(filter_->Handle());
        if (NT_SUCCESS(status)) status = closed;
    }
    controls_.reset();
    filter_.reset();
    pins_.clear();
    return status;
}

const PinInfo* AudioEngine::StreamingPin(bool capture) const {
    auto pin = std::find_if(pins_.begin(), pins_.end(), [&](const PinInfo& p) { return p.Streams(capture); });
    return pin != pins_.end() ? &*pin : nullptr;
}

NTSTATUS AudioEngine::ChooseFormat(bool capture, ULONG rate, PinFormat* format) const {
    const PinInfo* pin = StreamingPin(capture);
    if (pin == nullptr) return STATUS_NOT_FOUND;
    return IntersectFormat(*filter_, *pin, rate != 0 ? rate : PreferredRate(referenceString_, *pin), format);
}

NTSTATUS AudioEngine::OpenStream(bool capture, ULONG rate, const StreamOptions& options, EngineStream** stream) {
    PinFormat format = {};
    const NTSTATUS status = ChooseFormat(capture, rate, &format);
    return NT_SUCCESS(status) ? OpenStream(capture, format, options, stream) : status;
}

NTSTATUS AudioEngine::OpenStream(bool capture, const PinFormat& format, const StreamOptions& options,
                                 EngineStream** stream) {
    *stream = nullptr;
    const PinInfo* pin = StreamingPin(capture);
    if (pin == nullptr || !filter_) return STATUS_NOT_FOUND;
    std::unique_ptr<EngineStream> opened;
    const NTSTATUS status = EngineStream::Open(process_, filter_->Handle(), pin->id, capture, format, options, &opened);
    if (NT_SUCCESS(status)) {
        *stream = opened.get();
        streams_.push_back(std::move(opened));
    }
    return status;
}

NTSTATUS AudioEngine::CloseStream(EngineStream* stream) {
    auto found = std::find_if(streams_.begin(), streams_.end(), [&](const auto& s) { return s.get() == stream; });
    if (found == streams_.end()) return STATUS_SUCCESS;
    const NTSTATUS status = (*found)->Close();
    streams_.erase(found);
    return status;
}

PathControls AudioEngine::Path(bool capture) const {
    const PinInfo* pin = StreamingPin(capture);
    return pin != nullptr && controls_ ? controls_->PathOf(*pin) : PathControls{};
}

NTSTATUS AudioEngine::SetMasterVolume(bool capture, LONG level) {
    const ULONG node = Path(capture).volumeNode;
    return node == kNoNode ? STATUS_NOT_FOUND : controls_->SetVolume(node, 0, level);
}

NTSTATUS AudioEngine::GetMasterVolume(bool capture, LONG* level) {
    const ULONG node = Path(capture).volumeNode;
    return node == kNoNode ? STATUS_NOT_FOUND : controls_->GetVolume(node, 0, level);
}

NTSTATUS AudioEngine::SetMute(bool capture, bool muted) {
    const ULONG node = Path(capture).muteNode;
    return node == kNoNode ? STATUS_NOT_FOUND : controls_->SetMute(node, 0, muted);
}

NTSTATUS AudioEngine::GetMute(bool capture, bool* muted) {
    const ULONG node = Path(capture).muteNode;
    return node == kNoNode ? STATUS_NOT_FOUND : controls_->GetMute(node, 0, muted);
}

}  // namespace audioengine
