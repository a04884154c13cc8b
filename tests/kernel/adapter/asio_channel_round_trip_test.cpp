// The ASIO channel's round trip, measured and modelled. A duplex client on
// a device whose capture loops its playback back writes two markers into
// silence: one at its first output frame, one in the steady stream. Each is
// found in the device's played record and, looped back, in the client's
// input; the frames between output and input must be exactly what the
// round-trip model computes from the parameters, for both markers (so no
// frame was lost or doubled at the start either): on the Q7, also with its
// clock off the bus clock, and on a device with one clock per direction.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "asio_channel_client.h"
#include "asio_duplex_client.h"
#include "asiopeer/round_trip_device.h"
#include "asiopeer/round_trip_model.h"
#include "simusb/frame_record.h"
#include "simusb/ready_made_devices.h"
#include "simusb/render_stream.h"

namespace {

using asiotest::ChannelClient;
using asiotest::DuplexClient;
using asiotest::Params;
using kerneltest::DriverWorld;

constexpr int64_t kMs_ns = 1000000;
constexpr uint8_t kRenderInterface = 1;
constexpr int32_t kFirstMarker = 0x40000000;
constexpr int32_t kLaterMarker = -0x40000000;

struct RoundTripCase {
    const char* device;
    ULONG rate;
    ULONG bufferFrames;
    ULONG latencyPercent;
    uint32_t loopbackDelay_frames;
    int64_t clockOffset_ppm = 0;
};

std::string Name(const ::testing::TestParamInfo<RoundTripCase>& info) {
    const RoundTripCase& c = info.param;
    std::string device = c.device;
    std::replace(device.begin(), device.end(), '-', '_');
    return device + "_" + std::to_string(c.rate) + "Hz_" + std::to_string(c.bufferFrames) + "frames_" +
           std::to_string(c.latencyPercent) + "percent_delay" + std::to_string(c.loopbackDelay_frames) +
           (c.clockOffset_ppm == 0 ? "" : (c.clockOffset_ppm > 0 ? "_fast" : "_slow") + std::to_string(std::llabs(c.clockOffset_ppm)) + "ppm");
}

// Where one marker went: the client's output frame, the device frame that
// played it, the client's input frame that brought it back.
struct MarkerTrace {
    uint64_t outputFrame = 0;
    std::optional<uint64_t> playedAt;
    std::optional<uint64_t> inputFrame;

    std::optional<int64_t> RoundTrip() const {
        if (!inputFrame) return std::nullopt;
        return static_cast<int64_t>(*inputFrame) - static_cast<int64_t>(outputFrame);
    }
};

// The first channel of an input frame as a signed sample of `bits`.
int32_t FirstSample(const UCHAR* frame, ULONG bits) {
    uint32_t value = 0;
    const ULONG bytes = bits / 8;
    for (ULONG i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(frame[i]) << (8 * (4 - bytes + i));
    return static_cast<int32_t>(value);
}

// A ready-made duplex device (render interface 1, capture interface 2)
// whose capture carries what its render played, `delay` frames later, on
// clocks `offset_ppm` off the bus clock.
std::shared_ptr<simusb::AudioDevice> LoopedBack(DriverWorld& world, const char* name, uint32_t delay,
                                                int64_t offset_ppm) {
    simusb::AudioDescription description = simusb::FindReadyMadeDevice(name)->describe();
    description.clockOffset_ppb = offset_ppm * 1000;
    description.streams[1].capture.kind = simusb::CaptureKind::Loopback;
    description.streams[1].capture.loopbackInterface = kRenderInterface;
    description.streams[1].capture.loopbackDelay_frames = delay;
    return world.Make(description);
}

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, MeasuredLoopbackEqualsTheModel) {
    const RoundTripCase c = GetParam();
    DriverWorld world;
    std::shared_ptr<simusb::AudioDevice> device = LoopedBack(world, c.device, c.loopbackDelay_frames, c.clockOffset_ppm);
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(world.Plug(device, &pdo), STATUS_SUCCESS);
    CUSBAudioAdapter& adapter = *world.Adapter(pdo);
    ChannelClient channel(world, pdo, "asio-host");
    ASSERT_EQ(channel.Open(), STATUS_SUCCESS);
    ASSERT_EQ(channel.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, c.rate), STATUS_SUCCESS);
    ASSERT_EQ(channel.OpenPrepareStart(Params(c.bufferFrames, true, true, ASIO_FORMAT_TAG_PCM, 0, c.latencyPercent)),
              STATUS_SUCCESS);
    const vq7::AudioFormat in = adapter.Asio().InputFormat();
    const vq7::AudioFormat out = adapter.Asio().OutputFormat();
    ASSERT_EQ(out.bitsPerSample, 32u);

    MarkerTrace first{0, std::nullopt, std::nullopt};
    MarkerTrace later{c.rate / 4 + 7, std::nullopt, std::nullopt};  // well into the steady stream, off every buffer boundary
    std::optional<uint64_t> firstPlayed;
    simusb::RenderStream* render = device->FirstRender();
    simusb::FrameRecord& played = render->Played();
    played.KeepSamples(false);
    played.SetChecker([&](uint64_t deviceFrame, std::span<const int32_t> frame) {
        if (!firstPlayed) firstPlayed = deviceFrame;
        if (frame[0] == kFirstMarker && !first.playedAt) first.playedAt = deviceFrame;
        if (frame[0] == kLaterMarker && !later.playedAt) later.playedAt = deviceFrame;
    });

