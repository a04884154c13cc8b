// The WaveRT filter of a started Q7 as PortCls and the engine see it: its
// interfaces, the engine-facing operations with no stream, power
// notifications, the DMA description, the formats its pins propose, and
// the jack descriptions and signal-processing modes of its pins.

#include <gtest/gtest.h>

#include <ksmedia.h>

#include <cstring>

#include "driver_world.h"
#include "kmsim/registry.h"
#include "simusb/uac2_function.h"
#include "wavert/miniport_engine_sink.h"
#include "wavert/minwavert.h"

namespace {

using kerneltest::DriverWorld;
using kerneltest::SecondStart;

constexpr ULONG kResultBytes = 104;  // KSDATAFORMAT_WAVEFORMATEXTENSIBLE
constexpr uint8_t kQ7LineOut = 2;

// The registered miniport of a started device, held for the test.
class Filter {
public:
    explicit Filter(CUSBAudioAdapter* adapter) : adapter_(adapter), sink_(adapter->ReferenceMiniport()) {
        EXPECT_NE(sink_, nullptr);
        if (sink_ != nullptr) miniport_ = static_cast<CMiniportWaveRT*>(sink_);
    }
    ~Filter() {
        if (sink_ != nullptr) sink_->Release();
    }
    IMiniportEngineSink* Sink() const { return sink_; }
    CMiniportWaveRT* Miniport() const { return miniport_; }
    const PCFILTER_DESCRIPTOR& Description() const { return *sink_->GetFilterDescription(); }
    const PCPIN_DESCRIPTOR& Pin(ULONG i) const {
        return *reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(Description().Pins) +
                                                          i * Description().PinSize);
    }
    // The first pin with this data flow and communication.
    ULONG FindPin(KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication) const {
        for (ULONG i = 0; i < Description().PinCount; ++i) {
            if (Pin(i).KsPinDescriptor.DataFlow == flow && Pin(i).KsPinDescriptor.Communication == communication) {
                return i;
            }
        }
        ADD_FAILURE() << "no such pin";
        return 0;
    }
    CUSBAudioAdapter* Adapter() const { return adapter_; }

private:
    CUSBAudioAdapter* adapter_;
    IMiniportEngineSink* sink_;
    CMiniportWaveRT* miniport_ = nullptr;
};

KSDATARANGE_AUDIO ClientRange(ULONG channels, ULONG minRate, ULONG maxRate, ULONG minBits, ULONG maxBits) {
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof range;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = channels;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    return range;
}

struct Proposal {
    NTSTATUS status;
    ULONG length;
    UCHAR bytes[kResultBytes + 8];
    USHORT U16(size_t offset) const {
        USHORT v;
        std::memcpy(&v, bytes + offset, 2);
        return v;
    }
    ULONG U32(size_t offset) const {
        ULONG v;
        std::memcpy(&v, bytes + offset, 4);
        return v;
    }
};

Proposal Propose(const Filter& filter, ULONG pin, KSDATARANGE_AUDIO client, ULONG outputLength = kResultBytes) {
    Proposal p = {};
    PKSDATARANGE mine = filter.Pin(pin).KsPinDescriptor.DataRanges[0];
    p.status = filter.Miniport()->DataRangeIntersection(pin, &client.DataRange, mine, outputLength, p.bytes, &p.length);
    return p;
}

