// The channel target's world, built once and kept for the whole run: one
// simulated kernel, a Q7 plugged into the simulated bus and the driver
// started on it through Plug and Play. Each input runs its requests against
// it (asio_channel_session.h) and must leave it as it found it; only an
// input that unplugs the device pays for a new start.
#pragma once

#include <wdm.h>

#include <memory>
#include <string>

#include "kmsim/simulation.h"
#include "simpnp/pnp_manager.h"
#include "simusb/audio_device.h"
#include "simusbhost/bus.h"

namespace vq7fuzz {

class AsioChannelWorld {
public:
    AsioChannelWorld();
    ~AsioChannelWorld();
    AsioChannelWorld(const AsioChannelWorld&) = delete;
    AsioChannelWorld& operator=(const AsioChannelWorld&) = delete;

    // The channel's path: the device's audio interface and "\asio".
    const std::string& ChannelPath() const { return channelPath_; }
    // The hardware goes at once; removal finishes when the last handle closes.
    void Unplug();
    bool Unplugged() const { return unplugged_; }
    // After an input: the removal of an unplugged device waited for and a
    // new Q7 plugged and started; the process-wide test hooks and tuning
    // values back at their defaults, the sample rate back at the start's.
    // A channel that cannot be owned again stops the program.
    void Restore();

private:
    void PlugQ7();
    ULONG SampleRate();
    // What the device records for tests (frames played and sent, requests,
    // stream events) is dropped after every input: kept, it would grow with
    // the run and slow it down.
    void ForgetDeviceRecords();

    kmsim::Simulation sim_;
    std::unique_ptr<simusbhost::Bus> bus_;
    std::unique_ptr<simpnp::PnpManager> pnp_;
    std::shared_ptr<simusb::AudioDevice> device_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::string channelPath_;
    bool unplugged_ = false;
    ULONG startRate_ = 0;
    ULONG defaultSizing_[4];  // the process-wide transfer sizing before the world
};

// Virtual time passes for the calling simulation thread.
void SleepUs(LONG64 microseconds);

}  // namespace vq7fuzz
