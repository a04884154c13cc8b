// The real WaveRT streams sharing the Q7 with an ASIO client: a DSD ASIO
// stream keeps the system's stream out and the other way round while PCM
// shares, and an unplug while both stream fails both cleanly, completes
// the removal and leaves nothing allocated.

#include <gtest/gtest.h>

#include "asio_channel_client.h"
#include "real_stream_world.h"

namespace {

using asiotest::ChannelClient;
using asiotest::Params;
using wavert_test::ClientStream;
using wavert_test::ExtensibleFormat;

class WaveRtSharingTest : public wavert_test::RealQ7Test {
protected:
    ExtensibleFormat RenderFormat() {
        ULONG channels = 0;
        return BestFormat(false, &channels, &bits_);
    }
    ULONG TenMs(const ExtensibleFormat& format) const { return rate_ / 100 * format.wave.nBlockAlign; }
    ULONG bits_ = 0;
};

TEST_F(WaveRtSharingTest, AnExclusiveAsioStreamAndTheSystemsStreamKeepEachOtherOut) {
    ChannelClient asio(world_, q7_.pdo);
    ASSERT_EQ(asio.Open(), STATUS_SUCCESS);
    ASSERT_EQ(asio.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    ASSERT_EQ(asio.Prepare(Params(256, false, true, ASIO_FORMAT_TAG_PCM, ASIO_DSD_MODE_DSD)), STATUS_SUCCESS);
    ExtensibleFormat format = RenderFormat();
    PMINIPORTWAVERTSTREAM refused = nullptr;
    EXPECT_EQ(miniport_->NewStream(&refused, portStream_, 0, FALSE, &format.header), STATUS_DEVICE_BUSY);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(asio.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);

    ClientStream render;
    Open(false, format, TenMs(format), render, [](ClientStream&) {});
    EXPECT_EQ(asio.Prepare(Params(256, false, true, ASIO_FORMAT_TAG_PCM, ASIO_DSD_MODE_DSD)), STATUS_DEVICE_BUSY);
    EXPECT_EQ(asio.Prepare(Params(64, true, true)), STATUS_SUCCESS);  // PCM shares the directions
    EXPECT_EQ(asio.Send(IOCTL_ASIO_START).status, STATUS_SUCCESS);
    kmtest::SleepMs(50);
    EXPECT_EQ(asio.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    EXPECT_EQ(asio.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    Close(render);
    EXPECT_EQ(asio.Prepare(Params(256, false, true, ASIO_FORMAT_TAG_PCM, ASIO_DSD_MODE_DSD)), STATUS_SUCCESS);
    EXPECT_EQ(asio.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    EXPECT_EQ(asio.Close(), STATUS_SUCCESS);
}

TEST_F(WaveRtSharingTest, UnplugWhileTheSystemAndAnAsioClientStreamFailsBothCleanly) {
    ChannelClient asio(world_, q7_.pdo);
    ASSERT_EQ(asio.Open(), STATUS_SUCCESS);
    ASSERT_EQ(asio.OpenPrepareStart(Params(64, true, true)), STATUS_SUCCESS);
    ExtensibleFormat format = RenderFormat();
    ClientStream render;
    ClientStream capture;
    Open(false, format, TenMs(format), render, [](ClientStream&) {});
    ULONG captureChannels = 0, captureBits = 0;
    ExtensibleFormat captureFormat = BestFormat(true, &captureChannels, &captureBits);
    Open(true, captureFormat, TenMs(captureFormat), capture, [](ClientStream&) {});
    kmtest::SleepMs(50);
    KSAUDIO_POSITION before = {};
    render.stream->GetPosition(&before);

    // Surprise removal: the engine stops moving bytes, the ASIO client's
    // requests fail, and the system's audio engine closes its pins (the
    // streams step down and go) as the ASIO client closes its handle; then
    // the removal completes.
    world_.Pnp().Unplug(q7_.pdo);
    KSAUDIO_POSITION after = {};
    render.stream->GetPosition(&after);
    kmtest::SleepMs(20);
    KSAUDIO_POSITION later = {};
    render.stream->GetPosition(&later);
    EXPECT_EQ(later.PlayOffset, after.PlayOffset);
    EXPECT_NE(asio.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    for (ClientStream* client : {&render, &capture}) Close(*client);
    sink_->Release();  // as PortCls lets the filter go with its last pin
    sink_ = nullptr;
    EXPECT_EQ(asio.Close(), STATUS_SUCCESS);
    world_.Pnp().WaitForRemoval(q7_.pdo);
    unplugged_ = true;
    EXPECT_EQ(kmsim::OutstandingAllocations(vq7::kPoolTagUsba), 0u);
    EXPECT_EQ(portStream_->Outstanding(), 0);
}

}  // namespace
