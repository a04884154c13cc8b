// A started device with its real WaveRT miniport, and a client that opens
// the miniport's streams as the system's audio engine does: NewStream, a
// buffer with two notifications through a port-stream double, an event, the
// state stepped up to RUN, and a thread that serves each notification
// period. RunBitExact plays a known signal and records what the device
// captures, and reports how both compare.
#pragma once

#include <gtest/gtest.h>

#include <ksmedia.h>

#include <atomic>
#include <cstdint>
#include <functional>

#include "driver_world.h"
#include "km_time.h"
#include "kmsim/simulation.h"
#include "common/pool.h"
#include "kmsim/verifier.h"
#include "wavert/minwavert.h"
#include "wavert/wave_format.h"
#include "wavert_doubles.h"

namespace wavert_test {

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
};

// What one RunBitExact saw.
struct BitExactResult {
    ULONG rate = 0;
    ULONG renderNotifications = 0;
    ULONG captureNotifications = 0;
    uint64_t played = 0;       // signal frames the device played
    uint64_t mismatches = 0;   // of those, frames that were not the signal's next
    uint64_t firstFrame = 0;   // the signal frame the device played first
    size_t captured = 0;       // samples the client read
    size_t captureWrong = 0;   // of those, samples that differ from what the device sent
    bool captureFound = true;  // the client's first frame is one the device sent
};

class RealStreamTest : public testing::Test {
protected:
    void SetUp() override {
        ExSetTimerResolution(10000, TRUE);
        portStream_ = new (NonPagedPoolNx, kTestTag) wavert_test::PortStreamDouble();
        portStream_->AddRef();
    }
    // Starts the ready-made device and takes its miniport.
    void Start(const char* readyMade) {
        q7_ = world_.Start(readyMade);
        adapter_ = world_.Adapter(q7_.pdo);
        ASSERT_NE(adapter_, nullptr);
        sink_ = adapter_->ReferenceMiniport();
        ASSERT_NE(sink_, nullptr);
        miniport_ = static_cast<CMiniportWaveRT*>(sink_);
        ASSERT_EQ(adapter_->GetSampleRate(&rate_), STATUS_SUCCESS);
    }
    // Moves the device to `rate` (no stream may be open) and takes the
    // miniport of the subdevice published for it.
    NTSTATUS ChangeRate(ULONG rate) {
        sink_->Release();
        NTSTATUS status = adapter_->ChangeSampleRate(rate);
        sink_ = adapter_->ReferenceMiniport();
        miniport_ = static_cast<CMiniportWaveRT*>(sink_);
        EXPECT_EQ(adapter_->GetSampleRate(&rate_), STATUS_SUCCESS);
        return status;
    }
    bool HasRender();
    bool HasCapture();
    // The format the filter's streaming pin proposes, as the system's engine
    // asks for it: every channel, 8 to 32 bits, at `rate` (0: any). False
    // when no range of the pin matches.
    bool Intersect(bool capture, ULONG rate, ExtensibleFormat* format);
    // Renders a known signal and captures for `ms`, with the streams the
    // device has, at the intersected format at `rate` (0: the device's), and
    // compares what arrived.
    BitExactResult RunBitExact(LONGLONG ms, ULONG rate = 0);
    void TearDown() override {
        if (sink_ != nullptr) sink_->Release();
        if (!unplugged_ && q7_.pdo != nullptr) world_.UnplugAndWait(q7_.pdo);
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
        KeInitializeEvent(&client.event, SynchronizationEvent, FALSE);
        ASSERT_NE(miniport_, nullptr);
        ASSERT_EQ(miniport_->NewStream(&client.stream, portStream_, capture ? 1 : 0, capture, &format.header),
                  STATUS_SUCCESS);
        auto* notification = static_cast<IMiniportWaveRTStreamNotification*>(client.stream);
        ULONG actual = 0, offset = 0;
        MEMORY_CACHING_TYPE cache = MmNotMapped;
        ASSERT_EQ(notification->AllocateBufferWithNotification(2, bytes, &client.mdl, &actual, &offset, &cache),
                  STATUS_SUCCESS);
        client.buffer = portStream_->Address(client.mdl);
        client.bytes = actual;
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
    bool unplugged_ = false;  // the test unplugged the device itself
};

// The Q7, started for each test.
class RealQ7Test : public RealStreamTest {
protected:
    void SetUp() override {
        RealStreamTest::SetUp();
        Start("q7-0b31");
    }
};

}  // namespace wavert_test
