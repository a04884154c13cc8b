// The simulated Q7 on the simulated bus, driven the way a driver drives it:
// descriptor reads, configuration and alternate settings, the clock
// requests, then isochronous render, capture and feedback transfers kept in
// flight by resubmitting on completion. In virtual time the test checks
// which frames the device played, which it captured and how its clock
// drifted against the bus.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "km_time.h"
#include "kmsim/simulation.h"
#include "simusb/audio_device.h"
#include "simusb/ready_made_devices.h"
#include "simusbhost/bus.h"
#include "urb_client.h"

namespace {

using bustest::AsyncTransfer;

constexpr UCHAR kClock = 41;
constexpr UCHAR kRenderInterface = 1;
constexpr UCHAR kCaptureInterface = 2;
constexpr ULONG kRate = 48000;
constexpr ULONG kRenderFrameBytes = 8;    // 2 channels of 4 bytes
constexpr ULONG kCaptureFrameBytes = 16;  // 4 channels of 4 bytes
constexpr ULONG kFramesPerMicroframe = kRate / 8000;
constexpr ULONG kLoopbackDelay_frames = 480;

// Keeps `count` transfers of one kind in flight on a pipe until stopped.
class Stream {
public:
    Stream(PDEVICE_OBJECT pdo, int count, std::function<void(AsyncTransfer&)> prepare,
           std::function<void(AsyncTransfer&)> consume)
        : pdo_(pdo), transfers_(static_cast<size_t>(count)), prepare_(std::move(prepare)), consume_(std::move(consume)) {
        KeInitializeEvent(&idle_, NotificationEvent, FALSE);
        for (auto& transfer : transfers_) {
            transfer.onComplete = [this](AsyncTransfer& done) { Completed(done); };
        }
    }

    void Start() {
        inFlight_ = static_cast<int>(transfers_.size());
        for (auto& transfer : transfers_) {
            prepare_(transfer);
            ASSERT_EQ(transfer.Submit(pdo_), STATUS_PENDING);
        }
    }

    void StopAndWait() {
        stopping_ = true;
        KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, nullptr);
    }

    int failures() const { return failures_; }

private:
    void Completed(AsyncTransfer& transfer) {
        if (!NT_SUCCESS(transfer.status)) {
            failures_++;
        }
        consume_(transfer);
        if (stopping_) {
            if (--inFlight_ == 0) {
                KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
            }
            return;
        }
        prepare_(transfer);
        transfer.Submit(pdo_);
    }

    PDEVICE_OBJECT pdo_;
    std::vector<AsyncTransfer> transfers_;
    std::function<void(AsyncTransfer&)> prepare_;
    std::function<void(AsyncTransfer&)> consume_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> inFlight_{0};
    std::atomic<int> failures_{0};
    KEVENT idle_;
};

int32_t RenderSample(uint64_t frame, int channel) {
    int32_t value = static_cast<int32_t>((frame % 0x7FFFFF) << 8);
    return channel == 0 ? value : -value;
}

void WriteLe32(UCHAR* at, int32_t value) {
    auto v = static_cast<uint32_t>(value);
    at[0] = static_cast<UCHAR>(v);
    at[1] = static_cast<UCHAR>(v >> 8);
    at[2] = static_cast<UCHAR>(v >> 16);
    at[3] = static_cast<UCHAR>(v >> 24);
}

int32_t ReadLe32(const UCHAR* at) {
    return static_cast<int32_t>(at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24);
}