    const ULONG transferFrames = (c.rate + 999) / 1000;
    const ULONG slots = std::max(2u, (transferFrames + c.bufferFrames - 1) / c.bufferFrames + 1);
    DuplexClient client(channel, c.bufferFrames, in.FrameBytes(), out.channels, slots);
    client.outputSample = [&](uint64_t frame) {
        if (frame == first.outputFrame) return kFirstMarker;
        return frame == later.outputFrame ? kLaterMarker : 0;
    };
    client.inputObserver = [&](uint64_t frame, const UCHAR* data) {
        const int32_t sample = FirstSample(data, in.bitsPerSample);
        if (sample > 0 && !first.inputFrame) first.inputFrame = frame;
        if (sample < 0 && !later.inputFrame) later.inputFrame = frame;
    };
    ASSERT_EQ(channel.Send(IOCTL_ASIO_ARM_INPUT).status, STATUS_SUCCESS);
    client.Begin();
    client.RunUntil(kmsim::NowNs() + 400 * kMs_ns);
    asiopeer::RoundTripParameters p;
    ASSERT_TRUE(asiopeer::TakeDeviceParameters(*render, *device->FirstCapture(), p));
    played.SetChecker(nullptr);
    EXPECT_EQ(channel.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    client.Drain();
    EXPECT_EQ(client.figures.failure, STATUS_SUCCESS);

    p.rate_hz = c.rate;
    p.bufferFrames = c.bufferFrames;
    p.latencyPercent = c.latencyPercent;
    p.outputFrameBytes = out.FrameBytes();
    p.loopbackDelay_frames = c.loopbackDelay_frames;
    const asiopeer::RoundTrip model = asiopeer::ComputeRoundTrip(p);

    std::printf("%lu Hz, %lu frames, %lu%%, delay %u: silence before the first client frame %lld\n",
                static_cast<unsigned long>(c.rate), static_cast<unsigned long>(c.bufferFrames),
                static_cast<unsigned long>(c.latencyPercent), c.loopbackDelay_frames,
                first.playedAt && firstPlayed ? static_cast<long long>(*first.playedAt - *firstPlayed) : -1LL);
    for (const MarkerTrace* m : {&first, &later}) {
        std::printf("  marker at output frame %llu: played at device frame %lld, input frame %lld, round trip %lld\n",
                    static_cast<unsigned long long>(m->outputFrame),
                    m->playedAt ? static_cast<long long>(*m->playedAt) : -1LL,
                    m->inputFrame ? static_cast<long long>(*m->inputFrame) : -1LL,
                    m->RoundTrip() ? static_cast<long long>(*m->RoundTrip()) : -1LL);
    }
    std::printf("%s", asiopeer::DescribeRoundTrip(model, c.rate).c_str());

    ASSERT_TRUE(first.playedAt && later.playedAt) << "a marker never played";
    ASSERT_TRUE(first.RoundTrip() && later.RoundTrip()) << "a marker never came back";
    // The device played the markers as far apart as the client wrote them.
    EXPECT_EQ(*later.playedAt - *first.playedAt, later.outputFrame - first.outputFrame);
    // Both markers took the same path: nothing was lost or doubled at the start.
    EXPECT_EQ(*first.RoundTrip(), *later.RoundTrip());
    // The latency the system reports is the latency it has.
    EXPECT_EQ(*first.RoundTrip(), model.total_frames);
}

std::vector<RoundTripCase> RoundTripCases() {
    constexpr const char* kQ7 = "q7-0b31";
    std::vector<RoundTripCase> cases;
    for (ULONG rate : {44100u, 48000u, 96000u, 192000u}) {
        for (ULONG frames : {32u, 64u, 128u, 256u, 1024u}) {
            cases.push_back({kQ7, rate, frames, 0, 0});
        }
    }
    for (ULONG rate : {44100u, 48000u, 192000u}) {
        for (ULONG frames : {64u, 256u}) {
            cases.push_back({kQ7, rate, frames, 100, 0});
        }
    }
    cases.push_back({kQ7, 48000, 64, 50, 0});
    cases.push_back({kQ7, 48000, 64, 0, 37});
    cases.push_back({kQ7, 96000, 128, 100, 300});
    // A clock off the bus clock: transfers run a frame long or short now and
    // then, and the device clock meets the packets at another phase.
    cases.push_back({kQ7, 44100, 64, 0, 0, 1000});
    cases.push_back({kQ7, 44100, 256, 0, 0, -1000});
    cases.push_back({kQ7, 48000, 64, 0, 0, 1000});
    cases.push_back({kQ7, 48000, 128, 0, 0, -1000});
    cases.push_back({kQ7, 96000, 64, 0, 0, 37});
    cases.push_back({kQ7, 192000, 256, 100, 0, -250});
    // One clock per direction: capture reads the render clock's frames by time.
    constexpr const char* kTwoClocks = "uac2-implicit-duplex";
    cases.push_back({kTwoClocks, 44100, 64, 0, 0});
    cases.push_back({kTwoClocks, 48000, 256, 0, 37, -777});
    cases.push_back({kTwoClocks, 96000, 128, 100, 0, 1000});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Loopback, RoundTrip, ::testing::ValuesIn(RoundTripCases()), Name);

}  // namespace
