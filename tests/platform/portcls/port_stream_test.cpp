// PortCls's side of a pin with a test miniport whose stream writes down
// what reaches it: the state stepped one adjacent step at a time and cut
// short by the first refusal, close stepping a running stream down, PortCls's
// own intersection when the miniport leaves it to it, the filter's instance
// limit apart from the global one, and the port stream's page services with
// the verifier's stops for their misuse.

#include <gtest/gtest.h>

#include <ksmedia.h>

#include <cstring>
#include <vector>

#include "kmsim/client.h"
#include "kmsim/device_interfaces.h"
#include "kmsim/device_nodes.h"
#include "kmsim/io.h"
#include "kmsim/physical_memory.h"
#include "kmsim/simulation.h"
#include "adapter_device.h"
#include "audio_range_requests.h"
#include "test_miniport.h"

namespace {

constexpr ULONG kTag = 0x74736554;  // 'Test'

// One render pin: PCM, up to 2 channels, 16 to 24 bits, 48 kHz.
const KSDATARANGE_AUDIO kRange = kmtest::PcmRange(2, 16, 24, 48000, 48000);
const PKSDATARANGE kRanges[] = {const_cast<PKSDATARANGE>(&kRange.DataRange)};
const GUID kCategories[] = {STATICGUIDOF(KSCATEGORY_AUDIO)};

PCPIN_DESCRIPTOR RenderPin() {
    PCPIN_DESCRIPTOR pin = {};
    pin.MaxGlobalInstanceCount = 2;
    pin.MaxFilterInstanceCount = 1;
    pin.KsPinDescriptor.DataRangesCount = 1;
    pin.KsPinDescriptor.DataRanges = kRanges;
    pin.KsPinDescriptor.DataFlow = KSPIN_DATAFLOW_IN;
    pin.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    pin.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
    return pin;
}
const PCPIN_DESCRIPTOR kPins[] = {RenderPin()};
const PCFILTER_DESCRIPTOR kFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 1, kPins, sizeof(PCNODE_DESCRIPTOR), 0,
                                     nullptr, 0, nullptr, 1, kCategories};

#pragma pack(push, 1)
struct WaveFormat {
    USHORT tag, channels;
    ULONG rate, bytesPerSecond;
    USHORT blockAlign, bits, extra;
};
#pragma pack(pop)

struct ConnectRequest {
    KSPIN_CONNECT connect;
    KSDATAFORMAT format;
    WaveFormat wave;
};

class PortStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        stream_ = new (NonPagedPool, kTag) kmtest::TestStream(nullptr);
        stream_->AddRef();
        miniport_ = new (NonPagedPool, kTag) kmtest::TestMiniport(nullptr);
        miniport_->AddRef();
        miniport_->description = &kFilter;
        miniport_->stream = stream_;
        PPORT port;
        ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveRT), STATUS_SUCCESS);
        ASSERT_EQ(port->Init(device_.fdo(), nullptr, PMINIPORTWAVERT(miniport_), nullptr, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(PcRegisterSubdevice(device_.fdo(), const_cast<PWSTR>(L"Wave"), port), STATUS_SUCCESS);
        port->Release();
        miniport_->Release();  // the port holds it now
        ASSERT_EQ(client_.Open(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).at(0).path, &filter_), STATUS_SUCCESS);
        request_.connect.Interface.Set = KSINTERFACESETID_Standard;
        request_.connect.Medium.Set = KSMEDIUMSETID_Standard;
        request_.format.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WaveFormat);
        request_.format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        request_.format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        request_.format.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        request_.wave = {1, 2, 48000, 192000, 4, 16, 0};
    }
    void TearDown() override {
        client_.Close(filter_);
        device_.Remove();
        stream_->Release();
    }
    NTSTATUS CreatePin(HANDLE* pin) {
        ULONG length = sizeof(KSPIN_CONNECT) + request_.format.FormatSize;
        return client_.CreatePin(filter_, &request_.connect, length, pin);
    }
    NTSTATUS SetState(HANDLE pin, KSSTATE state) {
        KSPROPERTY property = {};
        property.Set = KSPROPSETID_Connection;
        property.Id = KSPROPERTY_CONNECTION_STATE;
        property.Flags = KSPROPERTY_TYPE_SET;
        return client_.DeviceIoControl(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &state, sizeof state,
                                       static_cast<ULONG*>(nullptr));
    }
    KSSTATE State(HANDLE pin) {
        KSPROPERTY property = {};
        property.Set = KSPROPSETID_Connection;
        property.Id = KSPROPERTY_CONNECTION_STATE;
        property.Flags = KSPROPERTY_TYPE_GET;
        KSSTATE state = KSSTATE_RUN;
        client_.DeviceIoControl(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &state, sizeof state,
                                static_cast<ULONG*>(nullptr));
        return state;
    }

    kmsim::Simulation sim_;
    kmtest::AdapterDevice device_{1};
    kmtest::TestMiniport* miniport_ = nullptr;  // the port's
    kmtest::TestStream* stream_ = nullptr;      // ours
    kmsim::Client client_;
    HANDLE filter_ = nullptr;
    ConnectRequest request_ = {};
};

