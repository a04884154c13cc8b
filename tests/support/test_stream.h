// A WaveRT miniport stream for the platform's tests: it writes down every
// state PortCls hands it and can refuse one, and it keeps the port stream
// NewStream gave it so that a test can use the port's services as a
// miniport stream would.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include <vector>

namespace kmtest {

class TestStream : public IMiniportWaveRTStream, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(TestStream);
    IMP_IMiniportWaveRTStream;

    std::vector<KSSTATE> steps;          // every SetState, in order
    ULONG refuse = 0xFFFFFFFF;           // SetState to this state fails (none by default)
    NTSTATUS refusal = STATUS_UNSUCCESSFUL;
    PPORTWAVERTSTREAM portStream = nullptr;  // not counted, as a miniport stream keeps it
};

}  // namespace kmtest
