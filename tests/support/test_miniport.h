// A WaveRT miniport for the platform's tests: it holds its port and adapter
// from Init as a WaveRT miniport does, serves a fixed filter description,
// and can fail Init or report its Init and its destruction.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include <string>

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
    PPORTWAVERT port_ = nullptr;  // referenced from Init on
    PUNKNOWN adapter_ = nullptr;  // referenced from Init on
};

}  // namespace kmtest