class Q7OnBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ExSetTimerResolution(10000, TRUE);
        simusb::AudioDescription description = simusb::FindReadyMadeDevice("q7-0b31")->describe();
        description.streams[1].capture.kind = simusb::CaptureKind::Loopback;
        description.streams[1].capture.loopbackInterface = kRenderInterface;
        description.streams[1].capture.loopbackDelay_frames = kLoopbackDelay_frames;
        device_ = std::shared_ptr<simusb::AudioDevice>(simusb::MakeAudioDevice(description));
        pdo_ = bus_->Attach(device_);
    }

    void TearDown() override {
        bus_.reset();
        ExSetTimerResolution(0, FALSE);
    }

    // What a driver does at start: descriptors, configuration, alternate
    // settings and the clock.
    void BringUp() {
        std::vector<UCHAR> device(18);
        ASSERT_EQ(bustest::ReadDescriptor(pdo_, 1, 0, 0, device), STATUS_SUCCESS);
        EXPECT_EQ(device[8] | device[9] << 8, 0xF0E1);
        EXPECT_EQ(device[10] | device[11] << 8, 0x0B31);
        std::vector<UCHAR> head(9);
        ASSERT_EQ(bustest::ReadDescriptor(pdo_, 2, 0, 0, head), STATUS_SUCCESS);
        configuration_.assign(head[2] | head[3] << 8, 0);
        ASSERT_EQ(bustest::ReadDescriptor(pdo_, 2, 0, 0, configuration_), STATUS_SUCCESS);
        USBD_CONFIGURATION_HANDLE handle = bustest::SelectConfiguration(pdo_, configuration_, {0, 1, 2});
        ASSERT_NE(handle, nullptr);

        // From 44.1 kHz to 48 kHz: each change makes the clock settle before
        // it reads valid again.
        EXPECT_GT(SetClockAndWaitUntilValid(44100), 10);
        EXPECT_GT(SetClockAndWaitUntilValid(kRate), 10);

        std::vector<UCHAR> info;
        ASSERT_EQ(bustest::SelectInterface(pdo_, handle, kRenderInterface, 1, 2, info), STATUS_SUCCESS);
        auto* render = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(info.data());
        ASSERT_EQ(render->NumberOfPipes, 2u);
        renderPipe_ = render->Pipes[0];
        feedbackPipe_ = render->Pipes[1];
        ASSERT_EQ(bustest::SelectInterface(pdo_, handle, kCaptureInterface, 1, 1, info), STATUS_SUCCESS);
        capturePipe_ = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(info.data())->Pipes[0];
        EXPECT_EQ(renderPipe_.EndpointAddress, 0x01);
        EXPECT_EQ(feedbackPipe_.EndpointAddress, 0x81);
        EXPECT_EQ(capturePipe_.EndpointAddress, 0x82);
    }

    // Sets the clock's rate, then polls its validity every millisecond;
    // returns how many polls found it settling.
    int SetClockAndWaitUntilValid(ULONG hz) {
        std::vector<UCHAR> rate = {static_cast<UCHAR>(hz), static_cast<UCHAR>(hz >> 8), static_cast<UCHAR>(hz >> 16), 0};
        EXPECT_EQ(bustest::ClassOrVendor(pdo_, URB_FUNCTION_CLASS_INTERFACE, false, 0x01, 0x0100, kClock << 8, rate),
                  STATUS_SUCCESS);
        for (int polls = 0; polls < 1000; ++polls) {
            std::vector<UCHAR> valid(1);
            EXPECT_EQ(bustest::ClassOrVendor(pdo_, URB_FUNCTION_CLASS_INTERFACE, true, 0x01, 0x0200, kClock << 8, valid),
                      STATUS_SUCCESS);
            if (valid[0] != 0) return polls;
            kmtest::SleepMs(1);
        }
        ADD_FAILURE() << "the clock never became valid";
        return -1;
    }

    kmsim::Simulation sim_;
    std::unique_ptr<simusbhost::Bus> bus_ = std::make_unique<simusbhost::Bus>();
    std::shared_ptr<simusb::AudioDevice> device_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<UCHAR> configuration_;
    USBD_PIPE_INFORMATION renderPipe_{};
    USBD_PIPE_INFORMATION feedbackPipe_{};
    USBD_PIPE_INFORMATION capturePipe_{};
};

