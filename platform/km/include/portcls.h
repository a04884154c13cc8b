// Stand-in for <portcls.h>: PortCls's adapter services (driver and device
// initialisation, the IRP dispatch, ports, subdevices, adapter power
// management) and the interfaces and descriptors an adapter and a WaveRT
// miniport exchange with it: the WaveRT port and miniport, their streams
// (the port stream's buffer services, the miniport stream and its
// notification variant) and the DRM port.
#pragma once

#include <drmk.h>
#include <ks.h>
#include <ksmedia.h>
#include <punknown.h>
#include <wdm.h>

#define PORTCLASSAPI
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))
#define PCFILTER_NODE ((ULONG)-1)


// ---------------------------------------------------------------- automation tables and descriptors

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES

#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT

struct _PCPROPERTY_REQUEST;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

// What PortCls hands a property handler: the targets (miniport, stream),
// the node, the verb (KSPROPERTY_TYPE_*), and the instance and value buffers.
struct _PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
};

struct _PCEVENT_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNEVENT_HANDLER)(struct _PCEVENT_REQUEST* EventRequest);

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct _PCEVENT_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb;
    PIRP Irp;
} PCEVENT_REQUEST, *PPCEVENT_REQUEST;

struct _PCMETHOD_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNMETHOD_HANDLER)(struct _PCMETHOD_REQUEST* MethodRequest);

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable)                                  \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                               \
                                                (ULONG)RTL_NUMBER_OF(PropertyTable),                   \
                                                (const PCPROPERTY_ITEM*)PropertyTable,                 \
                                                0,                                                     \
                                                0,                                                     \
                                                NULL,                                                  \
                                                0,                                                     \
                                                0,                                                     \
                                                NULL,                                                  \
                                                0}

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;

typedef struct {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct {
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

typedef struct {
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

static_assert(sizeof(PCPROPERTY_ITEM) == 24, "PCPROPERTY_ITEM layout");
static_assert(sizeof(PCPROPERTY_REQUEST) == 72, "PCPROPERTY_REQUEST layout");
static_assert(offsetof(PCPROPERTY_REQUEST, Verb) == 32, "PCPROPERTY_REQUEST layout");
static_assert(offsetof(PCPROPERTY_REQUEST, Instance) == 40, "PCPROPERTY_REQUEST layout");
static_assert(offsetof(PCPROPERTY_REQUEST, Value) == 56, "PCPROPERTY_REQUEST layout");
static_assert(sizeof(PCAUTOMATION_TABLE) == 56, "PCAUTOMATION_TABLE layout");
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16, "PCCONNECTION_DESCRIPTOR layout");
static_assert(offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor) == 24, "PCPIN_DESCRIPTOR layout");
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112, "PCPIN_DESCRIPTOR layout");
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32, "PCNODE_DESCRIPTOR layout");
static_assert(offsetof(PCFILTER_DESCRIPTOR, Pins) == 24, "PCFILTER_DESCRIPTOR layout");
static_assert(offsetof(PCFILTER_DESCRIPTOR, Nodes) == 40, "PCFILTER_DESCRIPTOR layout");
static_assert(offsetof(PCFILTER_DESCRIPTOR, Categories) == 72, "PCFILTER_DESCRIPTOR layout");
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80, "PCFILTER_DESCRIPTOR layout");

// ---------------------------------------------------------------- resource lists

// The hardware resources of a started device. A USB audio function has
// none, so PortCls hands the start-device callback an empty list.
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR* PCM_PARTIAL_RESOURCE_DESCRIPTOR;
typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;
typedef UCHAR CM_RESOURCE_TYPE;

