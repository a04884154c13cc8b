// The ASIO channel's request table as a client sees it: unknown codes,
// each code's minimum buffers and the status a short one gets, state
// checked before buffer size, Information on success and failure, the
// queries' answers, the device name in two steps, PREPARE's refusals and
// ring sizes, the test hooks and tuning values, and the sample rate.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "asio_channel_client.h"
#include "engine/asio_ring.h"
#include "engine/failure_hooks.h"
#include "engine/mixer_lead.h"
#include "kmsim/registry.h"
#include "kmsim/verifier.h"
#include "simusb/ready_made_devices.h"
#include "wavert/performance_parameters.h"

namespace {

using asiotest::ChannelClient;
using asiotest::Params;
using asiotest::Reply;
using kerneltest::DriverWorld;
using kerneltest::PluggedDevice;

const ULONG kUsba = kmsim::PoolTag("USBA");

struct ChannelRequests : ::testing::Test {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    ChannelClient client{world, q7.pdo};
    void SetUp() override { ASSERT_EQ(client.Open(), STATUS_SUCCESS); }
    void TearDown() override { EXPECT_EQ(client.Close(), STATUS_SUCCESS); }
    CUSBAudioAdapter& Adapter() { return *world.Adapter(q7.pdo); }
};

TEST_F(ChannelRequests, CodesOutsideTheTableAreInvalidWithNoInformation) {
    const ULONG codes[] = {0x222070,  // the gap between SYNC_POSITION and the test hooks
                           0x22201C, 0x22203C, 0x222084, 0x222001 /* another method */, 0x2A2000 /* another type */};
    for (ULONG code : codes) {
        SCOPED_TRACE(code);
        UCHAR in[32] = {};
        Reply reply = client.Send(code, in, sizeof(in), 32);
        EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(reply.information, 0u);
    }
}

struct Minimum {
    ULONG code;
    ULONG input;
    ULONG output;
    NTSTATUS shortInput;
    NTSTATUS shortOutput;
};

// The requests any handle may send, with what a buffer one byte short gets.
constexpr Minimum kAnyStateMinimums[] = {
    {IOCTL_ASIO_GET_RATE_RANGE, 0, 8, 0, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_FORMAT_INFO, 22, 22, STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_SAMPLE_RATE, 0, 4, 0, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_SET_SAMPLE_RATE, 4, 0, STATUS_INVALID_PARAMETER, 0},
    {IOCTL_ASIO_GET_DSD_SUPPORT, 0, 4, 0, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_DEVICE_NAME, 0, 6, 0, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_USB_SPEED, 0, 4, 0, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_CAPTURE_FRAMES_PER_TRANSFER, 0, 4, 0, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_STREAM_ERROR, 0, 4, 0, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_SET_PLAYBACK_LEAD, 4, 0, STATUS_INVALID_PARAMETER, 0},
    {IOCTL_ASIO_SET_OUTPUT_PREFILL, 4, 0, STATUS_INVALID_PARAMETER, 0},
};

TEST_F(ChannelRequests, AShortBufferGetsItsDocumentedStatusAndNoInformation) {
    for (const Minimum& m : kAnyStateMinimums) {
        SCOPED_TRACE(m.code);
        UCHAR in[32] = {};
        if (m.input > 0) {
            Reply reply = client.Send(m.code, in, m.input - 1, m.output);
            EXPECT_EQ(reply.status, m.shortInput);
            EXPECT_EQ(reply.information, 0u);
        }
        if (m.output > 0) {
            ASIO_FORMAT_INFO info = {ASIO_FORMAT_TAG_PCM, 48000, 0, 0, 0, 0};
            Reply reply = client.Send(m.code, &info, m.input, m.output - 1);
            EXPECT_EQ(reply.status, m.shortOutput);
            EXPECT_EQ(reply.information, 0u);
            if (m.output > 1) {
                EXPECT_EQ(reply.data[0], 0xCC);  // nothing written
            }
        }
    }
    // The same tuning values with room to spare are taken (and put back).
    EXPECT_EQ(client.SendUlong(IOCTL_ASIO_SET_PLAYBACK_LEAD, 0), STATUS_SUCCESS);
    EXPECT_EQ(client.SendUlong(IOCTL_ASIO_SET_OUTPUT_PREFILL, 0), STATUS_SUCCESS);
}

TEST_F(ChannelRequests, TheHandleStateIsCheckedBeforeTheBufferSize) {
    ASIO_PREPARE_PARAMS params = Params(64, true, true);
    // Opened: every owner request is in the wrong state, whatever its buffers.
    EXPECT_EQ(client.Send(IOCTL_ASIO_PREPARE, &params, 19).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.Send(IOCTL_ASIO_GET_POSITION, nullptr, 0, 2).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.Send(IOCTL_ASIO_SYNC_POSITION, nullptr, 0).status, STATUS_UNSUCCESSFUL);
    for (ULONG code : {IOCTL_ASIO_START, IOCTL_ASIO_STOP, IOCTL_ASIO_UNPREPARE, IOCTL_ASIO_CLOSE,
                       IOCTL_ASIO_ARM_INPUT}) {
        SCOPED_TRACE(code);
        Reply reply = client.Send(code);
        EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(reply.information, 0u);
    }
    ASSERT_EQ(client.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    EXPECT_EQ(client.Send(IOCTL_ASIO_OPEN).status, STATUS_UNSUCCESSFUL);  // already the owner
    EXPECT_EQ(client.Send(IOCTL_ASIO_PREPARE, &params, 19).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client.Send(IOCTL_ASIO_START).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.Send(IOCTL_ASIO_GET_POSITION, nullptr, 0, 2).status, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(client.Prepare(params), STATUS_SUCCESS);
    EXPECT_EQ(client.Send(IOCTL_ASIO_STOP).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.Send(IOCTL_ASIO_CLOSE).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.Prepare(params), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(client.Send(IOCTL_ASIO_START).status, STATUS_SUCCESS);
    // Running: a short position buffer is a bad parameter, not a short reply.
    EXPECT_EQ(client.Send(IOCTL_ASIO_GET_POSITION, nullptr, 0, 2).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client.Send(IOCTL_ASIO_SYNC_POSITION, nullptr, 3).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_UNSUCCESSFUL);
    Reply position = client.Query(IOCTL_ASIO_GET_POSITION);
    EXPECT_EQ(position.status, STATUS_SUCCESS);
    EXPECT_EQ(position.information, 4u);
    EXPECT_EQ(position.Ulong(), 0u);  // no read has completed in this run
    EXPECT_EQ(client.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    EXPECT_EQ(client.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    EXPECT_EQ(client.Send(IOCTL_ASIO_CLOSE).status, STATUS_SUCCESS);
}

TEST_F(ChannelRequests, QueriesAnswerWithExactlyTheirReplyLength) {
    Reply range = client.Query(IOCTL_ASIO_GET_RATE_RANGE, 16);
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    EXPECT_EQ(range.information, 8u);
    EXPECT_EQ(range.Ulong(0), 32000u);
    EXPECT_EQ(range.Ulong(4), 768000u);
    EXPECT_EQ(range.data[8], 0xCC);
    Reply rate = client.Query(IOCTL_ASIO_GET_SAMPLE_RATE, 8);
    ASSERT_EQ(rate.status, STATUS_SUCCESS);
    EXPECT_EQ(rate.information, 4u);
    ULONG deviceRate = 0;
    ASSERT_EQ(Adapter().GetSampleRate(&deviceRate), STATUS_SUCCESS);
    EXPECT_EQ(rate.Ulong(), deviceRate);
    EXPECT_NE(deviceRate, 0u);
    EXPECT_EQ(client.Query(IOCTL_ASIO_GET_DSD_SUPPORT).Ulong(), 1u);
    EXPECT_EQ(client.Query(IOCTL_ASIO_GET_USB_SPEED).Ulong(), 2u);  // high speed
    EXPECT_EQ(client.Query(IOCTL_ASIO_GET_CAPTURE_FRAMES_PER_TRANSFER).Ulong(), vq7::CaptureFramesPerTransfer);
    EXPECT_EQ(client.Query(IOCTL_ASIO_GET_STREAM_ERROR).Ulong(), 0u);
    Reply nop = client.Send(IOCTL_ASIO_NOP, nullptr, 0, 8);
    EXPECT_EQ(nop.status, STATUS_SUCCESS);
    EXPECT_EQ(nop.information, 0u);
}

TEST_F(ChannelRequests, FormatInfoGivesEachDirectionsBestFormatOrItsRefusal) {
    auto formatInfo = [&](USHORT tag, ULONG rate) {
        ASIO_FORMAT_INFO info = {tag, rate, 7, 7, 7, 7};
        return client.Send(IOCTL_ASIO_GET_FORMAT_INFO, &info, sizeof(info), 30);
    };
    Reply pcm = formatInfo(ASIO_FORMAT_TAG_PCM, 96000);
    ASSERT_EQ(pcm.status, STATUS_SUCCESS);
    EXPECT_EQ(pcm.information, 22u);
    ASIO_FORMAT_INFO info;
    std::memcpy(&info, pcm.data.data(), sizeof(info));
    EXPECT_EQ(+info.FormatTag, ASIO_FORMAT_TAG_PCM);
    EXPECT_EQ(+info.SampleRate, 96000u);
    EXPECT_EQ(+info.OutChannels, 2u);
    EXPECT_EQ(+info.OutBitsPerSample, 32u);
    EXPECT_EQ(+info.InChannels, 4u);
    EXPECT_EQ(+info.InBitsPerSample, 32u);
    EXPECT_EQ(formatInfo(ASIO_FORMAT_TAG_PCM, 12345).status, STATUS_INVALID_PARAMETER);  // not a device rate
    EXPECT_EQ(formatInfo(2, 48000).status, STATUS_NOT_SUPPORTED);
    Reply none = formatInfo(ASIO_FORMAT_TAG_IEEE_FLOAT, 48000);  // the Q7 has no float setting
    EXPECT_EQ(none.status, STATUS_NO_MATCH);
    EXPECT_EQ(none.information, 0u);
}

TEST_F(ChannelRequests, TheDeviceNameComesInTwoSteps) {
    const std::u16string expected = u"Q70B31-001024";
    Reply first = client.Query(IOCTL_ASIO_GET_DEVICE_NAME, 6);
    EXPECT_EQ(first.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(first.information, 6u);  // a warning still returns its data
    ASSERT_EQ(first.Ulong(), expected.size());
    EXPECT_EQ(first.data[4], 0);
    EXPECT_EQ(first.data[5], 0);

    Reply cut = client.Query(IOCTL_ASIO_GET_DEVICE_NAME, 11);  // room for two characters and a half
    EXPECT_EQ(cut.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(cut.information, 11u);
    EXPECT_EQ(cut.data[4], 'Q');
    EXPECT_EQ(cut.data[6], '7');
    EXPECT_EQ(cut.data[8], '0');  // the odd byte of a character that did not fit
    EXPECT_EQ(cut.data[9], 0);    // and the terminator right after what was copied
    EXPECT_EQ(cut.data[10], 0);

    const ULONG full = first.Ulong() * 2 + 6;
    Reply whole = client.Query(IOCTL_ASIO_GET_DEVICE_NAME, full + 4);
    ASSERT_EQ(whole.status, STATUS_SUCCESS);
    EXPECT_EQ(whole.information, full);
    std::u16string name(expected.size(), u'\0');
    std::memcpy(name.data(), whole.data.data() + 4, name.size() * 2);
    EXPECT_EQ(name, expected);
    EXPECT_EQ(whole.data[full - 2], 0);
    EXPECT_EQ(whole.data[full - 1], 0);
    EXPECT_EQ(whole.data[full], 0xCC);
}

TEST_F(ChannelRequests, PrepareRefusesBadParametersAndLeavesNothingBehind) {
    ASSERT_EQ(client.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    const uint64_t before = kmsim::OutstandingAllocations(kUsba);
    struct Case {
        ASIO_PREPARE_PARAMS params;
        NTSTATUS status;
    };
    const Case cases[] = {
        {Params(0, true, true), STATUS_INVALID_PARAMETER},
        {Params(64, false, false), STATUS_INVALID_PARAMETER},
        {Params(64, true, true, 2), STATUS_INVALID_DEVICE_REQUEST},
        {Params(64, true, true, ASIO_FORMAT_TAG_IEEE_FLOAT, ASIO_DSD_MODE_DSD), STATUS_INVALID_DEVICE_REQUEST},
        {Params(64, true, true, ASIO_FORMAT_TAG_IEEE_FLOAT), STATUS_NO_MATCH},  // reserved, then no float setting
    };
    for (const Case& c : cases) {
        EXPECT_EQ(client.Prepare(c.params), c.status);
        EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before);
        EXPECT_FALSE(Adapter().Asio().HasInputRing() || Adapter().Asio().HasOutputRing());
    }
    // No reservation was left: an exclusive one can still be had and given back.
    EXPECT_EQ(Adapter().ReserveDirections(TRUE, TRUE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().ReleaseDirections(TRUE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(client.Send(IOCTL_ASIO_CLOSE).status, STATUS_SUCCESS);
}

TEST_F(ChannelRequests, RingSizesFollowTheRateAndTheBuffer) {
    ASSERT_EQ(client.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 96000), STATUS_SUCCESS);
    ASSERT_EQ(client.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    const uint64_t before = kmsim::OutstandingAllocations(kUsba);
    ASSERT_EQ(client.Prepare(Params(64, true, true)), STATUS_SUCCESS);
    vq7::AsioStream& stream = Adapter().Asio();
    EXPECT_EQ(stream.InputRing().Size() / stream.InputRing().FrameBytes(), 3u * 96);
    EXPECT_EQ(stream.OutputRing().Size() / stream.OutputRing().FrameBytes(), 3u * 2 * 96);
    EXPECT_EQ(stream.InputRing().FrameBytes(), 4u * 4);
    EXPECT_EQ(stream.OutputRing().FrameBytes(), 2u * 4);
    EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before + 2);
    ASSERT_EQ(client.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before);

    ASSERT_EQ(client.Prepare(Params(256, true, false)), STATUS_SUCCESS);  // capture only
    EXPECT_EQ(stream.InputRing().Size() / stream.InputRing().FrameBytes(), 3u * 256);
    EXPECT_FALSE(stream.HasOutputRing());
    ASSERT_EQ(client.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);

    ASSERT_EQ(client.Prepare(Params(1024, false, true)), STATUS_SUCCESS);  // output only: transfers or buffer
    EXPECT_EQ(stream.OutputRing().Size() / stream.OutputRing().FrameBytes(), 3u * 1024);
    EXPECT_FALSE(stream.HasInputRing());
    ASSERT_EQ(client.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    EXPECT_EQ(client.Send(IOCTL_ASIO_CLOSE).status, STATUS_SUCCESS);
}

TEST(ChannelRates, TheOutputOnlyRingCoversItsTransfersOrThreeBuffers) {
    DriverWorld world;
    PluggedDevice dac = world.Start("uac2-async-dac");
    ChannelClient client(world, dac.pdo);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    ASSERT_EQ(client.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    EXPECT_EQ(client.Prepare(Params(64, true, false)), STATUS_INVALID_DEVICE_REQUEST);  // it does not capture
    ASSERT_EQ(client.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 48000), STATUS_SUCCESS);
    EXPECT_EQ(client.Query(IOCTL_ASIO_GET_SAMPLE_RATE).Ulong(), 0u);  // no fixed rate: only requested
    vq7::AsioStream& stream = world.Adapter(dac.pdo)->Asio();
    for (ULONG buffer : {16u, 64u, 256u, 1024u}) {
        SCOPED_TRACE(buffer);
        ASSERT_EQ(client.Prepare(Params(buffer, false, true)), STATUS_SUCCESS);
        EXPECT_EQ(stream.OutputRing().Size() / stream.OutputRing().FrameBytes(),
                  3u * std::max(48u * vq7::PlaybackFramesPerTransfer, buffer));
        EXPECT_EQ(client.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
}

TEST(ChannelRates, ARateOfNeitherFamilyCannotBePrepared) {
    DriverWorld world;
    simusb::AudioDescription description = simusb::FindReadyMadeDevice("uac2-async-dac")->describe();
    description.clocks.at(0).rates = {{44100, 44100, 0}, {48000, 48000, 0}, {64000, 64000, 0}};
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(world.Plug(world.Make(description), &pdo), STATUS_SUCCESS);
    ChannelClient client(world, pdo);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    ASSERT_EQ(client.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    ASSERT_EQ(client.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 64000), STATUS_SUCCESS);  // the device offers it
    EXPECT_EQ(client.Prepare(Params(256, false, true)), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(world.Adapter(pdo)->Asio().HasOutputRing());
    // Nothing was left reserved: the next rate prepares.
    ASSERT_EQ(client.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 48000), STATUS_SUCCESS);
    EXPECT_EQ(client.Prepare(Params(256, false, true)), STATUS_SUCCESS);
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
}

TEST_F(ChannelRequests, TestHooksAndTuningValuesNeedNoOwnership) {
    EXPECT_EQ(client.Send(IOCTL_ASIO_FAIL_NEXT_INPUT).status, STATUS_SUCCESS);
    EXPECT_EQ(vq7::FailNextCaptureCompletion, 1);
    EXPECT_EQ(client.Send(IOCTL_ASIO_FAIL_NEXT_OUTPUT).status, STATUS_SUCCESS);
    EXPECT_EQ(vq7::FailNextRenderCompletion, 1);
    vq7::FailNextCaptureCompletion = 0;
    vq7::FailNextRenderCompletion = 0;
    EXPECT_EQ(client.SendUlong(IOCTL_ASIO_SET_PLAYBACK_LEAD, 24), STATUS_SUCCESS);
    EXPECT_EQ(vq7::PlaybackLeadOverride_frames, 24);
    EXPECT_EQ(client.SendUlong(IOCTL_ASIO_SET_OUTPUT_PREFILL, 17), STATUS_SUCCESS);
    EXPECT_EQ(vq7::OutputPrefillOverride_frames, 17);
    EXPECT_EQ(client.SendUlong(IOCTL_ASIO_SET_PLAYBACK_LEAD, 0), STATUS_SUCCESS);
    EXPECT_EQ(client.SendUlong(IOCTL_ASIO_SET_OUTPUT_PREFILL, 0), STATUS_SUCCESS);
    EXPECT_EQ(vq7::PlaybackLeadOverride_frames, 0);
    EXPECT_EQ(vq7::OutputPrefillOverride_frames, 0);
}

TEST_F(ChannelRequests, ARateChangeIsRefusedWhileStreamingAndAppliedAndPersistedWhenIdle) {
    ChannelClient owner(world, q7.pdo, "owner");
    ASSERT_EQ(owner.Open(), STATUS_SUCCESS);
    ASSERT_EQ(owner.OpenPrepareStart(Params(128, true, true)), STATUS_SUCCESS);
    EXPECT_EQ(client.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 96000), STATUS_DEVICE_BUSY);
    EXPECT_EQ(owner.Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
    EXPECT_EQ(owner.Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);

    const std::string before = world.AudioInterfaces(q7.pdo).at(0).referenceString;
    EXPECT_EQ(client.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 12345), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(client.SendUlong(IOCTL_ASIO_SET_SAMPLE_RATE, 96000), STATUS_SUCCESS);
    EXPECT_EQ(client.Query(IOCTL_ASIO_GET_SAMPLE_RATE).Ulong(), 96000u);
    EXPECT_EQ(kmsim::RegistryGetDword(world.HardwareKey(q7.pdo), "SampleRate"), 96000u);
    const std::vector<kmsim::DeviceInterface> after = world.AudioInterfaces(q7.pdo);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0].referenceString, before);  // re-published under the new rate's name
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
}

}  // namespace
