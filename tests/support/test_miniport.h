// A WaveRT miniport for the platform's tests: it holds its port and adapter
// from Init as a WaveRT miniport does, serves a fixed filter description,
// and can fail Init or report its Init and its destruction. NewStream hands
// out the stream a test gave it (TestStream), with the port stream.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include <string>

#include "test_stream.h"

namespace kmtest {

class TestMiniport : public IMiniportWaveRT, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(TestMiniport);
    ~TestMiniport() override;
    IMP_IMiniportWaveRT;

    const PCFILTER_DESCRIPTOR* description = nullptr;
    NTSTATUS initStatus = STATUS_SUCCESS;
    void (*report)(const std::string& event) = nullptr;  // "MiniportInit resources=N", "Miniport released"
    NTSTATUS intersection = STATUS_NO_MATCH;  // what DataRangeIntersection answers
    TestStream* stream = nullptr;             // NewStream's answer (refused when null); the test's reference
    PPORTWAVERT port_ = nullptr;  // referenced from Init on
    PUNKNOWN adapter_ = nullptr;  // referenced from Init on
};

}  // namespace kmtest
