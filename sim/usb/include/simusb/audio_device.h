// A simulated USB audio device: the standard requests from its descriptors,
// the class requests from the audio function its descriptors describe
// (version 1.0 or 2.0), and one render or capture stream per streaming
// interface, all driven through simusb::Device.
//
// The audio function is that of the first configuration. A stream runs while
// that configuration is selected, its interface has a setting other than 0,
// its clock is valid and, for a device that needs it, the host configured
// every interface; a packet at any other time is recorded as NotStreaming.
//
// The vendor mode request (0x41, bRequest 0, wValue mode, wIndex interface)
// is accepted for a streaming interface when the device lists the mode, and
// the mode is then remembered for that interface; otherwise it stalls.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "simusb/audio_description.h"
#include "simusb/audio_function.h"
#include "simusb/audio_model.h"
#include "simusb/audio_settings.h"
#include "simusb/capture_stream.h"
#include "simusb/loopback_tap.h"
#include "simusb/render_stream.h"
#include "simusb/standard_device.h"
#include "simusb/uac1_function.h"
#include "simusb/uac2_function.h"

namespace simusb {

class AudioDevice : public StandardDevice {
public:
    // Throws std::invalid_argument for a loopback to an interface that does
    // not render, std::runtime_error for a WAV file that cannot be read.
    AudioDevice(DescriptorSet descriptors, AudioSettings settings);
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

    void isoOut(uint8_t endpointAddress, const BusTime& at, std::span<const uint8_t> packet) override;
    size_t isoIn(uint8_t endpointAddress, const BusTime& at, std::span<uint8_t> buffer) override;
    void settle(int64_t now_ns) override;

    // Test side.
    const AudioModel* Model() const { return model_ ? &*model_ : nullptr; }
    const AudioSettings& Settings() const { return settings_; }
    Uac2Function* Uac2() { return dynamic_cast<Uac2Function*>(function_.get()); }
    Uac1Function* Uac1() { return dynamic_cast<Uac1Function*>(function_.get()); }
    RenderStream* Render(uint8_t interfaceNumber);
    CaptureStream* Capture(uint8_t interfaceNumber);
    // The first render or capture stream, nullptr if there is none.
    RenderStream* FirstRender();
    CaptureStream* FirstCapture();
    void SetClockOffsetPpm(int64_t offset_ppm, int64_t now_ns) { SetClockOffsetPpb(offset_ppm * 1000, now_ns); }
    void SetClockOffsetPpb(int64_t offset_ppb, int64_t now_ns);
    std::optional<uint16_t> VendorMode(uint8_t interfaceNumber) const;
    // Whether the stream on `interfaceNumber` may run at `now_ns`.
    bool StreamAllowed(uint8_t interfaceNumber, int64_t now_ns) const;

protected:
    ControlReply ClassRequest(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) override;
    ControlReply VendorRequest(const Setup& setup, std::span<const uint8_t> outData, int64_t now_ns) override;
    void ConfigurationChanged(int64_t now_ns) override { SyncAll(now_ns); }
    void AlternateSettingChanged(uint8_t interfaceNumber, uint8_t alternate, int64_t now_ns) override;
    void HostInterfacesChanged(int64_t now_ns) override { SyncAll(now_ns); }

private:
    struct Port {
        const StreamingInterface* model = nullptr;
        std::unique_ptr<RenderStream> render;
        std::unique_ptr<CaptureStream> capture;
        LoopbackTap tap;                  // what render played, for a capture looping it back
        Port* looped = nullptr;           // capture: the render port it loops back
    };

    void BuildPorts();
    const StreamAltSetting* SelectedAlternate(const Port& port) const;
    // Starts, stops or restarts a port's stream to match the device state.
    void Sync(Port& port, int64_t now_ns);
    void SyncAll(int64_t now_ns);
    Port* PortFor(uint8_t interfaceNumber);
    Port* DataPort(uint8_t endpointAddress);
    Port* FeedbackPort(uint8_t endpointAddress);
    void RenderPacket(Port& port, const BusTime& at, std::span<const uint8_t> packet);

    AudioSettings settings_;
    std::optional<AudioModel> model_;
    uint8_t audioConfiguration_ = 0;  // bConfigurationValue the audio function belongs to
    std::unique_ptr<AudioFunction> function_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::map<uint8_t, uint16_t> vendorModes_;
};

std::unique_ptr<AudioDevice> MakeAudioDevice(const AudioDescription& description);

}  // namespace simusb