using Steps = std::vector<KSSTATE>;

TEST_F(PortStreamTest, StatesReachTheStreamOneAdjacentStepAtATime) {
    HANDLE pin;
    ASSERT_EQ(CreatePin(&pin), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(stream_->steps, (Steps{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);  // already there: nothing reaches the stream
    ASSERT_EQ(SetState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(stream_->steps, (Steps{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE}));
    client_.Close(pin);
    EXPECT_EQ(stream_->steps.back(), KSSTATE_STOP);
}

TEST_F(PortStreamTest, TheFirstStepTheStreamRefusesEndsTheSequenceThere) {
    stream_->refuse = KSSTATE_PAUSE;
    stream_->refusal = STATUS_DEVICE_NOT_READY;
    HANDLE pin;
    ASSERT_EQ(CreatePin(&pin), STATUS_SUCCESS);
    EXPECT_EQ(SetState(pin, KSSTATE_RUN), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(stream_->steps, (Steps{KSSTATE_ACQUIRE, KSSTATE_PAUSE}));
    EXPECT_EQ(State(pin), KSSTATE_ACQUIRE);
    client_.Close(pin);
    EXPECT_EQ(stream_->steps, (Steps{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_STOP}));
}

TEST_F(PortStreamTest, CloseStepsARunningStreamDownAndReleasesIt) {
    HANDLE pin;
    ASSERT_EQ(CreatePin(&pin), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    stream_->steps.clear();
    ASSERT_EQ(client_.Close(pin), STATUS_SUCCESS);
    EXPECT_EQ(stream_->steps, (Steps{KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
    stream_->AddRef();
    EXPECT_EQ(stream_->Release(), 1u);  // only ours is left
}

TEST_F(PortStreamTest, TheFilterLimitHoldsBelowTheGlobalOne) {
    HANDLE first, second, otherFilter, other;
    ASSERT_EQ(CreatePin(&first), STATUS_SUCCESS);
    EXPECT_EQ(CreatePin(&second), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(client_.Open(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).at(0).path, &otherFilter), STATUS_SUCCESS);
    ULONG length = sizeof(KSPIN_CONNECT) + request_.format.FormatSize;
    ASSERT_EQ(client_.CreatePin(otherFilter, &request_.connect, length, &other), STATUS_SUCCESS);
    client_.Close(other);
    client_.Close(first);
    client_.Close(otherFilter);
}

TEST_F(PortStreamTest, AFormatIsJudgedByItsWaveFieldsAgainstTheRange) {
    HANDLE pin;
    request_.wave.bits = 32;
    EXPECT_EQ(CreatePin(&pin), STATUS_NO_MATCH);
    request_.wave.bits = 24;
    request_.wave.channels = 3;
    EXPECT_EQ(CreatePin(&pin), STATUS_NO_MATCH);
    request_.wave.channels = 1;
    request_.format.FormatSize = sizeof(KSDATAFORMAT) + 10;  // names a wave format it does not carry
    EXPECT_EQ(CreatePin(&pin), STATUS_NO_MATCH);
    request_.format.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WaveFormat);
    ASSERT_EQ(CreatePin(&pin), STATUS_SUCCESS);
    client_.Close(pin);
}

TEST_F(PortStreamTest, PortClsIntersectsWhenTheMiniportLeavesItToIt) {
    kmtest::IntersectionRequest request = kmtest::Intersection(0, kRange);
    request.range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_WILDCARD;
    request.range.MaximumChannels = 8;
    request.range.MaximumBitsPerSample = 32;
    UCHAR format[128] = {};
    ULONG length = 0;
    EXPECT_EQ(client_.DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof request, format, sizeof format,
                                      &length),
              STATUS_NO_MATCH);  // the miniport's answer stands
    miniport_->intersection = STATUS_NOT_IMPLEMENTED;
    ASSERT_EQ(client_.DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof request, format, sizeof format,
                                      &length),
              STATUS_SUCCESS);
    ASSERT_EQ(length, sizeof(KSDATAFORMAT) + sizeof(WaveFormat));
    const auto* header = reinterpret_cast<const KSDATAFORMAT*>(format);
    EXPECT_EQ(header->FormatSize, length);
    EXPECT_TRUE(IsEqualGUID(header->SubFormat, KSDATAFORMAT_SUBTYPE_PCM));  // the pin's, not the wildcard
    WaveFormat wave;
    memcpy(&wave, format + sizeof(KSDATAFORMAT), sizeof wave);
    EXPECT_EQ(wave.tag, 1);
    EXPECT_EQ(wave.channels, 2);
    EXPECT_EQ(wave.bits, 24);
    EXPECT_EQ(wave.rate, 48000u);
    EXPECT_EQ(wave.blockAlign, 6);
}

TEST_F(PortStreamTest, PagesComeFromBelowTheBoundAndAreTheMappedOnes) {
    HANDLE pin;
    ASSERT_EQ(CreatePin(&pin), STATUS_SUCCESS);
    PPORTWAVERTSTREAM port = stream_->portStream;
    ASSERT_NE(port, nullptr);
    PHYSICAL_ADDRESS below4g;
    below4g.QuadPart = 0xFFFFFFFF;
    PMDL mdl = port->AllocatePagesForMdl(below4g, 3 * PAGE_SIZE + 1);
    ASSERT_NE(mdl, nullptr);
    ASSERT_EQ(port->GetPhysicalPagesCount(mdl), 4u);
    auto* mapped = static_cast<UCHAR*>(port->MapAllocatedPages(mdl, MmCached));
    ASSERT_NE(mapped, nullptr);
    for (ULONG i = 0; i < 4; ++i) {
        ULONGLONG physical = static_cast<ULONGLONG>(port->GetPhysicalPageAddress(mdl, i).QuadPart);
        EXPECT_LE(physical + PAGE_SIZE - 1, 0xFFFFFFFFull);
        EXPECT_EQ(kmsim::PhysicalAddressOf(mapped + i * PAGE_SIZE), physical);
    }
    port->UnmapAllocatedPages(mapped, mdl);
    port->FreePagesFromMdl(mdl);
    PHYSICAL_ADDRESS low, high;
    low.QuadPart = 0x20000000;
    high.QuadPart = 0x20001FFF;
    PMDL contiguous = port->AllocateContiguousPagesForMdl(low, high, 2 * PAGE_SIZE);
    ASSERT_NE(contiguous, nullptr);
    EXPECT_EQ(port->GetPhysicalPageAddress(contiguous, 1).QuadPart, 0x20001000);
    EXPECT_EQ(port->AllocateContiguousPagesForMdl(low, high, PAGE_SIZE), nullptr);  // the window is used up
    port->FreePagesFromMdl(contiguous);
    client_.Close(pin);
}

using PortStreamDeathTest = PortStreamTest;

TEST_F(PortStreamDeathTest, MisusedPagesStop) {
    HANDLE pin;
    ASSERT_EQ(CreatePin(&pin), STATUS_SUCCESS);
    PPORTWAVERTSTREAM port = stream_->portStream;
    PHYSICAL_ADDRESS any;
    any.QuadPart = -1;
    PMDL mdl = port->AllocatePagesForMdl(any, PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    EXPECT_DEATH(port->UnmapAllocatedPages(mdl, mdl), "is not mapped");
    PVOID mapped = port->MapAllocatedPages(mdl, MmCached);
    EXPECT_DEATH(port->FreePagesFromMdl(mdl), "still mapped");
    port->UnmapAllocatedPages(mapped, mdl);
    port->FreePagesFromMdl(mdl);
    EXPECT_DEATH(port->FreePagesFromMdl(mdl), "did not allocate or has freed");
    client_.Close(pin);
}

TEST_F(PortStreamDeathTest, APortStreamLetGoWithPagesStillAllocatedStops) {
    HANDLE pin;
    ASSERT_EQ(CreatePin(&pin), STATUS_SUCCESS);
    PHYSICAL_ADDRESS any;
    any.QuadPart = -1;
    EXPECT_DEATH(
        {
            stream_->portStream->AllocatePagesForMdl(any, PAGE_SIZE);
            client_.Close(pin);
        },
        "never freed");
    client_.Close(pin);
}

}  // namespace

namespace {

// What the device object below received as a forwarded content ID.
struct Forwarded {
    int requests = 0;
    KSP_DRMAUDIOSTREAM_CONTENTID request{};
    KSDRMAUDIOSTREAM_CONTENTID value{};
    PFILE_OBJECT file = nullptr;
    NTSTATUS answer = STATUS_SUCCESS;
};
Forwarded* g_forwarded = nullptr;

NTSTATUS ReceiveContentId(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_forwarded->requests += 1;
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_KS_PROPERTY &&
        stack->Parameters.DeviceIoControl.InputBufferLength == sizeof(KSP_DRMAUDIOSTREAM_CONTENTID) &&
        stack->Parameters.DeviceIoControl.OutputBufferLength == sizeof(KSDRMAUDIOSTREAM_CONTENTID)) {
        memcpy(&g_forwarded->request, stack->Parameters.DeviceIoControl.Type3InputBuffer, sizeof g_forwarded->request);
        memcpy(&g_forwarded->value, irp->UserBuffer, sizeof g_forwarded->value);
    }
    g_forwarded->file = stack->FileObject;
    irp->IoStatus.Status = g_forwarded->answer;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_forwarded->answer;
}

TEST_F(PortStreamTest, TheDrmPortMixesRightsAndForwardsContentToTheDeviceBelow) {
    PDRMPORT2 drm;
    ASSERT_EQ(miniport_->port_->QueryInterface(IID_IDrmPort2, reinterpret_cast<PVOID*>(&drm)), STATUS_SUCCESS);
    ULONG parts[2];
    ASSERT_EQ(drm->CreateContentMixed(nullptr, 0, &parts[0]), STATUS_SUCCESS);
    ASSERT_EQ(drm->CreateContentMixed(nullptr, 0, &parts[1]), STATUS_SUCCESS);
    ULONG mixed;
    ASSERT_EQ(drm->CreateContentMixed(parts, 2, &mixed), STATUS_SUCCESS);
    EXPECT_NE(mixed, parts[0]);
    DRMRIGHTS rights = {TRUE, 0, TRUE};
    ASSERT_EQ(drm->GetContentRights(mixed, &rights), STATUS_SUCCESS);
    EXPECT_FALSE(rights.CopyProtect);
    ULONG unknown = 0xDEAD;
    EXPECT_EQ(drm->CreateContentMixed(&unknown, 1, &mixed), STATUS_INVALID_PARAMETER);

    Forwarded forwarded;
    g_forwarded = &forwarded;
    kmsim::DriverObject below{L"\\Driver\\below"};
    below.get()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ReceiveContentId;
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(below.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    int pipe = 0;
    DRMFORWARD forward = {0, device, nullptr, &pipe};
    ASSERT_EQ(drm->ForwardContentToDeviceObject(mixed, nullptr, &forward), STATUS_SUCCESS);
    EXPECT_EQ(forwarded.requests, 1);
    EXPECT_TRUE(IsEqualGUID(forwarded.request.Property.Set, KSPROPSETID_DrmAudioStream));
    EXPECT_EQ(forwarded.request.Property.Id, ULONG(KSPROPERTY_DRMAUDIOSTREAM_CONTENTID));
    EXPECT_EQ(forwarded.request.Property.Flags, ULONG(KSPROPERTY_TYPE_SET));
    EXPECT_EQ(forwarded.request.Context, &pipe);
    EXPECT_EQ(forwarded.value.ContentId, mixed);
    forwarded.answer = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(drm->ForwardContentToDeviceObject(0, nullptr, &forward), STATUS_NOT_SUPPORTED);  // its answer stands
    EXPECT_EQ(drm->ForwardContentToDeviceObject(unknown, nullptr, &forward), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(forwarded.requests, 2);
    ASSERT_EQ(drm->DestroyContent(mixed), STATUS_SUCCESS);
    EXPECT_EQ(drm->DestroyContent(mixed), STATUS_INVALID_PARAMETER);
    drm->Release();
    IoDeleteDevice(device);
    g_forwarded = nullptr;
}

}  // namespace
