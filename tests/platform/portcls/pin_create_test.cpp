// Pin creation through CreatePin on the Q7's WaveRT filter: the format the
// intersection proposes opens the miniport's stream; PortCls's own checks
// refuse a bad pin id, an instance beyond the pin's counts, and a format
// outside the pin's ranges; and an allocation failing anywhere on the way
// fails the create and leaves nothing behind.

#include <climits>
#include <cstring>

#include "kmsim/verifier.h"
#include "ks_world.h"

namespace portcls_test {
namespace {

// The WAVEFORMATEX of a request, as bytes after the KSDATAFORMAT header.
constexpr ULONG kChannelsAt = sizeof(KSDATAFORMAT) + 2;
constexpr ULONG kRateAt = sizeof(KSDATAFORMAT) + 4;


class PinCreateTest : public KsWorldTest {
protected:
    KSPIN_CINSTANCES Instances(ULONG pin, bool global = false) {
        KSPIN_CINSTANCES instances = {};
        EXPECT_EQ(GetPin(pin, global ? KSPROPERTY_PIN_GLOBALCINSTANCES : KSPROPERTY_PIN_CINSTANCES, &instances,
                         sizeof instances)
                      .status,
                  STATUS_SUCCESS);
        return instances;
    }
};

TEST_F(PinCreateTest, TheIntersectedFormatOpensAStreamThatKeepsItsFormatUntilClose) {
    ULONG render = StreamingPin(false);
    ASSERT_NE(render, kNoPin);
    PinRequest request = Request(render);
    HANDLE pin;
    ASSERT_EQ(CreatePin(request, &pin), STATUS_SUCCESS);
    EXPECT_EQ(Instances(render).CurrentCount, 1u);
    EXPECT_EQ(Instances(render, true).CurrentCount, 1u);
    EXPECT_EQ(State(pin), KSSTATE_STOP);
    UCHAR format[128] = {};
    Answer answer = Get(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, format, sizeof format);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    ASSERT_EQ(answer.information, request.length - sizeof(KSPIN_CONNECT));
    EXPECT_EQ(memcmp(format, request.format, answer.information), 0);
    ASSERT_EQ(client_.Close(pin), STATUS_SUCCESS);
    EXPECT_EQ(Instances(render).CurrentCount, 0u);
}

TEST_F(PinCreateTest, APinIdBeyondTheFilterOrABridgePinIsRefused) {
    ULONG count = 0;
    ASSERT_EQ(Get(filter_, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof count).status, STATUS_SUCCESS);
    PinRequest request = Request(StreamingPin(false));
    HANDLE pin;
    request.connect.PinId = count;
    EXPECT_EQ(CreatePin(request, &pin), STATUS_INVALID_PARAMETER);
    for (ULONG id = 0; id < count; ++id) {
        KSPIN_COMMUNICATION communication{};
        GetPin(id, KSPROPERTY_PIN_COMMUNICATION, &communication, sizeof communication);
        if (communication == KSPIN_COMMUNICATION_BRIDGE) {
            request.connect.PinId = id;  // a bridge pin allows no instance
            EXPECT_EQ(CreatePin(request, &pin), STATUS_INSUFFICIENT_RESOURCES);
        }
    }
    request.connect.PinId = StreamingPin(false);
    request.connect.Interface.Id = 77;
    EXPECT_EQ(CreatePin(request, &pin), STATUS_NO_MATCH);
    request.length = sizeof(KSPIN_CONNECT) + 8;  // no whole data format
    EXPECT_EQ(CreatePin(request, &pin), STATUS_INVALID_PARAMETER);
}

TEST_F(PinCreateTest, InstanceCountsHoldOnTheFilterAndAcrossFilters) {
    ULONG render = StreamingPin(false);
    KSPIN_CINSTANCES possible = Instances(render);
    ASSERT_EQ(possible.PossibleCount, 1u);
    PinRequest request = Request(render);
    HANDLE first, second;
    ASSERT_EQ(CreatePin(request, &first), STATUS_SUCCESS);
    EXPECT_EQ(CreatePin(request, &second), STATUS_INSUFFICIENT_RESOURCES);
    // A second filter of the same subdevice shares the global count.
    HANDLE otherFilter, other;
    ASSERT_EQ(client_.Open(world_.AudioInterfaces(q7_.pdo)[0].path, &otherFilter), STATUS_SUCCESS);
    EXPECT_EQ(client_.CreatePin(otherFilter, &request.connect, request.length, &other), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(client_.Close(first), STATUS_SUCCESS);
    ASSERT_EQ(client_.CreatePin(otherFilter, &request.connect, request.length, &other), STATUS_SUCCESS);
    EXPECT_EQ(Instances(render).CurrentCount, 0u);  // this filter has none
    EXPECT_EQ(Instances(render, true).CurrentCount, 1u);
    client_.Close(other);
    client_.Close(otherFilter);
}

TEST_F(PinCreateTest, AFormatOutsideThePinsRangesIsRefused) {
    PinRequest request = Request(StreamingPin(false));
    HANDLE pin;
    PinRequest channels = request;
    USHORT many = 99;
    memcpy(channels.format + kChannelsAt, &many, sizeof many);
    EXPECT_EQ(CreatePin(channels, &pin), STATUS_NO_MATCH);
    PinRequest rate = request;
    ULONG slow = 1000;
    memcpy(rate.format + kRateAt, &slow, sizeof slow);
    EXPECT_EQ(CreatePin(rate, &pin), STATUS_NO_MATCH);
    PinRequest subformat = request;
    reinterpret_cast<KSDATAFORMAT*>(subformat.format)->SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    EXPECT_EQ(CreatePin(subformat, &pin), STATUS_NO_MATCH);
    PinRequest oversized = request;
    reinterpret_cast<KSDATAFORMAT*>(oversized.format)->FormatSize = request.length;  // beyond what was sent
    EXPECT_EQ(CreatePin(oversized, &pin), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(CreatePin(request, &pin), STATUS_SUCCESS);  // none of them left an instance behind
    client_.Close(pin);
}

TEST_F(PinCreateTest, AnAllocationFailingAnywhereFailsTheCreateAndLeavesNothing) {
    ULONG render = StreamingPin(false);
    PinRequest request = Request(render);
    ULONG failures = 0;
    for (uint64_t n = 1; n < 200; ++n) {
        kmsim::FailNthAllocation(n);
        HANDLE pin;
        NTSTATUS status = CreatePin(request, &pin);
        bool failed = kmsim::FailedAllocationCount() != 0;
        kmsim::ClearAllocationFailures();
        if (!failed) {
            ASSERT_EQ(status, STATUS_SUCCESS);
            client_.Close(pin);
            break;
        }
        ++failures;
        if (NT_SUCCESS(status)) {
            client_.Close(pin);  // a failure the stream recovered from
            continue;
        }
        EXPECT_EQ(Instances(render).CurrentCount, 0u) << "allocation " << n;
    }
    EXPECT_GE(failures, 4u);  // the file object, the request, the pin, the port stream, the stream's own
    HANDLE pin;
    ASSERT_EQ(CreatePin(request, &pin), STATUS_SUCCESS);
    client_.Close(pin);
}

}  // namespace
}  // namespace portcls_test