DEFINE_GUID(IID_IResourceList, 0x22C6AC60L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

DECLARE_INTERFACE_(IResourceList, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(ULONG, NumberOfEntries)(THIS) PURE;
    STDMETHOD_(ULONG, NumberOfEntriesOfType)(THIS_ CM_RESOURCE_TYPE Type) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(NTSTATUS, AddEntry)(THIS_ PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated,
                                   PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
    STDMETHOD_(NTSTATUS, AddEntryFromParent)(THIS_ IResourceList * Parent, CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)(THIS) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)(THIS) PURE;

protected:
    ~IResourceList() = default;  // never deleted through an interface
};
typedef IResourceList* PRESOURCELIST;

// ---------------------------------------------------------------- ports and miniports

struct IRegistryKey;
typedef IRegistryKey* PREGISTRYKEY;
struct IPortWaveRTStream;
typedef IPortWaveRTStream* PPORTWAVERTSTREAM;
struct IMiniportWaveRTStream;
typedef IMiniportWaveRTStream* PMINIPORTWAVERTSTREAM;
typedef struct _DEVICE_DESCRIPTION* PDEVICE_DESCRIPTION;  // declared in full with the WaveRT stream services

DEFINE_GUID(IID_IPort, 0xB4C90A25L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniport, 0xB4C90A24L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(CLSID_PortWaveRT, 0xCC9BE57AL, 0xEB9E, 0x42B4, 0x94, 0xFC, 0x0C, 0xAD, 0x3D, 0xBC, 0xE7, 0xFA);
DEFINE_GUID(IID_IPortWaveRT, 0x339FF909L, 0x68A9, 0x4310, 0xB0, 0x9B, 0x27, 0x4E, 0x96, 0xEE, 0x4C, 0xBD);
DEFINE_GUID(IID_IMiniportWaveRT, 0x0F9FC4D6L, 0x6061, 0x4F3C, 0xB1, 0xFC, 0x07, 0x5E, 0x35, 0xF7, 0x96, 0x0A);
DEFINE_GUID(IID_IUnregisterSubdevice, 0x16738177L, 0xE199, 0x41F9, 0x9A, 0x87, 0xAB, 0xB2, 0xA5, 0x43, 0x2F, 0x21);
DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0L, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0);
DEFINE_GUID(IID_IPowerNotify, 0x3DD648B8L, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
DEFINE_GUID(IID_IPinCount, 0x5DADB7DCL, 0xA2CB, 0x4540, 0xA4, 0xA8, 0x42, 0x5E, 0xE4, 0xAE, 0x90, 0x51);
DEFINE_GUID(IID_IPortWaveRTStream, 0x1809CE5AL, 0x64BC, 0x4E62, 0xBD, 0x7D, 0x95, 0xBC, 0xE4, 0x3D, 0xE3, 0x93);
DEFINE_GUID(IID_IMiniportWaveRTStream, 0x000AC9ABL, 0xFAAB, 0x4F3D, 0x94, 0x55, 0x6F, 0xF8, 0x30, 0x6A, 0x74, 0xA0);
DEFINE_GUID(IID_IMiniportWaveRTStreamNotification, 0x23759128L, 0x96F1, 0x423B, 0xAB, 0x4D, 0x81, 0x63, 0x5B, 0xCF,
            0x8C, 0xA1);
DEFINE_GUID(IID_IDrmPort, 0x286D3DF8L, 0xCA22, 0x4E2E, 0xB9, 0xBC, 0x20, 0xB4, 0xF0, 0xE2, 0x01, 0xCE);
DEFINE_GUID(IID_IDrmPort2, 0x1ACCE59CL, 0x7311, 0x4B6B, 0x9F, 0xBA, 0xCC, 0x3B, 0xA5, 0x9A, 0xCD, 0xCE);
DEFINE_GUID(IID_IMiniportAudioSignalProcessing, 0xB532678CL, 0xBE50, 0x472D, 0x99, 0x73, 0x8A, 0x6F, 0x16, 0x59,
            0x49, 0x89);

#define DEFINE_ABSTRACT_PORT()                                                                                    \
    STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,            \
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) PURE;                        \
    STDMETHOD_(NTSTATUS, GetDeviceProperty)(THIS_ DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,   \
                                            PVOID PropertyBuffer, PULONG ResultLength) PURE;                     \
    STDMETHOD_(NTSTATUS, NewRegistryKey)(THIS_ PREGISTRYKEY * OutRegistryKey, PUNKNOWN OuterUnknown,             \
                                         ULONG RegistryKeyType, ACCESS_MASK DesiredAccess,                       \
                                         POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,               \
                                         PULONG Disposition) PURE;

DECLARE_INTERFACE_(IPort, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()

protected:
    ~IPort() = default;  // never deleted through an interface
};
typedef IPort* PPORT;

// The WaveRT port. Its stream-side services (IPortWaveRTStream) belong to the streams.
DECLARE_INTERFACE_(IPortWaveRT, IPort) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()

protected:
    ~IPortWaveRT() = default;  // never deleted through an interface
};
typedef IPortWaveRT* PPORTWAVERT;

