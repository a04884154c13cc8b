// The simulated audio engine: the platform's client of a WaveRT endpoint.
// It finds the device's filter among the KSCATEGORY_AUDIO interfaces, opens
// it, reads its pins, asks the data intersection for each stream's format,
// and streams through EngineStream; it sets the master volume and mute
// through the node properties and reads the jacks and the component id as
// the endpoint builder does. One engine is one client process.
#pragma once

#include <ksmedia.h>

#include <memory>
#include <string>
#include <vector>

#include "audioengine/endpoint_controls.h"
#include "audioengine/engine_stream.h"
#include "audioengine/filter_pins.h"
#include "audioengine/ks_requests.h"
#include "kmsim/client.h"
#include "kmsim/device_interfaces.h"

namespace audioengine {

// The enabled KSCATEGORY_AUDIO interfaces of the driver `service`, in the
// order they arrived; with `instancePath` only that device's.
std::vector<kmsim::DeviceInterface> FindAudioFilters(const std::string& service = "vq7audio",
                                                     const std::string& instancePath = {});

class AudioEngine {
public:
    explicit AudioEngine(const char* processName = "audio-engine");
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Opens the filter behind an interface and reads its pins and topology.
    NTSTATUS OpenFilter(const kmsim::DeviceInterface& filter);
    // Closes every stream, then the filter.
    NTSTATUS CloseFilter();

    // The streaming pin of a direction, or null.
    const PinInfo* StreamingPin(bool capture) const;
    // The format the intersection gives at `rate` (0: the engine's preferred rate).
    NTSTATUS ChooseFormat(bool capture, ULONG rate, PinFormat* format) const;
    // Opens a stream of a direction at `rate` (0: preferred); it stays in
    // STOP until Run.
    NTSTATUS OpenStream(bool capture, ULONG rate, const StreamOptions& options, EngineStream** stream);
    NTSTATUS OpenStream(bool capture, const PinFormat& format, const StreamOptions& options, EngineStream** stream);
    // Closes one stream (null: nothing).
    NTSTATUS CloseStream(EngineStream* stream);

    // The master volume and mute of a direction's path (STATUS_NOT_FOUND
    // when the path has no such node); levels in 1/65536 dB, master channel.
    NTSTATUS SetMasterVolume(bool capture, LONG level);
    NTSTATUS GetMasterVolume(bool capture, LONG* level);
    NTSTATUS SetMute(bool capture, bool muted);
    NTSTATUS GetMute(bool capture, bool* muted);

    const EndpointControls& Controls() const { return *controls_; }
    const std::vector<PinInfo>& Pins() const { return pins_; }
    const KsHandle& Filter() const { return *filter_; }
    kmsim::Client& Process() { return process_; }

private:
    PathControls Path(bool capture) const;

    kmsim::Client process_;
    std::string referenceString_;
    std::unique_ptr<KsHandle> filter_;
    std::unique_ptr<EndpointControls> controls_;
    std::vector<PinInfo> pins_;
    std::vector<std::unique_ptr<EngineStream>> streams_;
};

}  // namespace audioengine
