// Stand-in for <drmk.h>: the rights attached to protected content, the
// record an audio driver fills so that the content can be forwarded to the
// device object below it, and the interface through which a stream learns
// the content it carries.
#pragma once

#include <ks.h>
#include <punknown.h>
#include <wdm.h>

#include <stddef.h>

typedef struct tagDRMRIGHTS {
    BOOL CopyProtect;
    ULONG Reserved;
    BOOL DigitalOutputDisable;
} DRMRIGHTS, *PDRMRIGHTS;

typedef const DRMRIGHTS* PCDRMRIGHTS;

static_assert(sizeof(DRMRIGHTS) == 12, "DRMRIGHTS layout");
static_assert(offsetof(DRMRIGHTS, DigitalOutputDisable) == 8, "DRMRIGHTS layout");

typedef struct tagDRMFORWARD {
    DWORD Flags;                  // no flags are defined: 0
    PDEVICE_OBJECT DeviceObject;  // the device object that receives the content ID
    PFILE_OBJECT FileObject;
    PVOID Context;  // a value the driver and the receiver agree on
} DRMFORWARD, *PDRMFORWARD;

typedef const DRMFORWARD* PCDRMFORWARD;

static_assert(sizeof(DRMFORWARD) == 32, "DRMFORWARD layout");
static_assert(offsetof(DRMFORWARD, DeviceObject) == 8, "DRMFORWARD layout");
static_assert(offsetof(DRMFORWARD, FileObject) == 16, "DRMFORWARD layout");
static_assert(offsetof(DRMFORWARD, Context) == 24, "DRMFORWARD layout");

// {1915C967-3299-48CB-A3E4-69FD1D1B306E}
DEFINE_GUID(IID_IDrmAudioStream, 0x1915C967L, 0x3299, 0x48CB, 0xA3, 0xE4, 0x69, 0xFD, 0x1D, 0x1B, 0x30, 0x6E);

// Offered by a stream that can carry protected content; the system tells it
// the content's ID and rights before the content flows.
DECLARE_INTERFACE_(IDrmAudioStream, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, SetContentId)(THIS_ ULONG contentId, PCDRMRIGHTS drmRights) PURE;

protected:
    ~IDrmAudioStream() = default;  // never deleted through an interface
};
typedef IDrmAudioStream* PDRMAUDIOSTREAM;

#define IMP_IDrmAudioStream STDMETHODIMP_(NTSTATUS) SetContentId(ULONG contentId, PCDRMRIGHTS drmRights) override

// The property a content ID travels in to the device object that receives
// the data next: KSPROPSETID_DrmAudioStream, SET, with the sender's context
// and the DRM services' entry points in the request.
#define STATIC_KSPROPSETID_DrmAudioStream 0x2F2C8DDDL, 0x4198, 0x4FAC, 0xBA, 0x29, 0x61, 0xBB, 0x05, 0xB7, 0xDE, 0x06
KS_DEFINE_GUID(KSPROPSETID_DrmAudioStream, STATIC_KSPROPSETID_DrmAudioStream);

typedef enum { KSPROPERTY_DRMAUDIOSTREAM_CONTENTID } KSPROPERTY_DRMAUDIOSTREAM;

typedef NTSTATUS(NTAPI* PFNDRMADDCONTENTHANDLERS)(ULONG ContentId, PVOID* paHandlers, ULONG NumHandlers);
typedef NTSTATUS(NTAPI* PFNDRMCREATECONTENTMIXED)(PULONG paContentId, ULONG cContentId, PULONG pMixedContentId);
typedef NTSTATUS(NTAPI* PFNDRMDESTROYCONTENT)(ULONG ContentId);
typedef NTSTATUS(NTAPI* PFNDRMFORWARDCONTENTTODEVICEOBJECT)(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward);
typedef NTSTATUS(NTAPI* PFNDRMFORWARDCONTENTTOFILEOBJECT)(ULONG ContentId, PFILE_OBJECT FileObject);
typedef NTSTATUS(NTAPI* PFNDRMFORWARDCONTENTTOINTERFACE)(ULONG ContentId, PUNKNOWN pUnknown, ULONG NumMethods);
typedef NTSTATUS(NTAPI* PFNDRMGETCONTENTRIGHTS)(ULONG ContentId, PDRMRIGHTS DrmRights);

typedef struct {
    KSPROPERTY Property;
    PVOID Context;
    PFNDRMADDCONTENTHANDLERS DrmAddContentHandlers;
    PFNDRMCREATECONTENTMIXED DrmCreateContentMixed;
    PFNDRMDESTROYCONTENT DrmDestroyContent;
    PFNDRMFORWARDCONTENTTODEVICEOBJECT DrmForwardContentToDeviceObject;
    PFNDRMFORWARDCONTENTTOFILEOBJECT DrmForwardContentToFileObject;
    PFNDRMFORWARDCONTENTTOINTERFACE DrmForwardContentToInterface;
    PFNDRMGETCONTENTRIGHTS DrmGetContentRights;
} KSP_DRMAUDIOSTREAM_CONTENTID, *PKSP_DRMAUDIOSTREAM_CONTENTID;

typedef struct {
    ULONG ContentId;
    DRMRIGHTS DrmRights;
} KSDRMAUDIOSTREAM_CONTENTID, *PKSDRMAUDIOSTREAM_CONTENTID;

static_assert(offsetof(KSP_DRMAUDIOSTREAM_CONTENTID, Context) == 24, "KSP_DRMAUDIOSTREAM_CONTENTID layout");
static_assert(sizeof(KSP_DRMAUDIOSTREAM_CONTENTID) == 88, "KSP_DRMAUDIOSTREAM_CONTENTID layout");
static_assert(sizeof(KSDRMAUDIOSTREAM_CONTENTID) == 16, "KSDRMAUDIOSTREAM_CONTENTID layout");