TEST_F(Q7OnBusTest, PlaysCapturesAndReportsItsClockDrift) {
    BringUp();
    device_->SetClockOffsetPpm(250, kmsim::NowNs());

    // Render: 1 ms transfers of 8 packets of 6 frames, frames numbered in order.
    uint64_t framesSent = 0;
    Stream render(pdo_, 8,
                  [&](AsyncTransfer& t) {
                      t.BuildIso(renderPipe_.PipeHandle, false, std::vector<ULONG>(8, kFramesPerMicroframe * kRenderFrameBytes));
                      for (ULONG f = 0; f < 8 * kFramesPerMicroframe; ++f, ++framesSent) {
                          WriteLe32(&t.buffer[f * kRenderFrameBytes], RenderSample(framesSent, 0));
                          WriteLe32(&t.buffer[f * kRenderFrameBytes + 4], RenderSample(framesSent, 1));
                      }
                  },
                  [](AsyncTransfer&) {});
    // Capture: 1 ms transfers, every packet as large as the pipe allows.
    std::vector<int32_t> captured;  // channel 0 of every frame that came back
    Stream capture(pdo_, 8,
                   [&](AsyncTransfer& t) {
                       t.BuildIso(capturePipe_.PipeHandle, true, std::vector<ULONG>(8, capturePipe_.MaximumPacketSize));
                   },
                   [&](AsyncTransfer& t) {
                       for (ULONG i = 0; i < t.Iso().NumberOfPackets; ++i) {
                           const USBD_ISO_PACKET_DESCRIPTOR& packet = t.Iso().IsoPacket[i];
                           for (ULONG at = 0; at + kCaptureFrameBytes <= packet.Length; at += kCaptureFrameBytes) {
                               captured.push_back(ReadLe32(&t.buffer[packet.Offset + at]));
                           }
                       }
                   });
    // Feedback: one 4-byte packet per transfer, the latest value kept.
    std::atomic<uint32_t> feedback{0};
    Stream feedbackReader(pdo_, 2,
                          [&](AsyncTransfer& t) { t.BuildIso(feedbackPipe_.PipeHandle, true, std::vector<ULONG>(8, 4)); },
                          [&](AsyncTransfer& t) {
                              const USBD_ISO_PACKET_DESCRIPTOR& packet = t.Iso().IsoPacket[0];
                              if (packet.Length == 4) feedback = static_cast<uint32_t>(ReadLe32(&t.buffer[packet.Offset]));
                          });
    render.Start();
    capture.Start();
    feedbackReader.Start();
    kmtest::SleepMs(2000);
    render.StopAndWait();
    capture.StopAndWait();
    feedbackReader.StopAndWait();
    EXPECT_EQ(render.failures() + capture.failures() + feedbackReader.failures(), 0);

    // The feedback carries the device's true rate: 6.0015 frames per microframe in 16.16.
    EXPECT_EQ(feedback.load(), 393314u);

    bus_->WithDevice(pdo_, [&](simusb::Device&) {
        simusb::RenderStream* played = device_->Render(kRenderInterface);
        simusb::CaptureStream* sent = device_->Capture(kCaptureInterface);
        ASSERT_NE(played, nullptr);
        ASSERT_NE(sent, nullptr);
        // The device consumes at its own, faster clock: what it played is what
        // was sent, in order, up to what was still on its way when the host stopped.
        uint64_t count = played->Played().Count();
        EXPECT_GT(count, 90000u);
        EXPECT_LE(count, framesSent);
        for (uint64_t k = 0; k < count; ++k) {
            ASSERT_EQ(played->Played().Frame(k)[0], RenderSample(k, 0)) << k;
            ASSERT_EQ(played->Played().Frame(k)[1], RenderSample(k, 1)) << k;
        }
        // Over two seconds a clock 250 ppm fast plays 24 frames more than the bus's 96000.
        uint64_t first = played->Played().DeviceFrame(0);
        uint64_t last = played->Played().DeviceFrame(count - 1);
        EXPECT_GE(last - first + 1, count);
        // Capture loops render back exactly: the frame the device sent at
        // device frame d is the one it played at d - delay.
        const simusb::FrameRecord& out = sent->Sent();
        uint64_t checked = 0;
        for (uint64_t j = 0; j < out.Count(); ++j) {
            int32_t value = out.Frame(j)[0];
            if (value == 0) continue;
            uint64_t k = static_cast<uint64_t>(value) >> 8;  // the render frame it carries
            if (k >= count) continue;
            ASSERT_EQ(out.DeviceFrame(j), played->Played().DeviceFrame(k) + kLoopbackDelay_frames) << j;
            ++checked;
        }
        EXPECT_GT(checked, 90000u - kLoopbackDelay_frames - 1000);
    });

    // What the host captured is what the device sent, without a gap.
    size_t first = 0;
    while (first < captured.size() && captured[first] == 0) ++first;
    ASSERT_LT(first + 48000, captured.size());
    for (size_t i = first + 1; i < first + 48000; ++i) {
        ASSERT_EQ(captured[i], captured[i - 1] + 256) << i;
    }
}

}  // namespace
