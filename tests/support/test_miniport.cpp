#include "test_miniport.h"

namespace kmtest {

STDMETHODIMP_(NTSTATUS) TestMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveRT)) {
        *object = PMINIPORTWAVERT(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

TestMiniport::~TestMiniport() {
    if (report != nullptr) report("Miniport released");
    if (port_ != nullptr) port_->Release();
    if (adapter_ != nullptr) adapter_->Release();
}

STDMETHODIMP_(NTSTATUS) TestMiniport::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port) {
    if (report != nullptr) {
        report("MiniportInit resources=" +
               std::to_string(ResourceList != nullptr ? ResourceList->NumberOfEntries() : 0));
    }
    if (!NT_SUCCESS(initStatus)) return initStatus;
    port_ = Port;
    port_->AddRef();
    adapter_ = UnknownAdapter;
    if (adapter_ != nullptr) adapter_->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestMiniport::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
    *Description = const_cast<PPCFILTER_DESCRIPTOR>(description);
    return description != nullptr ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

STDMETHODIMP_(NTSTATUS) TestMiniport::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) {
    return intersection;
}

STDMETHODIMP_(NTSTATUS) TestMiniport::NewStream(PMINIPORTWAVERTSTREAM* Stream, PPORTWAVERTSTREAM PortStream, ULONG,
                                                BOOLEAN, PKSDATAFORMAT) {
    if (stream == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    stream->portStream = PortStream;
    *Stream = PMINIPORTWAVERTSTREAM(stream);
    (*Stream)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestMiniport::GetDeviceDescription(PDEVICE_DESCRIPTION) { return STATUS_SUCCESS; }

}  // namespace kmtest
