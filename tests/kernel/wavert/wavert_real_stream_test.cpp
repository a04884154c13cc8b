// The real WaveRT streams of a started Q7, driven as the system's audio
// engine drives them (a buffer with two notifications each, an event, the
// state stepped up to RUN, the data of each notification period handled by
// a client thread) while the adapter's streaming engine moves the bytes:
// what the client rendered arrives bit-exact and in order at the device,
// and what the device captured arrives bit-exact at the client.

#include <gtest/gtest.h>

#include <ksmedia.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "mixer_doubles.h"
#include "real_q7_fixture.h"
#include "simusb/capture_stream.h"
#include "simusb/render_stream.h"

namespace {

using WaveRtRealStreamTest = wavert_test::RealQ7Test;
using wavert_test::ClientStream;
using wavert_test::ExtensibleFormat;

// A render sample at the stream's width: distinct per frame and channel
// within a period, never zero.
int32_t RenderSample(uint64_t frame, ULONG channel, ULONG bits) {
    const int32_t value = static_cast<int32_t>(((frame % 100000) * 4 + channel + 1) * 37);
    return value & ((1 << (bits - 2)) - 1) ? value & ((1 << (bits - 2)) - 1) : 1;
}

void PutSample(PUCHAR at, int32_t value, ULONG bits) {
    for (ULONG b = 0; b < bits / 8; ++b) at[b] = static_cast<UCHAR>(static_cast<uint32_t>(value) >> (8 * b));
}

TEST_F(WaveRtRealStreamTest, RenderAndCaptureOnTheQ7AreBitExactThroughTheEngine) {
    ULONG renderChannels = 0, renderBits = 0, captureChannels = 0, captureBits = 0;
    ExtensibleFormat renderFormat = BestFormat(false, &renderChannels, &renderBits);
    ExtensibleFormat captureFormat = BestFormat(true, &captureChannels, &captureBits);
    const ULONG renderFrameBytes = renderChannels * renderBits / 8;
    const ULONG captureFrameBytes = captureChannels * captureBits / 8;
    const ULONG renderBytes = rate_ / 100 * renderFrameBytes;  // 10 ms
    const ULONG captureBytes = rate_ / 100 * captureFrameBytes;

    // The device's record: every played frame after the first signal frame
    // must be the next frame of the client's signal.
    uint64_t played = 0, mismatches = 0, firstFrame = 0;
    bool ended = false;
    const ULONG shift = 32 - renderBits;
    world_.Bus().WithDevice(q7_.pdo, [&](simusb::Device& device) {
        auto& audio = static_cast<simusb::AudioDevice&>(device);
        audio.FirstCapture()->Sent().KeepSamples(true);
        simusb::FrameRecord& record = audio.FirstRender()->Played();
        record.KeepSamples(false);
        record.SetChecker([&, shift](uint64_t, std::span<const int32_t> frame) {
            auto sample = [&](uint64_t k, ULONG c) {
                return static_cast<int32_t>(static_cast<uint32_t>(RenderSample(k, c, renderBits)) << shift);
            };
            const bool silent = std::all_of(frame.begin(), frame.end(), [](int32_t v) { return v == 0; });
            if (silent) {
                ended = played > 0;  // the stream paused: the rest is silence
                return;
            }
            if (played == 0) {
                for (uint64_t k = 0; k < 1u << 16; ++k) {
                    if (sample(k, 0) == frame[0] && sample(k, 1) == frame[1]) {
                        firstFrame = k;
                        break;
                    }
                }
            }
            bool match = !ended;
            for (ULONG c = 0; c < renderChannels && c < frame.size(); ++c) {
                match = match && frame[c] == sample(firstFrame + played, c);
            }
            mismatches += match ? 0 : 1;
            ++played;
        });
    });

    ClientStream render;
    ClientStream capture;
    uint64_t written = 0;  // render frames the client wrote
    auto writeFrames = [&](ClientStream& client, ULONG offset, ULONG length) {
        for (ULONG at = offset; at + renderFrameBytes <= offset + length; at += renderFrameBytes, ++written) {
            for (ULONG c = 0; c < renderChannels; ++c) {
                PutSample(client.buffer + at + c * renderBits / 8, RenderSample(written, c, renderBits), renderBits);
            }
        }
    };
    std::vector<UCHAR> captured;
    Open(false, renderFormat, renderBytes, render, [&](ClientStream& c) { writeFrames(c, 0, c.bytes); });
    Open(true, captureFormat, captureBytes, capture, [](ClientStream&) {});
    {
        kmsim::Thread renderClient("render client", [&] {
            Serve(render, [&](ULONG offset, ULONG length) { writeFrames(render, offset, length); });
        });
        kmsim::Thread captureClient("capture client", [&] {
            Serve(capture, [&](ULONG offset, ULONG length) {
                captured.insert(captured.end(), capture.buffer + offset, capture.buffer + offset + length);
            });
        });
        kmtest::SleepMs(500);
        // The engine stops reading before the clients stop writing.
        EXPECT_EQ(render.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(capture.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        render.stop = true;
        capture.stop = true;
    }
    kmtest::SleepMs(100);  // what was mixed plays out
    world_.Bus().WithDevice(q7_.pdo, [](simusb::Device& device) {
        static_cast<simusb::AudioDevice&>(device).FirstRender()->Played().SetChecker(nullptr);
    });
    Close(render);
    Close(capture);

    // About two notifications per 10 ms buffer for half a second each way.
    EXPECT_GT(render.notifications.load(), 80u);
    EXPECT_GT(capture.notifications.load(), 80u);
    EXPECT_GT(played, static_cast<uint64_t>(rate_) * 4 / 10);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_LT(firstFrame, static_cast<uint64_t>(rate_) / 100);  // playback starts inside the first buffer

    std::vector<int32_t> sent;
    world_.Bus().WithDevice(q7_.pdo, [&](simusb::Device& device) {
        sent = static_cast<simusb::AudioDevice&>(device).FirstCapture()->Sent().Samples();
    });
    const ULONG sampleBytes = captureBits / 8;
    const size_t samples = captured.size() / sampleBytes;
    ASSERT_GT(samples, static_cast<size_t>(rate_) * captureChannels * 4 / 10);
    ASSERT_EQ(captured.size() % captureFrameBytes, 0u);
    auto clientSample = [&](size_t i) { return kerneltest::SampleAt(captured.data() + i * sampleBytes, captureBits); };
    size_t first = 0;
    while (first < sent.size() && sent[first] != clientSample(0)) first += captureChannels;
    ASSERT_LE(first + samples, sent.size());
    size_t wrong = 0;
    for (size_t i = 0; i < samples; ++i) wrong += sent[first + i] != clientSample(i);
    EXPECT_EQ(wrong, 0u);
}

// Pause and resume, event registrations and the stream's last release,
// each while the engine is inside the stream from its completion paths.
TEST_F(WaveRtRealStreamTest, PausesRegistrationsAndTheLastReleaseRaceTheEngineSafely) {
    ULONG channels = 0, bits = 0;
    ExtensibleFormat format = BestFormat(false, &channels, &bits);
    ClientStream render;
    Open(false, format, rate_ / 100 * channels * bits / 8, render, [](ClientStream&) {});
    auto* notification = static_cast<IMiniportWaveRTStreamNotification*>(render.stream);
    KEVENT extra;
    KeInitializeEvent(&extra, NotificationEvent, FALSE);
    {
        kmsim::Thread registrations("registrations", [&] {
            for (int i = 0; i < 40; ++i) {
                EXPECT_EQ(notification->RegisterNotificationEvent(&extra), STATUS_SUCCESS);
                kmtest::SleepMs(1);
                EXPECT_EQ(notification->UnregisterNotificationEvent(&extra), STATUS_SUCCESS);
            }
        });
        for (int i = 0; i < 20; ++i) {
            kmtest::SleepMs(3);
            ASSERT_EQ(render.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            KSAUDIO_POSITION paused = {};
            render.stream->GetPosition(&paused);
            kmtest::SleepMs(1);
            KSAUDIO_POSITION still = {};
            render.stream->GetPosition(&still);
            EXPECT_EQ(still.PlayOffset, paused.PlayOffset);  // no engine call moved a paused stream
            ASSERT_EQ(render.stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(notification->UnregisterNotificationEvent(&render.event), STATUS_SUCCESS);
    kmtest::SleepMs(5);
    // The last release while running: down to STOP, the engine waited for;
    // then the pages go back as PortCls gives back what it allocated.
    render.stream->Release();
    portStream_->UnmapAllocatedPages(render.buffer, render.mdl);
    portStream_->FreePagesFromMdl(render.mdl);
    EXPECT_FALSE(miniport_->TryEnterRunningStream(FALSE));
    EXPECT_EQ(adapter_->DirectionUseCount(false), 0);
    ClientStream again;
    Open(false, format, rate_ / 100 * channels * bits / 8, again, [](ClientStream&) {});
    kmtest::SleepMs(20);
    Close(again);
}

}  // namespace
