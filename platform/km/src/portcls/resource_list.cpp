// The resource list PortCls hands the start-device callback. A USB audio
// function is given no hardware resources, so the list is empty: it counts
// nothing, finds nothing and takes no entries.

#include "portcls_internal.h"

namespace pc {

namespace {

class CResourceList : public IResourceList, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(CResourceList);
    ~CResourceList() override = default;

    STDMETHODIMP_(ULONG) NumberOfEntries() override { return 0; }
    STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE) override { return 0; }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(CM_RESOURCE_TYPE, ULONG) override {
        return nullptr;
    }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(CM_RESOURCE_TYPE, ULONG) override {
        return nullptr;
    }
    // An empty list has no room: PortCls sizes a list for the resources it was given.
    STDMETHODIMP_(NTSTATUS) AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR, PCM_PARTIAL_RESOURCE_DESCRIPTOR) override {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG) override {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return nullptr; }
    STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return nullptr; }
};

STDMETHODIMP_(NTSTATUS) CResourceList::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IResourceList)) {
        *object = static_cast<PRESOURCELIST>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

}  // namespace

NTSTATUS NewEmptyResourceList(PRESOURCELIST* list) {
    auto* made = new (NonPagedPool, kPortClsTag) CResourceList(nullptr);
    if (made == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *list = made;
    made->AddRef();
    return STATUS_SUCCESS;
}

}  // namespace pc
