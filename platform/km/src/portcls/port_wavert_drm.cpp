// The WaveRT port's DRM services (IDrmPort2). Content IDs and their rights
// live in one system-wide table; content 0 is unprotected content, with
// no rights withheld. Mixing content gives a new ID whose rights are the
// strictest of its parts. Forwarding a content ID to a device object sends
// it the published KSPROPERTY_DRMAUDIOSTREAM_CONTENTID SET, with the
// forwarder's file object and context, and returns that device's answer;
// forwarding to an interface calls its IDrmAudioStream::SetContentId.

#include <map>
#include <mutex>

#include "../io_internal.h"
#include "../verifier.h"
#include "port_wavert.h"

namespace pc {

namespace {

std::mutex g_contentLock;
std::map<ULONG, DRMRIGHTS> g_content;  // live content IDs beyond 0
ULONG g_nextContentId = 1;

// Under g_contentLock. False for an ID that is not live.
bool RightsOf(ULONG id, DRMRIGHTS* rights) {
    if (id == 0) {
        *rights = DRMRIGHTS{};
        return true;
    }
    auto found = g_content.find(id);
    if (found == g_content.end()) {
        return false;
    }
    *rights = found->second;
    return true;
}

}  // namespace

STDMETHODIMP_(NTSTATUS) CPortWaveRT::CreateContentMixed(PULONG paContentId, ULONG cContentId, PULONG pMixedContentId) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IDrmPort::CreateContentMixed");
    if (pMixedContentId == nullptr || (cContentId != 0 && paContentId == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_contentLock);
    DRMRIGHTS mixed = {};
    for (ULONG i = 0; i < cContentId; ++i) {
        DRMRIGHTS part;
        if (!RightsOf(paContentId[i], &part)) {
            return STATUS_INVALID_PARAMETER;
        }
        mixed.CopyProtect |= part.CopyProtect;
        mixed.DigitalOutputDisable |= part.DigitalOutputDisable;
    }
    ULONG id = g_nextContentId++;
    g_content[id] = mixed;
    *pMixedContentId = id;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CPortWaveRT::DestroyContent(ULONG ContentId) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IDrmPort::DestroyContent");
    std::lock_guard<std::mutex> guard(g_contentLock);
    return g_content.erase(ContentId) != 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) CPortWaveRT::GetContentRights(ULONG ContentId, PDRMRIGHTS DrmRights) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IDrmPort::GetContentRights");
    if (DrmRights == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_contentLock);
    return RightsOf(ContentId, DrmRights) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The handlers would be authenticated; the stand-in checks only the content.
STDMETHODIMP_(NTSTATUS) CPortWaveRT::AddContentHandlers(ULONG ContentId, PVOID* paHandlers, ULONG NumHandlers) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IDrmPort2::AddContentHandlers");
    DRMRIGHTS rights;
    if (paHandlers == nullptr || NumHandlers == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_contentLock);
    return RightsOf(ContentId, &rights) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) CPortWaveRT::ForwardContentToInterface(ULONG ContentId, PUNKNOWN pUnknown, ULONG NumMethods) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IDrmPort::ForwardContentToInterface");
    DRMRIGHTS rights;
    if (pUnknown == nullptr || NumMethods == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> guard(g_contentLock);
        if (!RightsOf(ContentId, &rights)) return STATUS_INVALID_PARAMETER;
    }
    PDRMAUDIOSTREAM stream;
    NTSTATUS status = pUnknown->QueryInterface(IID_IDrmAudioStream, reinterpret_cast<PVOID*>(&stream));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = stream->SetContentId(ContentId, &rights);
    stream->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS) CPortWaveRT::ForwardContentToFileObject(ULONG ContentId, PFILE_OBJECT FileObject) {
    if (FileObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    DRMFORWARD forward = {0, km::TopOfStack(FileObject->DeviceObject), FileObject, FileObject};
    return ForwardContentToDeviceObject(ContentId, nullptr, &forward);
}

// The request's table of DRM entry points stays empty: the stand-in has no
// DRM library exports to name.
STDMETHODIMP_(NTSTATUS) CPortWaveRT::ForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved,
                                                                  PCDRMFORWARD DrmForward) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IDrmPort2::ForwardContentToDeviceObject");
    if (Reserved != nullptr || DrmForward == nullptr || DrmForward->Flags != 0 || DrmForward->DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KSDRMAUDIOSTREAM_CONTENTID value = {};
    {
        std::lock_guard<std::mutex> guard(g_contentLock);
        if (!RightsOf(ContentId, &value.DrmRights)) return STATUS_INVALID_PARAMETER;
    }
    value.ContentId = ContentId;
    KSP_DRMAUDIOSTREAM_CONTENTID request = {};
    request.Property.Set = KSPROPSETID_DrmAudioStream;
    request.Property.Id = KSPROPERTY_DRMAUDIOSTREAM_CONTENTID;
    request.Property.Flags = KSPROPERTY_TYPE_SET;
    request.Context = DrmForward->Context;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_KS_PROPERTY, DrmForward->DeviceObject, &request, sizeof request,
                                             &value, sizeof value, FALSE, &done, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = DrmForward->FileObject;
    if (IoCallDriver(DrmForward->DeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return ioStatus.Status;
}

}  // namespace pc
