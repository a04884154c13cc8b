// A started Q7 reached the way the system's audio engine reaches it: a
// client opens the WaveRT filter through its device interface, reads the
// pins and their formats through KS properties, and creates pins with
// CreatePin. Helpers send one property and return its status, value and
// Information.
#pragma once

#include <gtest/gtest.h>

#include <ksmedia.h>

#include <vector>

#include "driver_world.h"
#include "kmsim/client.h"

namespace portcls_test {

constexpr ULONG kNoPin = 0xFFFFFFFF;

// A pin-creation request: the connection followed by the data format.
struct PinRequest {
    KSPIN_CONNECT connect;
    UCHAR format[128];  // KSDATAFORMAT and its specifier's record
    ULONG length;       // of connect and format together
};

struct Answer {
    NTSTATUS status;
    ULONG information;
};

class KsWorldTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sends IOCTL_KS_PROPERTY with `request` (a KSPROPERTY or a larger
    // record starting with one) and `value` as the output.
    Answer Property(HANDLE handle, const void* request, ULONG requestLength, void* value, ULONG valueLength);
    Answer Get(HANDLE handle, const GUID& set, ULONG id, void* value, ULONG valueLength);
    Answer GetPin(ULONG pin, ULONG id, void* value, ULONG valueLength);
    // A counted list answer, read in two steps (size, then the list).
    std::vector<UCHAR> GetList(HANDLE handle, const void* request, ULONG requestLength);

    // The streaming pin of a direction (a sink, flowing in for render, out
    // for capture), or kNoPin.
    ULONG StreamingPin(bool capture);
    // The format the pin proposes for a client that takes anything (every
    // channel, 8 to 32 bits, any rate), from KSPROPERTY_PIN_DATAINTERSECTION.
    PinRequest Request(ULONG pin);
    NTSTATUS CreatePin(const PinRequest& request, HANDLE* pin) {
        return client_.CreatePin(filter_, &request.connect, request.length, pin);
    }
    NTSTATUS SetState(HANDLE pin, KSSTATE state);
    KSSTATE State(HANDLE pin);

    kerneltest::DriverWorld world_;
    kerneltest::PluggedDevice q7_;
    kmsim::Client client_{"audio engine"};
    HANDLE filter_ = nullptr;
};

}  // namespace portcls_test