#define DEFINE_ABSTRACT_MINIPORT()                                                                             \
    STDMETHOD_(NTSTATUS, GetDescription)(THIS_ PPCFILTER_DESCRIPTOR * Description) PURE;                      \
    STDMETHOD_(NTSTATUS, DataRangeIntersection)(THIS_ ULONG PinId, PKSDATARANGE DataRange,                    \
                                                PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,      \
                                                PVOID ResultantFormat, PULONG ResultantFormatLength) PURE;

#define IMP_IMiniport                                                                                          \
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* Description) override;                       \
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,                        \
                                                  PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,    \
                                                  PVOID ResultantFormat, PULONG ResultantFormatLength) override

DECLARE_INTERFACE_(IMiniport, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()

protected:
    ~IMiniport() = default;  // never deleted through an interface
};
typedef IMiniport* PMINIPORT;

DECLARE_INTERFACE_(IMiniportWaveRT, IMiniport) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port) PURE;
    STDMETHOD_(NTSTATUS, NewStream)(THIS_ PMINIPORTWAVERTSTREAM * Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin,
                                    BOOLEAN Capture, PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(NTSTATUS, GetDeviceDescription)(THIS_ PDEVICE_DESCRIPTION DeviceDescription) PURE;

protected:
    ~IMiniportWaveRT() = default;  // never deleted through an interface
};
typedef IMiniportWaveRT* PMINIPORTWAVERT;

#define IMP_IMiniportWaveRT                                                                                     \
    IMP_IMiniport;                                                                                              \
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port) override; \
    STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVERTSTREAM* Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin,    \
                                      BOOLEAN Capture, PKSDATAFORMAT DataFormat) override;                      \
    STDMETHODIMP_(NTSTATUS) GetDeviceDescription(PDEVICE_DESCRIPTION DeviceDescription) override

// ---------------------------------------------------------------- WaveRT streams

// The port's services for one stream: pages for the cyclic buffer (below a
// given physical address), their system-space mapping, and the physical
// pages behind an MDL. PASSIVE_LEVEL.
#define DEFINE_ABSTRACT_PORTWAVERTSTREAM()                                                                       \
    STDMETHOD_(PMDL, AllocatePagesForMdl)(THIS_ PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) PURE;          \
    STDMETHOD_(PMDL, AllocateContiguousPagesForMdl)(THIS_ PHYSICAL_ADDRESS LowAddress,                          \
                                                    PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) PURE;      \
    STDMETHOD_(PVOID, MapAllocatedPages)(THIS_ PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) PURE;  \
    STDMETHOD_(VOID, UnmapAllocatedPages)(THIS_ PVOID BaseAddress, PMDL MemoryDescriptorList) PURE;             \
    STDMETHOD_(VOID, FreePagesFromMdl)(THIS_ PMDL MemoryDescriptorList) PURE;                                    \
    STDMETHOD_(ULONG, GetPhysicalPagesCount)(THIS_ PMDL MemoryDescriptorList) PURE;                              \
    STDMETHOD_(PHYSICAL_ADDRESS, GetPhysicalPageAddress)(THIS_ PMDL MemoryDescriptorList, ULONG Index) PURE;

#define IMP_IPortWaveRTStream                                                                                   \
    STDMETHODIMP_(PMDL) AllocatePagesForMdl(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) override;         \
    STDMETHODIMP_(PMDL) AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, \
                                                      SIZE_T TotalBytes) override;                               \
    STDMETHODIMP_(PVOID) MapAllocatedPages(PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) override; \
    STDMETHODIMP_(VOID) UnmapAllocatedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) override;            \
    STDMETHODIMP_(VOID) FreePagesFromMdl(PMDL MemoryDescriptorList) override;                                   \
    STDMETHODIMP_(ULONG) GetPhysicalPagesCount(PMDL MemoryDescriptorList) override;                             \
    STDMETHODIMP_(PHYSICAL_ADDRESS) GetPhysicalPageAddress(PMDL MemoryDescriptorList, ULONG Index) override

DECLARE_INTERFACE_(IPortWaveRTStream, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORTWAVERTSTREAM()

protected:
    ~IPortWaveRTStream() = default;  // never deleted through an interface
};

