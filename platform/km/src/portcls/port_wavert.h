// The WaveRT port: PcNewPort's object for CLSID_PortWaveRT. Its faces:
// IPortWaveRT (Init binds the miniport and the adapter), IDrmPort2 (the DRM
// services a miniport's streams call, port_wavert_drm.cpp),
// IUnregisterSubdevice, and PortCls's private ISubdevice, through which the
// filters and pins opened on it reach the miniport.
#pragma once

#include <map>
#include <mutex>

#include "portcls_internal.h"

namespace pc {

class CPortWaveRT : public IPortWaveRT,
                    public IDrmPort2,
                    public IUnregisterSubdevice,
                    public ISubdevice,
                    public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(CPortWaveRT);
    ~CPortWaveRT() override;

    // IPort
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                                 PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override;
    STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override;
    STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                                           PULONG) override;
    // IDrmPort
    STDMETHODIMP_(NTSTATUS) CreateContentMixed(PULONG paContentId, ULONG cContentId, PULONG pMixedContentId) override;
    STDMETHODIMP_(NTSTATUS) DestroyContent(ULONG ContentId) override;
    STDMETHODIMP_(NTSTATUS) ForwardContentToFileObject(ULONG ContentId, PFILE_OBJECT FileObject) override;
    STDMETHODIMP_(NTSTATUS) ForwardContentToInterface(ULONG ContentId, PUNKNOWN pUnknown, ULONG NumMethods) override;
    STDMETHODIMP_(NTSTATUS) GetContentRights(ULONG ContentId, PDRMRIGHTS DrmRights) override;
    // IDrmPort2
    STDMETHODIMP_(NTSTATUS) AddContentHandlers(ULONG ContentId, PVOID* paHandlers, ULONG NumHandlers) override;
    STDMETHODIMP_(NTSTATUS) ForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved,
                                                         PCDRMFORWARD DrmForward) override;
    // IUnregisterSubdevice
    STDMETHODIMP_(NTSTATUS) UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) override;
    // ISubdevice
    const PCFILTER_DESCRIPTOR* FilterDescriptor() override;
    void FilterOpened() override { InterlockedIncrement(&filters_); }
    void FilterClosed() override { InterlockedDecrement(&filters_); }
    void ReleaseChildren() override;
    bool ReferenceMiniport(PMINIPORTWAVERT* miniport, const PCFILTER_DESCRIPTOR** descriptor) override;
    bool TakePinInstance(ULONG id, ULONG limit) override;
    void GivePinInstance(ULONG id) override;
    ULONG PinInstances(ULONG id) override;

private:
    std::mutex lock_;  // guards the children's pointers and the instance counts
    PDEVICE_OBJECT device_ = nullptr;
    PMINIPORTWAVERT miniport_ = nullptr;
    PUNKNOWN adapter_ = nullptr;
    PPCFILTER_DESCRIPTOR descriptor_ = nullptr;
    LONG filters_ = 0;
    std::map<ULONG, ULONG> pinInstances_;  // pin id -> open instances
};

}  // namespace pc
