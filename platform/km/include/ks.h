// Stand-in for <ks.h>: the kernel-streaming identifiers, property requests
// and their basic-support answers, data formats and ranges, pin descriptors
// and the filter categories, with their published x64 layouts.
#pragma once

#include <wdm.h>

typedef struct {
    union {
        struct {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
} KSIDENTIFIER, *PKSIDENTIFIER;

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;

static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER layout");

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

#define KSMETHOD_TYPE_NONE 0x00000000
#define KSMETHOD_TYPE_READ 0x00000001
#define KSMETHOD_TYPE_WRITE 0x00000002
#define KSMETHOD_TYPE_MODIFY 0x00000003
#define KSMETHOD_TYPE_SOURCE 0x00000004
#define KSMETHOD_TYPE_SEND 0x00000001
#define KSMETHOD_TYPE_SETSUPPORT 0x00000100
#define KSMETHOD_TYPE_BASICSUPPORT 0x00000200

#define KSEVENT_TYPE_ENABLE 0x00000001
#define KSEVENT_TYPE_ONESHOT 0x00000002
#define KSEVENT_TYPE_ENABLEBUFFERED 0x00000004
#define KSEVENT_TYPE_SETSUPPORT 0x00000100
#define KSEVENT_TYPE_BASICSUPPORT 0x00000200
#define KSEVENT_TYPE_QUERYBUFFER 0x00000400
#define KSEVENT_TYPE_TOPOLOGY 0x10000000

typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;

// A property addressed to one pin, or to one node, of a filter.
typedef struct {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

typedef struct {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSP_NODE, *PKSP_NODE, KSNODEPROPERTY, *PKSNODEPROPERTY;

static_assert(sizeof(KSP_PIN) == 32, "KSP_PIN layout");
static_assert(sizeof(KSP_NODE) == 32, "KSP_NODE layout");

// A counted list: Size covers the header and every item.
typedef struct {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

static_assert(sizeof(KSMULTIPLE_ITEM) == 8, "KSMULTIPLE_ITEM layout");

// The answer to a basic-support request.
typedef struct {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003
#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM 0x00000004

typedef struct {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION layout");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8, "KSPROPERTY_DESCRIPTION layout");
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16, "KSPROPERTY_MEMBERSHEADER layout");

// The stepped range a basic-support answer gives for a LONG property.
typedef struct {
    ULONG SteppingDelta;
    ULONG Reserved;
    union {
        struct {
            LONG SignedMinimum;
            LONG SignedMaximum;
        };
        struct {
            ULONG UnsignedMinimum;
            ULONG UnsignedMaximum;
        };
    } Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16, "KSPROPERTY_STEPPING_LONG layout");
static_assert(offsetof(KSPROPERTY_STEPPING_LONG, Bounds) == 8, "KSPROPERTY_STEPPING_LONG layout");

// The property type set a basic-support answer names; its Id is a VARTYPE.
#define STATIC_KSPROPTYPESETID_General 0x97E99BA0L, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
#define VT_I4 3
#define VT_BOOL 11

// ---------------------------------------------------------------- the general property set

#define STATIC_KSPROPSETID_General 0x1464EDA5L, 0x6A8F, 0x11D1, 0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96

typedef enum { KSPROPERTY_GENERAL_COMPONENTID } KSPROPERTY_GENERAL;

// Who made a filter: the answer to KSPROPERTY_GENERAL_COMPONENTID.
typedef struct {
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;

static_assert(sizeof(KSCOMPONENTID) == 72, "KSCOMPONENTID layout");
static_assert(offsetof(KSCOMPONENTID, Version) == 64, "KSCOMPONENTID layout");

// ---------------------------------------------------------------- pin states

typedef enum {
    KSSTATE_STOP,
    KSSTATE_ACQUIRE,
    KSSTATE_PAUSE,
    KSSTATE_RUN
} KSSTATE, *PKSSTATE;

static_assert(KSSTATE_RUN == 3, "KSSTATE values");

// ---------------------------------------------------------------- data formats and ranges

typedef union {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

#define KSDATAFORMAT_ATTRIBUTES 0x00000002
#define KSDATARANGE_ATTRIBUTES 0x00000002
#define KSDATARANGE_REQUIRED_ATTRIBUTES 0x00000004

static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT layout");

// An attribute of a data range; a range whose Flags carry
// KSDATARANGE_ATTRIBUTES is followed in its pin's range list by a
// KSATTRIBUTE_LIST.
typedef struct {
    ULONG Size;
    ULONG Flags;
    GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;

typedef struct {
    ULONG Count;
    PKSATTRIBUTE* Attributes;
} KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

static_assert(sizeof(KSATTRIBUTE) == 24, "KSATTRIBUTE layout");
static_assert(offsetof(KSATTRIBUTE_LIST, Attributes) == 8, "KSATTRIBUTE_LIST layout");
static_assert(sizeof(KSATTRIBUTE_LIST) == 16, "KSATTRIBUTE_LIST layout");
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16, "KSDATAFORMAT layout");
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48, "KSDATAFORMAT layout");

// ---------------------------------------------------------------- pins

typedef enum {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT
} KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

typedef enum {
    KSPIN_COMMUNICATION_NONE,
    KSPIN_COMMUNICATION_SINK,
    KSPIN_COMMUNICATION_SOURCE,
    KSPIN_COMMUNICATION_BOTH,
    KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION, *PKSPIN_COMMUNICATION;

typedef struct {
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union {
        LONGLONG Reserved;
        struct {
            ULONG ConstrainedDataRangesCount;
            PKSDATARANGE* ConstrainedDataRanges;
        };
    };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;
typedef const KSPIN_DESCRIPTOR* PCKSPIN_DESCRIPTOR;

static_assert(offsetof(KSPIN_DESCRIPTOR, DataRanges) == 40, "KSPIN_DESCRIPTOR layout");
static_assert(offsetof(KSPIN_DESCRIPTOR, DataFlow) == 48, "KSPIN_DESCRIPTOR layout");
static_assert(offsetof(KSPIN_DESCRIPTOR, Communication) == 52, "KSPIN_DESCRIPTOR layout");
static_assert(offsetof(KSPIN_DESCRIPTOR, Category) == 56, "KSPIN_DESCRIPTOR layout");
static_assert(offsetof(KSPIN_DESCRIPTOR, Name) == 64, "KSPIN_DESCRIPTOR layout");
static_assert(offsetof(KSPIN_DESCRIPTOR, ConstrainedDataRanges) == 80, "KSPIN_DESCRIPTOR layout");
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88, "KSPIN_DESCRIPTOR layout");

// ---------------------------------------------------------------- connecting a pin

typedef struct {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

#define KSPRIORITY_LOW 0x00000001
#define KSPRIORITY_NORMAL 0x40000000
#define KSPRIORITY_HIGH 0x80000000
#define KSPRIORITY_EXCLUSIVE 0xFFFFFFFF

#define KSINTERFACE_STANDARD_STREAMING 0
#define KSINTERFACE_STANDARD_LOOPED_STREAMING 1
#define KSINTERFACE_STANDARD_CONTROL 2
#define KSMEDIUM_TYPE_ANYINSTANCE 0

// A pin-creation request: followed in memory by the KSDATAFORMAT (and its
// specifier's record) the connection is to carry.
typedef struct {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    HANDLE PinToHandle;
    KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;

static_assert(offsetof(KSPIN_CONNECT, Medium) == 24, "KSPIN_CONNECT layout");
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48, "KSPIN_CONNECT layout");
static_assert(offsetof(KSPIN_CONNECT, PinToHandle) == 56, "KSPIN_CONNECT layout");
static_assert(offsetof(KSPIN_CONNECT, Priority) == 64, "KSPIN_CONNECT layout");
static_assert(sizeof(KSPIN_CONNECT) == 72, "KSPIN_CONNECT layout");

// The object class a pin is created under: the file name of a create
// relative to a filter is this string, a backslash, then the KSPIN_CONNECT
// and the data format as raw bytes.
#define KSSTRING_Pin L"{146F1A80-4791-11D0-A5D6-28DB04C10000}"

// ---------------------------------------------------------------- kernel-streaming requests
//
// All METHOD_NEITHER: Type3InputBuffer holds the request (a KSPROPERTY or a
// larger record that starts with one), UserBuffer the value.

#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_ENABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_DISABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_METHOD CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_WRITE_STREAM CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS)
#define IOCTL_KS_READ_STREAM CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS)
#define IOCTL_KS_RESET_STATE CTL_CODE(FILE_DEVICE_KS, 0x006, METHOD_NEITHER, FILE_ANY_ACCESS)

static_assert(IOCTL_KS_PROPERTY == 0x002F0003, "IOCTL_KS_PROPERTY value");

// ---------------------------------------------------------------- the pin, topology and connection property sets

#define STATIC_KSPROPSETID_Pin 0x8C134960L, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00

typedef enum {
    KSPROPERTY_PIN_CINSTANCES,
    KSPROPERTY_PIN_CTYPES,
    KSPROPERTY_PIN_DATAFLOW,
    KSPROPERTY_PIN_DATARANGES,
    KSPROPERTY_PIN_DATAINTERSECTION,
    KSPROPERTY_PIN_INTERFACES,
    KSPROPERTY_PIN_MEDIUMS,
    KSPROPERTY_PIN_COMMUNICATION,
    KSPROPERTY_PIN_GLOBALCINSTANCES,
    KSPROPERTY_PIN_NECESSARYINSTANCES,
    KSPROPERTY_PIN_PHYSICALCONNECTION,
    KSPROPERTY_PIN_CATEGORY,
    KSPROPERTY_PIN_NAME,
    KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
    KSPROPERTY_PIN_PROPOSEDATAFORMAT
} KSPROPERTY_PIN;

static_assert(KSPROPERTY_PIN_NAME == 12 && KSPROPERTY_PIN_CONSTRAINEDDATARANGES == 13, "KSPROPERTY_PIN values");

// How many instances of a pin may exist and how many do.
typedef struct {
    ULONG PossibleCount;
    ULONG CurrentCount;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;

#define KSINSTANCE_INDETERMINATE ((ULONG)-1)

static_assert(sizeof(KSPIN_CINSTANCES) == 8, "KSPIN_CINSTANCES layout");

#define STATIC_KSPROPSETID_Topology 0x720D4AC0L, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00

typedef enum {
    KSPROPERTY_TOPOLOGY_CATEGORIES,
    KSPROPERTY_TOPOLOGY_NODES,
    KSPROPERTY_TOPOLOGY_CONNECTIONS,
    KSPROPERTY_TOPOLOGY_NAME
} KSPROPERTY_TOPOLOGY;

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

#define KSFILTER_NODE ((ULONG)-1)

static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16, "KSTOPOLOGY_CONNECTION layout");

#define STATIC_KSPROPSETID_Connection 0x1D58C920L, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00

typedef enum {
    KSPROPERTY_CONNECTION_STATE,
    KSPROPERTY_CONNECTION_PRIORITY,
    KSPROPERTY_CONNECTION_DATAFORMAT,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
    KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
    KSPROPERTY_CONNECTION_ACQUIREORDERING,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
    KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;

// ---------------------------------------------------------------- GUIDs
//
// Each GUID also has its STATIC_ form, the bare initialiser, for tables that
// must be constant-initialised; STATICGUIDOF names it.

#define STATICGUIDOF(guid) STATIC_##guid
// DEFINE_GUID from a STATIC_ initialiser (expanded before DEFINE_GUID sees it).
#define KS_DEFINE_GUID(name, ...) DEFINE_GUID(name, __VA_ARGS__)

#define STATIC_KSCATEGORY_BRIDGE 0x085AFF00L, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
KS_DEFINE_GUID(KSCATEGORY_BRIDGE, STATIC_KSCATEGORY_BRIDGE);
#define STATIC_KSCATEGORY_CAPTURE 0x65E8773DL, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
KS_DEFINE_GUID(KSCATEGORY_CAPTURE, STATIC_KSCATEGORY_CAPTURE);
#define STATIC_KSCATEGORY_RENDER 0x65E8773EL, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
KS_DEFINE_GUID(KSCATEGORY_RENDER, STATIC_KSCATEGORY_RENDER);
#define STATIC_KSCATEGORY_MIXER 0xAD809C00L, 0x7B88, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
KS_DEFINE_GUID(KSCATEGORY_MIXER, STATIC_KSCATEGORY_MIXER);
#define STATIC_KSCATEGORY_TOPOLOGY 0xDDA54A40L, 0x1E4C, 0x11D1, 0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00
KS_DEFINE_GUID(KSCATEGORY_TOPOLOGY, STATIC_KSCATEGORY_TOPOLOGY);

#define STATIC_KSDATAFORMAT_TYPE_WILDCARD 0x00000000L, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
KS_DEFINE_GUID(KSDATAFORMAT_TYPE_WILDCARD, STATIC_KSDATAFORMAT_TYPE_WILDCARD);
#define STATIC_KSDATAFORMAT_SUBTYPE_WILDCARD STATIC_KSDATAFORMAT_TYPE_WILDCARD
KS_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_WILDCARD, STATIC_KSDATAFORMAT_SUBTYPE_WILDCARD);
#define STATIC_KSDATAFORMAT_SPECIFIER_NONE 0x0F6417D6L, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
KS_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE, STATIC_KSDATAFORMAT_SPECIFIER_NONE);

KS_DEFINE_GUID(KSPROPTYPESETID_General, STATIC_KSPROPTYPESETID_General);
KS_DEFINE_GUID(KSPROPSETID_General, STATIC_KSPROPSETID_General);

#define STATIC_KSNAME_Pin 0x146F1A80L, 0x4791, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
KS_DEFINE_GUID(KSNAME_Pin, STATIC_KSNAME_Pin);
#define STATIC_KSINTERFACESETID_Standard 0x1A8766A0L, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
KS_DEFINE_GUID(KSINTERFACESETID_Standard, STATIC_KSINTERFACESETID_Standard);
#define STATIC_KSMEDIUMSETID_Standard 0x4747B320L, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
KS_DEFINE_GUID(KSMEDIUMSETID_Standard, STATIC_KSMEDIUMSETID_Standard);
KS_DEFINE_GUID(KSPROPSETID_Pin, STATIC_KSPROPSETID_Pin);
KS_DEFINE_GUID(KSPROPSETID_Topology, STATIC_KSPROPSETID_Topology);
KS_DEFINE_GUID(KSPROPSETID_Connection, STATIC_KSPROPSETID_Connection);
