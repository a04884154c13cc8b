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

#include "driver_world.h"
#include "km_time.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"
#include "mixer_doubles.h"
#include "simusb/capture_stream.h"
#include "simusb/render_stream.h"
#include "wavert/minwavert.h"
#include "wavert/wave_format.h"
#include "wavert_doubles.h"

namespace {

constexpr ULONG kTestTag = kmsim::PoolTag("Test");

struct ExtensibleFormat {
    KSDATAFORMAT header;
    vq7::WaveFormatExtensible wave;
};

// One open stream of the client: its buffer, its event and the thread that
// serves each notification.
struct ClientStream {
    PMINIPORTWAVERTSTREAM stream = nullptr;
    PMDL mdl = nullptr;
    PUCHAR buffer = nullptr;
    ULONG bytes = 0;
    KEVENT event;
    std::atomic<bool> stop{false};
    std::atomic<ULONG> notifications{0};
    std::atomic<ULONG> backwards{0};  // positions that moved back without a wrap being due
};

class WaveRtRealStreamTest : public testing::Test {
protected:
    void SetUp() override {
        ExSetTimerResolution(10000, TRUE);
        q7_ = world_.Start("q7-0b31");
        adapter_ = world_.Adapter(q7_.pdo);
        ASSERT_NE(adapter_, nullptr);
        sink_ = adapter_->ReferenceMiniport();
        ASSERT_NE(sink_, nullptr);
        miniport_ = static_cast<CMiniportWaveRT*>(sink_);
        portStream_ = new (NonPagedPoolNx, kTestTag) wavert_test::PortStreamDouble();
        portStream_->AddRef();
        ASSERT_EQ(adapter_->GetSampleRate(&rate_), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (sink_ != nullptr) sink_->Release();
        world_.UnplugAndWait(q7_.pdo);
        EXPECT_EQ(portStream_->Outstanding(), 0);
        portStream_->Release();
    }
    ExtensibleFormat BestFormat(bool capture, ULONG* channels, ULONG* bits) {
        EXPECT_EQ(adapter_->ClassLayer().GetBestFormat(capture ? 1 : 0, 1, rate_, channels, bits), STATUS_SUCCESS);
        ExtensibleFormat format = {};
        format.header.FormatSize = sizeof format;
        format.header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        format.header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        format.header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        format.wave.wFormatTag = vq7::kWaveFormatExtensible;
        format.wave.nChannels = static_cast<USHORT>(*channels);
        format.wave.nSamplesPerSec = rate_;
        format.wave.wBitsPerSample = static_cast<USHORT>(*bits);
        format.wave.wValidBitsPerSample = static_cast<USHORT>(*bits);
        format.wave.nBlockAlign = static_cast<USHORT>(*channels * *bits / 8);
        format.wave.cbSize = 22;
        format.wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        return format;
    }
    // NewStream, a buffer of `bytes` with two notifications, the event, and
    // the steps up to RUN.
    void Open(bool capture, ExtensibleFormat& format, ULONG bytes, ClientStream& client,
              const std::function<void(ClientStream&)>& fill) {
        ASSERT_EQ(miniport_->NewStream(&client.stream, portStream_, capture ? 1 : 0, capture, &format.header),
                  STATUS_SUCCESS);
        auto* notification = static_cast<IMiniportWaveRTStreamNotification*>(client.stream);
        ULONG actual = 0, offset = 0;
        MEMORY_CACHING_TYPE cache = MmNotMapped;
        ASSERT_EQ(notification->AllocateBufferWithNotification(2, bytes, &client.mdl, &actual, &offset, &cache),
                  STATUS_SUCCESS);
        client.buffer = portStream_->Address(client.mdl);
        client.bytes = actual;
        KeInitializeEvent(&client.event, SynchronizationEvent, FALSE);
        ASSERT_EQ(notification->RegisterNotificationEvent(&client.event), STATUS_SUCCESS);
        fill(client);
        for (int s = KSSTATE_ACQUIRE; s <= KSSTATE_RUN; ++s) {
            ASSERT_EQ(client.stream->SetState(static_cast<KSSTATE>(s)), STATUS_SUCCESS);
        }
    }
    void Close(ClientStream& client) {
        for (int s = KSSTATE_PAUSE; s >= KSSTATE_STOP; --s) {
            EXPECT_EQ(client.stream->SetState(static_cast<KSSTATE>(s)), STATUS_SUCCESS);
        }
        auto* notification = static_cast<IMiniportWaveRTStreamNotification*>(client.stream);
        EXPECT_EQ(notification->UnregisterNotificationEvent(&client.event), STATUS_SUCCESS);
        notification->FreeBufferWithNotification(client.mdl, client.bytes);
        client.stream->Release();
    }
    // Waits for each notification and hands the bytes the position passed
    // since the last one to `serve` (offset, length), in at most two pieces.
    static void Serve(ClientStream& client, const std::function<void(ULONG, ULONG)>& serve) {
        ULONG last = 0;
        while (!client.stop) {
            LARGE_INTEGER timeout = kmtest::RelativeMs(20);
            if (KeWaitForSingleObject(&client.event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) {
                continue;
            }
            ++client.notifications;
            KSAUDIO_POSITION position = {};
            client.stream->GetPosition(&position);
            const ULONG now = static_cast<ULONG>(position.PlayOffset);
            if (now == last) continue;
            if (now > last) {
                serve(last, now - last);
            } else {
                serve(last, client.bytes - last);
                serve(0, now);
            }
            last = now;
        }
    }

    kerneltest::DriverWorld world_;
    kerneltest::PluggedDevice q7_;
    CUSBAudioAdapter* adapter_ = nullptr;
    IMiniportEngineSink* sink_ = nullptr;
    CMiniportWaveRT* miniport_ = nullptr;
    wavert_test::PortStreamDouble* portStream_ = nullptr;
    ULONG rate_ = 0;
};

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
