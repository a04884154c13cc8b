// A pin's stream through the property path on the Q7: the cyclic buffer and
// its notifications through the WaveRT set, the state stepped up to RUN
// (the stream refuses any jump, so RUN from STOP succeeds only step by
// step), the position moving, and a pin closed while it runs or after its
// subdevice was taken down under it.

#include <climits>

#include "km_time.h"
#include "kmsim/physical_memory.h"
#include "ks_world.h"

namespace portcls_test {
namespace {

class PinStreamTest : public KsWorldTest {
protected:
    // A render pin with a 10 ms buffer and two notifications per cycle.
    void OpenRender(HANDLE* pin, KSRTAUDIO_BUFFER* buffer) {
        ASSERT_EQ(CreatePin(Request(StreamingPin(false)), pin), STATUS_SUCCESS);
        ASSERT_EQ(AllocateBuffer(*pin, 3840, buffer).status, STATUS_SUCCESS);
    }
    // The same, with an event of the client's registered for its notifications.
    void OpenRenderWithEvent(HANDLE* pin, HANDLE* event) {
        KSRTAUDIO_BUFFER buffer = {};
        OpenRender(pin, &buffer);
        ASSERT_EQ(client_.CreateEvent(FALSE, FALSE, event), STATUS_SUCCESS);
        ASSERT_EQ(EventRequest(*pin, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, *event), STATUS_SUCCESS);
    }
    Answer AllocateBuffer(HANDLE pin, ULONG bytes, KSRTAUDIO_BUFFER* buffer) {
        KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request = {};
        request.Property.Set = KSPROPSETID_RtAudio;
        request.Property.Id = KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        request.RequestedBufferSize = bytes;
        request.NotificationCount = 2;
        return Property(pin, &request, sizeof request, buffer, sizeof *buffer);
    }
    NTSTATUS EventRequest(HANDLE pin, ULONG id, HANDLE event) {
        KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request = {};
        request.Property.Set = KSPROPSETID_RtAudio;
        request.Property.Id = id;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        request.NotificationEvent = event;
        return Property(pin, &request, sizeof request, nullptr, 0).status;
    }
    ULONGLONG PlayOffset(HANDLE pin) {
        KSAUDIO_POSITION position = {};
        EXPECT_EQ(Get(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, &position, sizeof position).status,
                  STATUS_SUCCESS);
        return position.PlayOffset;
    }
};

TEST_F(PinStreamTest, TheBufferLiesBelow4GbAndTheClientWritesIt) {
    HANDLE pin;
    KSRTAUDIO_BUFFER buffer = {};
    OpenRender(&pin, &buffer);
    ASSERT_NE(buffer.BufferAddress, nullptr);
    EXPECT_EQ(buffer.ActualBufferSize, 3840u);
    EXPECT_FALSE(buffer.CallMemoryBarrier);
    auto* bytes = static_cast<UCHAR*>(buffer.BufferAddress);
    for (ULONG at = 0; at < buffer.ActualBufferSize; at += PAGE_SIZE / 2) {
        ULONGLONG physical = kmsim::PhysicalAddressOf(bytes + at);
        EXPECT_NE(physical, 0u);
        EXPECT_LE(physical, 0xFFFFFFFFull);
    }
    bytes[buffer.ActualBufferSize - 1] = 0x5A;  // the client's view is the buffer's pages
    KSRTAUDIO_HWLATENCY latency = {};
    ASSERT_EQ(Get(pin, KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_HWLATENCY, &latency, sizeof latency).status,
              STATUS_SUCCESS);
    EXPECT_EQ(latency.FifoSize, 32u);
    BOOL notifications = FALSE;
    ASSERT_EQ(Get(pin, KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT, &notifications,
                  sizeof notifications)
                  .status,
              STATUS_SUCCESS);
    EXPECT_TRUE(notifications);
    KSRTAUDIO_HWREGISTER_PROPERTY reg = {};
    reg.Property.Set = KSPROPSETID_RtAudio;
    reg.Property.Id = KSPROPERTY_RTAUDIO_POSITIONREGISTER;
    reg.Property.Flags = KSPROPERTY_TYPE_GET;
    KSRTAUDIO_HWREGISTER answer = {};
    EXPECT_EQ(Property(pin, &reg, sizeof reg, &answer, sizeof answer).status, STATUS_NOT_IMPLEMENTED);
    // A second buffer replaces the first while the pin is stopped.
    KSRTAUDIO_BUFFER again = {};
    ASSERT_EQ(AllocateBuffer(pin, 7680, &again).status, STATUS_SUCCESS);
    EXPECT_EQ(again.ActualBufferSize, 7680u);
    client_.Close(pin);
}

TEST_F(PinStreamTest, RunFromStopStepsUpAndTheEventsAndPositionFollowTheDevice) {
    HANDLE pin, event;
    OpenRenderWithEvent(&pin, &event);
    EXPECT_EQ(EventRequest(pin, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, reinterpret_cast<HANDLE>(0x1234)),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(State(pin), KSSTATE_RUN);
    KSRTAUDIO_BUFFER refused = {};
    EXPECT_EQ(AllocateBuffer(pin, 3840, &refused).status, STATUS_INVALID_DEVICE_STATE);
    LARGE_INTEGER timeout = kmtest::RelativeMs(50);
    ULONG signalled = 0;
    for (int i = 0; i < 10; ++i) {
        if (client_.WaitForSingleObject(event, &timeout) == STATUS_SUCCESS) ++signalled;
    }
    EXPECT_GE(signalled, 8u);  // two per 20 ms cycle
    EXPECT_GT(PlayOffset(pin), 0u);
    ASSERT_EQ(SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(State(pin), KSSTATE_STOP);
    EXPECT_EQ(EventRequest(pin, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, event), STATUS_SUCCESS);
    EXPECT_NE(EventRequest(pin, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, event), STATUS_SUCCESS);
    ULONG bad = 7;  // no KSSTATE
    KSPROPERTY state = {};
    state.Set = KSPROPSETID_Connection;
    state.Id = KSPROPERTY_CONNECTION_STATE;
    state.Flags = KSPROPERTY_TYPE_SET;
    EXPECT_EQ(Property(pin, &state, sizeof state, &bad, sizeof bad).status, STATUS_INVALID_PARAMETER);
    client_.Close(pin);
    client_.Close(event);
}

TEST_F(PinStreamTest, APinClosedWhileRunningStepsDownAndFreesEverything) {
    HANDLE pin, event;
    OpenRenderWithEvent(&pin, &event);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    LARGE_INTEGER timeout = kmtest::RelativeMs(50);
    EXPECT_EQ(client_.WaitForSingleObject(event, &timeout), STATUS_SUCCESS);
    ASSERT_EQ(client_.Close(pin), STATUS_SUCCESS);  // running, with a buffer and an event
    client_.Close(event);
    HANDLE again;
    ASSERT_EQ(CreatePin(Request(StreamingPin(false)), &again), STATUS_SUCCESS);  // the direction is free again
    client_.Close(again);
}

TEST_F(PinStreamTest, APinOutlivesItsSubdeviceTakenDownUnderIt) {
    HANDLE pin;
    KSRTAUDIO_BUFFER buffer = {};
    OpenRender(&pin, &buffer);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    PinRequest request = Request(StreamingPin(false));
    // What a rate change does: the miniport's streams stop and PortCls drops
    // its hold on the miniport.
    CUSBAudioAdapter* adapter = world_.Adapter(q7_.pdo);
    ASSERT_NE(adapter, nullptr);
    IMiniportEngineSink* sink = adapter->ReferenceMiniport();
    ASSERT_NE(sink, nullptr);
    sink->StopAllStreams();
    ASSERT_EQ(sink->RemoveSubdevice(world_.FunctionalDevice(q7_.pdo)), STATUS_SUCCESS);
    sink->Release();
    // The pin still answers from its own miniport; the filter has none left.
    KSSTATE state = State(pin);
    EXPECT_EQ(state, KSSTATE_RUN);
    ULONG count = 0;
    EXPECT_EQ(Get(filter_, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof count).status,
              STATUS_DEVICE_NOT_CONNECTED);
    HANDLE another;
    EXPECT_EQ(CreatePin(request, &another), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_EQ(client_.Close(pin), STATUS_SUCCESS);
}

// The miniport stream forwards a content ID to the USB device object below
// it through the port's DRM services; the simulated bus driver has no DRM
// support and refuses the request, and that answer comes back.
TEST_F(PinStreamTest, AContentIdTravelsThroughTheStreamToTheDeviceBelow) {
    HANDLE pin;
    ASSERT_EQ(CreatePin(Request(StreamingPin(false)), &pin), STATUS_SUCCESS);
    KSP_DRMAUDIOSTREAM_CONTENTID request = {};
    request.Property.Set = KSPROPSETID_DrmAudioStream;
    request.Property.Id = KSPROPERTY_DRMAUDIOSTREAM_CONTENTID;
    request.Property.Flags = KSPROPERTY_TYPE_SET;
    KSDRMAUDIOSTREAM_CONTENTID content = {0, {FALSE, 0, FALSE}};
    EXPECT_EQ(Property(pin, &request, sizeof request, &content, sizeof content).status, STATUS_INVALID_DEVICE_REQUEST);
    content.ContentId = 0xBAD;
    EXPECT_EQ(Property(pin, &request, sizeof request, &content, sizeof content).status, STATUS_INVALID_PARAMETER);
    client_.Close(pin);
}

}  // namespace
}  // namespace portcls_test
