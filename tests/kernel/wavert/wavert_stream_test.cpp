// The WaveRT stream through the miniport's and the stream's published
// interfaces, on a miniport whose port, port stream and adapter are
// doubles: NewStream's rules, the format a stream accepts, the state
// transitions, the cyclic buffer, the spans TransferData hands the engine,
// the position and its notifications, silence, and the streams' fate once
// the filter stopped them.

#include <gtest/gtest.h>

#include <ksmedia.h>

#include <string>
#include <vector>

#include "common/pool.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"
#include "wavert/minwavert.h"
#include "wavert/minwavert_stream.h"
#include "wavert/wave_format.h"
#include "wavert_doubles.h"

namespace {

using Calls = std::vector<std::string>;
using wavert_test::AdapterDouble;
using wavert_test::PortDouble;
using wavert_test::PortStreamDouble;

constexpr ULONG kTestTag = kmsim::PoolTag("Test");

// KSDATAFORMAT_WAVEFORMATEXTENSIBLE, or its DirectSound form.
struct ExtensibleFormat {
    KSDATAFORMAT header;
    vq7::WaveFormatExtensible wave;
};
struct DirectSoundFormat {
    KSDATAFORMAT header;
    ULONG flags;
    ULONG control;
    vq7::WaveFormatExtensible wave;
};

ExtensibleFormat Format(USHORT tag, USHORT bits, USHORT channels = 2, ULONG rate = 48000,
                        const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
    ExtensibleFormat format = {};
    format.header.FormatSize = sizeof format;
    format.header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.header.SubFormat = subFormat;
    format.header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    format.wave.wFormatTag = tag;
    format.wave.nChannels = channels;
    format.wave.nSamplesPerSec = rate;
    format.wave.wBitsPerSample = bits;
    format.wave.nBlockAlign = static_cast<USHORT>(bits / 8 * channels);
    format.wave.cbSize = tag == vq7::kWaveFormatExtensible ? 22 : 0;
    format.wave.SubFormat = subFormat;
    return format;
}

class WaveRtStreamTest : public testing::Test {
protected:
    WaveRtStreamTest() {
        adapter_ = new (NonPagedPoolNx, kTestTag) AdapterDouble();
        adapter_->AddRef();
        port_ = new (NonPagedPoolNx, kTestTag) PortDouble();
        port_->AddRef();
        portStream_ = new (NonPagedPoolNx, kTestTag) PortStreamDouble();
        portStream_->AddRef();
    }
    ~WaveRtStreamTest() override {
        if (miniport_ != nullptr) miniport_->Release();
        EXPECT_EQ(portStream_->Outstanding(), 0);
        portStream_->Release();
        port_->Release();
        adapter_->Release();
    }
    void StartFilter() {
        PUNKNOWN unknown = nullptr;
        ASSERT_EQ(CreateMiniportWaveRT(&unknown, CLSID_PortWaveRT, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
        miniport_ = static_cast<CMiniportWaveRT*>(static_cast<IMiniportWaveRT*>(unknown));
        ASSERT_EQ(miniport_->Init(adapter_, nullptr, port_), STATUS_SUCCESS);
    }
    void SetUp() override { StartFilter(); }

    NTSTATUS Open(bool capture, KSDATAFORMAT* format, PMINIPORTWAVERTSTREAM* stream) {
        return miniport_->NewStream(stream, portStream_, capture ? 1 : 0, capture, format);
    }
    // A stream of the format, or null (with a failure recorded).
    PMINIPORTWAVERTSTREAM Open(bool capture, USHORT bits = 16) {
        ExtensibleFormat format = Format(vq7::kWaveFormatExtensible, bits);
        PMINIPORTWAVERTSTREAM stream = nullptr;
        EXPECT_EQ(Open(capture, &format.header, &stream), STATUS_SUCCESS);
        return stream;
    }
    static IMiniportWaveRTStreamNotification* Notification(PMINIPORTWAVERTSTREAM stream) {
        return static_cast<IMiniportWaveRTStreamNotification*>(stream);
    }
    // Allocates the buffer and steps the stream up to `state`.
    void Run(PMINIPORTWAVERTSTREAM stream, ULONG bufferBytes, ULONG notifications = 0, KSSTATE state = KSSTATE_RUN) {
        PMDL mdl = nullptr;
        ULONG actual = 0, offset = 0;
        MEMORY_CACHING_TYPE cache = MmNotMapped;
        ASSERT_EQ(Notification(stream)->AllocateBufferWithNotification(notifications, bufferBytes, &mdl, &actual,
                                                                       &offset, &cache),
                  STATUS_SUCCESS);
        mdl_ = mdl;
        for (int s = KSSTATE_ACQUIRE; s <= state; ++s) {
            ASSERT_EQ(stream->SetState(static_cast<KSSTATE>(s)), STATUS_SUCCESS);
        }
    }
    void Close(PMINIPORTWAVERTSTREAM stream, ULONG bufferBytes) {
        for (int s = KSSTATE_PAUSE; s >= KSSTATE_STOP; --s) stream->SetState(static_cast<KSSTATE>(s));
        stream->FreeAudioBuffer(mdl_, bufferBytes);
        stream->Release();
    }
    ULONG Position(PMINIPORTWAVERTSTREAM stream) {
        KSAUDIO_POSITION position = {};
        EXPECT_EQ(stream->GetPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position.WriteOffset, position.PlayOffset);
        return static_cast<ULONG>(position.PlayOffset);
    }

    kmsim::Simulation sim_;
    AdapterDouble* adapter_ = nullptr;
    PortDouble* port_ = nullptr;
    PortStreamDouble* portStream_ = nullptr;
    CMiniportWaveRT* miniport_ = nullptr;
    PMDL mdl_ = nullptr;
};

TEST_F(WaveRtStreamTest, AStreamReservesItsDirectionTakesTheFormatAndGivesBothBackWhenReleased) {
    PMINIPORTWAVERTSTREAM stream = Open(false);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(adapter_->calls, (Calls{"reserve render", "format render 1/2/16/48000"}));
    PVOID face = nullptr;
    EXPECT_EQ(stream->QueryInterface(IID_IMiniportWaveRTStreamNotification, &face), STATUS_SUCCESS);
    EXPECT_EQ(face, stream);
    static_cast<PUNKNOWN>(face)->Release();
    EXPECT_EQ(stream->QueryInterface(IID_IDrmAudioStream, &face), STATUS_SUCCESS);
    static_cast<PUNKNOWN>(face)->Release();
    EXPECT_EQ(stream->QueryInterface(IID_IPortWaveRTStream, &face), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(face, nullptr);
    ExtensibleFormat other = Format(vq7::kWaveFormatPcm, 24);
    EXPECT_EQ(stream->SetFormat(&other.header), STATUS_NOT_SUPPORTED);
    KSRTAUDIO_HWLATENCY latency = {};
    stream->GetHWLatency(&latency);
    EXPECT_EQ(latency.FifoSize, 32u);
    EXPECT_EQ(latency.ChipsetDelay, 0u);
    EXPECT_EQ(latency.CodecDelay, 4u);
    KSRTAUDIO_HWREGISTER reg = {};
    EXPECT_EQ(stream->GetPositionRegister(&reg), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(stream->GetClockRegister(&reg), STATUS_NOT_IMPLEMENTED);
    stream->Release();
    EXPECT_EQ(adapter_->calls,
              (Calls{"reserve render", "format render 1/2/16/48000", "clear render", "release render"}));
    EXPECT_EQ(kmsim::OutstandingAllocations(vq7::kPoolTagUsba), 0u);
}

TEST_F(WaveRtStreamTest, OneStreamPerDirectionAndANewOneOnceTheFirstIsGone) {
    PMINIPORTWAVERTSTREAM render = Open(false);
    PMINIPORTWAVERTSTREAM capture = Open(true);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    ExtensibleFormat format = Format(vq7::kWaveFormatPcm, 16);
    PMINIPORTWAVERTSTREAM second = reinterpret_cast<PMINIPORTWAVERTSTREAM>(1);
    EXPECT_EQ(Open(false, &format.header, &second), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(second, nullptr);
    render->Release();
    PMINIPORTWAVERTSTREAM again = Open(false);
    EXPECT_NE(again, nullptr);
    if (again != nullptr) again->Release();
    capture->Release();
    EXPECT_EQ(adapter_->calls.back(), "release capture");
}

TEST_F(WaveRtStreamTest, ARefusedReservationOrFormatLeavesNoStreamAndNothingHeld) {
    adapter_->reserveStatus = STATUS_DEVICE_BUSY;
    ExtensibleFormat format = Format(vq7::kWaveFormatPcm, 16);
    PMINIPORTWAVERTSTREAM stream = nullptr;
    EXPECT_EQ(Open(false, &format.header, &stream), STATUS_DEVICE_BUSY);
    EXPECT_EQ(adapter_->calls, (Calls{"reserve render"}));
    adapter_->reserveStatus = STATUS_SUCCESS;
    adapter_->formatStatus = STATUS_NO_MATCH;
    EXPECT_EQ(Open(false, &format.header, &stream), STATUS_NO_MATCH);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(adapter_->calls.back(), "release render");
    adapter_->formatStatus = STATUS_SUCCESS;
    adapter_->calls.clear();
    stream = Open(false);
    ASSERT_NE(stream, nullptr);
    stream->Release();
    EXPECT_EQ(kmsim::OutstandingAllocations(vq7::kPoolTagUsba), 0u);
}

TEST_F(WaveRtStreamTest, TheFormatTagComesFromTheWaveFormatOrItsSubformatAndAnythingElseIsRefused) {
    struct Case {
        ExtensibleFormat format;
        NTSTATUS status;
        const char* call;  // the adapter's SetFormat, when it is reached
    };
    ExtensibleFormat notAudio = Format(vq7::kWaveFormatPcm, 16);
    notAudio.header.MajorFormat = KSDATAFORMAT_TYPE_WILDCARD;
    ExtensibleFormat noSpecifier = Format(vq7::kWaveFormatPcm, 16);
    noSpecifier.header.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    ExtensibleFormat truncated = Format(vq7::kWaveFormatExtensible, 16);
    truncated.header.FormatSize = sizeof(KSDATAFORMAT) + vq7::kWaveFormatExBytes;  // no extensible part
    const Case cases[] = {
        {Format(vq7::kWaveFormatPcm, 8, 1, 44100), STATUS_SUCCESS, "format render 1/1/8/44100"},
        {Format(vq7::kWaveFormatIeeeFloat, 32), STATUS_SUCCESS, "format render 3/2/32/48000"},
        {Format(vq7::kWaveFormatMulaw, 8), STATUS_SUCCESS, "format render 7/2/8/48000"},
        {Format(vq7::kWaveFormatExtensible, 32, 2, 96000, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), STATUS_SUCCESS,
         "format render 3/2/32/96000"},
        {Format(vq7::kWaveFormatExtensible, 8, 2, 48000, KSDATAFORMAT_SUBTYPE_ALAW), STATUS_SUCCESS,
         "format render 6/2/8/48000"},
        {Format(vq7::kWaveFormatExtensible, 16, 2, 48000, KSDATAFORMAT_SUBTYPE_ANALOG), STATUS_INVALID_DEVICE_REQUEST,
         nullptr},
        {Format(0x0055, 16), STATUS_INVALID_DEVICE_REQUEST, nullptr},
        {notAudio, STATUS_INVALID_DEVICE_REQUEST, nullptr},
        {noSpecifier, STATUS_INVALID_DEVICE_REQUEST, nullptr},
        {truncated, STATUS_INVALID_DEVICE_REQUEST, nullptr},
    };
    for (const Case& c : cases) {
        adapter_->calls.clear();
        ExtensibleFormat format = c.format;
        PMINIPORTWAVERTSTREAM stream = nullptr;
        EXPECT_EQ(Open(false, &format.header, &stream), c.status) << format.wave.wFormatTag;
        if (c.call != nullptr) {
            ASSERT_GE(adapter_->calls.size(), 2u);
            EXPECT_EQ(adapter_->calls[1], c.call);
        } else {
            EXPECT_EQ(adapter_->calls, (Calls{"reserve render", "release render"}));
        }
        if (stream != nullptr) stream->Release();
    }
    // The DirectSound form carries the wave format after two more ULONGs.
    DirectSoundFormat dsound = {};
    dsound.header = Format(vq7::kWaveFormatPcm, 24).header;
    dsound.header.FormatSize = sizeof dsound;
    dsound.header.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    dsound.wave = Format(vq7::kWaveFormatPcm, 24, 2, 192000).wave;
    adapter_->calls.clear();
    PMINIPORTWAVERTSTREAM stream = nullptr;
    ASSERT_EQ(Open(true, &dsound.header, &stream), STATUS_SUCCESS);
    EXPECT_EQ(adapter_->calls[1], "format capture 1/2/24/192000");
    stream->Release();
}

TEST_F(WaveRtStreamTest, AStreamThatCannotBeAllocatedGivesItsReservationBack) {
    kmsim::FailAllocationsWithTag(vq7::kPoolTagUsba);
    ExtensibleFormat format = Format(vq7::kWaveFormatPcm, 16);
    PMINIPORTWAVERTSTREAM stream = nullptr;
    EXPECT_EQ(Open(false, &format.header, &stream), STATUS_INSUFFICIENT_RESOURCES);
    kmsim::ClearAllocationFailures();
    EXPECT_EQ(adapter_->calls, (Calls{"reserve render", "release render"}));
    stream = Open(false);
    ASSERT_NE(stream, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    kmsim::FailAllocationsWithTag(vq7::kPoolTagUsba);
    EXPECT_EQ(Notification(stream)->RegisterNotificationEvent(&event), STATUS_INSUFFICIENT_RESOURCES);
    kmsim::ClearAllocationFailures();
    EXPECT_EQ(Notification(stream)->UnregisterNotificationEvent(&event), STATUS_NOT_FOUND);
    stream->Release();
}

TEST_F(WaveRtStreamTest, OnlyAdjacentTransitionsAreAcceptedAndDestructionStepsDown) {
    PMINIPORTWAVERTSTREAM stream = Open(false);
    ASSERT_NE(stream, nullptr);
    auto* state = static_cast<CMiniportWaveRTStream*>(Notification(stream));
    EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(state->State(), KSSTATE_STOP);
    EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    PMDL mdl = nullptr;
    ULONG actual = 0, offset = 0;
    MEMORY_CACHING_TYPE cache = MmNotMapped;
    ASSERT_EQ(stream->AllocateAudioBuffer(4800, &mdl, &actual, &offset, &cache), STATUS_SUCCESS);
    EXPECT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_INVALID_PARAMETER);
    adapter_->prepareStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(state->State(), KSSTATE_ACQUIRE);
    adapter_->prepareStatus = STATUS_SUCCESS;
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(adapter_->preparedBytes, 4800u);
    EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(state->State(), KSSTATE_RUN);
    EXPECT_TRUE(miniport_->TryEnterRunningStream(FALSE));
    miniport_->LeaveRunningStream(FALSE);
    stream->FreeAudioBuffer(mdl, 4800);
    adapter_->calls.clear();
    stream->Release();  // from RUN
    EXPECT_EQ(adapter_->calls, (Calls{"unprepare render", "clear render", "release render"}));
    EXPECT_FALSE(miniport_->TryEnterRunningStream(FALSE));
}

TEST_F(WaveRtStreamTest, TheBufferLiesBelow4GbIsMappedCachedAndIsNotRounded) {
    PMINIPORTWAVERTSTREAM stream = Open(false);
    ASSERT_NE(stream, nullptr);
    PMDL mdl = nullptr;
    ULONG actual = 0, offset = 7;
    MEMORY_CACHING_TYPE cache = MmNotMapped;
    portStream_->failPages = true;
    EXPECT_EQ(stream->AllocateAudioBuffer(4801, &mdl, &actual, &offset, &cache), STATUS_UNSUCCESSFUL);
    portStream_->failPages = false;
    portStream_->failMapping = true;
    EXPECT_EQ(stream->AllocateAudioBuffer(4801, &mdl, &actual, &offset, &cache), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(portStream_->Outstanding(), 0);  // the pages went back
    portStream_->failMapping = false;
    ASSERT_EQ(stream->AllocateAudioBuffer(4801, &mdl, &actual, &offset, &cache), STATUS_SUCCESS);
    EXPECT_EQ(portStream_->lastHighAddress, 0xFFFFFFFFLL);
    EXPECT_EQ(portStream_->lastCacheType, MmCached);
    EXPECT_EQ(actual, 4801u);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(cache, MmCached);
    stream->FreeAudioBuffer(nullptr, 4801);
    EXPECT_EQ(portStream_->counts.freed, 1);
    stream->FreeAudioBuffer(mdl, 4801);
    EXPECT_EQ(portStream_->counts.unmapped, 1);
    EXPECT_EQ(portStream_->counts.freed, 2);
    EXPECT_EQ(portStream_->Outstanding(), 0);
    stream->Release();
}

TEST_F(WaveRtStreamTest, TransferDataHandsTheEngineOneOrTwoSpansOnlyWhileRunning) {
    PMINIPORTWAVERTSTREAM stream = Open(false);
    ASSERT_NE(stream, nullptr);
    Run(stream, 4800, 0, KSSTATE_PAUSE);
    miniport_->TransferData(FALSE, 480);
    EXPECT_TRUE(adapter_->spans.empty());  // paused
    ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    miniport_->TransferData(FALSE, 4300);
    ASSERT_EQ(adapter_->spans.size(), 1u);
    PUCHAR base = adapter_->spans[0].address;
    adapter_->spans.clear();
    miniport_->TransferData(FALSE, 1000);  // 500 to the end, 500 from the start
    ASSERT_EQ(adapter_->spans.size(), 2u);
    EXPECT_EQ(adapter_->spans[0].address, base + 4300);
    EXPECT_EQ(adapter_->spans[0].length, 500);
    EXPECT_EQ(adapter_->spans[1].address, base);
    EXPECT_EQ(adapter_->spans[1].length, 500);
    EXPECT_FALSE(adapter_->spans[0].capture);
    adapter_->spans.clear();
    miniport_->TransferData(FALSE, 10000);  // more than the buffer: exactly the buffer
    ASSERT_EQ(adapter_->spans.size(), 2u);
    EXPECT_EQ(adapter_->spans[0].address, base + 500);
    EXPECT_EQ(adapter_->spans[0].length + adapter_->spans[1].length, 4800);
    adapter_->spans.clear();
    miniport_->TransferData(TRUE, 480);  // no capture stream
    EXPECT_TRUE(adapter_->spans.empty());
    // The position moves only with AdvancePosition.
    EXPECT_EQ(Position(stream), 0u);
    Close(stream, 4800);
}

TEST_F(WaveRtStreamTest, TwoNotificationsPerBufferComeAtTheHalfAndAtTheWrap) {
    PMINIPORTWAVERTSTREAM stream = Open(false);
    ASSERT_NE(stream, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ASSERT_EQ(Notification(stream)->RegisterNotificationEvent(&event), STATUS_SUCCESS);
    EXPECT_EQ(Notification(stream)->RegisterNotificationEvent(&event), STATUS_UNSUCCESSFUL);
    Run(stream, 4800, 2);
    std::vector<ULONG> signalled;  // positions after the advances that signalled
    for (int i = 0; i < 20; ++i) {
        miniport_->AdvancePosition(FALSE, 480);
        if (KeReadStateEvent(&event) != 0) {
            signalled.push_back(Position(stream));
            KeClearEvent(&event);
        }
    }
    EXPECT_EQ(signalled, (std::vector<ULONG>{2400, 0, 2400, 0}));
    // The first registration stays in force, once.
    EXPECT_EQ(Notification(stream)->UnregisterNotificationEvent(&event), STATUS_SUCCESS);
    EXPECT_EQ(Notification(stream)->UnregisterNotificationEvent(&event), STATUS_NOT_FOUND);
    Close(stream, 4800);
}

TEST_F(WaveRtStreamTest, OneNotificationPerBufferComesAtTheWrapAndOtherCountsNone) {
    for (ULONG count : {1u, 0u, 3u}) {
        PMINIPORTWAVERTSTREAM stream = Open(true);
        ASSERT_NE(stream, nullptr);
        KEVENT first, second;
        KeInitializeEvent(&first, NotificationEvent, FALSE);
        KeInitializeEvent(&second, NotificationEvent, FALSE);
        ASSERT_EQ(Notification(stream)->RegisterNotificationEvent(&first), STATUS_SUCCESS);
        ASSERT_EQ(Notification(stream)->RegisterNotificationEvent(&second), STATUS_SUCCESS);
        Run(stream, 4800, count);
        EXPECT_EQ(static_cast<CMiniportWaveRTStream*>(Notification(stream))->NotificationCount(), count);
        miniport_->AdvancePosition(TRUE, 2000);
        miniport_->AdvancePosition(TRUE, 0);
        EXPECT_EQ(KeReadStateEvent(&first), 0);
        EXPECT_EQ(Position(stream), 2000u);
        miniport_->AdvancePosition(TRUE, 3000);  // crosses the half and wraps: the wrap alone
        EXPECT_EQ(Position(stream), 200u);
        EXPECT_EQ(KeReadStateEvent(&first) != 0, count == 1) << count;
        EXPECT_EQ(KeReadStateEvent(&second) != 0, count == 1) << count;
        KeClearEvent(&first);
        miniport_->AdvancePosition(TRUE, 4800);  // a whole buffer: back where it was, nothing
        EXPECT_EQ(Position(stream), 200u);
        EXPECT_EQ(KeReadStateEvent(&first), 0);
        Close(stream, 4800);  // the events still registered go with the stream
    }
    EXPECT_EQ(kmsim::OutstandingAllocations(vq7::kPoolTagUsba), 0u);
}

TEST_F(WaveRtStreamTest, PausingKeepsThePositionAndPreparingStartsItAgain) {
    PMINIPORTWAVERTSTREAM stream = Open(false);
    ASSERT_NE(stream, nullptr);
    Run(stream, 4800);
    miniport_->AdvancePosition(FALSE, 1440);
    ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    miniport_->AdvancePosition(FALSE, 480);  // not running: ignored
    EXPECT_EQ(Position(stream), 1440u);
    KSAUDIO_POSITION reported = {};
    EXPECT_EQ(miniport_->GetStreamPosition(FALSE, &reported), STATUS_SUCCESS);
    EXPECT_EQ(reported.PlayOffset, 1440u);
    EXPECT_EQ(miniport_->GetStreamPosition(TRUE, &reported), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Position(stream), 0u);
    Close(stream, 4800);
}

TEST_F(WaveRtStreamTest, SilenceIs0x80ForEightBitStreamsAndZeroOtherwise) {
    PMINIPORTWAVERTSTREAM render = Open(false, 8);
    PMINIPORTWAVERTSTREAM capture = Open(true, 32);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    std::vector<UCHAR> bytes(16, 0x55);
    miniport_->FillSilence(FALSE, bytes.data(), 8);
    EXPECT_EQ(bytes, (std::vector<UCHAR>{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x55, 0x55, 0x55, 0x55, 0x55,
                                         0x55, 0x55, 0x55}));
    miniport_->FillSilence(TRUE, bytes.data() + 4, 8);
    EXPECT_EQ(bytes[3], 0x80);
    EXPECT_EQ(bytes[4], 0x00);
    EXPECT_EQ(bytes[11], 0x00);
    EXPECT_EQ(bytes[12], 0x55);
    render->Release();
    capture->Release();
    bytes.assign(4, 0x55);
    miniport_->FillSilence(FALSE, bytes.data(), 4);  // no stream: untouched
    EXPECT_EQ(bytes[0], 0x55);
}

TEST_F(WaveRtStreamTest, StreamsTheFilterStoppedStillAnswerButNeverRunAgain) {
    PMINIPORTWAVERTSTREAM render = Open(false);
    ASSERT_NE(render, nullptr);
    Run(render, 4800, 0, KSSTATE_PAUSE);
    adapter_->calls.clear();
    miniport_->StopAllStreams();
    EXPECT_EQ(adapter_->calls, (Calls{"unprepare render", "clear render", "release render"}));
    ExtensibleFormat format = Format(vq7::kWaveFormatPcm, 16);
    PMINIPORTWAVERTSTREAM capture = nullptr;
    EXPECT_EQ(Open(true, &format.header, &capture), STATUS_DELETE_PENDING);
    EXPECT_EQ(render->SetState(KSSTATE_RUN), STATUS_DELETE_PENDING);
    EXPECT_EQ(static_cast<CMiniportWaveRTStream*>(Notification(render))->State(), KSSTATE_RUN);
    EXPECT_FALSE(miniport_->TryEnterRunningStream(FALSE));
    adapter_->calls.clear();
    Close(render, 4800);
    EXPECT_TRUE(adapter_->calls.empty());
    EXPECT_EQ(portStream_->Outstanding(), 0);
}

TEST_F(WaveRtStreamTest, ContentIdsAreForwardedThroughTheDrmPortWhenThereIsOne) {
    PMINIPORTWAVERTSTREAM stream = Open(false);
    ASSERT_NE(stream, nullptr);
    PVOID face = nullptr;
    ASSERT_EQ(stream->QueryInterface(IID_IDrmAudioStream, &face), STATUS_SUCCESS);
    auto* drm = static_cast<IDrmAudioStream*>(face);
    DRMRIGHTS rights = {};
    EXPECT_EQ(drm->SetContentId(7, &rights), STATUS_UNSUCCESSFUL);  // the port has no DRM port
    drm->Release();
    stream->Release();
    miniport_->Release();
    miniport_ = nullptr;

    port_->drm = new (NonPagedPoolNx, kTestTag) wavert_test::DrmPortDouble();
    port_->drm->AddRef();
    StartFilter();
    stream = Open(true);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->QueryInterface(IID_IDrmAudioStream, &face), STATUS_SUCCESS);
    drm = static_cast<IDrmAudioStream*>(face);
    EXPECT_EQ(drm->SetContentId(7, &rights), STATUS_SUCCESS);
    EXPECT_EQ(port_->drm->forwardedId, 7u);
    EXPECT_EQ(port_->drm->forwardedReserved, nullptr);
    EXPECT_EQ(port_->drm->forwarded.Context, reinterpret_cast<PVOID>(0x1234));
    EXPECT_EQ(adapter_->calls.back(), "drm capture");
    adapter_->drmStatus = STATUS_INVALID_DEVICE_STATE;
    port_->drm->forwardedId = 0;
    EXPECT_EQ(drm->SetContentId(8, &rights), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(port_->drm->forwardedId, 0u);
    drm->Release();
    stream->Release();
}

TEST_F(WaveRtStreamTest, TheFilterHandsItsPropertyTableToTheDescriptionAndJacksGoToTheAdapter) {
    const PCAUTOMATION_TABLE* table = adapter_->filterAutomation;
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->PropertyCount, 3u);
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        EXPECT_EQ(table->Properties[i].Flags, 0x201u);
        EXPECT_NE(table->Properties[i].Handler, nullptr);
    }
    EXPECT_TRUE(IsEqualGUID(*table->Properties[0].Set, KSPROPSETID_General));
    EXPECT_TRUE(IsEqualGUID(*table->Properties[2].Set, KSPROPSETID_Jack));
    KSJACK_DESCRIPTION jack = {};
    PCPROPERTY_REQUEST request = {};
    request.MajorTarget = static_cast<IMiniportWaveRT*>(miniport_);
    request.PropertyItem = &table->Properties[1];
    request.Verb = KSPROPERTY_TYPE_GET;
    request.ValueSize = sizeof jack;
    request.Value = &jack;
    EXPECT_EQ(table->Properties[1].Handler(&request), STATUS_SUCCESS);
    EXPECT_EQ(adapter_->jackRequest, &request);
}

// A stream created while the filter stops its streams (a rate change) is
// either refused or unwound with the rest: every reservation goes back once,
// and the engine never finds the stream.
TEST_F(WaveRtStreamTest, AStreamCreatedWhileTheFilterStopsItsStreamsIsNeverLeftBound) {
    NTSTATUS created = STATUS_PENDING;
    PMINIPORTWAVERTSTREAM stream = nullptr;
    adapter_->formatDelayMs = 2;  // the device takes its time to set the format
    {
        kmsim::Thread portcls("PortCls", [&] {
            ExtensibleFormat format = Format(vq7::kWaveFormatPcm, 16);
            created = Open(false, &format.header, &stream);
        });
        kmsim::Thread rateChange("rate change", [&] {
            LARGE_INTEGER delay;
            delay.QuadPart = -10000;  // 1 ms: while the format is being set
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            miniport_->StopAllStreams();
        });
    }
    EXPECT_TRUE(created == STATUS_SUCCESS || created == STATUS_DELETE_PENDING) << std::hex << created;
    EXPECT_FALSE(miniport_->TryEnterRunningStream(FALSE));
    KSAUDIO_POSITION position = {};
    EXPECT_EQ(miniport_->GetStreamPosition(FALSE, &position), STATUS_INVALID_PARAMETER);  // the engine finds none
    if (stream != nullptr) stream->Release();
    EXPECT_EQ(adapter_->Count("reserve"), adapter_->Count("release"));
    EXPECT_EQ(adapter_->Count("format"), adapter_->Count("clear"));
}

}  // namespace
