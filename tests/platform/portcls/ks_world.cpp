// The KS client of the world: properties, the streaming pins, the format
// their intersection proposes, and the pin's state.

#include "ks_world.h"

#include "audio_range_requests.h"

#include <climits>
#include <cstring>

namespace portcls_test {

void KsWorldTest::SetUp() {
    q7_ = world_.Start("q7-0b31");
    ASSERT_NE(q7_.pdo, nullptr);
    std::vector<kmsim::DeviceInterface> interfaces = world_.AudioInterfaces(q7_.pdo);
    ASSERT_FALSE(interfaces.empty());
    ASSERT_EQ(client_.Open(interfaces[0].path, &filter_), STATUS_SUCCESS);
}

void KsWorldTest::TearDown() {
    if (filter_ != nullptr) client_.Close(filter_);
    if (q7_.pdo != nullptr) world_.UnplugAndWait(q7_.pdo);
}

Answer KsWorldTest::Property(HANDLE handle, const void* request, ULONG requestLength, void* value, ULONG valueLength) {
    ULONG transferred = 0;
    NTSTATUS status =
        client_.DeviceIoControl(handle, IOCTL_KS_PROPERTY, request, requestLength, value, valueLength, &transferred);
    return {status, transferred};
}

Answer KsWorldTest::Get(HANDLE handle, const GUID& set, ULONG id, void* value, ULONG valueLength) {
    KSPROPERTY property = {};
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    return Property(handle, &property, sizeof property, value, valueLength);
}

Answer KsWorldTest::GetPin(ULONG pin, ULONG id, void* value, ULONG valueLength) {
    KSP_PIN property = {};
    property.Property.Set = KSPROPSETID_Pin;
    property.Property.Id = id;
    property.Property.Flags = KSPROPERTY_TYPE_GET;
    property.PinId = pin;
    return Property(filter_, &property, sizeof property, value, valueLength);
}

std::vector<UCHAR> KsWorldTest::GetList(HANDLE handle, const void* request, ULONG requestLength) {
    Answer size = Property(handle, request, requestLength, nullptr, 0);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    std::vector<UCHAR> list(size.information);
    Answer read = Property(handle, request, requestLength, list.data(), static_cast<ULONG>(list.size()));
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, list.size());
    return list;
}

ULONG KsWorldTest::StreamingPin(bool capture) {
    ULONG count = 0;
    EXPECT_EQ(Get(filter_, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof count).status, STATUS_SUCCESS);
    for (ULONG pin = 0; pin < count; ++pin) {
        KSPIN_DATAFLOW flow{};
        KSPIN_COMMUNICATION communication{};
        GetPin(pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow);
        GetPin(pin, KSPROPERTY_PIN_COMMUNICATION, &communication, sizeof communication);
        if (communication == KSPIN_COMMUNICATION_SINK && flow == (capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN)) {
            return pin;
        }
    }
    return kNoPin;
}

PinRequest KsWorldTest::Request(ULONG pin) {
    kmtest::IntersectionRequest intersection = kmtest::Intersection(pin, kmtest::PcmRange(32, 8, 32, 1, 768000));
    PinRequest request = {};
    Answer answer = Property(filter_, &intersection, sizeof intersection, request.format, sizeof request.format);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    request.connect.Interface.Set = KSINTERFACESETID_Standard;
    request.connect.Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    request.connect.Medium.Set = KSMEDIUMSETID_Standard;
    request.connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    request.connect.PinId = pin;
    request.connect.Priority = {KSPRIORITY_NORMAL, 1};
    request.length = sizeof(KSPIN_CONNECT) + answer.information;
    return request;
}

NTSTATUS KsWorldTest::SetState(HANDLE pin, KSSTATE state) {
    KSPROPERTY property = {};
    property.Set = KSPROPSETID_Connection;
    property.Id = KSPROPERTY_CONNECTION_STATE;
    property.Flags = KSPROPERTY_TYPE_SET;
    return Property(pin, &property, sizeof property, &state, sizeof state).status;
}

KSSTATE KsWorldTest::State(HANDLE pin) {
    KSSTATE state = KSSTATE_RUN;
    EXPECT_EQ(Get(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state, sizeof state).status,
              STATUS_SUCCESS);
    return state;
}

}  // namespace portcls_test
