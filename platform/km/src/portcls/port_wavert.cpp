// The WaveRT port's binding: Init binds the device object, the miniport and
// the adapter's unknown and initialises the miniport; the port holds both
// until its children are released. IUnregisterSubdevice takes the port's
// subdevice down again. Filters and pins reach the miniport through it and
// count their instances here.

#include "port_wavert.h"

#include "../verifier.h"

namespace pc {

STDMETHODIMP_(NTSTATUS) CPortWaveRT::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, IID_IPortWaveRT)) {
        *object = static_cast<PPORTWAVERT>(this);
    } else if (IsEqualGUID(iid, IID_IDrmPort) || IsEqualGUID(iid, IID_IDrmPort2)) {
        *object = static_cast<PDRMPORT2>(this);
    } else if (IsEqualGUID(iid, IID_IUnregisterSubdevice)) {
        *object = static_cast<PUNREGISTERSUBDEVICE>(this);
    } else if (IsEqualGUID(iid, IID_ISubdevice)) {
        *object = static_cast<ISubdevice*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

CPortWaveRT::~CPortWaveRT() { ReleaseChildren(); }

// The miniport goes before the adapter it holds.
void CPortWaveRT::ReleaseChildren() {
    PMINIPORTWAVERT miniport;
    PUNKNOWN adapter;
    {
        std::lock_guard<std::mutex> guard(lock_);
        miniport = miniport_;
        adapter = adapter_;
        miniport_ = nullptr;
        adapter_ = nullptr;
        descriptor_ = nullptr;
    }
    if (miniport != nullptr) miniport->Release();
    if (adapter != nullptr) adapter->Release();
}

const PCFILTER_DESCRIPTOR* CPortWaveRT::FilterDescriptor() {
    std::lock_guard<std::mutex> guard(lock_);
    return descriptor_;
}

bool CPortWaveRT::ReferenceMiniport(PMINIPORTWAVERT* miniport, const PCFILTER_DESCRIPTOR** descriptor) {
    std::lock_guard<std::mutex> guard(lock_);
    if (miniport_ == nullptr || descriptor_ == nullptr) {
        return false;
    }
    miniport_->AddRef();
    *miniport = miniport_;
    *descriptor = descriptor_;
    return true;
}

bool CPortWaveRT::TakePinInstance(ULONG id, ULONG limit) {
    std::lock_guard<std::mutex> guard(lock_);
    ULONG& count = pinInstances_[id];
    if (count >= limit) {
        return false;
    }
    count += 1;
    return true;
}

void CPortWaveRT::GivePinInstance(ULONG id) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = pinInstances_.find(id);
    if (found != pinInstances_.end() && --found->second == 0) {
        pinInstances_.erase(found);
    }
}

ULONG CPortWaveRT::PinInstances(ULONG id) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = pinInstances_.find(id);
    return found != pinInstances_.end() ? found->second : 0;
}

STDMETHODIMP_(NTSTATUS) CPortWaveRT::Init(PDEVICE_OBJECT DeviceObject, PIRP, PUNKNOWN UnknownMiniport,
                                          PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IPortWaveRT::Init");
    if (miniport_ != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // initialised once
    }
    if (DeviceObject == nullptr || UnknownMiniport == nullptr || DeviceOf(DeviceObject) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PMINIPORTWAVERT miniport;
    NTSTATUS status = UnknownMiniport->QueryInterface(IID_IMiniportWaveRT, reinterpret_cast<PVOID*>(&miniport));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device_ = DeviceObject;
    miniport_ = miniport;
    adapter_ = UnknownAdapter;
    if (adapter_ != nullptr) adapter_->AddRef();
    status = miniport_->Init(UnknownAdapter, ResourceList, this);
    if (NT_SUCCESS(status)) {
        status = miniport_->GetDescription(&descriptor_);
    }
    if (!NT_SUCCESS(status)) {
        miniport_->Release();
        miniport_ = nullptr;
        if (adapter_ != nullptr) adapter_->Release();
        adapter_ = nullptr;
        descriptor_ = nullptr;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CPortWaveRT::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) {
    km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "IPort::GetDeviceProperty is not simulated");
}

STDMETHODIMP_(NTSTATUS) CPortWaveRT::NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                    ULONG, PULONG) {
    km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "IPort::NewRegistryKey is not simulated");
}

STDMETHODIMP_(NTSTATUS) CPortWaveRT::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IUnregisterSubdevice::UnregisterSubdevice");
    Device* device = DeviceOf(DeviceObject);
    if (device == nullptr || Unknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ISubdevice* subdevice;
    if (!NT_SUCCESS(Unknown->QueryInterface(IID_ISubdevice, reinterpret_cast<PVOID*>(&subdevice)))) {
        return STATUS_INVALID_PARAMETER;
    }
    subdevice->Release();
    for (auto it = device->subdevices.begin(); it != device->subdevices.end(); ++it) {
        if (it->port == subdevice) {
            Subdevice taken = std::move(*it);
            device->subdevices.erase(it);
            ReleaseSubdevice(taken, true);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

}  // namespace pc

NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "PcNewPort");
    if (OutPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *OutPort = nullptr;
    if (!IsEqualGUID(ClassId, CLSID_PortWaveRT)) {
        return STATUS_NOT_SUPPORTED;  // the only port the stand-in has
    }
    auto* port = new (NonPagedPool, pc::kPortClsTag) pc::CPortWaveRT(nullptr);
    if (port == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *OutPort = static_cast<PPORTWAVERT>(port);
    (*OutPort)->AddRef();
    return STATUS_SUCCESS;
}