TEST(WaveRtFilter, TheEngineFindsNoStreamAndTheFilterAnswersItsInterfaces) {
    DriverWorld world;
    kerneltest::PluggedDevice q7 = world.Start("q7-0b31");
    Filter filter(world.Adapter(q7.pdo));
    ASSERT_NE(filter.Miniport(), nullptr);
    for (const GUID* iid : {&IID_IUnknown, &IID_IMiniport, &IID_IMiniportWaveRT, &IID_IMiniportEngineSink,
                            &IID_IPowerNotify, &IID_IMiniportAudioSignalProcessing}) {
        PVOID face = nullptr;
        EXPECT_EQ(filter.Sink()->QueryInterface(*iid, &face), STATUS_SUCCESS);
        ASSERT_NE(face, nullptr);
        static_cast<PUNKNOWN>(face)->Release();
    }
    PVOID face = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(filter.Sink()->QueryInterface(IID_IPinCount, &face), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(face, nullptr);

    for (BOOLEAN capture : {FALSE, TRUE}) {
        EXPECT_FALSE(filter.Sink()->TryEnterRunningStream(capture));
        KSAUDIO_POSITION position = {7, 7};
        EXPECT_EQ(filter.Sink()->GetStreamPosition(capture, &position), STATUS_INVALID_PARAMETER);
        UCHAR span[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        filter.Sink()->FillSilence(capture, span, sizeof span);
        EXPECT_EQ(span[0], 1);  // no stream: nothing is written
    }
    EXPECT_TRUE(filter.Miniport()->BindingActive());
    filter.Sink()->StopAllStreams();
    EXPECT_FALSE(filter.Miniport()->BindingActive());

    DEVICE_DESCRIPTION dma;
    std::memset(&dma, 0xAB, sizeof dma);
    EXPECT_EQ(filter.Miniport()->GetDeviceDescription(&dma), STATUS_SUCCESS);
    EXPECT_TRUE(dma.Master && dma.ScatterGather && dma.Dma32BitAddresses);
    EXPECT_FALSE(dma.DemandMode);
    EXPECT_EQ(dma.InterfaceType, PCIBus);
    EXPECT_EQ(dma.MaximumLength, 0xFFFFFFFFu);
    EXPECT_EQ(filter.Miniport()->GetDeviceDescription(nullptr), STATUS_SUCCESS);
}

TEST(WaveRtFilter, PowerNotificationsAreRecordedOncePerChange) {
    DriverWorld world;
    kerneltest::PluggedDevice q7 = world.Start("q7-0b31");
    Filter filter(world.Adapter(q7.pdo));
    ASSERT_NE(filter.Miniport(), nullptr);
    EXPECT_EQ(filter.Miniport()->DevicePowerState(), static_cast<ULONG>(PowerDeviceD0));
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    filter.Miniport()->PowerChangeNotify(state);
    EXPECT_EQ(filter.Miniport()->DevicePowerState(), static_cast<ULONG>(PowerDeviceD3));
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(5);
    filter.Miniport()->PowerChangeNotify(state);
    EXPECT_EQ(filter.Miniport()->DevicePowerState(), static_cast<ULONG>(PowerDeviceD3));
}

TEST(WaveRtFilter, APinProposesTheDeviceRateTheHighestCommonDepthAndStereo) {
    DriverWorld world;
    SecondStart q7(world, "q7-0b31");
    kmsim::RegistrySetDword(q7.Key(), "SampleRate", 48000);
    ASSERT_EQ(q7.Start(), STATUS_SUCCESS);
    Filter filter(q7.Adapter());
    ASSERT_NE(filter.Miniport(), nullptr);
    EXPECT_EQ(filter.Miniport()->DeviceSampleRate(), 48000u);
    ULONG render = filter.FindPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    const auto* mine = reinterpret_cast<const KSDATARANGE_AUDIO*>(filter.Pin(render).KsPinDescriptor.DataRanges[0]);

    Proposal p = Propose(filter, render, ClientRange(8, 48000, 48000, 8, 32));
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(p.length, kResultBytes);
    EXPECT_EQ(p.U32(0), kResultBytes);                          // FormatSize
    EXPECT_EQ(p.U16(64), 0xFFFE);                               // wFormatTag
    EXPECT_EQ(p.U16(66), 2u);                                   // nChannels: the pin's
    EXPECT_EQ(p.U32(68), 48000u);                               // nSamplesPerSec
    EXPECT_EQ(p.U16(78), mine->MaximumBitsPerSample);           // wBitsPerSample
    EXPECT_EQ(p.U16(76), mine->MaximumBitsPerSample * 2 / 8);   // nBlockAlign
    EXPECT_EQ(p.U32(72), p.U16(76) * 48000u);                   // nAvgBytesPerSec
    EXPECT_EQ(p.U16(80), 22u);                                  // cbSize
    EXPECT_EQ(p.U32(84), 3u);                                   // front left and right
    EXPECT_EQ(p.U32(8), static_cast<ULONG>(p.U16(76)));         // SampleSize

    // The pin's ranges carry only the device rate: a client without it is refused.
    EXPECT_EQ(mine->MinimumSampleFrequency, 48000u);
    EXPECT_EQ(mine->MaximumSampleFrequency, 48000u);
    EXPECT_EQ(Propose(filter, render, ClientRange(2, 44100, 44100, 8, 32)).status, STATUS_NO_MATCH);
    EXPECT_EQ(Propose(filter, render, ClientRange(2, 96000, 192000, 8, 32)).status, STATUS_NO_MATCH);
    EXPECT_EQ(Propose(filter, render, ClientRange(1, 48000, 48000, 8, 32)).status, STATUS_NO_MATCH);
    Proposal sized = Propose(filter, render, ClientRange(2, 48000, 48000, 8, 32), 0);
    EXPECT_EQ(sized.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sized.length, kResultBytes);
    EXPECT_EQ(Propose(filter, render, ClientRange(2, 48000, 48000, 8, 32), 103).status, STATUS_BUFFER_TOO_SMALL);
    KSDATARANGE_AUDIO dsound = ClientRange(2, 48000, 48000, 8, 32);
    dsound.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    EXPECT_EQ(Propose(filter, render, dsound).status, STATUS_NOT_SUPPORTED);
}

// ---------------------------------------------------------------- jacks and modes

struct JackRequest {
    PCPROPERTY_ITEM item = {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, 0x201, nullptr};
    PCPROPERTY_REQUEST request = {};
    ULONG pin = 0;
    alignas(8) UCHAR value[64] = {};  // a property value buffer is 8-aligned, as PortCls hands it

    JackRequest(ULONG id, ULONG verb, ULONG pinId, ULONG valueSize) : pin(pinId) {
        item.Id = id;
        request.PropertyItem = &item;
        request.Node = ULONG(-1);
        request.Verb = verb;
        request.InstanceSize = sizeof pin;
        request.Instance = &pin;
        request.ValueSize = valueSize;
        request.Value = value;
    }
    ULONG U32(size_t offset) const {
        ULONG v;
        std::memcpy(&v, value + offset, 4);
        return v;
    }
};

TEST(WaveRtFilter, BridgePinsDescribeTheirJacksAndStreamingPinsTheirMode) {
    DriverWorld world;
    kerneltest::PluggedDevice q7 = world.Start("q7-0b31");
    Filter filter(world.Adapter(q7.pdo));
    ASSERT_NE(filter.Miniport(), nullptr);
    CUSBAudioAdapter* adapter = filter.Adapter();
    ULONG lineOut = filter.FindPin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE);
    ULONG render = filter.FindPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);

    q7.usb->Uac2()->SetConnector(kQ7LineOut, simusb::ConnectorState{2, 3, 0});
    JackRequest plugged(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, lineOut, 36);
    ASSERT_EQ(adapter->JackProperty(&plugged.request), STATUS_SUCCESS);
    EXPECT_EQ(plugged.request.ValueSize, 36u);
    EXPECT_EQ(plugged.U32(0), 36u);                      // KSMULTIPLE_ITEM.Size
    EXPECT_EQ(plugged.U32(4), 1u);                       // Count
    EXPECT_EQ(plugged.U32(8), 3u);                       // ChannelMapping
    EXPECT_EQ(plugged.U32(20), ULONG(eGeoLocFront));     // GeoLocation
    EXPECT_EQ(plugged.U32(32), 1u);                      // IsConnected
    q7.usb->Uac2()->SetConnector(kQ7LineOut, simusb::ConnectorState{});
    JackRequest empty(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, lineOut, 36);
    ASSERT_EQ(adapter->JackProperty(&empty.request), STATUS_SUCCESS);
    EXPECT_EQ(empty.U32(32), 0u);

    JackRequest second(KSPROPERTY_JACK_DESCRIPTION2, KSPROPERTY_TYPE_GET, lineOut, 16);
    ASSERT_EQ(adapter->JackProperty(&second.request), STATUS_SUCCESS);
    EXPECT_EQ(second.U32(0), 16u);
    EXPECT_EQ(second.U32(8), 0u);                         // DeviceStateInfo
    EXPECT_EQ(second.U32(12), ULONG(JACKDESC2_PRESENCE_DETECT_CAPABILITY));

    JackRequest sizing(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, lineOut, 0);
    EXPECT_EQ(adapter->JackProperty(&sizing.request), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sizing.request.ValueSize, 36u);
    JackRequest small(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, lineOut, 20);
    EXPECT_EQ(adapter->JackProperty(&small.request), STATUS_BUFFER_TOO_SMALL);
    JackRequest support(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_BASICSUPPORT, lineOut, 40);
    ASSERT_EQ(adapter->JackProperty(&support.request), STATUS_SUCCESS);
    EXPECT_EQ(support.U32(0), 0x201u);                    // AccessFlags
    EXPECT_EQ(support.U32(4), 40u);                       // DescriptionSize
    JackRequest streaming(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, render, 36);
    EXPECT_EQ(adapter->JackProperty(&streaming.request), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(streaming.U32(0), 0u);                      // nothing written
    JackRequest unknown(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, filter.Description().PinCount, 36);
    EXPECT_EQ(adapter->JackProperty(&unknown.request), STATUS_INVALID_DEVICE_REQUEST);
    JackRequest other(KSPROPERTY_JACK_SINK_INFO, KSPROPERTY_TYPE_GET, lineOut, 36);
    EXPECT_EQ(adapter->JackProperty(&other.request), STATUS_INVALID_DEVICE_REQUEST);

    GUID modes[2] = {};
    ULONG count = 0;
    EXPECT_EQ(filter.Miniport()->GetModes(render, modes, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(filter.Miniport()->GetModes(render, nullptr, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    count = 2;
    ASSERT_EQ(filter.Miniport()->GetModes(render, modes, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(IsEqualGUID(modes[0], AUDIO_SIGNALPROCESSINGMODE_RAW));
    EXPECT_EQ(filter.Miniport()->GetModes(lineOut, modes, &count), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(count, 0u);
    count = 1;
    EXPECT_EQ(filter.Miniport()->GetModes(filter.Description().PinCount, modes, &count), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(filter.Miniport()->GetModes(render, modes, nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
