#include "test_stream.h"

namespace kmtest {

STDMETHODIMP_(NTSTATUS) TestStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportWaveRTStream)) {
        *object = PMINIPORTWAVERTSTREAM(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) TestStream::SetFormat(PKSDATAFORMAT) { return STATUS_NOT_SUPPORTED; }

STDMETHODIMP_(NTSTATUS) TestStream::SetState(KSSTATE State) {
    steps.push_back(State);
    return static_cast<ULONG>(State) == refuse ? refusal : STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestStream::GetPosition(PKSAUDIO_POSITION Position) {
    *Position = {};
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestStream::AllocateAudioBuffer(ULONG, PMDL*, ULONG*, ULONG*, MEMORY_CACHING_TYPE*) {
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(VOID) TestStream::FreeAudioBuffer(PMDL, ULONG) {}

STDMETHODIMP_(VOID) TestStream::GetHWLatency(PKSRTAUDIO_HWLATENCY hwLatency) { *hwLatency = {}; }

STDMETHODIMP_(NTSTATUS) TestStream::GetPositionRegister(PKSRTAUDIO_HWREGISTER) { return STATUS_NOT_IMPLEMENTED; }

STDMETHODIMP_(NTSTATUS) TestStream::GetClockRegister(PKSRTAUDIO_HWREGISTER) { return STATUS_NOT_IMPLEMENTED; }

}  // namespace kmtest