// A miniport's stream: its fixed format, KS state, position, cyclic buffer
// and latency, and the hardware registers it may map for the client.
#define DEFINE_ABSTRACT_MINIPORTWAVERTSTREAM()                                                                   \
    STDMETHOD_(NTSTATUS, SetFormat)(THIS_ PKSDATAFORMAT DataFormat) PURE;                                        \
    STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE;                                                    \
    STDMETHOD_(NTSTATUS, GetPosition)(THIS_ PKSAUDIO_POSITION Position) PURE;                                    \
    STDMETHOD_(NTSTATUS, AllocateAudioBuffer)(THIS_ ULONG RequestedSize, PMDL * AudioBufferMdl, ULONG * ActualSize, \
                                              ULONG * OffsetFromFirstPage, MEMORY_CACHING_TYPE * CacheType) PURE; \
    STDMETHOD_(VOID, FreeAudioBuffer)(THIS_ PMDL AudioBufferMdl, ULONG BufferSize) PURE;                         \
    STDMETHOD_(VOID, GetHWLatency)(THIS_ PKSRTAUDIO_HWLATENCY hwLatency) PURE;                                   \
    STDMETHOD_(NTSTATUS, GetPositionRegister)(THIS_ PKSRTAUDIO_HWREGISTER Register) PURE;                       \
    STDMETHOD_(NTSTATUS, GetClockRegister)(THIS_ PKSRTAUDIO_HWREGISTER Register) PURE;

#define IMP_IMiniportWaveRTStream                                                                               \
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat) override;                                       \
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State) override;                                                   \
    STDMETHODIMP_(NTSTATUS) GetPosition(PKSAUDIO_POSITION Position) override;                                   \
    STDMETHODIMP_(NTSTATUS) AllocateAudioBuffer(ULONG RequestedSize, PMDL* AudioBufferMdl, ULONG* ActualSize,   \
                                                ULONG* OffsetFromFirstPage, MEMORY_CACHING_TYPE* CacheType)     \
        override;                                                                                               \
    STDMETHODIMP_(VOID) FreeAudioBuffer(PMDL AudioBufferMdl, ULONG BufferSize) override;                        \
    STDMETHODIMP_(VOID) GetHWLatency(PKSRTAUDIO_HWLATENCY hwLatency) override;                                  \
    STDMETHODIMP_(NTSTATUS) GetPositionRegister(PKSRTAUDIO_HWREGISTER Register) override;                      \
    STDMETHODIMP_(NTSTATUS) GetClockRegister(PKSRTAUDIO_HWREGISTER Register) override

DECLARE_INTERFACE_(IMiniportWaveRTStream, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORTWAVERTSTREAM()

protected:
    ~IMiniportWaveRTStream() = default;  // never deleted through an interface
};

// The stream variant that signals the client's events as the position
// passes fixed points of the buffer (Windows Vista SP1 on).
#define DEFINE_ABSTRACT_MINIPORTWAVERTSTREAMNOTIFICATION()                                                       \
    STDMETHOD_(NTSTATUS, AllocateBufferWithNotification)(THIS_ ULONG NotificationCount, ULONG RequestedSize,     \
                                                         PMDL * AudioBufferMdl, ULONG * ActualSize,              \
                                                         ULONG * OffsetFromFirstPage,                            \
                                                         MEMORY_CACHING_TYPE * CacheType) PURE;                  \
    STDMETHOD_(VOID, FreeBufferWithNotification)(THIS_ PMDL AudioBufferMdl, ULONG BufferSize) PURE;              \
    STDMETHOD_(NTSTATUS, RegisterNotificationEvent)(THIS_ PKEVENT NotificationEvent) PURE;                       \
    STDMETHOD_(NTSTATUS, UnregisterNotificationEvent)(THIS_ PKEVENT NotificationEvent) PURE;

#define IMP_IMiniportWaveRTStreamNotification                                                                   \
    IMP_IMiniportWaveRTStream;                                                                                  \
    STDMETHODIMP_(NTSTATUS) AllocateBufferWithNotification(ULONG NotificationCount, ULONG RequestedSize,        \
                                                           PMDL* AudioBufferMdl, ULONG* ActualSize,             \
                                                           ULONG* OffsetFromFirstPage,                          \
                                                           MEMORY_CACHING_TYPE* CacheType) override;            \
    STDMETHODIMP_(VOID) FreeBufferWithNotification(PMDL AudioBufferMdl, ULONG BufferSize) override;             \
    STDMETHODIMP_(NTSTATUS) RegisterNotificationEvent(PKEVENT NotificationEvent) override;                      \
    STDMETHODIMP_(NTSTATUS) UnregisterNotificationEvent(PKEVENT NotificationEvent) override

