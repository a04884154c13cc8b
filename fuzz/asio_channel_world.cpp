#include "asio_channel_world.h"

#include <ntddk.h>
#include <ksmedia.h>

#include <cstdio>
#include <cstdlib>

#include "asio_channel.h"
#include "engine/asio_ring.h"
#include "engine/failure_hooks.h"
#include "engine/mixer_lead.h"
#include "kmsim/client.h"
#include "kmsim/device_interfaces.h"
#include "kmsim/registry.h"
#include "simusb/ready_made_devices.h"
#include "wavert/performance_parameters.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace vq7fuzz {

namespace {

constexpr const char* kDeviceName = "q7-0b31";

// The driver's transfer sizing for the whole run, from the machine-wide
// performance key its start reads: the shortest transfers and the fewest in
// flight, so that a stream starts and stops in a few milliseconds of
// virtual time instead of a hundred and every input can afford several.
constexpr char kPerformanceKey[] = "\\Registry\\Machine\\SOFTWARE\\VEXO\\Q7 ASIO Performance";
constexpr struct {
    const char* name;
    uint32_t value;
} kPerformanceValues[] = {
    {"param1", 1},  // playback frames per transfer
    {"param2", 2},  // playback transfers in flight
    {"param3", 1},  // capture frames per transfer
    {"param4", 2},  // capture transfers in flight
};

kmsim::Options WorldOptions() {
    kmsim::Options options;
    options.threadName = "fuzz";
    // Inputs follow each other on one clock for as long as the run lasts.
    options.virtualLimit_ns = INT64_MAX / 2;
    return options;
}

[[noreturn]] void Stop(const char* what, NTSTATUS status) {
    fprintf(stderr, "asio channel world: %s (0x%08x)\n", what, static_cast<unsigned>(status));
    abort();
}

}  // namespace

void SleepUs(LONG64 microseconds) {
    LARGE_INTEGER delay;
    delay.QuadPart = -microseconds * 10;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

AsioChannelWorld::AsioChannelWorld()
    : sim_(WorldOptions()),
      bus_(std::make_unique<simusbhost::Bus>()),
      pnp_(std::make_unique<simpnp::PnpManager>(*bus_, simpnp::DriverImage{"vq7audio", DriverEntry})),
      defaultSizing_{vq7::PlaybackFramesPerTransfer, vq7::PlaybackTransfersInFlight, vq7::CaptureFramesPerTransfer,
                     vq7::CaptureTransfersInFlight} {
    for (const auto& value : kPerformanceValues) {
        kmsim::RegistrySetDword(kPerformanceKey, value.name, value.value);
    }
    PlugQ7();
    startRate_ = SampleRate();
}

AsioChannelWorld::~AsioChannelWorld() {
    pnp_.reset();
    bus_.reset();
    // The sizing is process-wide: the next world starts from the defaults.
    vq7::PlaybackFramesPerTransfer = defaultSizing_[0];
    vq7::PlaybackTransfersInFlight = defaultSizing_[1];
    vq7::CaptureFramesPerTransfer = defaultSizing_[2];
    vq7::CaptureTransfersInFlight = defaultSizing_[3];
}

void AsioChannelWorld::PlugQ7() {
    device_ = simusb::FindReadyMadeDevice(kDeviceName)->Make();
    if (simusb::RenderStream* render = device_->FirstRender()) render->Played().KeepSamples(false);
    if (simusb::CaptureStream* capture = device_->FirstCapture()) capture->Sent().KeepSamples(false);
    NTSTATUS status = pnp_->Plug(device_, &pdo_);
    if (!NT_SUCCESS(status)) Stop("the driver did not start on the Q7", status);
    const std::string instance = pnp_->InstancePath(pdo_);
    channelPath_.clear();
    for (const kmsim::DeviceInterface& entry : kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO)) {
        if (entry.instancePath == instance) {
            channelPath_ = entry.path.substr(0, entry.path.size() - entry.referenceString.size() - 1) + "\\asio";
            break;
        }
    }
    if (channelPath_.empty()) Stop("the driver published no audio interface", STATUS_UNSUCCESSFUL);
    unplugged_ = false;
}

void AsioChannelWorld::Unplug() {
    if (unplugged_) return;
    pnp_->Unplug(pdo_);
    unplugged_ = true;
}

ULONG AsioChannelWorld::SampleRate() {
    kmsim::Client process("fuzz-world");
    HANDLE handle = nullptr;
    NTSTATUS status = process.Open(channelPath_, &handle);
    if (!NT_SUCCESS(status)) Stop("the channel does not open", status);
    ULONG rate = 0;
    ULONG transferred = 0;
    status = process.DeviceIoControl(handle, IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, &rate, sizeof(rate), &transferred);
    if (!NT_SUCCESS(status)) Stop("the sample rate cannot be read", status);
    process.Close(handle);
    return rate;
}

void AsioChannelWorld::ForgetDeviceRecords() {
    bus_->WithDevice(pdo_, [this](simusb::Device&) {
        device_->Requests().Clear();
        if (simusb::RenderStream* render = device_->FirstRender()) {
            render->Played().Clear();
            render->Events().Clear();
        }
        if (simusb::CaptureStream* capture = device_->FirstCapture()) {
            capture->Sent().Clear();
            capture->Events().Clear();
        }
    });
}

void AsioChannelWorld::Restore() {
    if (unplugged_) {
        pnp_->WaitForRemoval(pdo_);
        PlugQ7();
    }
    ForgetDeviceRecords();
    InterlockedExchange(&vq7::FailNextCaptureCompletion, 0);
    InterlockedExchange(&vq7::FailNextRenderCompletion, 0);
    InterlockedExchange(&vq7::PlaybackLeadOverride_frames, 0);
    InterlockedExchange(&vq7::OutputPrefillOverride_frames, 0);

    // With every handle of the input closed the channel has no owner, so a
    // new client can own it at once.
    kmsim::Client process("fuzz-world");
    HANDLE handle = nullptr;
    NTSTATUS status = process.Open(channelPath_, &handle);
    if (!NT_SUCCESS(status)) Stop("the channel does not open after an input", status);
    ULONG transferred = 0;
    status = process.DeviceIoControl(handle, IOCTL_ASIO_OPEN, nullptr, 0, nullptr, 0, &transferred);
    if (!NT_SUCCESS(status)) Stop("the channel cannot be owned once every handle is closed", status);
    ULONG rate = 0;
    status = process.DeviceIoControl(handle, IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, &rate, sizeof(rate), &transferred);
    if (NT_SUCCESS(status) && rate != startRate_ && startRate_ != 0) {
        process.DeviceIoControl(handle, IOCTL_ASIO_SET_SAMPLE_RATE, &startRate_, sizeof(startRate_), nullptr, 0,
                                &transferred);
    }
    process.Close(handle);
}

}  // namespace vq7fuzz
