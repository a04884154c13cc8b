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

#include "real_stream_world.h"
#include "simusb/capture_stream.h"
#include "simusb/render_stream.h"

namespace {

using WaveRtRealStreamTest = wavert_test::RealQ7Test;
using wavert_test::ClientStream;
using wavert_test::ExtensibleFormat;

TEST_F(WaveRtRealStreamTest, RenderAndCaptureOnTheQ7AreBitExactThroughTheEngine) {
    const wavert_test::BitExactResult r = RunBitExact(500);
    // About two notifications per 10 ms buffer for half a second each way.
    EXPECT_GT(r.renderNotifications, 80u);
    EXPECT_GT(r.captureNotifications, 80u);
    EXPECT_GT(r.played, static_cast<uint64_t>(rate_) * 4 / 10);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_LT(r.firstFrame, static_cast<uint64_t>(rate_) / 100);  // playback starts inside the first buffer
    EXPECT_GT(r.captured, static_cast<size_t>(rate_) * 4 / 10);
    EXPECT_TRUE(r.captureFound);
    EXPECT_EQ(r.captureWrong, 0u);
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