DECLARE_INTERFACE_(IMiniportWaveRTStreamNotification, IMiniportWaveRTStream) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORTWAVERTSTREAM()
    DEFINE_ABSTRACT_MINIPORTWAVERTSTREAMNOTIFICATION()

protected:
    ~IMiniportWaveRTStreamNotification() = default;  // never deleted through an interface
};
typedef IMiniportWaveRTStreamNotification* PMINIPORTWAVERTSTREAMNOTIFICATION;

// ---------------------------------------------------------------- DRM

// The port's entry points into the system's DRM services: content IDs, their
// rights, and forwarding a content ID to whoever receives the data next.
DECLARE_INTERFACE_(IDrmPort, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, CreateContentMixed)(THIS_ PULONG paContentId, ULONG cContentId, PULONG pMixedContentId)
        PURE;
    STDMETHOD_(NTSTATUS, DestroyContent)(THIS_ ULONG ContentId) PURE;
    STDMETHOD_(NTSTATUS, ForwardContentToFileObject)(THIS_ ULONG ContentId, PFILE_OBJECT FileObject) PURE;
    STDMETHOD_(NTSTATUS, ForwardContentToInterface)(THIS_ ULONG ContentId, PUNKNOWN pUnknown, ULONG NumMethods) PURE;
    STDMETHOD_(NTSTATUS, GetContentRights)(THIS_ ULONG ContentId, PDRMRIGHTS DrmRights) PURE;

protected:
    ~IDrmPort() = default;  // never deleted through an interface
};
typedef IDrmPort* PDRMPORT;

DECLARE_INTERFACE_(IDrmPort2, IDrmPort) {
    STDMETHOD_(NTSTATUS, AddContentHandlers)(THIS_ ULONG ContentId, PVOID * paHandlers, ULONG NumHandlers) PURE;
    STDMETHOD_(NTSTATUS, ForwardContentToDeviceObject)(THIS_ ULONG ContentId, PVOID Reserved,
                                                       PCDRMFORWARD DrmForward) PURE;

protected:
    ~IDrmPort2() = default;  // never deleted through an interface
};
typedef IDrmPort2* PDRMPORT2;

// How a subdevice registered with PcRegisterSubdevice is taken down again.
DECLARE_INTERFACE_(IUnregisterSubdevice, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, UnregisterSubdevice)(THIS_ PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) PURE;

protected:
    ~IUnregisterSubdevice() = default;  // never deleted through an interface
};
typedef IUnregisterSubdevice* PUNREGISTERSUBDEVICE;

// ---------------------------------------------------------------- power

DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, PowerChangeState)(THIS_ POWER_STATE NewState) PURE;
    STDMETHOD_(NTSTATUS, QueryPowerChangeState)(THIS_ POWER_STATE NewStateQuery) PURE;
    STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(THIS_ PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;

protected:
    ~IAdapterPowerManagement() = default;  // never deleted through an interface
};
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;

#define IMP_IAdapterPowerManagement                                                        \
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;                   \
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery) override;     \
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) override

DECLARE_INTERFACE_(IPowerNotify, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, PowerChangeNotify)(THIS_ POWER_STATE PowerState) PURE;

protected:
    ~IPowerNotify() = default;  // never deleted through an interface
};
typedef IPowerNotify* PPOWERNOTIFY;

DECLARE_INTERFACE_(IMiniportAudioSignalProcessing, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, GetModes)(THIS_ ULONG Pin, GUID * SignalProcessingModes, ULONG * NumSignalProcessingModes)
        PURE;

protected:
    ~IMiniportAudioSignalProcessing() = default;  // never deleted through an interface
};
typedef IMiniportAudioSignalProcessing* PMINIPORTAUDIOSIGNALPROCESSING;


// ---------------------------------------------------------------- adapter services

typedef NTSTATUS(NTAPI* PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

PORTCLASSAPI NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                                      PDRIVER_ADD_DEVICE AddDevice);
PORTCLASSAPI NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                               PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                                               ULONG DeviceExtensionSize);
PORTCLASSAPI NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PORTCLASSAPI NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1);
PORTCLASSAPI NTSTATUS NTAPI PcGetPhysicalDeviceObject(PDEVICE_OBJECT DeviceObject,
                                                      PDEVICE_OBJECT* PhysicalDeviceObject);
